// The one server state record, reached through gServer by every thread, and
// the serving routine. Created by the process entry in server/main.cpp.
//
// room/ includes this header: the chat room's functions reach the record
// through gServer, as every thread does. That is the one include that points
// up the build graph (platform <- protect <- tls <- room <- server); the room
// links no server code, and gServer is defined by whoever links the room (the
// process entry, or the fuzz harness for its fake room).
#pragma once

#include <atomic>
#include <mutex>

#include "room/DeliveryQueue.h"
#include "room/UserTable.h"
#include "server/ConnectionGate.h"
#include "tls/TlsConn.h"

struct SafeTcpServer {
  explicit SafeTcpServer(int port) : port(port) {}

  // Sets up TLS and the listener, then accepts until `running` is cleared.
  void Run();
  // Slot whose name equals `name` (20-byte field), searching from slot 4
  // down; -1 if none. The caller holds userLock.
  int FindUserByName(const uint8_t name[kNameSize]) const;

  // Set before any thread but main and ServerThread exists, and only read
  // afterwards: port and the options by the entry, ctx and the callbacks by
  // Run before it starts SendMsg and accepts.
  SslCtxPtr ctx;  // replaced on SIGHUP by the accept thread, its only reader
  int port;
  bool requireClientCert = false;  // only clients with a certificate from the CA
  bool forwardSecrecy = false;     // ECDHE suites first, AES128-SHA last
  void (*onUserOnline)(TlsConn* session, int slot) = nullptr;
  void (*onUserOffline)(TlsConn* session) = nullptr;

  std::atomic<int> running{0};

  // Lock order: userLock, then a connection's TlsConn::ioLock (every write
  // to a member happens under userLock). queueLock is never held together
  // with either.
  std::mutex queueLock;
  std::mutex userLock;
  UserTable users;      // guarded by userLock
  DeliveryQueue queue;  // guarded by queueLock

  std::atomic<bool> sendRunning{false};  // SendMsg's run flag; lives as long as the process
  std::atomic<bool> sendStopped{false};  // set by SendMsg as it ends
  ConnectionGate gate;                   // the connection caps; has its own lock

  // Sessions may outlive the stop by a moment; "Server stopped." stays the
  // last line, so member notices are printed under this lock and not at all
  // once it is closed. Never held together with another lock.
  std::mutex consoleLock;
  bool consoleClosed = false;  // guarded by consoleLock
};

// The process-wide pointer, set once by the main thread before ServerThread
// starts; the record is never destroyed.
extern SafeTcpServer* gServer;

// Thread entry: runs gServer->Run().
void ServerThread(SafeTcpServer* server);
