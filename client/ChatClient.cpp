// The client side of the chat protocol over one TLS 1.2 connection.
// Called by the chat command, the integration tests and the benchmarks.
#include "client/ChatClient.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "platform/Os.h"

namespace saferoom {

namespace {

void CopyName(const std::string& name, uint8_t field[kNameSize]) {
  std::memset(field, 0, kNameSize);
  std::memcpy(field, name.data(), std::min(name.size(), kNameSize));
}

}  // namespace

std::string ReceivedFrame::Text() const {
  auto end = std::find(payload.begin(), payload.end(), uint8_t{0});
  return std::string(payload.begin(), end);
}

std::vector<std::string> ReceivedFrame::Names() const {
  // The zero fill after the last name is shorter than a name, so it never
  // counts as one; an empty member name is a whole zero field and does.
  std::vector<std::string> names;
  for (size_t at = 0; at + kNameSize <= payload.size(); at += kNameSize) {
    names.push_back(NameString(payload.data() + at));
  }
  return names;
}

DialResult ChatClient::Connect(const ClientOptions& options) {
  // A server that hangs up mid-write must give an error, not end the process.
  IgnoreSigpipe();
  stream.reset();
  conn.reset();
  reader = FrameReader();
  DialResult result;
  ctx = NewClientContext(options.tls, result.message);
  if (!ctx) {
    result.error = DialError::kSetup;
    return result;
  }
  return DialTls(ctx.get(), options.target, conn);
}

bool ChatClient::Login(const std::string& name) {
  uint8_t field[kNameSize];
  CopyName(name, field);
  Frame frame =
      BuildFrame(FrameType::Login, PayloadKind::Binary, field, kNameSize, nullptr, Scope::None);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::Logout() {
  Frame frame =
      BuildFrame(FrameType::Logout, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::SendChat(const std::string& text, const std::string& to, uint32_t kind) {
  uint8_t name[kNameSize];
  CopyName(to, name);
  uint32_t scope = to.empty() ? Scope::Public : Scope::Private;
  Frame frame;
  if (kind == PayloadKind::Text) {
    // BuildFrame would cut a Text payload at the NUL, and a text whose length
    // is a multiple of 16 would then travel without one. Built as binary with
    // the NUL counted, then marked Text, every text payload carries its NUL.
    std::string withNul = text;
    withNul.push_back('\0');
    frame = BuildFrame(FrameType::Chat, PayloadKind::Binary, withNul.data(),
                       static_cast<uint32_t>(withNul.size()), name, scope);
    if (!frame.empty()) frame[4] |= PayloadKind::Text;  // low bits of LengthWord
  } else {
    frame = BuildFrame(FrameType::Chat, kind, text.data(), static_cast<uint32_t>(text.size()), name,
                       scope);
  }
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::RequestHistory(uint64_t sinceUs) {
  uint8_t payload[kHistoryRequestSize] = {};
  StoreLe64(payload, sinceUs);
  Frame frame = BuildFrame(FrameType::HistoryRequest, PayloadKind::Binary, payload, sizeof payload,
                           nullptr, Scope::None);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::RequestReclaimKey() {
  Frame frame = BuildFrame(FrameType::ReclaimKeyRequest, PayloadKind::Binary, nullptr, 0, nullptr,
                           Scope::None);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::Reclaim(const std::string& name, const std::string& key, uint64_t received) {
  ReclaimFields fields;
  CopyName(name, fields.name);
  std::memcpy(fields.key, key.data(), std::min<size_t>(key.size(), kReclaimKeySize));
  fields.received = received;
  uint8_t payload[kReclaimSize];
  PutReclaim(fields, payload);
  Frame frame = BuildFrame(FrameType::Reclaim, PayloadKind::Binary, payload, sizeof payload,
                           nullptr, Scope::None);
  OPENSSL_cleanse(payload, sizeof payload);
  OPENSSL_cleanse(fields.key, sizeof fields.key);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::SendRaw(const void* data, size_t len) {
  if (!conn) return false;
  const Deadline deadline = Deadline::In(kSendBudgetMs);
  if (stream) return stream->Write(static_cast<const uint8_t*>(data), len, deadline);
  return TlsWrite(*conn, data, len, deadline) == IoStatus::kDone;
}

RecvStatus ChatClient::Receive(ReceivedFrame& frame, Deadline deadline) {
  for (;;) {
    FrameHeader header;
    const uint8_t* payload = nullptr;
    FrameReader::Result result = reader.Next(header, payload);
    if (result == FrameReader::Result::kBadHeader) return RecvStatus::kBadFrame;
    if (result == FrameReader::Result::kFrame) {
      frame.type = header.type;
      frame.kind = KindOf(header.lengthWord);
      frame.scope = header.scope;
      frame.name = NameString(header.name);
      DecryptPayload(header, payload, PayloadLength(header.lengthWord), frame.payload);
      return RecvStatus::kFrame;
    }
    if (!conn) return RecvStatus::kClosed;
    size_t room = 0;
    uint8_t* at = reader.Room(room);
    ReadResult got = stream ? stream->Read(at, room, deadline) : TlsRead(*conn, at, room, deadline);
    if (got.status == IoStatus::kTimeout) return RecvStatus::kTimeout;
    if (got.status == IoStatus::kEnded) return RecvStatus::kClosed;
    reader.Commit(got.bytes);
  }
}

void ChatClient::Drop() {
  // Freeing the SSL object sends nothing; the socket closes after it.
  stream.reset();
  conn.reset();
  reader = FrameReader();
}

int ChatClient::Fd() const {
  return conn ? conn->fd.Get() : -1;
}

}  // namespace saferoom
