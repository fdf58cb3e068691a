// The one server state record and its serving routine. Created by the
// process entry in server/main.cpp, which publishes it as gServer for the
// thread entries; everything below them takes what it needs by reference.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "room/Room.h"
#include "server/ClientThreads.h"
#include "server/ConnectionGate.h"
#include "server/StateDir.h"
#include "tls/TlsConn.h"

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
  int port;
  std::string program = "server";  // the name it was started as, for its hints
  bool requireClientCert = false;  // only clients with a certificate from the CA
  bool forwardSecrecy = false;     // ECDHE suites first, AES128-SHA last
  int webPort = -1;                // the web listener's port, -1 for none
  // The chat port's and the web listener's addresses (--listen,
  // --web-listen); none: 0.0.0.0. Not used when systemd passes the sockets.
  std::vector<std::string> listenAddresses;
  std::vector<std::string> webListenAddresses;
  // The membership state (--state); opened by Run for a private room with a
  // web listener, the only one that uses it.
  StateDir state;

  // Made by Run before it accepts, replaced on SIGHUP by the accept thread,
  // which is its only reader: each session's SSL object holds a reference
  // to the context it was made from.
  SslCtxPtr ctx;
  SslCtxPtr webCtx;  // the web listener's, when it has one; as ctx
  std::atomic<int> running{0};

  Room room;                             // members, delivery queue, console
  ConnectionGate gate{room.console};     // the connection caps; has its own lock
  ClientThreads threads;                 // finished session threads waiting for more
  std::atomic<bool> sendStopped{false};  // set by the SendMsg thread as it ends
};

// The process-wide pointer, set once by the main thread before ServerThread
// starts and read only by thread entries; the record is never destroyed.
extern SafeTcpServer* gServer;

// Thread entry: runs server->Run().
void ServerThread(SafeTcpServer* server);
