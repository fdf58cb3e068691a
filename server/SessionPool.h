// Threads for ClientSession. A session thread that has finished waits a short
// while for the next accepted connection before it ends: a busy server does
// not pay for a new thread, and new per-thread TLS library state, on every
// connection, and an idle one keeps no thread. Called by the accept loop.
#pragma once

#include <string>

#include "tls/TlsConn.h"

// An accepted connection, counted in by the connection gate, and its peer.
struct Accepted {
  TlsConnPtr conn;
  std::string peerIp;
  std::string peer;  // "ADDRESS, port PORT", for the console
};

// How long a finished session thread waits for another connection.
constexpr int kSessionLingerMs = 2000;
// At most this many finished threads wait at once; others end at once.
constexpr int kMaxLingeringSessions = 16;

// Runs ClientSession on a waiting session thread, or on a new one, and lets
// the gate count the connection out once it has ended. False when no thread
// could be started: the connection is then closed, still counted in.
bool StartSession(Accepted accepted);
