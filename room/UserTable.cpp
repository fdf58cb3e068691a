// The member table: lookups, joins and leaves, presence notices, member list.
#include "room/UserTable.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "protect/SafeText.h"
#include "server/SafeTcpServer.h"
#include "tls/TlsConn.h"

namespace {

bool NamesEqual(const uint8_t a[kNameSize], const uint8_t b[kNameSize]) {
  size_t lenA = strnlen(reinterpret_cast<const char*>(a), kNameSize);
  size_t lenB = strnlen(reinterpret_cast<const char*>(b), kNameSize);
  return lenA == lenB && std::memcmp(a, b, lenA) == 0;
}

std::string PrintableName(const uint8_t name[kNameSize]) {
  return SafeText(NameString(name));
}

}  // namespace

int SafeTcpServer::FindUserByName(const uint8_t name[kNameSize]) const {
  for (int slot = kNumSlots - 1; slot >= 0; --slot) {
    if (users[slot] && NamesEqual(users[slot]->name, name)) return slot;
  }
  return -1;
}

int FindUserBySession(const TlsConn* session) {
  for (int slot = kNumSlots - 1; slot >= 0; --slot) {
    if (gServer->users[slot] && gServer->users[slot]->session == session) return slot;
  }
  return -1;
}

int AddUser(TlsConn* session, const uint8_t name[kNameSize]) {
  for (int slot = kNumSlots - 1; slot >= 0; --slot) {
    if (gServer->users[slot]) continue;
    auto record = std::make_unique<UserRecord>();
    record->session = session;
    std::memcpy(record->name, name, kNameSize);
    gServer->users[slot] = std::move(record);
    return slot;
  }
  return -1;
}

void RemoveUser(TlsConn* session) {
  {
    std::lock_guard<std::mutex> lock(gServer->userLock);
    for (auto& slot : gServer->users) {
      if (slot && slot->session == session) slot.reset();
    }
  }
  TlsClose(*session);
}

void OnUserOnline(TlsConn* session, int slot) {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(gServer->userLock);
    const auto& record = gServer->users[slot];
    if (!record || record->session != session) return;
    name = PrintableName(record->name);
  }
  std::lock_guard<std::mutex> console(gServer->consoleLock);
  if (!gServer->consoleClosed) printf("[#] User %s online\n", name.c_str());
}

void OnUserOffline(TlsConn* session) {
  // Names are copied out so that a slow console never holds up the room.
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(gServer->userLock);
    for (int slot = kNumSlots - 1; slot >= 0; --slot) {
      const auto& record = gServer->users[slot];
      if (record && record->session == session) names.push_back(PrintableName(record->name));
    }
  }
  std::lock_guard<std::mutex> console(gServer->consoleLock);
  if (gServer->consoleClosed) return;
  for (const std::string& name : names)
    printf("[!] User %s offline\n", name.c_str());
}

void BroadcastUserList() {
  uint8_t names[kNumSlots * kNameSize] = {};
  uint32_t count = 0;
  {
    std::lock_guard<std::mutex> lock(gServer->userLock);
    for (const auto& record : gServer->users) {
      if (record) std::memcpy(names + kNameSize * count++, record->name, kNameSize);
    }
  }
  if (count == 0) return;  // one who joins now gets a list of its own
  Frame frame = BuildFrame(FrameType::UserList, PayloadKind::Binary, names, count * kNameSize,
                           nullptr, Scope::None);
  if (frame.empty()) return;
  std::lock_guard<std::mutex> lock(gServer->userLock);
  for (const auto& record : gServer->users) {
    if (record) TlsWrite(*record->session, frame.data(), frame.size());
  }
}
