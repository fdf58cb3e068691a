// Plain reads and writes of a descriptor, EINTR retried.
#include "platform/Io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace saferoom {

long ReadFd(int fd, void* buf, size_t len) {
  for (;;) {
    ssize_t got = read(fd, buf, len);
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

bool WriteFd(int fd, const void* buf, size_t len) {
  const char* at = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t put = write(fd, at, len);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      // A descriptor someone made non-blocking: the wait is still ours. An
      // interrupted poll just tries the write again.
      pollfd writable = {fd, POLLOUT, 0};
      poll(&writable, 1, -1);
      continue;
    }
    at += put;
    len -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace saferoom
