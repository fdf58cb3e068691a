// Runs the real server and chat binaries on pipes, the server in a temp
// directory with the development certificates. For the integration tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/Net.h"

namespace saferoom {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // allocators that keep freed memory: RSS says little
#else
constexpr bool kSanitized = false;
#endif

// Where CTest's fixture put the development certificates (ca.crt, server.*,
// a member's in members/, and in other/ the same from a foreign CA).
inline std::string TestCertsDir() {
  return TEST_CERTS_DIR;
}
// The member certificate of a set, without .crt or .key: chat-client, issued
// by add-member.sh.
inline std::string TestMember(const std::string& set = TestCertsDir()) {
  return set + "/members/chat-client";
}
inline std::string ChatBinary() {
  return CHAT_BIN;
}

// A child process on pipes. It dies with the test binary, and is stopped by
// its PID when this goes away.
struct Proc {
  pid_t pid = -1;  // -1 before Spawn and once reaped
  UniqueFd inFd;
  UniqueFd outFd;
  UniqueFd errFd;
  std::string out;      // all of standard output read so far
  std::string err;      // the same for standard error
  int exitStatus = -1;  // once reaped: the exit code, or 128 + the signal
  // Given to the child as descriptors 3, 4, ... (as systemd passes sockets).
  std::vector<int> passFds;

  ~Proc() { Stop(); }

  // Starts argv[0] (a path) in `dir`, or here when it is empty.
  bool Spawn(const std::vector<std::string>& argv, const std::string& dir = "");
  // Writes all of `text` to standard input within 5 s.
  bool Send(const std::string& text);
  void CloseInput() { inFd.Reset(); }
  // Reads what the streams hold, waiting for something until `deadline`.
  void Pump(Deadline deadline);
  // Waits until `out` (or `err`, when fromErr) holds `text` at or after
  // `from`; the position after it, or npos on timeout.
  size_t WaitFor(const std::string& text, int timeoutMs = 5000, bool fromErr = false,
                 size_t from = 0);
  // Reads both streams to their end (unless not `reading`: a console
  // nobody reads), then reaps: exitStatus, or -1 on timeout.
  int WaitExit(int timeoutMs = 15000, bool reading = true);
  // SIGTERM, then SIGKILL if it lingers; always reaps.
  void Stop();
  bool Alive() { return pid > 0 && WaitExit(0) < 0; }
};

struct TestServer : Proc {
  int port = 0;
  std::string dir;  // working directory, holding certs/
  // What runs the server, with the server's path and arguments after it
  // (a launcher of socket activation); empty: the server itself.
  std::vector<std::string> wrapper;

  ~TestServer();
  // Makes `dir` with a copy of the certificates in certs/, so that a test can
  // change them before Spawn.
  bool Prepare();
  bool Spawn(std::vector<std::string> args);
  // Spawn, then its start-up notice within 10 s; `port` is the bound one.
  bool Start(std::vector<std::string> args = {"0"});
};

// Runs a script of ours to its end (30 s at most); its standard output, or
// a test failure.
std::string RunScript(const std::vector<std::string>& argv);

// One send or recv on a raw socket (no SIGPIPE, EINTR retried): the bytes,
// 0 at the peer's end (recv), or -1.
long SendBytes(int fd, const void* buf, size_t len);
long RecvBytes(int fd, void* buf, size_t len);

// The sum of the numbers that follow each `prefix` in `text`.
int SumAfter(const std::string& text, const std::string& prefix);

// `text` cut after each '\n'.
std::vector<std::string> Lines(const std::string& text);
// Empty when `got` holds the first lines of `printed`, then one line "... N
// console lines dropped" counting the others (N > 0), then `after`; else
// what differs.
std::string OneGapMismatch(const std::string& got, const std::vector<std::string>& printed,
                           const std::vector<std::string>& after);

// Process `pid`'s resident memory in KiB, and its CPU time (user and system,
// every thread) in ms; -1 on failure. (platform/ProcStats.h has the rest.)
long RssKiB(pid_t pid);
long CpuMs(pid_t pid);

}  // namespace saferoom
