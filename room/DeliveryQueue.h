// Chat messages waiting for delivery, and the SendMsg thread that delivers
// them. ClientSession appends; only SendMsg removes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "protect/Frame.h"

// Appends wait while this many items are queued: a flooding client is slowed
// down, nothing is dropped.
constexpr size_t kQueueCapacity = 1024;

struct ChatItem {
  uint32_t lengthWord = 0;       // payload length << 2 | sender's PayloadKind
  std::vector<uint8_t> payload;  // decrypted plaintext
  uint8_t sender[kNameSize] = {};
  uint8_t recipient[kNameSize] = {};  // empty: public
};

struct DeliveryQueue {
  std::deque<std::unique_ptr<ChatItem>> items;
  std::condition_variable notEmpty;  // SendMsg waits here
  std::condition_variable notFull;   // sessions wait here when full
};

// Appends the items at the back, in order, under one hold of queueLock, and
// empties `items`. Waits for room while the queue is full.
void AppendChatItems(std::vector<std::unique_ptr<ChatItem>>& items);

// Takes the items at the front of the queue (up to a batch) and delivers them
// on the calling thread, in order; `frameBytes` (if given) gets the size of
// the frames built. False when the queue was empty. SendMsg's work, callable
// without the thread (fuzzing). What is left of the batch is given up once
// `running` (if given) reads false.
bool DeliverQueued(size_t* frameBytes = nullptr, const std::atomic<bool>* running = nullptr);

// Thread entry: delivers queued items until sendRunning is cleared, then
// prints "[-] SendMsg thread stop\n".
void SendMsg();

// Wakes SendMsg after sendRunning was cleared.
void WakeSendMsg();
