// Runs the real server binary in a temp directory and collects its console
// output with deadlines. Used by the integration tests.
#include "tests/support/TestServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int LeftMs(int64_t deadline) {
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Appends what `fd` holds now to `to`; closes it and sets -1 at its end.
void Drain(int& fd, std::string& to) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      to.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    close(fd);
    fd = -1;
    return;
  }
}

}  // namespace

std::string TestCertsDir() {
  return TEST_CERTS_DIR;
}
std::string ServerBinary() {
  return SERVER_BIN;
}
std::string ChatBinary() {
  return CHAT_BIN;
}

TestServer::~TestServer() {
  Stop();
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  if (!dir.empty()) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
}

bool TestServer::Prepare(bool withCerts) {
  if (!dir.empty()) return true;
  char pattern[] = "/tmp/chatserver-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  dir = pattern;
  if (!withCerts) return true;
  std::error_code error;
  fs::create_directory(dir + "/certs", error);
  for (const char* name : {"ca.crt", "server.crt", "server.key"}) {
    if (error) break;
    fs::copy_file(TestCertsDir() + "/" + name, dir + "/certs/" + name, error);
  }
  return !error;
}

bool TestServer::Spawn(std::vector<std::string> args, bool withCerts) {
  if (pid > 0 || !Prepare(withCerts)) return false;
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return false;
  }
  // Everything the child needs is built before fork: only async-signal-safe
  // calls run between fork and exec.
  std::string binary = ServerBinary();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t parent = getpid();

  pid_t child = fork();
  if (child == 0) {
    // A test binary that dies must not leave servers behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);
    if (chdir(dir.c_str()) != 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (child < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return false;
  }
  pid = child;
  exitStatus = -1;
  out.clear();
  err.clear();
  outFd = outPipe[0];
  errFd = errPipe[0];
  fcntl(outFd, F_SETFL, O_NONBLOCK);
  fcntl(errFd, F_SETFL, O_NONBLOCK);
  return true;
}

bool TestServer::Start(std::vector<std::string> args, bool withCerts, int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  if (!Spawn(std::move(args), withCerts)) return false;
  const std::string notice = "[+] Server is working at ";
  size_t at = WaitFor(notice, LeftMs(deadline));
  if (at == std::string::npos) return false;
  if (WaitFor("\n", LeftMs(deadline), false, at) == std::string::npos) return false;
  port = std::atoi(out.c_str() + at);
  return port > 0;
}

void TestServer::Pump(int timeoutMs) {
  pollfd fds[2] = {};
  fds[0].fd = outFd;
  fds[0].events = POLLIN;
  fds[1].fd = errFd;
  fds[1].events = POLLIN;
  if (outFd < 0 && errFd < 0) return;
  int rc;
  do {
    rc = poll(fds, 2, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return;
  if (outFd >= 0 && fds[0].revents != 0) Drain(outFd, out);
  if (errFd >= 0 && fds[1].revents != 0) Drain(errFd, err);
}

size_t TestServer::WaitFor(const std::string& text, int timeoutMs, bool fromErr, size_t from) {
  int64_t deadline = NowMs() + timeoutMs;
  const std::string& where = fromErr ? err : out;
  for (;;) {
    if (from <= where.size()) {
      size_t at = where.find(text, from);
      if (at != std::string::npos) return at + text.size();
    }
    int left = LeftMs(deadline);
    int openFd = fromErr ? errFd : outFd;
    if (left == 0 || openFd < 0) return std::string::npos;
    Pump(left);
  }
}

int TestServer::WaitExit(int timeoutMs) {
  if (pid <= 0) return exitStatus;
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int raw = 0;
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) {
      exitStatus = done == pid ? StatusOf(raw) : -1;
      pid = -1;
      // Whatever it wrote before ending is in the pipes now.
      while (outFd >= 0 || errFd >= 0) {
        if (outFd >= 0) Drain(outFd, out);
        if (errFd >= 0) Drain(errFd, err);
        if (outFd >= 0 || errFd >= 0) Pump(100);
        if (NowMs() > deadline + 1000) break;  // a grandchild could hold them
      }
      return exitStatus;
    }
    int left = LeftMs(deadline);
    if (left == 0) return -1;
    // Reading keeps a chatty server from blocking on a full pipe.
    if (outFd >= 0 || errFd >= 0) {
      Pump(std::min(left, 20));
    } else {
      poll(nullptr, 0, std::min(left, 20));
    }
  }
}

void TestServer::Signal(bool interrupt) {
  if (pid > 0) kill(pid, interrupt ? SIGINT : SIGTERM);
}

void TestServer::Stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (WaitExit(5000) != -1 || pid <= 0) return;
  kill(pid, SIGKILL);
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  exitStatus = StatusOf(raw);
  pid = -1;
}

bool TestServer::Alive() {
  if (pid <= 0) return false;
  int raw = 0;
  pid_t done = waitpid(pid, &raw, WNOHANG);
  if (done == 0) return true;
  if (done == pid) exitStatus = StatusOf(raw);
  pid = -1;
  return false;
}

int OpenFds(pid_t pid) {
  std::error_code error;
  fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error);
  if (error) return -1;
  int count = 0;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return -1;
    ++count;
  }
  return count;
}

long CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The command name may hold spaces and parentheses: fields follow the last ')'.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  long utime = -1;
  long stime = -1;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  long ticks = sysconf(_SC_CLK_TCK);
  if (utime < 0 || stime < 0 || ticks <= 0) return -1;
  return (utime + stime) * 1000 / ticks;
}

long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}
