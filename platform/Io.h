// How a read or a write with a deadline ended: the one result of every
// transport in the tree (the TLS wrapper, the room's links, the web's); and
// the plain reads and writes of a descriptor (terminals, pipes, the console).
#pragma once

#include <cstddef>

namespace saferoom {

enum class IoStatus {
  kDone,     // read: `bytes` (> 0) arrived; write: everything went out
  kTimeout,  // the deadline came first: for a read nothing is lost, a write
             // that times out has shut its connection down
  kEnded,    // the peer closed, or the connection failed or was shut down
};

struct ReadResult {
  IoStatus status = IoStatus::kEnded;
  size_t bytes = 0;
};

// Reads up to `len` bytes: > 0 bytes read, 0 end of input, -1 error (errno
// set). EINTR is retried.
long ReadFd(int fd, void* buf, size_t len);

// Writes all `len` bytes, waiting as needed (also on a descriptor in
// non-blocking mode). False on error (errno set), for instance EPIPE when the
// reader has gone.
bool WriteFd(int fd, const void* buf, size_t len);

}  // namespace saferoom
