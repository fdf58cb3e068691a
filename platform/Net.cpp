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
#include <cstdio>
#include <cstring>

#include "platform/Os.h"

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);  // no retry on EINTR: on Linux the fd is gone either way
  fd_ = fd;
}

UniqueFd ListenTcp4(uint16_t port, int backlog) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    perror("socket");
    return UniqueFd();
  }
  // A restart may reuse a port whose old connections linger in TIME_WAIT; a
  // live listener on it still makes bind fail.
  int on = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    perror("bind");
    return UniqueFd();
  }
  if (listen(fd.Get(), backlog) != 0) {
    perror("listen");
    return UniqueFd();
  }
  // Non-blocking, so that a peer that resets between poll and accept cannot
  // hold the accept loop.
  if (!SetNonBlocking(fd.Get())) {
    perror("fcntl");
    return UniqueFd();
  }
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
  int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
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

UniqueFd ConnectTcp(const std::string& host, uint16_t port) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    errno = EHOSTUNREACH;
    return UniqueFd();
  }
  int lastErr = ECONNREFUSED;
  UniqueFd result;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd.Valid()) {
      lastErr = errno;
      continue;
    }
    int rc;
    do {
      rc = connect(fd.Get(), a->ai_addr, a->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
      result = std::move(fd);
      break;
    }
    lastErr = errno;
  }
  freeaddrinfo(found);
  if (!result.Valid()) errno = lastErr;
  return result;
}

PollResult PollFd(int fd, bool forWrite, int timeoutMs) {
  int64_t deadline = timeoutMs >= 0 ? MonotonicMs() + timeoutMs : -1;
  pollfd p = {};
  p.fd = fd;
  p.events = forWrite ? POLLOUT : POLLIN;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - MonotonicMs();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    int rc = poll(&p, 1, wait);
    if (rc > 0) return PollResult::kReady;
    if (rc == 0) return PollResult::kTimeout;
    if (errno != EINTR) return PollResult::kError;
  }
}

PollResult PollTwo(int fd0, int fd1, int timeoutMs, bool& ready0, bool& ready1) {
  ready0 = false;
  ready1 = false;
  pollfd p[2] = {};
  p[0].fd = fd0;
  p[0].events = POLLIN;
  p[1].fd = fd1;
  p[1].events = POLLIN;
  int rc = poll(p, 2, timeoutMs);
  if (rc == 0) return PollResult::kTimeout;
  if (rc < 0) return errno == EINTR ? PollResult::kTimeout : PollResult::kError;
  ready0 = p[0].revents != 0;
  ready1 = p[1].revents != 0;
  return PollResult::kReady;
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

void ShutdownBoth(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}
