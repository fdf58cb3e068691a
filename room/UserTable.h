// The five-slot member table, presence notices and the member list. Called by
// ClientSession, SendMsg and the accept loop (which installs the callbacks).
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "protect/Frame.h"

struct TlsConn;

constexpr int kNumSlots = 5;

struct UserRecord {
  TlsConn* session = nullptr;  // kept alive by its ClientSession until the slot is cleared
  uint8_t name[kNameSize] = {};
};

using UserTable = std::array<std::unique_ptr<UserRecord>, kNumSlots>;

// Slot holding this connection, searching from slot 4 down; -1 if none.
// The caller holds userLock.
int FindUserBySession(const TlsConn* session);

// Puts the member in the highest free slot. Returns the slot, or -1 when the
// room is full. The caller holds userLock.
int AddUser(TlsConn* session, const uint8_t name[kNameSize]);

// Removes every slot this connection holds (taking userLock), then closes the
// connection (close notification, socket shut down).
void RemoveUser(TlsConn* session);

// Presence callbacks. OnUserOnline prints the notice for the member just added
// in `slot`; OnUserOffline prints one for every slot the connection holds.
void OnUserOnline(TlsConn* session, int slot);
void OnUserOffline(TlsConn* session);

// Sends every member the current member list.
void BroadcastUserList();
