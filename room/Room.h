// The chat room's state: the member table and its lock, the delivery queue,
// the console and the room's rules. One per server, held by SafeTcpServer and
// passed by reference to ClientSession, SendMsg and the table's functions;
// tests and fuzzing make their own.
#pragma once

#include <mutex>

#include "room/Console.h"
#include "room/DeliveryQueue.h"
#include "room/History.h"
#include "room/SendQueue.h"
#include "room/UserTable.h"

namespace saferoom {

struct Room {
  // Lock order: userLock, then a send queue's own lock. Nothing is written
  // to a connection while userLock is held: frames are put into the
  // connections' send queues under it and written after it. The delivery
  // queue's queueLock is never held together with either.
  std::mutex userLock;
  UserTable users;      // guarded by userLock
  RoomHistory history;  // guarded by userLock, but for its settings
  DeliveryQueue queue;
  BacklogWriter backlog;  // writes what sockets could not take at once
  Console console;

  // Set before any session starts, only read afterwards. In a private room
  // a member's name is the subject CN of its certificate.
  bool namesFromCertificates = false;
};

}  // namespace saferoom
