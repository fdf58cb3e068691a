// One connection's session: its opening, then requests until it ends.
#include "room/ClientSession.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Os.h"
#include "protect/Confusable.h"
#include "protect/FrameReader.h"
#include "protect/SafeText.h"
#include "room/Room.h"
#include "room/UserTable.h"

namespace saferoom {

namespace {

// Slot value for a login whose name is taken (AddUser's -1 is a full room).
constexpr int kNameTaken = -2;

// A connection that has waited this long for its next bytes gives back the
// stack pages its handshake touched. Not at once: giving pages back makes
// the kernel interrupt every core the process runs on (measured: 0.05 ms of
// a 0.8 ms handshake), which a connection that comes and goes within the
// second need not pay.
constexpr int kStackTrimAfterMs = 1000;

// Writes what the session put into its own queue, without waiting.
void FlushOwn(Room& room, ClientState& state) {
  if (state.out->Flush(state.scratch) == SendQueue::State::kBacklog) room.backlog.Add(state.out);
  // An idle connection keeps no gathering buffer.
  if (state.scratch.capacity() > 4096) std::vector<uint8_t>().swap(state.scratch);
}

FrameRun ReplyRun(uint32_t type) {
  return WholeFrameRun(BuildFrame(type, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None));
}

// A reply without payload, after whatever waits for this connection.
void Reply(Room& room, ClientState& state, uint32_t type) {
  FrameRun run = ReplyRun(type);
  if (run.Size() == 0) return;
  state.out->Put(std::move(run));
  FlushOwn(room, state);
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

// Refused logins are counted on standard error, a line a second per cause
// at most: a client that repeats one cannot flood the log.
constexpr const char* kLookAlikeTitle = "Names that could pass for another: refused";
constexpr const char* kCertNameTitle = "Names other than the certificate's: refused";
constexpr const char* kReclaimTitle = "Reclaims of a name: refused";

// False, with the reason counted, when the certificate names someone else.
bool CertificateAllows(Room& room, const ClientState& state, const uint8_t name[kNameSize]) {
  if (!state.nameFromCert) return true;
  if (state.certHasName && NameString(name) == NameString(state.certName)) return true;
  std::string want = state.certHasName
                         ? "its certificate is for " + SafeName(NameString(state.certName))
                         : "its certificate has no subject CN";
  room.console.Count(kCertNameTitle, SafeName(NameString(name)) + ", " + want);
  return false;
}

// False, with the reason counted, for a name that could pass for another
// one whoever is in the room.
bool NameAllowed(Room& room, const uint8_t name[kNameSize]) {
  const std::string text = NameString(name);
  const char* fault = NameFault(text);
  if (fault == nullptr) return true;
  room.console.Count(kLookAlikeTitle, SafeName(text) + ", " + fault);
  return false;
}

// The caller holds userLock. The member whose name `skeleton` could be
// taken for, or -1.
int FindLookAlike(const UserTable& users, const std::string& skeleton) {
  for (int slot = kRoomSize - 1; slot >= 0; --slot) {
    if (users[slot] && !skeleton.empty() && users[slot]->skeleton == skeleton) return slot;
  }
  return -1;
}

void HandleLogin(Room& room, ClientState& state, const std::vector<uint8_t>& plain) {
  uint8_t name[kNameSize] = {};
  std::memcpy(name, plain.data(), std::min(plain.size(), kNameSize));
  if (!NameAllowed(room, name) || !CertificateAllows(room, state, name)) {
    Reply(room, state, FrameType::NameInUse);
    return;
  }
  FrameRun accepted = ReplyRun(FrameType::LoginAccepted);
  std::string skeleton = ConfusableSkeleton(NameString(name));
  Touched touched;
  int slot;
  std::string lookAlike;
  {
    // One hold for the check and the insertion keeps names unique; the
    // acceptance goes first into the new member's queue, before anything
    // relayed to it.
    std::lock_guard<std::mutex> lock(room.userLock);
    if (FindUserByName(room.users, name) >= 0) {
      slot = kNameTaken;
    } else if (int other = FindLookAlike(room.users, skeleton); other >= 0) {
      slot = kNameTaken;
      lookAlike = NameString(room.users[other]->name);
    } else {
      slot = AddUser(room.users, state.out, name);
    }
    if (slot >= 0) {
      room.users[slot]->skeleton = std::move(skeleton);
      room.users[slot]->joined = room.history.last;
      room.users[slot]->joinId = ++room.history.joins;
      if (accepted.Size() > 0) touched.Put(state.out, std::move(accepted));
    }
    // A full room still gets the (unchanged) list.
    if (slot != kNameTaken) PutUserList(room.users, touched);
  }
  if (slot == kNameTaken) {
    if (!lookAlike.empty()) {
      room.console.Count(kLookAlikeTitle,
                         SafeName(NameString(name)) + ", it looks like " + SafeName(lookAlike));
    }
    Reply(room, state, FrameType::NameInUse);
    return;
  }
  if (slot >= 0) {
    if (slot > state.senderSlot) {
      state.senderSlot = slot;
      std::memcpy(state.senderName, name, kNameSize);
    }
    OnUserOnline(room, &state.out->link(), slot);
  }
  touched.Flush(room.backlog, state.scratch);
  FlushOwn(room, state);
}

void HandleChat(Room& room, ClientState& state, const FrameHeader& header,
                std::vector<uint8_t>& plain) {
  // In a private room only members speak: a connection without a slot
  // could never have proved a name.
  if (room.namesFromCertificates && state.senderSlot < 0) return;
  auto item = std::make_unique<ChatItem>();
  item->lengthWord = header.lengthWord;
  item->payload = std::move(plain);
  if (state.reclaimable) item->from = state.out;
  std::memcpy(item->sender, state.senderName, kNameSize);
  if (header.scope == Scope::Private) std::memcpy(item->recipient, header.name, kNameSize);
  state.chats.push_back(std::move(item));
}

// Members only, one answer at a time: a client that asks again and again
// costs the room one answer in flight, and nothing more.
void HandleHistoryRequest(Room& room, ClientState& state, const std::vector<uint8_t>& plain) {
  if (state.senderSlot < 0) return;
  auto item = std::make_unique<ChatItem>();
  item->historyRequest = true;
  uint8_t since[8] = {};  // a shorter payload asks for everything kept
  if (!plain.empty()) std::memcpy(since, plain.data(), std::min(plain.size(), sizeof since));
  item->since = LoadLe64(since);
  if (state.reclaimable) item->from = state.out;
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    UserRecord* record = room.users[state.senderSlot].get();
    if (!record || record->out != state.out || record->historyPending ||
        !record->answerInFlight.expired()) {
      return;
    }
    record->historyPending = true;
    item->joinId = record->joinId;
  }
  // Queued with the chat read before it, so it is answered in that order.
  state.chats.push_back(std::move(item));
}

// Members only: a fresh key for the membership its chat goes out under,
// which replaces any earlier one.
void HandleReclaimKeyRequest(Room& room, ClientState& state) {
  if (state.senderSlot < 0) return;
  uint8_t key[kReclaimKeySize];
  if (RAND_bytes(key, sizeof key) != 1) return;  // no key: it comes back with a Login
  Frame frame =
      BuildFrame(FrameType::ReclaimKey, PayloadKind::Binary, key, sizeof key, nullptr, Scope::None);
  if (!frame.empty()) {
    FrameRun run = WholeFrameRun(std::move(frame));
    std::lock_guard<std::mutex> lock(room.userLock);
    UserRecord* record = room.users[state.senderSlot].get();
    if (record && record->out == state.out) {
      std::memcpy(record->reclaimKey, key, sizeof key);
      record->hasKey = true;
      state.out->StartReplay();
      state.reclaimable = true;
      state.out->Put(std::move(run));  // under userLock: in order with what the room puts
    }
  }
  OPENSSL_cleanse(key, sizeof key);
  FlushOwn(room, state);
}

// The caller holds userLock. Why `record` may not be taken over by the
// connection of `state` with `key`, to be counted (a wrong key), or "" (the
// stale connection ended already, or it is this one), or null when it may.
const char* ReclaimRefusal(const UserRecord* record, const ClientState& state,
                           const uint8_t key[kReclaimKeySize]) {
  if (!record) return "";
  // In constant time: a key is never found out byte by byte.
  if (!record->hasKey || CRYPTO_memcmp(record->reclaimKey, key, kReclaimKeySize) != 0)
    return "not the key of its member";
  if (record->out == state.out) return "";
  return nullptr;
}

// A member's new connection takes its slot from the stale one, with the
// key it was last given: the stale connection is closed, and this one is
// sent what that one's client never had of its stream (or, when that
// cannot be given whole, a fresh start). Refused like a name in use.
void HandleReclaim(Room& room, ClientState& state, const std::vector<uint8_t>& plain) {
  ReclaimFields asked = ReadReclaim(plain.data(), plain.size());
  ReclaimedFields answer;
  const bool keyMade = RAND_bytes(answer.key, sizeof answer.key) == 1;
  const char* refusal = keyMade ? nullptr : "no key could be made";
  int slot = -1;
  uint8_t held[kNameSize] = {};  // the name as the member's login gave it, bytes after its end too
  SendQueuePtr stale;
  if (!CertificateAllows(room, state, asked.name)) {
    refusal = "";  // counted already
  } else if (keyMade) {
    std::lock_guard<std::mutex> lock(room.userLock);
    slot = FindUserByName(room.users, asked.name);
    UserRecord* record = slot >= 0 ? room.users[slot].get() : nullptr;
    refusal = ReclaimRefusal(record, state, asked.key);
    if (refusal == nullptr) {
      std::memcpy(held, record->name, kNameSize);
      stale = record->out;
      stale->link().replaced = true;
      std::vector<FrameRun> rest;
      const bool fresh = asked.received == kReclaimFresh;
      const bool whole = stale->HandOver(asked.received, rest, answer.lost) && !fresh;
      if (fresh) answer.lost = 0;
      answer.chatsRelayed = record->chatsRelayed;
      record->out = state.out;
      record->link = &state.out->link();
      record->link->member = true;
      state.out->SetBound(kSendQueueBytes);
      stale->link().member = FindUserBySession(room.users, &stale->link()) >= 0;
      std::memcpy(record->reclaimKey, answer.key, sizeof answer.key);
      record->chatsRelayed = 0;
      // A request of the stale connection's goes nowhere now; after a fresh
      // start the history answers from here, as after a login.
      record->historyPending = false;
      if (!whole) {
        record->joined = room.history.last;
        record->joinId = ++room.history.joins;
      }
      state.out->StartReplay();
      state.reclaimable = true;
      uint8_t payload[kReclaimedSize];
      PutReclaimed(answer, payload);
      Frame frame = BuildFrame(FrameType::Reclaimed, PayloadKind::Binary, payload, sizeof payload,
                               nullptr, Scope::None);
      OPENSSL_cleanse(payload, sizeof payload);
      // Without its answer (no IV could be made) the client's wait for one
      // ends the connection, and with it the slot.
      if (!frame.empty()) {
        state.out->Put(WholeFrameRun(std::move(frame)));
        for (FrameRun& run : rest)
          state.out->Put(std::move(run));
        FrameRun list = UserListRun(room.users);
        if (list.Size() > 0) state.out->Put(std::move(list));
      }
    }
  }
  OPENSSL_cleanse(asked.key, sizeof asked.key);
  OPENSSL_cleanse(answer.key, sizeof answer.key);
  if (refusal != nullptr) {
    if (*refusal != '\0')
      room.console.Count(kReclaimTitle, SafeName(NameString(asked.name)) + ", " + refusal);
    Reply(room, state, FrameType::NameInUse);
    return;
  }
  if (slot > state.senderSlot) {
    state.senderSlot = slot;
    std::memcpy(state.senderName, held, kNameSize);
  }
  stale->Flush(state.scratch);  // dropped: shuts the stale link down
  FlushOwn(room, state);
}

// The next whole frame: its header and a pointer to its payload, valid until
// the next call. False when the connection ends or the header is one no
// sound client sends.
bool NextFrame(Room& room, ClientState& state, FrameReader& reader, Deadline& idleEnd,
               FrameHeader& header, const uint8_t*& payload) {
  Link& link = state.out->link();
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
    const Deadline end = state.senderSlot < 0 ? idleEnd : Deadline::Never();
    const bool trimFirst = !state.stackTrimmed;
    ReadResult got =
        link.Read(at, space, trimFirst ? end.Sooner(Deadline::In(kStackTrimAfterMs)) : end);
    if (got.status == IoStatus::kTimeout && trimFirst && !end.Passed()) {
      // The handshake went deep; waiting for frames does not.
      ReleaseUnusedStack();
      state.stackTrimmed = true;
      continue;
    }
    if (got.status != IoStatus::kDone) return false;
    reader.Commit(got.bytes);
  }
}

// Reads frames until the client logs out, disconnects, idles as a stranger
// or sends a header no sound client would send.
void ServeFrames(Room& room, SendQueuePtr out) {
  ClientState state(std::move(out));
  if (room.namesFromCertificates) BindNameToCertificate(state.out->link(), state);
  FrameReader reader;
  FrameHeader header;
  const uint8_t* payload = nullptr;
  Deadline idleEnd = Deadline::In(kIdleTimeoutMs);  // counted from the end of the opening
  while (NextFrame(room, state, reader, idleEnd, header, payload)) {
    // Chat takes the buffer anyway; others do not keep a big one around.
    std::vector<uint8_t> plain;
    DecryptPayload(header, payload, PayloadLength(header.lengthWord), plain);
    if (!HandleRequest(room, state, header, plain)) break;
  }
  // What was read before a logout or a failed read is still relayed.
  QueueChats(room, state);
}

}  // namespace

bool HandleRequest(Room& room, ClientState& state, const FrameHeader& header,
                   std::vector<uint8_t>& plain) {
  // Its member went on on another connection: this one is done.
  if (state.senderSlot >= 0 && state.out->link().replaced) return false;
  switch (header.type) {
    case FrameType::Login:
      if (!plain.empty()) HandleLogin(room, state, plain);
      return true;
    case FrameType::Logout:
      return false;
    case FrameType::Chat:
      if (!plain.empty()) HandleChat(room, state, header, plain);
      return true;
    case FrameType::HistoryRequest:
      HandleHistoryRequest(room, state, plain);
      return true;
    case FrameType::ReclaimKeyRequest:
      HandleReclaimKeyRequest(room, state);
      return true;
    case FrameType::Reclaim:
      HandleReclaim(room, state, plain);
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

void RunClientSession(Room& room, LinkPtr link) {
  if (!link->Open(Deadline::In(kHandshakeTimeoutMs))) return;
  link->opened = true;
  ServeFrames(room, std::make_shared<SendQueue>(link));
  // Every slot naming this connection goes; a writer that still holds its
  // queue finds the link shut down.
  EndSession(room, link.get());
}

}  // namespace saferoom
