// The web listener's link: handshake, HTTP, WebSocket.
#include "server/WebLink.h"

#include <algorithm>
#include <cstring>

#include "protect/Frame.h"
#include "room/Console.h"
#include "room/History.h"
#include "server/DeviceAuth.h"
#include "server/TlsLink.h"

namespace saferoom {

namespace {

// One read from TLS: a record's worth.
constexpr size_t kReadChunk = 16 * 1024;
// Capacity kept for the next read or write; beyond it, buffers go back.
constexpr size_t kKeptBytes = 64 * 1024;

void Trim(std::vector<uint8_t>& v) {
  if (v.capacity() > kKeptBytes) std::vector<uint8_t>().swap(v);
}

}  // namespace

WebLink::WebLink(TlsConnPtr conn, std::string peer, Console& console, StateDir* devices,
                 ConnectionGate* gate)
    : conn_(std::move(conn)),
      peer_(std::move(peer)),
      console_(console),
      devices_(devices),
      gate_(gate),
      ws_(kMaxWebSocketMessage) {}

bool WebLink::CertificateName(std::string& name) {
  if (deviceId_.empty()) return PeerCommonName(*conn_, name);
  name = deviceName_;
  return true;
}

bool WebLink::ReadExactly(uint8_t* buf, size_t len, Deadline deadline) {
  for (size_t got = 0; got < len;) {
    const ReadResult r = Read(buf + got, len - got, deadline);
    if (r.status != IoStatus::kDone) return false;
    got += r.bytes;
  }
  return true;
}

bool WebLink::SendAll(const uint8_t* bytes, size_t len, Deadline deadline) {
  for (;;) {
    const LinkSend sent = Send(bytes, len);
    if (sent.ended) return false;
    bytes += sent.taken;
    len -= sent.taken;
    if (!sent.blocked && len == 0) return true;
    if (sent.blocked) {
      PollItem writable;
      writable.fd = WritableFd();
      writable.forWrite = true;
      if (PollFds(&writable, 1, deadline) != PollResult::kReady) return false;
    }
  }
}

bool WebLink::PassDeviceExchange(Deadline deadline) {
  DeviceExchange exchange;
  // With SSL_VERIFY_PEER a certificate that is there has verified.
  exchange.hasCertificate = SSL_get0_peer_certificate(conn_->ssl.get()) != nullptr;
  if (exchange.hasCertificate) PeerCommonName(*conn_, exchange.certName);
  for (;;) {
    uint8_t head[kHeaderSize];
    if (!ReadExactly(head, sizeof head, deadline)) return false;
    const FrameHeader header = ParseHeader(head);
    if (!HeaderAcceptable(header)) return false;
    if (exchange.hasCertificate && !exchange.challenged && header.type != FrameType::DeviceHello) {
      // A certificate holder that did not ask: the room reads this frame as
      // it always did, payload and all.
      inbox_.insert(inbox_.begin() + static_cast<std::ptrdiff_t>(inboxAt_), head,
                    head + sizeof head);
      return true;
    }
    const uint32_t len = PayloadLength(header.lengthWord);
    if (len > kMaxExchangePayload) return false;
    uint8_t payload[kMaxExchangePayload];
    if (!ReadExactly(payload, len, deadline)) return false;
    std::vector<uint8_t> plain;
    DecryptPayload(header, payload, len, plain);
    Frame out;
    const int64_t now = static_cast<int64_t>(WallClockMicros() / 1000000);
    const ExchangeStep step = OnExchangeFrame(exchange, *devices_, header, plain, now, out);
    if (!out.empty() && !SendAll(out.data(), out.size(), deadline)) return false;
    if (step == ExchangeStep::kMore) continue;
    if (step != ExchangeStep::kAdmit) return false;
    deviceName_ = exchange.name;
    deviceId_ = exchange.keyId;
    return true;
  }
}

bool WebLink::Open(Deadline deadline) {
  if (!AcceptOrTell(*conn_, deadline, peer_, console_)) return false;
  HttpExchange http(devices_ != nullptr);
  std::string input, response;
  char buf[4096];
  Deadline next = deadline.Sooner(Deadline::In(kRequestIdleMs));  // the next whole request head
  for (;;) {
    const HttpExchange::Step step = http.Feed(input, response);
    if (step == HttpExchange::Step::kNeedMore) {
      ReadResult got = TlsRead(*conn_, buf, sizeof buf, next);
      if (got.status != IoStatus::kDone) break;  // gone, or no whole request in time
      input.append(buf, got.bytes);
      continue;
    }
    if (!response.empty() &&
        TlsWrite(*conn_, response.data(), response.size(), deadline) != IoStatus::kDone) {
      break;
    }
    if (step == HttpExchange::Step::kUpgrade) {
      early_ = std::move(input);  // a client may send frames right after its request
      if ((devices_ == nullptr || PassDeviceExchange(Deadline::In(kDeviceExchangeMs))) &&
          NoteOpenLink(gate_, this, *conn_, deviceId_, deviceName_)) {
        return true;
      }
      Shutdown();
      return false;
    }
    if (step == HttpExchange::Step::kClose) break;
    next = deadline.Sooner(Deadline::In(kRequestIdleMs));
  }
  TlsClose(*conn_);
  return false;
}

ReadResult WebLink::Read(uint8_t* buf, size_t len, Deadline deadline) {
  std::vector<uint8_t>& raw = raw_;
  for (;;) {
    if (inboxAt_ < inbox_.size()) {
      const size_t n = std::min(len, inbox_.size() - inboxAt_);
      std::memcpy(buf, inbox_.data() + inboxAt_, n);
      inboxAt_ += n;
      if (inboxAt_ == inbox_.size()) {
        inbox_.clear();
        inboxAt_ = 0;
        Trim(inbox_);
      }
      return ReadResult{IoStatus::kDone, n};
    }
    if (readEnded_) {
      TlsClose(*conn_);
      return ReadResult{};
    }
    if (!early_.empty()) {
      raw.assign(early_.begin(), early_.end());
      early_.clear();
    } else {
      raw.resize(kReadChunk);
      ReadResult got = TlsRead(*conn_, raw.data(), raw.size(), deadline);
      if (got.status != IoStatus::kDone) return got;
      raw.resize(got.bytes);
    }
    std::lock_guard<std::mutex> hold(wsLock);
    if (ended_) return ReadResult{};
    ws_.Receive(raw.data(), raw.size(), inbox_);
    Trim(raw);
    // Pongs and the closing handshake go out in order with the room's
    // frames: what the socket does not take now goes with the next send.
    const bool failed = PushLocked().ended;
    // What came before a close is still the client's: it is handed out first.
    if (ws_.Ended() || failed) ended_ = readEnded_ = true;
  }
}

LinkSend WebLink::Send(const uint8_t* bytes, size_t len) {
  LinkSend ended;
  ended.ended = true;
  std::lock_guard<std::mutex> hold(wsLock);
  if (ended_) return ended;
  // The link's own bytes go first; while they wait, it takes nothing more,
  // so that it never holds more than one send's worth.
  LinkSend sent = PushLocked();
  if (!sent.ended && !sent.blocked && len > 0) {
    if (!ws_.Send(bytes, len)) {
      sent.ended = true;
    } else {
      const LinkSend then = PushLocked();
      sent = LinkSend{len, then.blocked, sent.wrote || then.wrote, then.ended, 0};
    }
  }
  if (sent.ended) {
    ended_ = true;
    return ended;
  }
  return sent;
}

void WebLink::Shutdown() {
  {
    std::lock_guard<std::mutex> hold(wsLock);
    if (!ended_) {
      // A goodbye the socket does not take at once is not waited for.
      ws_.Close(1000);
      PushLocked();
      ended_ = true;
    }
  }
  TlsClose(*conn_);
}

LinkSend WebLink::PushLocked() {
  std::vector<uint8_t>& out = ws_.Outgoing();
  LinkSend pushed;
  if (outAt_ < out.size()) {
    const SendResult sent = TlsSend(*conn_, out.data() + outAt_, out.size() - outAt_);
    outAt_ += sent.taken;
    pushed.wrote = sent.wrote;
    pushed.blocked = sent.blocked;
    pushed.ended = sent.ended;
  }
  if (outAt_ == out.size()) {
    out.clear();
    outAt_ = 0;
    Trim(out);
  }
  return pushed;
}

}  // namespace saferoom
