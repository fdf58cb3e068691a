// A client connection without a socket, for driving the room in tests and
// fuzzing: what the room writes to it is kept, a shut-down link takes no
// more, and every ordering is the caller's. WalkFrames reads it back.
// `room` limits what it takes before it reports itself full, as a client
// that stopped reading.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "room/Link.h"

namespace saferoom {

class FakeLink : public Link {
 public:
  std::vector<uint8_t> written;  // every byte written since the last clear
  bool shut = false;             // Shutdown was called
  std::string certName;          // the client certificate's CN, if `hasCert`
  bool hasCert = false;
  size_t room = SIZE_MAX;            // bytes it takes until Read more: room += N
  int sends = 0;                     // calls of Send that offered bytes
  std::function<void()> duringSend;  // run inside each Send, as another thread would

  bool Open(Deadline) override { return true; }
  ReadResult Read(uint8_t*, size_t, Deadline) override { return ReadResult{}; }
  bool CertificateName(std::string& name) override {
    name = certName;
    return hasCert;
  }
  LinkSend Send(const uint8_t* bytes, size_t len) override {
    LinkSend sent;
    if (len > 0) ++sends;
    if (duringSend) duringSend();
    if (shut) {
      sent.ended = true;
      return sent;
    }
    sent.taken = std::min(len, room);
    room -= sent.taken;
    sent.blocked = sent.taken < len;
    sent.held = len - sent.taken;  // as a TLS link that holds the rest in a record
    sent.wrote = sent.taken > 0;
    written.insert(written.end(), bytes, bytes + sent.taken);
    return sent;
  }
  int WritableFd() const override { return -1; }
  void Shutdown() override { shut = true; }
  const std::string& Peer() const override { return peer_; }

 private:
  std::string peer_ = "127.0.0.1, port 1";
};

// Calls `each(header, payload)` (still encrypted) for the frames in `bytes`,
// in order, until one returns false. False then, or when a header is one no
// reader takes or a frame is cut off by the end.
template <typename Each>
bool WalkFrames(const uint8_t* bytes, size_t size, Each each) {
  for (size_t at = 0; at < size;) {
    if (size - at < kHeaderSize) return false;
    const FrameHeader header = ParseHeader(bytes + at);
    const size_t len = PayloadLength(header.lengthWord);
    if (!HeaderAcceptable(header) || size - at - kHeaderSize < len) return false;
    if (!each(header, bytes + at + kHeaderSize)) return false;
    at += kHeaderSize + len;
  }
  return true;
}

}  // namespace saferoom
