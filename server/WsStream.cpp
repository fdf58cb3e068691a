// WebSocket framing on wslay's event API, driven from memory.
#include "server/WsStream.h"

#include <wslay/wslay.h>

#include <algorithm>
#include <cstring>

namespace saferoom {

// wslay's callbacks, with access to the stream they serve.
struct WsCallbacks {
  static WsStream& Of(void* user) { return *static_cast<WsStream*>(user); }
  static ssize_t Recv(wslay_event_context_ptr ctx, uint8_t* buf, size_t len, int, void* user);
  static ssize_t Send(wslay_event_context_ptr, const uint8_t* data, size_t len, int, void* user);
  static void OnMessage(wslay_event_context_ptr ctx, const wslay_event_on_msg_recv_arg* arg,
                        void* user);
};

ssize_t WsCallbacks::Recv(wslay_event_context_ptr ctx, uint8_t* buf, size_t len, int, void* user) {
  WsStream& s = Of(user);
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

ssize_t WsCallbacks::Send(wslay_event_context_ptr, const uint8_t* data, size_t len, int,
                          void* user) {
  // Collected and written by the caller in one go: a TLS record per piece
  // (header, then payload) would double the records.
  std::vector<uint8_t>& out = Of(user).out_;
  out.insert(out.end(), data, data + len);
  return static_cast<ssize_t>(len);
}

void WsCallbacks::OnMessage(wslay_event_context_ptr ctx, const wslay_event_on_msg_recv_arg* arg,
                            void* user) {
  WsStream& s = Of(user);
  if (arg->opcode == WSLAY_BINARY_FRAME) {
    if (s.data_ != nullptr) s.data_->insert(s.data_->end(), arg->msg, arg->msg + arg->msg_length);
  } else if (arg->opcode == WSLAY_TEXT_FRAME) {
    // The frames are binary; a text message is a client of something else.
    wslay_event_queue_close(ctx, WSLAY_CODE_UNSUPPORTED_DATA, nullptr, 0);
    wslay_event_shutdown_read(ctx);
  }
  // Pings are answered and closes answered by wslay itself.
}

WsStream::WsStream(size_t maxMessage) {
  wslay_event_callbacks callbacks = {};
  callbacks.recv_callback = WsCallbacks::Recv;
  callbacks.send_callback = WsCallbacks::Send;
  callbacks.on_msg_recv_callback = WsCallbacks::OnMessage;
  if (wslay_event_context_server_init(&ctx_, &callbacks, this) != 0) {
    ctx_ = nullptr;
    failed_ = true;
    return;
  }
  wslay_event_config_set_max_recv_msg_length(ctx_, maxMessage);
}

WsStream::~WsStream() {
  if (ctx_ != nullptr) wslay_event_context_free(ctx_);
}

void WsStream::Receive(const uint8_t* bytes, size_t len, std::vector<uint8_t>& data) {
  if (ctx_ == nullptr || !wslay_event_get_read_enabled(ctx_)) return;
  in_ = bytes;
  inLeft_ = len;
  data_ = &data;
  if (wslay_event_recv(ctx_) != 0) failed_ = true;
  data_ = nullptr;
  in_ = nullptr;
  inLeft_ = 0;
  Flush();
}

bool WsStream::Send(const uint8_t* bytes, size_t len) {
  if (Ended()) return false;
  wslay_event_msg msg = {WSLAY_BINARY_FRAME, bytes, len};
  if (wslay_event_queue_msg(ctx_, &msg) != 0) return false;
  Flush();
  return !failed_;
}

void WsStream::Close(uint16_t code) {
  if (ctx_ == nullptr || wslay_event_get_close_sent(ctx_)) return;
  wslay_event_queue_close(ctx_, code, nullptr, 0);
  Flush();
}

bool WsStream::Ended() const {
  return failed_ || ctx_ == nullptr || wslay_event_get_close_sent(ctx_) ||
         wslay_event_get_close_received(ctx_) || !wslay_event_get_read_enabled(ctx_);
}

void WsStream::Flush() {
  if (ctx_ != nullptr && wslay_event_want_write(ctx_) && wslay_event_send(ctx_) != 0) {
    failed_ = true;
  }
}

}  // namespace saferoom
