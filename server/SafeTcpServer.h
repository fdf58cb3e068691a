// The one server state record, reached through gServer by every thread, and
// the serving routine. Created by the process entry in server/main.cpp.
#pragma once

#include <atomic>
#include <mutex>

#include "room/DeliveryQueue.h"
#include "room/UserTable.h"
#include "server/TlsConn.h"

// Connections beyond this many at once are closed right after accept.
constexpr int kMaxConnections = 512;

struct SafeTcpServer {
  explicit SafeTcpServer(int port) : port(port) {}

  // Sets up TLS and the listener, then accepts until `running` is cleared.
  void Run();
  // Slot whose name equals `name` (20-byte field), searching from slot 4
  // down; -1 if none. The caller holds userLock.
  int FindUserByName(const uint8_t name[kNameSize]) const;

  SslCtxPtr ctx;
  std::atomic<int> running{0};
  int port;
  std::mutex queueLock;
  std::mutex userLock;
  UserTable users;      // guarded by userLock
  DeliveryQueue queue;  // guarded by queueLock
  void (*onUserOnline)(TlsConn* session, int slot) = nullptr;
  void (*onUserOffline)(TlsConn* session) = nullptr;

  std::atomic<bool> sendRunning{false};  // SendMsg's run flag; lives as long as the process
  std::atomic<bool> sendStopped{false};  // set by SendMsg as it ends
  std::atomic<int> connections{0};       // open connections, for kMaxConnections
};

// The process-wide pointer, set once by the main thread before ServerThread
// starts; the record is never destroyed.
extern SafeTcpServer* gServer;

// Thread entry: runs gServer->Run().
void ServerThread(SafeTcpServer* server);
