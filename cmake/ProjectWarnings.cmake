# Warnings are errors on the project's own code (not on GoogleTest or the system headers).
function(dh_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A subsystem library: dh_library(NAME SOURCES... [DEPS targets...])
function(dh_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  dh_warnings(${name})
endfunction()
