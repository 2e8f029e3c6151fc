# Sanitizer builds, each a preset of its own (CMakePresets.json):
#  RV270_SANITIZE  AddressSanitizer and UndefinedBehaviorSanitizer (linux-asan)
#  RV270_TSAN      ThreadSanitizer (linux-tsan)
#  RV270_FUZZ      libFuzzer instrumentation with ASan and UBSan (fuzz, clang only); the
#                  fuzz programs add the libFuzzer driver themselves (fuzz/CMakeLists.txt)
#  RV270_COVERAGE  gcc line and branch coverage (coverage): every target unoptimised with
#                  --coverage; the tests leave .gcda files beside the objects for gcovr
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

if(RV270_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "RV270_COVERAGE needs gcc (gcov); configure with the coverage preset")
  endif()
  if(RV270_SANITIZE OR RV270_TSAN)
    message(FATAL_ERROR "RV270_COVERAGE is a build of its own, without sanitizers")
  endif()
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()
