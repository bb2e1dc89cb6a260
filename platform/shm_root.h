// POSIX shared-memory objects under the sandbox root. On the device an object is what
// shm_open names; under a sandbox root DIR (DISPLAYHEAD_ROOT) it is the plain file
// DIR/dev/shm/NAME, so nothing touches the machine's own /dev/shm.
#pragma once

#include <sys/types.h>

#include <string>

// The object's name for messages: `name` itself, or the file's path under a sandbox root.
std::string shm_object_name(const char *name);

// shm_open()-like: a descriptor (close-on-exec; a link in the object's place is not followed),
// or -1 with errno set. Only a regular file is taken: anything else in its place (a FIFO, a
// directory) is refused, EISDIR for a directory and EINVAL for the rest. With O_CREAT under a
// sandbox root the directory DIR/dev/shm is made first, as the device always has it.
int shm_open_under_root(const char *name, int flags, mode_t mode);
