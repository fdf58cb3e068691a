// The member table: lookups, joins and leaves, presence notices, member list.
#include "room/UserTable.h"

#include <openssl/crypto.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "protect/SafeText.h"
#include "room/Link.h"
#include "room/Room.h"

namespace saferoom {

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

UserRecord::~UserRecord() {
  OPENSSL_cleanse(reclaimKey, sizeof reclaimKey);
}

int FindUserByName(const UserTable& users, const uint8_t name[kNameSize]) {
  for (int slot = kRoomSize - 1; slot >= 0; --slot) {
    if (users[slot] && NamesEqual(users[slot]->name, name)) return slot;
  }
  return -1;
}

int FindUserBySession(const UserTable& users, const Link* link) {
  for (int slot = kRoomSize - 1; slot >= 0; --slot) {
    if (users[slot] && users[slot]->link == link) return slot;
  }
  return -1;
}

int AddUser(UserTable& users, const SendQueuePtr& out, const uint8_t name[kNameSize]) {
  for (int slot = kRoomSize - 1; slot >= 0; --slot) {
    if (users[slot]) continue;
    auto record = std::make_unique<UserRecord>();
    record->link = &out->link();
    record->link->member = true;
    record->out = out;
    out->SetBound(kSendQueueBytes);
    std::memcpy(record->name, name, kNameSize);
    users[slot] = std::move(record);
    return slot;
  }
  return -1;
}

void RemoveUser(Room& room, Link* link) {
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    for (auto& slot : room.users) {
      if (slot && slot->link == link) {
        slot->out->SetBound(kStrangerQueueBytes);
        slot.reset();
      }
    }
    link->member = false;
  }
  link->Shutdown();
}

void OnUserOnline(Room& room, Link* link, int slot) {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    const auto& record = room.users[slot];
    if (!record || record->link != link) return;
    name = PrintableName(record->name);
  }
  room.console.Out("[#] User " + name + " online\n");
}

void OnUserOffline(Room& room, Link* link) {
  // Names are copied out so that a slow console never holds up the room.
  std::string lines;
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    for (int slot = kRoomSize - 1; slot >= 0; --slot) {
      const auto& record = room.users[slot];
      if (record && record->link == link) {
        lines += "[!] User " + PrintableName(record->name) + " offline\n";
      }
    }
  }
  if (!lines.empty()) room.console.Out(lines);
}

FrameRun UserListRun(const UserTable& users) {
  uint8_t names[kRoomSize * kNameSize] = {};
  uint32_t count = 0;
  for (const auto& record : users) {
    if (record) std::memcpy(names + kNameSize * count++, record->name, kNameSize);
  }
  if (count == 0) return FrameRun{};  // one who joins now gets a list of its own
  Frame frame = BuildFrame(FrameType::UserList, PayloadKind::Binary, names, count * kNameSize,
                           nullptr, Scope::None);
  if (frame.empty()) return FrameRun{};
  return WholeFrameRun(std::move(frame), true);
}

void PutUserList(const UserTable& users, Touched& touched) {
  const FrameRun list = UserListRun(users);
  if (list.Size() == 0) return;
  for (const auto& record : users) {
    if (record) touched.Put(record->out, list);
  }
}

void BroadcastUserList(Room& room) {
  Touched touched;
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    PutUserList(room.users, touched);
  }
  std::vector<uint8_t> scratch;
  touched.Flush(room.backlog, scratch);
}

}  // namespace saferoom
