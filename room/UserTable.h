// The five-slot member table, presence notices and the member list. Called by
// ClientSession and SendMsg.
//
// Lock contracts are in the signatures: functions that take the UserTable
// itself expect the caller to hold the room's userLock; functions that take
// the Room take userLock themselves, so the caller must not hold it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "protect/Frame.h"
#include "room/History.h"
#include "room/SendQueue.h"

namespace saferoom {

class Link;
struct Room;

struct UserRecord {
  ~UserRecord();  // the key goes with it

  Link* link = nullptr;  // the connection, kept alive by `out`
  SendQueuePtr out;      // where everything for this member goes
  uint8_t name[kNameSize] = {};
  std::string skeleton;  // of the name: no other member's may equal it
  // Set in the hold of userLock that adds the member: what was relayed
  // before it joined is its history, the rest it gets live.
  HistoryMark joined;
  uint64_t joinId = 0;          // this membership, for its history request
  bool historyPending = false;  // a request is queued: more are ignored
  // The last answer's bytes, alive while a send queue still holds them:
  // until then the answer is in flight, and more requests are ignored.
  std::weak_ptr<const std::vector<uint8_t>> answerInFlight;
  // What answers this member was sent in the current minute.
  int64_t answersSinceMs = 0;
  size_t answersBytes = 0;
  // The reclaim extension: the key a new connection of this member shows to
  // take the slot from the current one (none until asked for), and the Chat
  // frames relayed from the current one, which that new one is told.
  bool hasKey = false;
  uint8_t reclaimKey[kReclaimKeySize] = {};
  uint64_t chatsRelayed = 0;
};

using UserTable = std::array<std::unique_ptr<UserRecord>, kRoomSize>;

// The caller holds userLock.
// Slot whose name equals `name` (a 20-byte field, compared up to its first
// NUL), searching from slot 4 down; -1 if none.
int FindUserByName(const UserTable& users, const uint8_t name[kNameSize]);
// Slot holding this connection, searching from slot 4 down; -1 if none.
int FindUserBySession(const UserTable& users, const Link* link);
// Puts the member in the highest free slot. Returns the slot, or -1 when the
// room is full.
int AddUser(UserTable& users, const SendQueuePtr& out, const uint8_t name[kNameSize]);
// Puts the current member list into every member's queue.
void PutUserList(const UserTable& users, Touched& touched);
// The current member list as a run; an empty one when nobody is in the room.
FrameRun UserListRun(const UserTable& users);

// These take userLock.
// Removes every slot this connection holds, then shuts the connection down.
void RemoveUser(Room& room, Link* link);
// "[#] User NAME online" for the member just added in `slot`.
void OnUserOnline(Room& room, Link* link, int slot);
// "[!] User NAME offline" for every slot the connection holds.
void OnUserOffline(Room& room, Link* link);
// Sends every member the current member list.
void BroadcastUserList(Room& room);

}  // namespace saferoom
