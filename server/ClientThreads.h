// Threads for ClientSession. A session thread that has finished waits a short
// while for the next accepted connection before it ends: a busy server does
// not pay for a new thread, and new per-thread TLS library state, on every
// connection, and an idle one keeps no thread. Called by the accept loop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "room/Link.h"

namespace saferoom {

struct SafeTcpServer;

// An accepted connection, counted in by the connection gate.
struct Accepted {
  LinkPtr link;
  uint64_t gateId = 0;  // its place in the connection gate
};

// How long a finished session thread waits for another connection.
constexpr int kSessionLingerMs = 2000;
// At most this many finished threads wait at once; others end at once.
constexpr int kMaxLingeringSessions = 16;

// The finished threads waiting for a connection. Part of SafeTcpServer.
struct ClientThreads {
  std::mutex lock;
  std::condition_variable handed;  // a connection was put in `waiting`
  // Connections handed over but not yet taken; never more than `lingering`,
  // so each one has a thread that will take it.
  std::deque<Accepted> waiting;  // guarded by lock
  int lingering = 0;             // guarded by lock: threads waiting for one
};

// Runs ClientSession on a waiting thread, or on a new one, and counts the
// connection out of server.gate once it has ended. False when no thread
// could be started: the connection is then closed, still counted in.
bool StartClientSession(SafeTcpServer& server, Accepted accepted);

}  // namespace saferoom
