// The SendMsg thread: takes batches of chat off the delivery queue, builds
// each frame once and puts it into the send queue of every member it is for,
// the buffer shared among them. Started by the server; tests and fuzzing
// relay batches on their own thread.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "protect/FrameBatch.h"
#include "room/DeliveryQueue.h"
#include "room/SendQueue.h"

namespace saferoom {

struct Room;
struct Recipients;

// SendMsg's working state, kept from one batch to the next so that a busy
// room reuses its buffers.
struct Relay {
  Relay();
  ~Relay();

  std::vector<ChatItemPtr> items;  // the batch taken off the queue
  FrameBatch frames;               // frame i for items[i]
  FrameBatch answers;              // a history answer being built
  std::unique_ptr<Recipients> out;
  Touched touched;
  std::vector<uint8_t> scratch;
  size_t builtBytes = 0;  // frames built since the last ReleaseBuffers

  // Gives up every buffer (after a burst, before memory goes back).
  void ReleaseBuffers();
};

// Takes one batch off room.queue, without waiting, and delivers it: public
// chat to every member (the sender included, twice to a connection holding
// two slots), private chat to the member of that name, or to nobody. False
// when the queue was empty. What is left of the batch is given up once the
// queue is stopped.
bool RelayBatch(Room& room, Relay& relay);

// Thread body: relays until room.queue is stopped, then prints "[-] SendMsg
// thread stop".
void RunSendMsg(Room& room);

}  // namespace saferoom
