// One connection's session: its opening, then requests until it ends.
#include "room/ClientSession.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "protect/FrameReader.h"
#include "protect/SafeText.h"
#include "room/Room.h"
#include "room/UserTable.h"

namespace {

// Slot value for a login whose name is taken (AddUser's -1 is a full room).
constexpr int kNameTaken = -2;

// A reply without payload. Takes userLock: every write to a connection that
// may be a member happens under it.
void Reply(Room& room, Link* link, uint32_t type) {
  Frame frame = BuildFrame(type, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  if (frame.empty()) return;
  std::lock_guard<std::mutex> lock(room.userLock);
  link->Write(frame.data(), frame.size(), Deadline::In(kSendTimeoutMs));
}

// In a private room a member's name is the one in its certificate.
void BindNameToCertificate(Link& link, ClientState& state) {
  state.nameFromCert = true;
  std::string cn;
  state.certHasName = link.CertificateName(cn) && !cn.empty();
  // Cut to whole characters: half a character would be no name at all.
  const std::string_view name = WholeCharactersPrefix(cn, kNameSize);
  std::memcpy(state.certName, name.data(), name.size());
}

// False, with the reason on standard error, when the certificate names
// someone else.
bool CertificateAllows(Room& room, const ClientState& state, const uint8_t name[kNameSize]) {
  if (!state.nameFromCert) return true;
  if (state.certHasName && NameString(name) == NameString(state.certName)) return true;
  std::string want = state.certHasName
                         ? "its certificate is for " + SafeText(NameString(state.certName))
                         : "its certificate has no subject CN";
  room.console.Err("Login as " + SafeText(NameString(name)) + " refused: " + want + "\n");
  return false;
}

// False, with the reason on standard error, for a name that could pass for
// another one.
bool NameAllowed(Room& room, const uint8_t name[kNameSize]) {
  const std::string text = NameString(name);
  const char* fault = NameFault(text);
  if (fault == nullptr) return true;
  room.console.Err("Login as " + SafeName(text) + " refused: " + fault + "\n");
  return false;
}

void HandleLogin(Room& room, Link* link, ClientState& state, const std::vector<uint8_t>& plain) {
  uint8_t name[kNameSize] = {};
  std::memcpy(name, plain.data(), std::min(plain.size(), kNameSize));
  if (!NameAllowed(room, name) || !CertificateAllows(room, state, name)) {
    Reply(room, link, FrameType::NameInUse);
    return;
  }
  int slot;
  {
    // One hold for the check and the insertion keeps names unique.
    std::lock_guard<std::mutex> lock(room.userLock);
    slot = FindUserByName(room.users, name) >= 0 ? kNameTaken : AddUser(room.users, link, name);
    if (slot >= 0) {
      room.users[slot]->joined = room.history.last;
      room.users[slot]->joinId = ++room.history.joins;
    }
  }
  if (slot == kNameTaken) {
    Reply(room, link, FrameType::NameInUse);
    return;
  }
  if (slot >= 0) {
    if (slot > state.senderSlot) {
      state.senderSlot = slot;
      std::memcpy(state.senderName, name, kNameSize);
    }
    OnUserOnline(room, link, slot);
    Reply(room, link, FrameType::LoginAccepted);
  }
  // A full room still gets the (unchanged) list.
  BroadcastUserList(room);
}

void HandleChat(ClientState& state, const FrameHeader& header, std::vector<uint8_t>& plain) {
  auto item = std::make_unique<ChatItem>();
  item->lengthWord = header.lengthWord;
  item->payload = std::move(plain);
  std::memcpy(item->sender, state.senderName, kNameSize);
  if (header.scope == Scope::Private) std::memcpy(item->recipient, header.name, kNameSize);
  state.chats.push_back(std::move(item));
}

// Members only, one answer at a time: a client that asks again and again
// costs the room one answer in flight, and nothing more.
void HandleHistoryRequest(Room& room, Link* link, ClientState& state,
                          const std::vector<uint8_t>& plain) {
  if (state.senderSlot < 0) return;
  auto item = std::make_unique<ChatItem>();
  item->historyRequest = true;
  uint8_t since[8] = {};  // a shorter payload asks for everything kept
  if (!plain.empty()) std::memcpy(since, plain.data(), std::min(plain.size(), sizeof since));
  item->since = LoadLe64(since);
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    UserRecord* record = room.users[state.senderSlot].get();
    if (!record || record->link != link || record->historyPending) return;
    record->historyPending = true;
    item->joinId = record->joinId;
  }
  // Queued with the chat read before it, so it is answered in that order.
  state.chats.push_back(std::move(item));
}

// The next whole frame: its header and a pointer to its payload, valid until
// the next call. False when the connection ends or the header is one no
// sound client sends.
bool NextFrame(Room& room, Link& link, ClientState& state, FrameReader& reader,
               Deadline& idleEnd, FrameHeader& header, const uint8_t*& payload) {
  for (;;) {
    FrameReader::Result result = reader.Next(header, payload);
    if (result == FrameReader::Result::kFrame) {
      idleEnd = Deadline::In(kIdleTimeoutMs);
      return true;
    }
    if (result == FrameReader::Result::kBadHeader) return false;
    // Nothing more to act on before the next read, which may wait.
    if (!state.chats.empty()) QueueChats(room, state);
    size_t space = 0;
    uint8_t* at = reader.Room(space);
    // Bytes that complete no frame do not put the deadline off.
    ReadResult got = link.Read(at, space, state.senderSlot < 0 ? idleEnd : Deadline::Never());
    if (got.status != IoStatus::kDone) return false;
    reader.Commit(got.bytes);
  }
}

// Reads frames until the client logs out, disconnects, idles as a stranger
// or sends a header no sound client would send.
void ServeFrames(Room& room, Link* link) {
  ClientState state;
  if (room.namesFromCertificates) BindNameToCertificate(*link, state);
  FrameReader reader;
  FrameHeader header;
  const uint8_t* payload = nullptr;
  Deadline idleEnd = Deadline::In(kIdleTimeoutMs);  // counted from the end of the opening
  while (NextFrame(room, *link, state, reader, idleEnd, header, payload)) {
    // Chat takes the buffer anyway; others do not keep a big one around.
    std::vector<uint8_t> plain;
    DecryptPayload(header, payload, PayloadLength(header.lengthWord), plain);
    if (!HandleRequest(room, link, state, header, plain)) break;
  }
  // What was read before a logout or a failed read is still relayed.
  QueueChats(room, state);
}

}  // namespace

bool HandleRequest(Room& room, Link* link, ClientState& state, const FrameHeader& header,
                   std::vector<uint8_t>& plain) {
  switch (header.type) {
    case FrameType::Login:
      if (!plain.empty()) HandleLogin(room, link, state, plain);
      return true;
    case FrameType::Logout:
      return false;
    case FrameType::Chat:
      if (!plain.empty()) HandleChat(state, header, plain);
      return true;
    case FrameType::HistoryRequest:
      HandleHistoryRequest(room, link, state, plain);
      return true;
    default:
      return true;
  }
}

void QueueChats(Room& room, ClientState& state) {
  room.queue.Put(state.chats);
}

void EndSession(Room& room, Link* link) {
  OnUserOffline(room, link);
  RemoveUser(room, link);
  BroadcastUserList(room);
}

void ClientSession(Room& room, LinkPtr link) {
  if (link->Open(Deadline::In(kHandshakeTimeoutMs))) {
    ServeFrames(room, link.get());
    EndSession(room, link.get());
  }
  // Every slot naming this connection is gone: nobody else can reach it now.
  link.reset();
}
