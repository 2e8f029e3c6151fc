# Installation and the packages for integrators. `cmake --install` puts in place:
#   include/QornRV270API.h                      the public header
#   Linux:   lib/libQornRV270API.so.1.0.0.3 with the links .so.1 and .so
#   Windows: bin/QornRV270API.dll, lib/libQornRV270API.dll.a (import library) and
#            lib/QornRV270API.def
#   lib/cmake/QornRV270API/                     find_package(QornRV270API) gives the
#                                               imported target QornRV270API::QornRV270API
#   lib/pkgconfig/QornRV270API.pc               pkg-config QornRV270API
#   Linux:   lib/udev/rules.d/70-qornrv270.rules  the terminal's hidraw nodes for the
#                                               logged-in user and the plugdev group
#   the README for integrators and the example sources; on Windows also the example
#   programs and the simulator beside the DLL; on Linux the simulator in bin/
#   bin/rv270 (rv270.exe), the command line for service staff, when it is built
# CPack packs the same tree: one ZIP per Windows architecture (QornRV270API-<version>-win32
# and -win64), a .tar.gz on Linux, in <build>/packages.
#
# The library keeps writing its daily log into LogOfRV270 beside itself, so the installed
# library's folder must be writable by the programs that load it.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT WIN32)
  # The shared object carries the file version; programs link against the .so.1 name.
  set_target_properties(QornRV270API PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

set(RV270_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QornRV270API)
if(WIN32)
  # A Windows drop keeps its documents at the top and its programs beside the DLL.
  set(RV270_DOC_DIR .)
else()
  set(RV270_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS QornRV270API EXPORT QornRV270APITargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/QornRV270API.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${RV270_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# CMake package.
install(EXPORT QornRV270APITargets NAMESPACE QornRV270API::
  DESTINATION ${RV270_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/QornRV270APIConfig.cmake.in
  ${PROJECT_BINARY_DIR}/generated/QornRV270APIConfig.cmake
  INSTALL_DESTINATION ${RV270_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/generated/QornRV270APIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/generated/QornRV270APIConfig.cmake
  ${PROJECT_BINARY_DIR}/generated/QornRV270APIConfigVersion.cmake
  DESTINATION ${RV270_CMAKE_DIR})

# pkg-config file. Its prefix is found from the file's own place (${pcfiledir}), so the
# installed tree may be moved and `cmake --install --prefix` may pick another prefix.
file(RELATIVE_PATH RV270_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" RV270_PC_TO_PREFIX "${RV270_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/QornRV270API.pc.in
  ${PROJECT_BINARY_DIR}/generated/QornRV270API.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/generated/QornRV270API.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# udev rules for the terminal's hidraw nodes (udev reads them under /usr/lib or /lib:
# install with that prefix, or copy the file to /etc/udev/rules.d).
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/res/udev/70-qornrv270.rules DESTINATION lib/udev/rules.d)
endif()

# The README for integrators is the block of README.md between its integrator markers.
file(READ ${PROJECT_SOURCE_DIR}/README.md _readme)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
if(_readme MATCHES "<!-- integrators:begin -->\n(.*)<!-- integrators:end -->")
  file(WRITE ${PROJECT_BINARY_DIR}/generated/README-integrators.md
    "# QornRV270API ${PROJECT_VERSION}\n\n${CMAKE_MATCH_1}")
  install(FILES ${PROJECT_BINARY_DIR}/generated/README-integrators.md
    DESTINATION ${RV270_DOC_DIR})
endif()
# The exports this build provides, beside the README that points to them.
install(FILES ${PROJECT_SOURCE_DIR}/res/implemented.txt DESTINATION ${RV270_DOC_DIR}
  RENAME exports-implemented.txt)

# Examples: the sources always; the Windows drop also carries the programs, and the
# simulator to try them without a terminal.
file(GLOB _example_sources ${PROJECT_SOURCE_DIR}/examples/*.cpp)
install(FILES ${_example_sources} DESTINATION ${RV270_DOC_DIR}/examples)
if(TARGET rv270-sim)
  install(TARGETS rv270-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The command line for service staff (built when CLI11 is present). It carries the
# library's core inside itself, so it needs nothing beside it but the system's DLLs.
if(TARGET rv270)
  install(TARGETS rv270 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(WIN32 AND RV270_BUILD_TESTS)
  get_property(_example_targets DIRECTORY ${PROJECT_SOURCE_DIR}/examples PROPERTY BUILDSYSTEM_TARGETS)
  if(_example_targets)
    install(TARGETS ${_example_targets} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endif()

# Packages.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_arch win32)
  else()
    set(_arch win64)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(_arch linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_NAME QornRV270API)
set(CPACK_PACKAGE_VENDOR Qorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host interface library of the RV270 counter terminal")
set(CPACK_PACKAGE_FILE_NAME QornRV270API-${PROJECT_VERSION}-${_arch})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)
include(CPack)
