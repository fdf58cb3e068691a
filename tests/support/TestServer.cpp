// Child processes on pipes with deadlines, and the server in a temp directory.
#include "tests/support/TestServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/Os.h"
#include "platform/ProcStats.h"
#include "platform/Term.h"

namespace saferoom {

namespace fs = std::filesystem;

namespace {

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
    // Out of the way first, so that no descriptor to pass is overwritten
    // before its turn; dup2 leaves the copies open across exec.
    constexpr int kAside = 100;
    int aside[16];
    const size_t numPassed = std::min<size_t>(passFds.size(), 16);
    for (size_t i = 0; i < numPassed; ++i)
      if ((aside[i] = fcntl(passFds[i], F_DUPFD_CLOEXEC, kAside)) < 0) _exit(127);
    for (size_t i = 0; i < numPassed; ++i)
      if (dup2(aside[i], 3 + static_cast<int>(i)) < 0) _exit(127);
    execv(args[0], args.data());
    _exit(127);
  }
  inFd = std::move(ends[1]);
  outFd = std::move(ends[2]);
  errFd = std::move(ends[4]);
  return pid > 0;
}

bool Proc::Send(const std::string& text) {
  const Deadline deadline = Deadline::In(5000);
  // A writable pipe takes PIPE_BUF bytes without blocking.
  for (size_t at = 0; at < text.size(); at += 4096) {
    if (PollFd(inFd.Get(), true, deadline) != PollResult::kReady ||
        !WriteFd(inFd.Get(), text.data() + at, std::min<size_t>(4096, text.size() - at))) {
      return false;
    }
  }
  return true;
}

void Proc::Pump(Deadline deadline) {
  if (!outFd.Valid() && !errFd.Valid()) return;
  PollItem streams[2];
  streams[0].fd = outFd.Get();
  streams[1].fd = errFd.Get();
  if (PollFds(streams, 2, deadline) != PollResult::kReady) return;
  if (streams[0].ready) ReadInto(outFd, out);
  if (streams[1].ready) ReadInto(errFd, err);
}

size_t Proc::WaitFor(const std::string& text, int timeoutMs, bool fromErr, size_t from) {
  const Deadline deadline = Deadline::In(timeoutMs);
  for (;;) {
    size_t at = (fromErr ? err : out).find(text, from);
    if (at != std::string::npos) return at + text.size();
    if (deadline.Passed() || !(fromErr ? errFd : outFd).Valid()) return std::string::npos;
    Pump(deadline);
  }
}

int Proc::WaitExit(int timeoutMs, bool reading) {
  const Deadline deadline = Deadline::In(timeoutMs);
  while (reading && (outFd.Valid() || errFd.Valid()) && !deadline.Passed())
    Pump(deadline);
  for (int status; pid > 0;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exitStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      pid = -1;
    } else if (deadline.Passed()) {
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
  args.insert(args.begin(), wrapper.begin(), wrapper.end());
  return Prepare() && Proc::Spawn(args, dir);
}

bool TestServer::Start(std::vector<std::string> args) {
  size_t at =
      Spawn(std::move(args)) ? WaitFor("[+] Server is working at ", 10000) : std::string::npos;
  bool whole = at != std::string::npos && WaitFor("\n", 5000, false, at) != std::string::npos;
  port = whole ? std::atoi(out.c_str() + at) : 0;
  return port > 0;
}

std::string RunScript(const std::vector<std::string>& argv) {
  Proc script;
  EXPECT_TRUE(script.Spawn(argv));
  EXPECT_EQ(script.WaitExit(30000), 0) << argv[0] << ": " << script.err;
  return script.out;
}

int SumAfter(const std::string& text, const std::string& prefix) {
  int sum = 0;
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
    sum += std::atoi(text.c_str() + at + prefix.size());
  return sum;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

std::string OneGapMismatch(const std::string& got, const std::vector<std::string>& printed,
                           const std::vector<std::string>& after) {
  const std::vector<std::string> lines = Lines(got);
  size_t kept = 0;
  while (kept < lines.size() && kept < printed.size() && lines[kept] == printed[kept])
    ++kept;
  if (kept == printed.size()) return "nothing was dropped";
  std::vector<std::string> want = {"... " + std::to_string(printed.size() - kept) +
                                   " console lines dropped\n"};
  want.insert(want.end(), after.begin(), after.end());
  if (std::vector<std::string>(lines.begin() + static_cast<long>(kept), lines.end()) == want) {
    return "";
  }
  std::string rest;
  for (size_t i = kept; i < lines.size() && i < kept + want.size() + 2; ++i)
    rest += lines[i];
  return "after the first " + std::to_string(kept) + " lines, not " + want.front() + ":\n" + rest;
}

long RssKiB(pid_t pid) {
  return static_cast<long>(ReadStatusKib(pid, "VmRSS"));
}

long CpuMs(pid_t pid) {
  ProcessCpu cpu;
  return ReadProcessCpu(pid, cpu) ? static_cast<long>(cpu.statSeconds * 1000) : -1;
}

long SendBytes(int fd, const void* buf, size_t len) {
  ssize_t n;
  do {
    n = send(fd, buf, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long RecvBytes(int fd, void* buf, size_t len) {
  ssize_t n;
  do {
    n = recv(fd, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

}  // namespace saferoom
