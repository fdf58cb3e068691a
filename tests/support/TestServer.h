// Starts the real server binary on a loopback port in a temp directory with
// development certificates, and reads its console output. For integration tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Where CTest's fixture put the development certificates (ca.crt, server.crt,
// server.key, client.crt, client.key, and in other/ the same from a foreign CA).
std::string TestCertsDir();
std::string ServerBinary();
std::string ChatBinary();

struct TestServer {
  pid_t pid = -1;  // -1 before Spawn and once reaped
  int port = 0;
  std::string dir;  // working directory; holds certs/
  int outFd = -1;   // server's standard output
  int errFd = -1;   // server's standard error
  std::string out;  // everything read from standard output so far
  std::string err;
  int exitStatus = -1;  // once reaped: the exit code, or 128 + the signal

  TestServer() = default;
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  ~TestServer();

  // Makes the temp dir (with certs/ when withCerts) if there is none yet, so
  // that a test can change the files before Spawn.
  bool Prepare(bool withCerts = true);

  // Makes a temp dir with certs/ copied from TestCertsDir() (when withCerts)
  // and starts the server with `args` (default: port 0). Returns false if it
  // did not print its start-up notice within timeoutMs; `port` is the bound one.
  bool Start(std::vector<std::string> args = {"0"}, bool withCerts = true, int timeoutMs = 10000);
  // Same, without waiting for the start-up notice (for failure tests).
  bool Spawn(std::vector<std::string> args, bool withCerts = true);

  // Waits until standard output (or error, when fromErr) contains `text`
  // after position `from`; returns the position after it, or npos on timeout.
  size_t WaitFor(const std::string& text, int timeoutMs = 5000, bool fromErr = false,
                 size_t from = 0);
  // Reads what is available now, without waiting.
  void Pump(int timeoutMs = 0);

  // Waits for the process to end, reading its output; its exit status (as
  // exitStatus), or -1 on timeout.
  int WaitExit(int timeoutMs = 10000);
  // Sends SIGTERM (or SIGINT, when `interrupt`) and returns at once.
  void Signal(bool interrupt = false);
  // SIGTERM, then SIGKILL if it lingers; always reaps.
  void Stop();
  bool Alive();
};

// Number of open descriptors of process `pid`, from /proc; -1 on failure.
int OpenFds(pid_t pid);
// CPU time (user + system) of `pid` in clock ticks converted to ms; -1 on failure.
long CpuMs(pid_t pid);
// Resident memory of `pid` in KiB; -1 on failure.
long RssKiB(pid_t pid);
