// The thin socket layer: descriptors, IP addresses, listening, accepting,
// connecting, polling.
// Only platform/ includes the OS headers; server/, tls/, room/ and client/
// call this.
//
// Failure convention for all of platform/: a function's return value says
// whether it worked (an invalid UniqueFd, false, -1 or a result enum), and
// errno is then as the failing system call left it; nothing here prints.
// EINTR is handled inside every call: retried, with the time left when the
// call waits. Every wait takes a Deadline; a timeout is its own result, never
// an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Deadline.h"

namespace saferoom {

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

// An IP address as bytes. An IPv4-mapped IPv6 address (::ffff:a.b.c.d, the
// form in which a dual-stack listener sees IPv4 clients) is always held as
// the IPv4 address, so that each client has one form everywhere.
struct IpAddress {
  bool v6 = false;
  uint8_t bytes[16] = {};  // IPv4: the first 4, in network order
};

// Reads an IPv4 dotted quad or an IPv6 address (also in [brackets]). False
// for anything else, host names included.
bool ParseIpAddress(const std::string& text, IpAddress& ip);

// `host` without the [brackets] that an IPv6 address may come in (as in
// URLs); anything else as it is.
std::string WithoutBrackets(const std::string& host);

// The standard text form: a dotted quad, or IPv6 as RFC 5952 writes it
// (lower case, the longest run of zero groups as ::).
std::string IpAddressText(const IpAddress& ip);

// 0.0.0.0 or ::, the address that stands for all of the machine's.
bool IsAnyAddress(const IpAddress& ip);

// Opens a non-blocking stream socket on address:port and listens (0.0.0.0
// by default, exactly as the server always has). On :: it also takes IPv4
// clients where the system allows, unless `ipv6Only`. On failure returns an
// invalid fd and sets `failedCall` to the name of the call that failed
// ("socket", "bind", "listen" or "fcntl"), for the caller's perror.
UniqueFd ListenTcp(const IpAddress& address, uint16_t port, int backlog, bool ipv6Only,
                   const char*& failedCall);

// The port a bound socket actually has (for port 0), or -1.
int LocalPort(int fd);

enum class AcceptResult { kOk, kNothing, kFailed };
// Accepts one connection, non-blocking, with the listener's socket options.
// kNothing: nothing was waiting (EAGAIN, or a peer that gave up:
// ECONNABORTED). kFailed: errno is set for the caller's perror.
AcceptResult AcceptTcp(int listenFd, UniqueFd& conn, IpAddress& peerIp, int& peerPort);

// True for accept errors that mean "out of descriptors or memory": back off.
bool IsResourceShortage(int err);

bool SetNonBlocking(int fd);
bool SetNoDelay(int fd);
// Lets the socket hold at most about `bytes` not yet sent (besides what is
// in flight); it polls writable only below that. A peer that reads slowly
// then drains each write of ours at its own pace, not after a backlog of
// megabytes that the kernel would otherwise queue for it.
bool SetUnsentLimit(int fd, int bytes);
// TCP keepalive: after idleSec without traffic, a probe every intervalSec;
// after `probes` unanswered ones the connection fails (reads and writes end).
bool SetKeepAlive(int fd, int idleSec, int intervalSec, int probes);

// Connects to host:port (an address literal or a name) by `deadline`
// (never: each attempt for the system's own limit). Every address the name
// resolves to is tried, IPv6 and IPv4 taking turns in the resolver's order:
// the next attempt starts when one fails, or after kNextAttemptMs while the
// earlier ones are still waiting, and the first to connect wins, so one
// address that does not answer cannot use up the deadline. From `sourceIp`
// when it is not empty (an address literal, which keeps the attempts to its
// family: on loopback any of 127.0.0.0/8 makes a client look like another
// host). The socket comes back in blocking mode. On failure an invalid fd:
// when the name did not resolve, `resolveError` (if given) gets the
// resolver's code for ResolveErrorText and errno is left alone; otherwise
// *resolveError is 0 and errno is the last failing call's (ETIMEDOUT on
// timeout).
UniqueFd ConnectTcp(const std::string& host, uint16_t port, Deadline deadline,
                    int* resolveError = nullptr, const std::string& sourceIp = "");

// How long an attempt of ConnectTcp waits alone before the next one starts.
constexpr int kNextAttemptMs = 250;

// The resolver's text for a code from ConnectTcp.
std::string ResolveErrorText(int resolveError);

enum class PollResult { kReady, kTimeout, kError };
// Waits until `fd` is readable (or writable, when `forWrite`), hung up or in
// error, or until `deadline`.
PollResult PollFd(int fd, bool forWrite, Deadline deadline);

// One descriptor of a PollFds wait. A negative fd is passed over.
struct PollItem {
  int fd = -1;
  bool forWrite = false;
  bool ready = false;  // set by PollFds
};
// Waits until at least one item is ready (as PollFd), or until `deadline`;
// sets each item's `ready`.
PollResult PollFds(PollItem* items, size_t count, Deadline deadline);

// shutdown(fd, both directions); a reader blocked in poll on it wakes up.
void ShutdownBoth(int fd);

// Sends what a non-blocking socket takes now of `len` bytes (no SIGPIPE):
// the number sent, 0 when it takes nothing now, -1 on failure.
long SendSome(int fd, const void* buf, size_t len);

// A descriptor that one thread waits on in poll and any thread makes
// readable: a wake-up that needs no timer. Invalid when it could not be
// made (errno set); Signal and Clear then do nothing.
class WakeEvent {
 public:
  WakeEvent();
  bool Valid() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  // Makes Fd() readable; any number of calls before the next Clear are one.
  void Signal();
  // Makes Fd() unreadable again, until the next Signal.
  void Clear();

 private:
  UniqueFd fd_;
};

}  // namespace saferoom
