// One WebSocket (RFC 6455) connection's framing on the server side, on wslay
// (protocol only, no I/O of its own): client bytes in, the byte stream of
// binary messages out, and whatever must go back (pongs, the closing
// handshake, our binary messages) as bytes to write. Used by WebLink;
// fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct wslay_event_context;

namespace saferoom {

class WsStream {
 public:
  // `maxMessage`: a longer message from the client closes with 1009.
  explicit WsStream(size_t maxMessage);
  ~WsStream();
  WsStream(const WsStream&) = delete;
  WsStream& operator=(const WsStream&) = delete;

  // Takes bytes the client sent: frames unmasked and messages reassembled;
  // each binary message's payload is appended to `data` (boundaries mean
  // nothing to the caller). Pings are answered, a close is answered; a text
  // message closes with 1003, an unmasked or malformed frame with 1002. What
  // to write back goes to Outgoing().
  void Receive(const uint8_t* bytes, size_t len, std::vector<uint8_t>& data);
  // Frames `bytes` as one binary message into Outgoing(). False once closing.
  bool Send(const uint8_t* bytes, size_t len);
  // Starts the closing handshake with `code` (a close into Outgoing()).
  void Close(uint16_t code);

  // Bytes to write to the client, in order; the caller empties it.
  std::vector<uint8_t>& Outgoing() { return out_; }
  // No more messages either way: a close was sent or received, or the
  // stream failed. What Outgoing() holds is still to be written.
  bool Ended() const;

 private:
  friend struct WsCallbacks;
  void Flush();

  wslay_event_context* ctx_ = nullptr;
  const uint8_t* in_ = nullptr;  // during Receive: what wslay has yet to read
  size_t inLeft_ = 0;
  std::vector<uint8_t>* data_ = nullptr;  // during Receive: where messages go
  std::vector<uint8_t> out_;
  bool failed_ = false;
};

}  // namespace saferoom
