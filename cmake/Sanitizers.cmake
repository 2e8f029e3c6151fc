# Sanitizer builds, each a preset of its own (CMakePresets.json):
#  RV270_SANITIZE  AddressSanitizer and UndefinedBehaviorSanitizer (linux-asan)
#  RV270_TSAN      ThreadSanitizer (linux-tsan)
#  RV270_FUZZ      libFuzzer instrumentation with ASan and UBSan (fuzz, clang only); the
#                  fuzz programs add the libFuzzer driver themselves (fuzz/CMakeLists.txt)
if(RV270_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "RV270_FUZZ needs clang (libFuzzer); configure with the fuzz preset")
  endif()
  set(RV270_SANITIZE ON)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(RV270_SANITIZE AND RV270_TSAN)
  message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
endif()

if(RV270_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(RV270_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
