// Sockets and polling on POSIX: IP addresses, listening and accepting,
// connecting, readiness waits. Called through platform/Net.h.
#include "platform/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace saferoom {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);  // no retry on EINTR: on Linux the fd is gone either way
  fd_ = fd;
}

namespace {

// `ip` as a socket address with `port`; its length.
socklen_t ToSockaddr(const IpAddress& ip, uint16_t port, sockaddr_storage& out) {
  out = {};
  if (ip.v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    std::memcpy(&a->sin6_addr, ip.bytes, 16);
    return sizeof *a;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out);
  a->sin_family = AF_INET;
  a->sin_port = htons(port);
  std::memcpy(&a->sin_addr, ip.bytes, 4);
  return sizeof *a;
}

// An IPv6 address's bytes as `ip`, an IPv4-mapped one as its IPv4 address.
void FromIn6(const in6_addr& a6, IpAddress& ip) {
  if (IN6_IS_ADDR_V4MAPPED(&a6)) {
    std::memcpy(ip.bytes, a6.s6_addr + 12, 4);
  } else {
    ip.v6 = true;
    std::memcpy(ip.bytes, &a6, 16);
  }
}

// The address and port of a socket address; false for another family.
bool FromSockaddr(const sockaddr_storage& in, IpAddress& ip, int& port) {
  ip = IpAddress();
  if (in.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&in);
    std::memcpy(ip.bytes, &a->sin_addr, 4);
    port = ntohs(a->sin_port);
    return true;
  }
  if (in.ss_family != AF_INET6) return false;
  const auto* a = reinterpret_cast<const sockaddr_in6*>(&in);
  port = ntohs(a->sin6_port);
  FromIn6(a->sin6_addr, ip);
  return true;
}

}  // namespace

bool ParseIpAddress(const std::string& text, IpAddress& ip) {
  ip = IpAddress();
  if (inet_pton(AF_INET, text.c_str(), ip.bytes) == 1) return true;
  in6_addr a6;
  if (inet_pton(AF_INET6, WithoutBrackets(text).c_str(), &a6) != 1) return false;
  FromIn6(a6, ip);
  return true;
}

std::string WithoutBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

std::string IpAddressText(const IpAddress& ip) {
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(ip.v6 ? AF_INET6 : AF_INET, ip.bytes, text, sizeof text) == nullptr) return "";
  return text;
}

bool IsAnyAddress(const IpAddress& ip) {
  const size_t len = ip.v6 ? 16 : 4;
  return std::all_of(ip.bytes, ip.bytes + len, [](uint8_t b) { return b == 0; });
}

UniqueFd ListenTcp(const IpAddress& address, uint16_t port, int backlog, bool ipv6Only,
                   const char*& failedCall) {
  failedCall = "socket";
  UniqueFd fd(socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return UniqueFd();
  // A restart may reuse a port whose old connections linger in TIME_WAIT; a
  // live listener on it still makes bind fail.
  int on = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.v6 && IsAnyAddress(address)) {
    // Set either way: the system's default (bindv6only) may be either. A
    // system that refuses dual-stack sockets leaves IPv4 clients out.
    int only = ipv6Only ? 1 : 0;
    setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
  }
  sockaddr_storage addr;
  socklen_t addrLen = ToSockaddr(address, port, addr);
  failedCall = "bind";
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), addrLen) != 0) return UniqueFd();
  failedCall = "listen";
  if (listen(fd.Get(), backlog) != 0) return UniqueFd();
  // Non-blocking, so that a peer that resets between poll and accept cannot
  // hold the accept loop.
  failedCall = "fcntl";
  if (!SetNonBlocking(fd.Get())) return UniqueFd();
  failedCall = nullptr;
  return fd;
}

int LocalPort(int fd) {
  sockaddr_storage addr = {};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  IpAddress ip;
  int port = -1;
  return FromSockaddr(addr, ip, port) ? port : -1;
}

AcceptResult AcceptTcp(int listenFd, UniqueFd& conn, IpAddress& peerIp, int& peerPort) {
  sockaddr_storage addr = {};
  socklen_t len = sizeof addr;
  int fd;
  do {
    fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
      return AcceptResult::kNothing;
    }
    return AcceptResult::kFailed;
  }
  conn.Reset(fd);
  peerPort = 0;
  FromSockaddr(addr, peerIp, peerPort);
  return AcceptResult::kOk;
}

bool IsResourceShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  if (flags & O_NONBLOCK) return true;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetNoDelay(int fd) {
  int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool SetUnsentLimit(int fd, int bytes) {
  return setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) == 0;
}

bool SetKeepAlive(int fd, int idleSec, int intervalSec, int probes) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSec, sizeof idleSec) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSec, sizeof intervalSec) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0;
}

namespace {

// The resolver's answers with IPv6 and IPv4 taking turns, each family in
// the resolver's order, the family of its first answer first: a name with
// many addresses of a broken family still gets to the other one soon.
std::vector<const addrinfo*> TakingTurns(const addrinfo* found) {
  std::vector<const addrinfo*> first, other;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next)
    (a->ai_family == found->ai_family ? first : other).push_back(a);
  std::vector<const addrinfo*> order;
  for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
    if (i < first.size()) order.push_back(first[i]);
    if (i < other.size()) order.push_back(other[i]);
  }
  return order;
}

// Starts a non-blocking connect to `a` from `source` (when given). An
// invalid fd with errno set when it failed at once; `done` when it
// connected at once (loopback may).
UniqueFd StartConnect(const addrinfo* a, const sockaddr_storage* source, socklen_t sourceLen,
                      bool& done) {
  done = false;
  UniqueFd fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
  if (!fd.Valid()) return fd;
  if (source != nullptr &&
      bind(fd.Get(), reinterpret_cast<const sockaddr*>(source), sourceLen) != 0)
    return UniqueFd();
  if (connect(fd.Get(), a->ai_addr, a->ai_addrlen) == 0) {
    done = true;
  } else if (errno != EINPROGRESS && errno != EINTR) {  // cut by a signal: it goes on
    return UniqueFd();
  }
  return fd;
}

// The outcome of a connect that polled ready: 0, or the error.
int ConnectError(int fd) {
  int err = 0;
  socklen_t errLen = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) return errno;
  return err;
}

bool SetBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

UniqueFd ConnectTcp(const std::string& host, uint16_t port, Deadline deadline, int* resolveError,
                    const std::string& sourceIp) {
  if (resolveError != nullptr) *resolveError = 0;
  sockaddr_storage source = {};
  socklen_t sourceLen = 0;
  if (!sourceIp.empty()) {
    IpAddress ip;
    if (!ParseIpAddress(sourceIp, ip)) {
      errno = EINVAL;
      return UniqueFd();
    }
    sourceLen = ToSockaddr(ip, 0, source);
  }
  addrinfo hints = {};
  hints.ai_family = sourceIp.empty() ? AF_UNSPEC : source.ss_family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolveError != nullptr) *resolveError = resolved;
  if (resolved != 0) return UniqueFd();
  const std::vector<const addrinfo*> order = TakingTurns(found);

  UniqueFd result;
  int lastErr = ECONNREFUSED;
  std::vector<UniqueFd> waiting;  // attempts in flight, oldest first
  size_t next = 0;
  Deadline nextStart = Deadline::In(0);
  while (!result.Valid()) {
    if (next < order.size() && (waiting.empty() || nextStart.Passed())) {
      bool done = false;
      UniqueFd fd =
          StartConnect(order[next++], sourceIp.empty() ? nullptr : &source, sourceLen, done);
      if (done) {
        result = std::move(fd);
        break;
      }
      if (!fd.Valid()) {
        lastErr = errno;
        nextStart = Deadline::In(0);  // the next one at once
        continue;
      }
      waiting.push_back(std::move(fd));
      nextStart = Deadline::In(kNextAttemptMs);
    }
    if (waiting.empty()) break;  // every address failed
    std::vector<PollItem> items(waiting.size());
    for (size_t i = 0; i < waiting.size(); ++i) {
      items[i].fd = waiting[i].Get();
      items[i].forWrite = true;
    }
    const Deadline wake = next < order.size() ? deadline.Sooner(nextStart) : deadline;
    PollResult ready = PollFds(items.data(), items.size(), wake);
    if (ready == PollResult::kError) {
      lastErr = errno;
      break;
    }
    if (ready == PollResult::kTimeout) {
      if (deadline.Passed()) {
        lastErr = ETIMEDOUT;
        break;
      }
      continue;  // time for the next attempt
    }
    for (size_t i = items.size(); i-- > 0;) {
      if (!items[i].ready) continue;
      int err = ConnectError(items[i].fd);
      if (err == 0) {
        result = std::move(waiting[i]);
        break;
      }
      lastErr = err;
      waiting.erase(waiting.begin() + static_cast<long>(i));
      nextStart = Deadline::In(0);  // a failure need not wait its turn
    }
  }
  freeaddrinfo(found);
  if (result.Valid() && !SetBlocking(result.Get())) {
    lastErr = errno;
    result.Reset();
  }
  if (!result.Valid()) errno = lastErr;
  return result;
}

std::string ResolveErrorText(int resolveError) {
  return gai_strerror(resolveError);
}

PollResult PollFd(int fd, bool forWrite, Deadline deadline) {
  PollItem item;
  item.fd = fd;
  item.forWrite = forWrite;
  return PollFds(&item, 1, deadline);
}

PollResult PollFds(PollItem* items, size_t count, Deadline deadline) {
  // Most waits hold a few descriptors: those need no allocation.
  constexpr size_t kOnStack = 8;
  pollfd onStack[kOnStack] = {};
  std::vector<pollfd> onHeap(count > kOnStack ? count : 0);
  pollfd* p = count > kOnStack ? onHeap.data() : onStack;
  for (size_t i = 0; i < count; ++i) {
    p[i].fd = items[i].fd;  // poll passes over a negative fd
    p[i].events = items[i].forWrite ? POLLOUT : POLLIN;
    items[i].ready = false;
  }
  for (;;) {
    int rc = poll(p, static_cast<nfds_t>(count), deadline.LeftMs());
    if (rc == 0) return PollResult::kTimeout;
    if (rc > 0) break;
    if (errno != EINTR) return PollResult::kError;
  }
  for (size_t i = 0; i < count; ++i)
    items[i].ready = p[i].revents != 0;
  return PollResult::kReady;
}

void ShutdownBoth(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

long SendSome(int fd, const void* buf, size_t len) {
  for (;;) {
    const ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void WakeEvent::Signal() {
  const uint64_t one = 1;
  // EAGAIN: the counter is full, so a wake-up is pending anyway.
  while (fd_.Valid() && write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void WakeEvent::Clear() {
  uint64_t count;
  while (fd_.Valid() && read(fd_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace saferoom
