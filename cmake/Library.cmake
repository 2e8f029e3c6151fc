# The library sources, compiled twice:
#  - rv270_obj: the shipped build, linked into libQornRV270API.so / QornRV270API.dll;
#  - rv270_testcore: a static build with RV270_TEST_SEAMS, which lets tests skip the
#    fixed pauses (20 ms per log line, 200 ms after a port close). The shipped library
#    never contains the seam.

file(GLOB_RECURSE RV270_COMMON_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/api/*.cpp
  ${PROJECT_SOURCE_DIR}/src/link/*.cpp
  ${PROJECT_SOURCE_DIR}/src/protocol/*.cpp
  ${PROJECT_SOURCE_DIR}/src/transfer/*.cpp
  ${PROJECT_SOURCE_DIR}/src/crypto/*.cpp
  ${PROJECT_SOURCE_DIR}/src/text/*.cpp
  ${PROJECT_SOURCE_DIR}/src/log/*.cpp)
# The platform folder is not searched recursively: its backend folders are chosen below.
file(GLOB RV270_PLATFORM_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/platform/*.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/sim/*.cpp)
list(APPEND RV270_COMMON_SOURCES ${RV270_PLATFORM_SOURCES})
if(WIN32)
  file(GLOB RV270_OS_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/win32/*.cpp)
else()
  file(GLOB RV270_OS_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/posix/*.cpp)
endif()
set(RV270_SOURCES ${RV270_COMMON_SOURCES} ${RV270_OS_SOURCES})

# The library's 8-bit texts (log lines, category texts) are GBK; sources stay UTF-8.
# GCC converts them (RV270_GBK_TEXTS); clang has no -fexec-charset=GBK and keeps them
# UTF-8, which is enough for the fuzzing build (see fuzz/).
set(RV270_GBK_TEXTS $<$<CXX_COMPILER_ID:GNU>:-fexec-charset=GBK>)
set(RV270_LIB_OPTIONS ${RV270_WARNINGS} ${RV270_GBK_TEXTS} -fvisibility=hidden -fvisibility-inlines-hidden)
set(RV270_LIB_DEFS RV270_BUILDING
  RV270_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} RV270_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  RV270_VERSION_PATCH=${PROJECT_VERSION_PATCH} RV270_VERSION_TWEAK=${PROJECT_VERSION_TWEAK})
if(WIN32)
  list(APPEND RV270_LIB_DEFS WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  set(RV270_OS_LIBS setupapi hid ws2_32 version shlwapi)
else()
  set(RV270_OS_LIBS dl pthread)
endif()

# Version history text: a resource on Windows, an embedded array elsewhere.
# (The Windows test core, linked into programs without the DLL's resources, uses the array.)
set(RV270_HISTORY ${PROJECT_SOURCE_DIR}/res/history.txt)
file(READ ${RV270_HISTORY} _hist HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _hist "${_hist}")
file(WRITE ${PROJECT_BINARY_DIR}/generated/history_text.inc "${_hist}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${RV270_HISTORY})

function(rv270_library_target tgt)
  target_include_directories(${tgt} PUBLIC ${PROJECT_SOURCE_DIR}/include
    PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  target_compile_options(${tgt} PRIVATE ${RV270_LIB_OPTIONS})
  target_compile_definitions(${tgt} PRIVATE ${RV270_LIB_DEFS})
endfunction()

add_library(rv270_obj OBJECT ${RV270_SOURCES})
rv270_library_target(rv270_obj)

add_library(QornRV270API SHARED $<TARGET_OBJECTS:rv270_obj>)
# Installed, the header sits in include/ of the prefix (cmake/Install.cmake).
target_include_directories(QornRV270API PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
target_link_libraries(QornRV270API PRIVATE ${RV270_OS_LIBS})
if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/res/QornRV270API.rc.in ${PROJECT_BINARY_DIR}/generated/QornRV270API.rc @ONLY)
  target_sources(QornRV270API PRIVATE ${PROJECT_BINARY_DIR}/generated/QornRV270API.rc)
  set_source_files_properties(${PROJECT_BINARY_DIR}/generated/QornRV270API.rc PROPERTIES
    OBJECT_DEPENDS ${RV270_HISTORY})
  target_include_directories(QornRV270API PRIVATE ${PROJECT_SOURCE_DIR}/res)
  set_target_properties(QornRV270API PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
  # Only system DLLs are imported: the GCC runtime, libstdc++ and winpthread go in statically.
  target_link_options(QornRV270API PRIVATE -static -static-libgcc -static-libstdc++
    -Wl,--kill-at ${RV270_DEF_FILE})
  set_target_properties(QornRV270API PROPERTIES LINK_DEPENDS ${RV270_DEF_FILE})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The DLL exports undecorated names; its import library keeps the stdcall names
    # (_Name@N), which is what callers compiled with the header reference.
    add_custom_command(TARGET QornRV270API POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --kill-at -d ${RV270_DEF_FILE} -D QornRV270API.dll
              -l $<TARGET_LINKER_FILE:QornRV270API>
      VERBATIM)
  endif()
else()
  target_link_options(QornRV270API PRIVATE -Wl,--version-script=${RV270_VERSION_SCRIPT} -Wl,--no-undefined)
  set_target_properties(QornRV270API PROPERTIES LINK_DEPENDS ${RV270_VERSION_SCRIPT})
endif()

add_library(rv270_testcore STATIC ${RV270_SOURCES})
rv270_library_target(rv270_testcore)
target_compile_definitions(rv270_testcore PUBLIC RV270_TEST_SEAMS RV270_STATIC_CORE)
target_link_libraries(rv270_testcore PUBLIC ${RV270_OS_LIBS})
