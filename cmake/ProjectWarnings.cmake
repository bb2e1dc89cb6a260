# Warnings are errors on the project's own code (not on GoogleTest or the system headers).
function(dh_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  # GCC 12 at -O3 (Release) reports std::string assignments from its own inlined copies as
  # overlapping or dangling (false positives): they stay warnings there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-error=restrict -Wno-error=dangling-pointer)
  endif()
endfunction()

# A subsystem library: dh_library(NAME SOURCES... [DEPS targets...])
function(dh_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  dh_warnings(${name})
endfunction()
