// Looking for a running process by name.
//
// The name never reaches a shell: it is checked to be a plain process name (letters, digits,
// '.', '_' and '-', fitting a 127-character "pgrep NAME" command) and handed to pgrep as its own
// argument after "--", so it can be neither a command nor an option. pgrep's standard output
// comes back through a pipe; the first line of at most 99 characters is its answer. Closing
// the pipe early ends a pgrep that has more to say, and the child is always reaped.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/owners.h"
#include "storage/storage.h"

extern char **environ;

namespace {

// The command "pgrep NAME" is at most 127 characters.
constexpr size_t max_name_len = 127 - (sizeof "pgrep " - 1);

bool is_plain_name(const char *name) {
  if (name == nullptr || name[0] == '\0') return false;
  size_t length = 0;
  for (const char *c = name; *c != '\0'; ++c, ++length) {
    const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                       (*c >= '0' && *c <= '9') || *c == '.' || *c == '_' || *c == '-';
    if (!plain || length >= max_name_len) return false;
  }
  return true;
}

// Waits for the child; its exit status, or -1 when it did not exit normally.
int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The status of a child that could not execute its program, where posix_spawn reports the
// failure that way rather than through its result (as it may, and does under an emulator).
constexpr int exec_failed_status = 127;

}  // namespace

int detectProcessByName(const char *name) {
  if (!is_plain_name(name)) return -1;

  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -2;
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -2;
  int error = posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  char program[] = "pgrep";
  char end_of_options[] = "--";
  char *argv[] = {program, end_of_options, const_cast<char *>(name), nullptr};
  pid_t pid = 0;
  if (error == 0) error = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  write_end.close_now();  // the child holds the only write end now: end of file when it exits
  if (error != 0) return -2;

  char line[100];
  bool answered = false;
  if (UniqueFile stream{fdopen(read_end.get(), "r")}) {
    read_end.release();
    answered = fgets(line, sizeof line, stream.get()) != nullptr;
  }
  read_end.close_now();
  // The stream is closed by now, so a pgrep with more lines cannot block on it.
  const int status = reap(pid);
  if (!answered) return status == exec_failed_status ? -2 : -3;
  printf("find process: %s PID: %s\n", name, line);
  return 0;
}
