// Child processes on pipes: start, wait with a deadline, stop by PID.
#include "tests/support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/Os.h"

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

bool StartChild(const std::vector<std::string>& argv, const std::string& dir, ChildProcess& child) {
  UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (argv.empty() || !MakePipe(inRead, inWrite) || !MakePipe(outRead, outWrite) ||
      !MakePipe(errRead, errWrite)) {
    return false;
  }
  // Built before fork: only async-signal-safe calls run between fork and exec.
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return false;
  }
  if (pid == 0) {
    // A child left behind by a crashed test would hold its port and pipes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Default signal handling, even if the parent ignores SIGPIPE.
    signal(SIGPIPE, SIG_DFL);
    if (getppid() != parent || (!dir.empty() && chdir(dir.c_str()) != 0) ||
        dup2(inRead.Get(), 0) < 0 || dup2(outWrite.Get(), 1) < 0 || dup2(errWrite.Get(), 2) < 0) {
      _exit(127);
    }
    execv(args[0], args.data());
    _exit(127);
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
