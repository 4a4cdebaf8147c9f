# cmake -DSRC=<src dir> -P climbing_includes.cmake
# Fails when a quoted include under SRC climbs out of its folder ("../x.hpp"):
# such a path is found whatever the include path says, so it would pass under
# the layer fence.
file(GLOB_RECURSE files "${SRC}/*.hpp" "${SRC}/*.cpp")
if(NOT files)
  message(FATAL_ERROR "no sources under ${SRC}")
endif()
set(found "")
foreach(f ${files})
  file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*\\.\\./")
  foreach(line ${lines})
    string(APPEND found "\n  ${f}: ${line}")
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "includes that climb out of their folder:${found}")
endif()
