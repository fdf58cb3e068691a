// The one server state record and its serving routine. Created by the
// process entry in server/main.cpp and handed to ServerThread; everything
// below takes what it needs by reference.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "room/Room.h"
#include "server/ClientThreads.h"
#include "server/ConnectionGate.h"
#include "server/Endpoints.h"
#include "server/StateDir.h"
#include "tls/TlsConn.h"

namespace saferoom {

// At the stop, how long the last console lines may wait for a reader: a log
// pipe that is merely slow gets them, a console nobody reads cannot keep
// the process from ending.
constexpr int kConsoleStopWaitMs = 5000;

struct SafeTcpServer {
  explicit SafeTcpServer(int port) : port(port) {}

  // Sets up TLS and the listener, then accepts until `running` is cleared,
  // then stops in order. May end the process: set-up failures exit with
  // their status (server/ExitStatus.h) after their output.
  void Run();

  // Set by the entry before ServerThread starts, only read afterwards.
  int port;                        // the chat port, as given
  std::string program = "server";  // the name it was started as, for its hints
  bool requireClientCert = false;  // only clients with a certificate from the CA
  bool forwardSecrecy = false;     // ECDHE suites first, AES128-SHA last
  // What it serves: the chat port first, then the web listener with --web.
  // Their contexts are made by Run and replaced on SIGHUP by the accept
  // thread, their only reader.
  std::vector<Endpoint> endpoints;
  // The membership state (--state); opened by Run for a private room with a
  // transport that signs members in by their devices.
  StateDir state;

  std::atomic<int> running{0};

  Room room;                             // members, delivery queue, console
  ConnectionGate gate{room.console};     // the connection caps; has its own lock
  ClientThreads threads;                 // finished session threads waiting for more
  std::atomic<bool> sendStopped{false};  // set by the SendMsg thread as it ends
};

// Thread entry: runs server->Run().
void ServerThread(SafeTcpServer* server);

}  // namespace saferoom
