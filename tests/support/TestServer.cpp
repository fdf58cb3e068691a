// Child processes on pipes with deadlines, and the server in a temp directory.
#include "tests/support/TestServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/Os.h"
#include "platform/Term.h"

namespace fs = std::filesystem;

namespace {

int LeftMs(int64_t deadline) {
  return static_cast<int>(std::max<int64_t>(0, deadline - MonotonicMs()));
}

// One read of what `fd` has; closes it at its end.
void ReadInto(UniqueFd& fd, std::string& to) {
  char buf[4096];
  long got = ReadFd(fd.Get(), buf, sizeof buf);
  if (got <= 0) fd.Reset();
  if (got > 0) to.append(buf, static_cast<size_t>(got));
}

}  // namespace

bool Proc::Spawn(const std::vector<std::string>& argv, const std::string& dir) {
  if (pid > 0 || argv.empty()) return false;
  UniqueFd ends[6];  // read and write ends of standard input, output, error
  for (int i = 0; i < 6; i += 2) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    ends[i].Reset(fds[0]);
    ends[i + 1].Reset(fds[1]);
  }
  // Built before fork: only async-signal-safe calls run between fork and exec.
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid = fork();
  if (pid == 0) {
    // A child left behind by a crashed test would hold its port and pipes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);  // even if the test ignores it
    if (getppid() != parent || (!dir.empty() && chdir(dir.c_str()) != 0) ||
        dup2(ends[0].Get(), 0) < 0 || dup2(ends[3].Get(), 1) < 0 || dup2(ends[5].Get(), 2) < 0) {
      _exit(127);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  inFd = std::move(ends[1]);
  outFd = std::move(ends[2]);
  errFd = std::move(ends[4]);
  return pid > 0;
}

bool Proc::Send(const std::string& text) {
  int64_t deadline = MonotonicMs() + 5000;
  // A writable pipe takes PIPE_BUF bytes without blocking.
  for (size_t at = 0; at < text.size(); at += 4096) {
    if (PollFd(inFd.Get(), true, LeftMs(deadline)) != PollResult::kReady ||
        !WriteFd(inFd.Get(), text.data() + at, std::min<size_t>(4096, text.size() - at))) {
      return false;
    }
  }
  return true;
}

void Proc::Pump(int timeoutMs) {
  if (!outFd.Valid() && !errFd.Valid()) return;
  PollItem streams[2];
  streams[0].fd = outFd.Get();
  streams[1].fd = errFd.Get();
  if (PollFds(streams, 2, timeoutMs) != PollResult::kReady) return;
  if (streams[0].ready) ReadInto(outFd, out);
  if (streams[1].ready) ReadInto(errFd, err);
}

size_t Proc::WaitFor(const std::string& text, int timeoutMs, bool fromErr, size_t from) {
  int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    size_t at = (fromErr ? err : out).find(text, from);
    if (at != std::string::npos) return at + text.size();
    if (LeftMs(deadline) == 0 || !(fromErr ? errFd : outFd).Valid()) return std::string::npos;
    Pump(LeftMs(deadline));
  }
}

int Proc::WaitExit(int timeoutMs) {
  int64_t deadline = MonotonicMs() + timeoutMs;
  while ((outFd.Valid() || errFd.Valid()) && LeftMs(deadline) > 0)
    Pump(LeftMs(deadline));
  for (int status; pid > 0;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exitStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      pid = -1;
    } else if (LeftMs(deadline) == 0) {
      break;
    } else {
      SleepMs(10);
    }
  }
  return exitStatus;
}

void Proc::Stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  // Reading while it stops keeps a full pipe from holding it up.
  if (WaitExit(5000) >= 0) return;
  kill(pid, SIGKILL);
  WaitExit(5000);
}

TestServer::~TestServer() {
  Stop();
  std::error_code ignored;
  if (!dir.empty()) fs::remove_all(dir, ignored);
}

bool TestServer::Prepare() {
  if (!dir.empty()) return true;
  char pattern[] = "/tmp/chatserver-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  dir = pattern;
  std::error_code error;
  fs::copy(TestCertsDir(), dir + "/certs", fs::copy_options::recursive, error);
  return !error;
}

bool TestServer::Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), SERVER_BIN);
  return Prepare() && Proc::Spawn(args, dir);
}

bool TestServer::Start(std::vector<std::string> args) {
  size_t at =
      Spawn(std::move(args)) ? WaitFor("[+] Server is working at ", 10000) : std::string::npos;
  bool whole = at != std::string::npos && WaitFor("\n", 5000, false, at) != std::string::npos;
  port = whole ? std::atoi(out.c_str() + at) : 0;
  return port > 0;
}

int SumAfter(const std::string& text, const std::string& prefix) {
  int sum = 0;
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
    sum += std::atoi(text.c_str() + at + prefix.size());
  return sum;
}

int ProcEntries(pid_t pid, const char* dir) {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/" + dir, error), end;
       !error && it != end; it.increment(error))
    ++count;
  return error ? -1 : count;
}

long CpuMs(pid_t pid) {
  clockid_t clock;
  timespec now;
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &now) != 0) return -1;
  return now.tv_sec * 1000L + now.tv_nsec / 1000000;
}

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  return -1;
}
