// Child processes on pipes.
#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/Os.h"

extern char** environ;

namespace {

// A pipe whose both ends close on exec: the child gets its end through dup2.
bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    perror("pipe2");
    return false;
  }
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return true;
}

int StatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

bool StartChild(const std::vector<std::string>& argv, ChildProcess& child) {
  UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (argv.empty() || !MakePipe(inRead, inWrite) || !MakePipe(outRead, outWrite) ||
      !MakePipe(errRead, errWrite)) {
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inRead.Get(), 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  // The child starts with default signal handling even if we ignore SIGPIPE.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    perror("posix_spawn");
    return false;
  }
  child.pid = pid;
  child.in = std::move(inWrite);
  child.out = std::move(outRead);
  child.err = std::move(errRead);
  return true;
}

int WaitChild(int pid, int timeoutMs) {
  int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return StatusOf(status);
    if (done < 0 && errno != EINTR) return -1;
    if (MonotonicMs() >= deadline) return -1;
    SleepMs(10);
  }
}

int StopChild(int pid, int graceMs) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = WaitChild(pid, graceMs);
  if (status >= 0) return status;
  kill(pid, SIGKILL);
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return StatusOf(raw);
}
