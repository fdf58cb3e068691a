// A WebSocket to the web listener, for the benchmark and the tests.
#include "client/WsClient.h"

#include <openssl/rand.h>
#include <wslay/wslay.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace saferoom {

namespace {

class WsClientStream : public FrameStream {
 public:
  explicit WsClientStream(TlsConn& conn) : conn_(conn) {
    wslay_event_callbacks callbacks = {};
    callbacks.recv_callback = Recv;
    callbacks.send_callback = Send;
    callbacks.genmask_callback = Mask;
    callbacks.on_msg_recv_callback = OnMessage;
    if (wslay_event_context_client_init(&ctx_, &callbacks, this) != 0) ctx_ = nullptr;
  }
  ~WsClientStream() override {
    if (ctx_ != nullptr) wslay_event_context_free(ctx_);
  }

  ReadResult Read(uint8_t* buf, size_t len, Deadline deadline) override {
    for (;;) {
      if (!inbox_.empty()) {  // filled under wsLock_ by this thread only
        const size_t n = std::min(len, inbox_.size());
        std::memcpy(buf, inbox_.data(), n);
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<long>(n));
        return ReadResult{IoStatus::kDone, n};
      }
      uint8_t raw[16 * 1024];
      ReadResult got = TlsRead(conn_, raw, sizeof raw, deadline);
      if (got.status != IoStatus::kDone) return got;
      // One thread reads while another writes, as on the TLS port: the
      // framing is theirs together, the waiting each its own.
      std::lock_guard<std::mutex> hold(wsLock_);
      if (ctx_ == nullptr || !wslay_event_get_read_enabled(ctx_)) return ReadResult{};
      in_ = raw;
      inLeft_ = got.bytes;
      const bool ok = wslay_event_recv(ctx_) == 0 && Flush(Deadline::In(kSendBudgetMs));
      if (!ok) return ReadResult{};
    }
  }

  bool Write(const uint8_t* bytes, size_t len, Deadline deadline) override {
    std::lock_guard<std::mutex> hold(wsLock_);
    wslay_event_msg msg = {WSLAY_BINARY_FRAME, bytes, len};
    return ctx_ != nullptr && wslay_event_queue_msg(ctx_, &msg) == 0 && Flush(deadline);
  }

 private:
  static WsClientStream& Of(void* user) { return *static_cast<WsClientStream*>(user); }
  static ssize_t Recv(wslay_event_context_ptr ctx, uint8_t* buf, size_t len, int, void* user) {
    WsClientStream& s = Of(user);
    if (s.inLeft_ == 0) {
      wslay_event_set_error(ctx, WSLAY_ERR_WOULDBLOCK);
      return -1;
    }
    const size_t n = std::min(len, s.inLeft_);
    std::memcpy(buf, s.in_, n);
    s.in_ += n;
    s.inLeft_ -= n;
    return static_cast<ssize_t>(n);
  }
  static ssize_t Send(wslay_event_context_ptr, const uint8_t* data, size_t len, int, void* user) {
    std::vector<uint8_t>& out = Of(user).out_;
    out.insert(out.end(), data, data + len);
    return static_cast<ssize_t>(len);
  }
  static int Mask(wslay_event_context_ptr, uint8_t* buf, size_t len, void*) {
    return RAND_bytes(buf, static_cast<int>(len)) == 1 ? 0 : -1;
  }
  static void OnMessage(wslay_event_context_ptr, const wslay_event_on_msg_recv_arg* arg,
                        void* user) {
    if (arg->opcode != WSLAY_BINARY_FRAME) return;
    std::vector<uint8_t>& inbox = Of(user).inbox_;
    inbox.insert(inbox.end(), arg->msg, arg->msg + arg->msg_length);
  }

  // Writes what wslay framed, in one TLS write. The caller holds wsLock_.
  bool Flush(Deadline deadline) {
    if (wslay_event_want_write(ctx_) && wslay_event_send(ctx_) != 0) return false;
    if (out_.empty()) return true;
    const bool ok = TlsWrite(conn_, out_.data(), out_.size(), deadline) == IoStatus::kDone;
    out_.clear();
    return ok;
  }

  TlsConn& conn_;
  std::mutex wsLock_;  // guards everything below but inbox_, which is the reader's
  wslay_event_context* ctx_ = nullptr;
  const uint8_t* in_ = nullptr;
  size_t inLeft_ = 0;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> inbox_;
};

DialResult Failed(const std::string& why) {
  DialResult result;
  result.error = DialError::kHandshake;
  result.message = why;
  return result;
}

}  // namespace

std::string WebSocketRequest(const std::string& hostPort, const std::string& origin) {
  return "GET /ws HTTP/1.1\r\nHost: " + hostPort + "\r\nOrigin: " + origin +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

DialResult ConnectWeb(ChatClient& client, const ClientOptions& options, const std::string& origin) {
  ClientOptions web = options;
  web.tls.maxVersion = TLS1_3_VERSION;
  DialResult dialed = client.Connect(web);
  if (!dialed.Ok()) return dialed;
  const std::string hostPort = options.target.host + ":" + std::to_string(options.target.port);
  const std::string request =
      WebSocketRequest(hostPort, origin.empty() ? "https://" + hostPort : origin);
  const Deadline deadline = Deadline::In(options.target.handshakeTimeoutMs);
  if (TlsWrite(*client.conn, request.data(), request.size(), deadline) != IoStatus::kDone) {
    return Failed("cannot send the WebSocket request");
  }
  // The answer's head, a byte at a time: nothing after it may be taken here.
  std::string head;
  char c;
  while (head.size() < 8192 && head.find("\r\n\r\n") == std::string::npos) {
    ReadResult got = TlsRead(*client.conn, &c, 1, deadline);
    if (got.status != IoStatus::kDone) return Failed("no answer to the WebSocket request");
    head += c;
  }
  if (head.rfind("HTTP/1.1 101 ", 0) != 0) {
    return Failed("the WebSocket was refused: " + head.substr(0, head.find("\r\n")));
  }
  client.stream = std::make_unique<WsClientStream>(*client.conn);
  return DialResult();
}

}  // namespace saferoom
