# -DSANITIZE=address,undefined or -DSANITIZE=thread: the whole build, libraries and tests alike.
if(SANITIZE)
  if(SANITIZE MATCHES "thread" AND SANITIZE MATCHES "address")
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  # Halt on the first error: a sanitizer finding fails the test that caused it.
  add_compile_options(-fsanitize=${SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${SANITIZE} -fno-sanitize-recover=all)
  if(SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # The panel's state file is a seqlock read by other processes; its fences order plain
    # stores for those readers, which ThreadSanitizer does not model (and warns about).
    add_compile_options(-Wno-tsan)
  endif()
endif()

# -DDH_FUZZ=ON (clang only): every library is built with libFuzzer's coverage instrumentation,
# and tests/fuzz adds one libFuzzer executable per untrusted input. Combine it with
# -DSANITIZE=address,undefined; scripts/fuzz builds and runs them.
option(DH_FUZZ "Build the libFuzzer targets in tests/fuzz (clang)" OFF)
if(DH_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "DH_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link
                      -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/tests/fuzz/coverage-ignore.txt)
endif()
