// Sockets and polling on POSIX: IPv4 listening and accepting, connecting,
// readiness waits. Called through platform/Net.h.
#include "platform/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>


void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);  // no retry on EINTR: on Linux the fd is gone either way
  fd_ = fd;
}

UniqueFd ListenTcp4(uint16_t port, int backlog, const char*& failedCall) {
  failedCall = "socket";
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return UniqueFd();
  // A restart may reuse a port whose old connections linger in TIME_WAIT; a
  // live listener on it still makes bind fail.
  int on = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  failedCall = "bind";
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
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
  sockaddr_in addr = {};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  if (addr.sin_family != AF_INET) return -1;
  return ntohs(addr.sin_port);
}

AcceptResult AcceptTcp4(int listenFd, UniqueFd& conn, std::string& peerIp, int& peerPort) {
  sockaddr_in addr = {};
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
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  peerIp = text;
  peerPort = ntohs(addr.sin_port);
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

// Connects `fd` to `addr` by `deadline` (never: the system's own limit),
// leaving it in blocking mode. False with errno set.
bool ConnectWithin(int fd, const sockaddr* addr, socklen_t addrLen, Deadline deadline) {
  if (deadline.IsNever()) {
    // A connect cut by a signal goes on in the background; wait for it as
    // for a non-blocking one.
    if (connect(fd, addr, addrLen) == 0) return true;
    if (errno != EINTR) return false;
  } else {
    if (!SetNonBlocking(fd)) return false;
    if (connect(fd, addr, addrLen) != 0 && errno != EINPROGRESS) return false;
  }
  PollResult ready = PollFd(fd, true, deadline);
  if (ready == PollResult::kTimeout) errno = ETIMEDOUT;
  if (ready != PollResult::kReady) return false;
  int err = 0;
  socklen_t errLen = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) return false;
  if (err != 0) {
    errno = err;
    return false;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

UniqueFd ConnectTcp(const std::string& host, uint16_t port, Deadline deadline, int* resolveError,
                    const std::string& sourceIp) {
  sockaddr_in source = {};
  if (!sourceIp.empty() && inet_pton(AF_INET, sourceIp.c_str(), &source.sin_addr) != 1) {
    if (resolveError != nullptr) *resolveError = 0;
    errno = EINVAL;
    return UniqueFd();
  }
  source.sin_family = AF_INET;
  addrinfo hints = {};
  hints.ai_family = sourceIp.empty() ? AF_UNSPEC : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolveError != nullptr) *resolveError = resolved;
  if (resolved != 0) return UniqueFd();
  UniqueFd result;
  int lastErr = ECONNREFUSED;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.Valid() &&
        (sourceIp.empty() ||
         bind(fd.Get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0) &&
        ConnectWithin(fd.Get(), a->ai_addr, a->ai_addrlen, deadline)) {
      result = std::move(fd);
      break;
    }
    lastErr = errno;
  }
  freeaddrinfo(found);
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
  constexpr size_t kMaxItems = 8;
  if (count > kMaxItems) {
    errno = EINVAL;
    return PollResult::kError;
  }
  pollfd p[kMaxItems] = {};
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
