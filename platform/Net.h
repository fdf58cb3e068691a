// The thin socket layer: descriptors, IPv4 listening and accepting, polling.
// Only platform/ includes the OS headers; server/, room/ and client/ call this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Owns one file descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Opens an IPv4 stream socket on 0.0.0.0:port and listens. On failure calls
// perror with "socket", "bind" or "listen" and returns an invalid fd.
UniqueFd ListenTcp4(uint16_t port, int backlog);

// The port a bound socket actually has (for port 0), or -1.
int LocalPort(int fd);

enum class AcceptResult { kOk, kNothing, kFailed };
// Accepts one connection. kNothing: nothing was waiting (EAGAIN, EINTR,
// ECONNABORTED). kFailed: errno is set for the caller's perror.
AcceptResult AcceptTcp4(int listenFd, UniqueFd& conn, std::string& peerIp, int& peerPort);

// True for accept errors that mean "out of descriptors or memory": back off.
bool IsResourceShortage(int err);

bool SetNonBlocking(int fd);
bool SetNoDelay(int fd);

// Connects to host:port (IPv4 literal or name), blocking. Invalid fd on
// failure, with errno set.
UniqueFd ConnectTcp(const std::string& host, uint16_t port);

enum class PollResult { kReady, kTimeout, kError };
// Waits until `fd` is readable (or writable, when `forWrite`), hung up or in
// error, for at most timeoutMs (< 0: no limit). EINTR is retried with the
// remaining time.
PollResult PollFd(int fd, bool forWrite, int timeoutMs);

// Waits on two descriptors for input; sets ready0/ready1. Used by the chat
// client (terminal and connection). EINTR returns kTimeout so the caller can
// look at its flags.
PollResult PollTwo(int fd0, int fd1, int timeoutMs, bool& ready0, bool& ready1);

// One send of up to `len` bytes, without SIGPIPE; EINTR retried. The bytes
// sent, or -1 with errno set.
long SendBytes(int fd, const void* buf, size_t len);
// One recv of up to `len` bytes; EINTR retried. 0 at the peer's end, -1 with
// errno set.
long RecvBytes(int fd, void* buf, size_t len);

// shutdown(fd, both directions); a reader blocked in poll on it wakes up.
void ShutdownBoth(int fd);
