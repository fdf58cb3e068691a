// How a read or a write with a deadline ended: the one result of every
// transport in the tree (the TLS wrapper, the room's links, the web's).
#pragma once

#include <cstddef>

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
