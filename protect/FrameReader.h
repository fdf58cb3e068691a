// Cuts a byte stream into whole frames, without any I/O: the caller reads
// into Room() and Commit()s. Used by the server's sessions and the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protect/Frame.h"

namespace saferoom {

class FrameReader {
 public:
  enum class Result { kFrame, kNeedMore, kBadHeader };

  // The next whole frame: its header and a pointer to its still encrypted
  // payload, valid until the next Room(). kBadHeader for a header no sound
  // peer sends; its length is checked before any room is made for it.
  Result Next(FrameHeader& header, const uint8_t*& payload);

  // Room for the next read: at least what the frame under way still lacks.
  // Sets `size`; the pointer is valid until the next Room() or Next().
  uint8_t* Room(size_t& size);
  // `n` bytes were read into the room.
  void Commit(size_t n) { end_ += n; }

 private:
  std::vector<uint8_t> buf_;
  size_t start_ = 0;           // first byte not yet handed out
  size_t end_ = 0;             // end of the bytes read
  size_t need_ = kHeaderSize;  // bytes the frame under way needs in all
};

}  // namespace saferoom
