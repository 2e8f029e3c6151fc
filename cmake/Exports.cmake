# The export list lives in one place: res/exports.tsv (name, argument count) names all
# exports of the interface; res/implemented.txt names those that this build provides.
# From them we generate the Windows .def file (names with their stdcall argument size,
# so the import library carries _Name@N) and the Linux version script.

file(STRINGS ${PROJECT_SOURCE_DIR}/res/exports.tsv _rows)
file(STRINGS ${PROJECT_SOURCE_DIR}/res/implemented.txt _impl REGEX "^[A-Za-z]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/res/exports.tsv ${PROJECT_SOURCE_DIR}/res/implemented.txt)

set(_def "LIBRARY QornRV270API.dll\nEXPORTS\n")
set(_map "{\n  global:\n")
foreach(_name IN LISTS _impl)
  set(_argc "")
  foreach(_row IN LISTS _rows)
    if(_row MATCHES "^${_name}\t([0-9]+)$")
      set(_argc ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(_argc STREQUAL "")
    message(FATAL_ERROR "res/implemented.txt names ${_name}, which res/exports.tsv does not list")
  endif()
  math(EXPR _size "${_argc} * 4")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(APPEND _def "  ${_name}@${_size}\n")
  else()
    string(APPEND _def "  ${_name}\n")
  endif()
  string(APPEND _map "    ${_name};\n")
endforeach()
string(APPEND _map "  local: *;\n};\n")

set(RV270_DEF_FILE ${PROJECT_BINARY_DIR}/generated/QornRV270API.def)
set(RV270_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/generated/QornRV270API.map)
file(WRITE ${RV270_DEF_FILE} "${_def}")
file(WRITE ${RV270_VERSION_SCRIPT} "${_map}")
