// A client connection to the chat server: TLS 1.2 connect, requests, and
// decoded frames with a timeout. Shared by the chat command, tests, benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "protect/FrameReader.h"
#include "tls/TlsClient.h"
#include "tls/TlsConn.h"

namespace saferoom {

// The longest text that SendChat sends as one Text frame the server takes:
// the payload holds the text and its NUL, at most kMaxPayload bytes.
constexpr size_t kMaxTextLen = kMaxPayload - 1;
// A request that cannot be written within this means a lost connection.
constexpr int kSendBudgetMs = 5000;

struct ClientOptions {
  DialTarget target;
  TlsClientConfig tls;  // TLS 1.2, the server verified
};

// A received frame, decrypted. `payload` keeps its zero fill.
struct ReceivedFrame {
  uint32_t type = 0;
  uint32_t kind = 0;
  uint32_t scope = 0;
  std::string name;  // header name field up to its first NUL
  std::vector<uint8_t> payload;

  // The payload up to its first NUL (for text chat).
  std::string Text() const;
  // The names of a UserList payload, in order.
  std::vector<std::string> Names() const;
};

enum class RecvStatus { kFrame, kTimeout, kClosed, kBadFrame };

// Another way to carry the frames over `conn` than TLS alone: the web
// listener's WebSocket (client/WsClient.h).
class FrameStream {
 public:
  virtual ~FrameStream() = default;
  virtual ReadResult Read(uint8_t* buf, size_t len, Deadline deadline) = 0;
  virtual bool Write(const uint8_t* bytes, size_t len, Deadline deadline) = 0;
};

struct ChatClient {
  SslCtxPtr ctx;
  TlsConnPtr conn;
  std::unique_ptr<FrameStream> stream;  // null: frames straight over TLS
  FrameReader reader;                   // bytes read but not yet handed out as frames

  // Connects and completes the TLS handshake. Ignores SIGPIPE for the whole
  // process, so that a server hanging up mid-write is an error, not an end.
  DialResult Connect(const ClientOptions& options);

  // Requests. False when the connection failed.
  bool Login(const std::string& name);
  bool Logout();
  // Public when `to` is empty. kind 1 (Text) sends the NUL-terminated text.
  bool SendChat(const std::string& text, const std::string& to = "",
                uint32_t kind = PayloadKind::Text);
  // Asks for the messages the room kept that were relayed after `sinceUs`
  // (µs since the epoch; 0: all). A server that predates it ignores it.
  bool RequestHistory(uint64_t sinceUs);
  // Asks for a key to reclaim the name with after a cut; a server that
  // predates it ignores it.
  bool RequestReclaimKey();
  // In place of a Login: the name back from our own stale connection, with
  // its `key` (kReclaimKeySize bytes) and the bytes of frames it brought
  // (kReclaimFresh: none kept).
  bool Reclaim(const std::string& name, const std::string& key, uint64_t received);
  // Any bytes at all, for tests that send what a real client would not.
  bool SendRaw(const void* data, size_t len);

  // The next whole frame, waiting until `deadline` (a passed one still
  // takes what has arrived).
  RecvStatus Receive(ReceivedFrame& frame, Deadline deadline);

  // Closes the socket without a logout or close notification.
  void Drop();
  int Fd() const;
};

}  // namespace saferoom
