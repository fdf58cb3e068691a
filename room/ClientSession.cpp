// One connection's thread: TLS handshake, then requests until it ends.
#include "room/ClientSession.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "room/DeliveryQueue.h"
#include "room/UserTable.h"
#include "server/SafeTcpServer.h"

namespace {

void ReplyLocked(TlsConn* session, uint32_t type) {
  Frame frame = BuildFrame(type, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  if (frame.empty()) return;
  std::lock_guard<std::mutex> lock(gServer->userLock);
  TlsWrite(*session, frame.data(), frame.size());
}

void HandleLogin(TlsConn* session, const std::vector<uint8_t>& plain) {
  uint8_t name[kNameSize] = {};
  std::memcpy(name, plain.data(), std::min(plain.size(), kNameSize));
  int slot;
  {
    // One hold for the check and the insertion keeps names unique.
    std::lock_guard<std::mutex> lock(gServer->userLock);
    if (gServer->FindUserByName(name) >= 0) {
      slot = -2;
    } else {
      slot = AddUser(session, name);
    }
  }
  if (slot == -2) {
    ReplyLocked(session, FrameType::NameInUse);
    return;
  }
  if (slot >= 0) {
    if (gServer->onUserOnline) gServer->onUserOnline(session, slot);
    ReplyLocked(session, FrameType::LoginAccepted);
  }
  // A full room still gets the (unchanged) list.
  BroadcastUserList();
}

void HandleChat(TlsConn* session, const FrameHeader& header, std::vector<uint8_t>& plain) {
  auto item = std::make_unique<ChatItem>();
  item->lengthWord = header.lengthWord;
  item->payload = std::move(plain);
  {
    std::lock_guard<std::mutex> lock(gServer->userLock);
    int slot = FindUserBySession(session);
    if (slot >= 0) std::memcpy(item->sender, gServer->users[slot]->name, kNameSize);
  }
  if (header.scope == Scope::Private) std::memcpy(item->recipient, header.name, kNameSize);
  AppendChatItem(std::move(item));
}

// Reads frames until the client logs out, disconnects or sends a header no
// sound client would send.
void ServeFrames(TlsConn* session) {
  uint8_t headerBytes[kHeaderSize];
  std::vector<uint8_t> cipher;
  std::vector<uint8_t> plain;
  for (;;) {
    if (!TlsReadFull(*session, headerBytes, kHeaderSize)) return;
    FrameHeader header = ParseHeader(headerBytes);
    // Checked before anything is allocated: the length is the client's say-so.
    if (!HeaderAcceptable(header)) return;
    uint32_t length = PayloadLength(header.lengthWord);
    cipher.resize(length);
    if (length > 0 && !TlsReadFull(*session, cipher.data(), length)) return;
    DecryptPayload(header, cipher.data(), length, plain);
    if (!HandleFrame(session, header, plain)) return;
  }
}

}  // namespace

bool HandleFrame(TlsConn* session, const FrameHeader& header, std::vector<uint8_t>& plain) {
  switch (header.type) {
    case FrameType::Login:
      if (!plain.empty()) HandleLogin(session, plain);
      return true;
    case FrameType::Logout:
      return false;
    case FrameType::Chat:
      if (!plain.empty()) HandleChat(session, header, plain);
      return true;
    default:
      return true;
  }
}

void EndSession(TlsConn* session) {
  if (gServer->onUserOffline) gServer->onUserOffline(session);
  RemoveUser(session);
  BroadcastUserList();
}

void ClientSession(TlsConnPtr conn) {
  if (TlsAccept(*conn, kHandshakeTimeoutMs, true)) {
    ServeFrames(conn.get());
    EndSession(conn.get());
  }
  // Every slot naming this connection is gone: nobody else can reach it now.
  conn.reset();
  --gServer->connections;
}
