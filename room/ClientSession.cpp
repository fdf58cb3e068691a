// One connection's thread: TLS handshake, then requests until it ends.
#include "room/ClientSession.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Os.h"
#include "protect/FrameReader.h"
#include "protect/SafeText.h"
#include "room/DeliveryQueue.h"
#include "room/UserTable.h"
#include "server/SafeTcpServer.h"

namespace {

// Slot value for a login whose name is taken (AddUser's -1 is a full room).
constexpr int kNameTaken = -2;

// A reply without payload, written under userLock like every write to a
// connection that may be a member.
void ReplyLocked(TlsConn* session, uint32_t type) {
  Frame frame = BuildFrame(type, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  if (frame.empty()) return;
  std::lock_guard<std::mutex> lock(gServer->userLock);
  TlsWrite(*session, frame.data(), frame.size());
}

// In a private room a member's name is the one in its certificate.
void BindNameToCertificate(TlsConn& conn, SessionState& state) {
  state.nameFromCert = true;
  std::string cn;
  state.certHasName = PeerCommonName(conn, cn) && !cn.empty();
  std::memcpy(state.certName, cn.data(), std::min(cn.size(), kNameSize));
}

// False, with the reason on standard error, when the certificate names
// someone else.
bool CertificateAllows(const SessionState& state, const uint8_t name[kNameSize]) {
  if (!state.nameFromCert) return true;
  if (state.certHasName && NameString(name) == NameString(state.certName)) return true;
  std::string want = state.certHasName
                         ? "its certificate is for " + SafeText(NameString(state.certName))
                         : "its certificate has no subject CN";
  fprintf(stderr, "Login as %s refused: %s\n", SafeText(NameString(name)).c_str(), want.c_str());
  return false;
}

void HandleLogin(TlsConn* session, SessionState& state, const std::vector<uint8_t>& plain) {
  uint8_t name[kNameSize] = {};
  std::memcpy(name, plain.data(), std::min(plain.size(), kNameSize));
  if (!CertificateAllows(state, name)) {
    ReplyLocked(session, FrameType::NameInUse);
    return;
  }
  int slot;
  {
    // One hold for the check and the insertion keeps names unique.
    std::lock_guard<std::mutex> lock(gServer->userLock);
    if (gServer->FindUserByName(name) >= 0) {
      slot = kNameTaken;
    } else {
      slot = AddUser(session, name);
    }
  }
  if (slot == kNameTaken) {
    ReplyLocked(session, FrameType::NameInUse);
    return;
  }
  if (slot >= 0) {
    if (slot > state.senderSlot) {
      state.senderSlot = slot;
      std::memcpy(state.senderName, name, kNameSize);
    }
    if (gServer->onUserOnline) gServer->onUserOnline(session, slot);
    ReplyLocked(session, FrameType::LoginAccepted);
  }
  // A full room still gets the (unchanged) list.
  BroadcastUserList();
}

void HandleChat(SessionState& state, const FrameHeader& header, std::vector<uint8_t>& plain) {
  auto item = std::make_unique<ChatItem>();
  item->lengthWord = header.lengthWord;
  item->payload = std::move(plain);
  std::memcpy(item->sender, state.senderName, kNameSize);
  if (header.scope == Scope::Private) std::memcpy(item->recipient, header.name, kNameSize);
  state.chats.push_back(std::move(item));
}

// The next whole frame: its header and a pointer to its payload, valid until
// the next call. False when the connection ends or the header is one no
// sound client sends.
bool NextFrame(TlsConn& conn, SessionState& state, FrameReader& reader, FrameHeader& header,
               const uint8_t*& payload) {
  for (;;) {
    FrameReader::Result result = reader.Next(header, payload);
    if (result == FrameReader::Result::kFrame) {
      state.lastFrameMs = MonotonicMs();
      return true;
    }
    if (result == FrameReader::Result::kBadHeader) return false;
    // Nothing more to act on before the next read, which may wait.
    if (!state.chats.empty()) QueueChats(state);
    size_t room = 0;
    uint8_t* at = reader.Room(room);
    // Bytes that complete no frame do not put the deadline off.
    int waitMs = -1;
    if (state.senderSlot < 0) {
      waitMs = static_cast<int>(
          std::max<int64_t>(0, state.lastFrameMs + kIdleTimeoutMs - MonotonicMs()));
    }
    int n = TlsRead(conn, at, static_cast<int>(room), waitMs);
    if (n <= 0) return false;
    reader.Commit(static_cast<size_t>(n));
  }
}

// Reads frames until the client logs out, disconnects or sends a header no
// sound client would send.
void ServeFrames(TlsConn* session) {
  SessionState state;
  state.lastFrameMs = MonotonicMs();
  if (gServer->requireClientCert) BindNameToCertificate(*session, state);
  FrameReader reader;
  FrameHeader header;
  const uint8_t* payload = nullptr;
  while (NextFrame(*session, state, reader, header, payload)) {
    // Chat takes the buffer anyway; others do not keep a big one around.
    std::vector<uint8_t> plain;
    DecryptPayload(header, payload, PayloadLength(header.lengthWord), plain);
    if (!HandleFrame(session, state, header, plain)) break;
  }
  // What was read before a logout or a failed read is still relayed.
  QueueChats(state);
}

}  // namespace

bool HandleFrame(TlsConn* session, SessionState& state, const FrameHeader& header,
                 std::vector<uint8_t>& plain) {
  switch (header.type) {
    case FrameType::Login:
      if (!plain.empty()) HandleLogin(session, state, plain);
      return true;
    case FrameType::Logout:
      return false;
    case FrameType::Chat:
      if (!plain.empty()) HandleChat(state, header, plain);
      return true;
    default:
      return true;
  }
}

void QueueChats(SessionState& state) {
  AppendChatItems(state.chats);
}

void EndSession(TlsConn* session) {
  if (gServer->onUserOffline) gServer->onUserOffline(session);
  RemoveUser(session);
  BroadcastUserList();
}

void ClientSession(TlsConnPtr conn, const std::string& peer) {
  if (TlsAccept(*conn, kHandshakeTimeoutMs, false)) {
    ServeFrames(conn.get());
    EndSession(conn.get());
  } else if (ERR_peek_error() != 0) {
    // A timeout or a peer that just left has nothing to dump. Sessions fail
    // side by side: the lock keeps each line with its dump.
    flockfile(stderr);
    fprintf(stderr, "TLS handshake failed: %s\n", peer.c_str());
    ERR_print_errors_fp(stderr);
    funlockfile(stderr);
    ERR_clear_error();
  }
  // Every slot naming this connection is gone: nobody else can reach it now.
  conn.reset();
}
