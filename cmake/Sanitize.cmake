# -DSANITIZE=address,undefined or -DSANITIZE=thread: the whole build, libraries and tests alike.
if(SANITIZE)
  if(SANITIZE MATCHES "thread" AND SANITIZE MATCHES "address")
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  # Halt on the first error: a sanitizer finding fails the test that caused it.
  add_compile_options(-fsanitize=${SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${SANITIZE} -fno-sanitize-recover=all)
  if(SANITIZE MATCHES "thread")
    # The panel's state file is a seqlock read by other processes; its fences order plain
    # stores for those readers, which ThreadSanitizer does not model (and warns about).
    add_compile_options(-Wno-tsan)
  endif()
endif()
