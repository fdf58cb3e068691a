// Many outgoing frames built back to back in one buffer, their payloads
// encrypted together in place, their boundaries known: SendMsg's batch.
// Pure: no I/O, locks or shared state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protect/Frame.h"
#include "protect/Sm4.h"

namespace saferoom {

// Fresh random bytes for IVs, drawn from the generator 4 KiB at a time: one
// draw costs about as much as encrypting a small frame, whatever its size.
class IvPool {
 public:
  // Fills `iv` with 16 bytes never handed out before. False when the
  // generator fails.
  bool Take(uint8_t iv[16]);

 private:
  std::array<uint8_t, 4096> bytes_;
  size_t used_ = bytes_.size();
};

class FrameBatch {
 public:
  // Appends frame Count() as BuildFrame makes it, with a fresh IV, its
  // payload still plain until Encrypt. False when it cannot be built (a size
  // LengthWord cannot carry, or no random IV): frame Count() - 1 is then
  // empty, so that frame numbers stay those of the caller's items.
  bool Add(uint32_t type, uint32_t kind, const void* data, uint32_t length, const uint8_t* name,
           uint32_t scope);
  // Appends frame Count() as an empty one: nothing to send, numbering kept.
  void Skip() { ends_.push_back(bytes_.size()); }
  // Sets frame i's PayloadKind bits, for a payload that Add must not cut at
  // a NUL (built as binary, then marked).
  void SetKind(size_t i, uint32_t kind);
  // Encrypts every payload added since the last Encrypt, several CBC chains
  // side by side.
  void Encrypt(Sm4Path path = Sm4BestPath());

  size_t Count() const { return ends_.size(); }
  // Frame i is bytes [Begin(i), End(i)) of Data(); all of them, [0, Size()).
  size_t Begin(size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
  size_t End(size_t i) const { return ends_[i]; }
  const uint8_t* Data() const { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }
  // Where every frame ends, in order.
  const std::vector<size_t>& Ends() const { return ends_; }

  // Makes room for `bytes` of frames before they are added.
  void Reserve(size_t bytes) { bytes_.reserve(bytes); }
  // Swaps the frames' bytes with `other`: Begin and End then describe
  // `other`, and the next Add appends to what `other` held (clear it first).
  // For handing the bytes on without a copy.
  void SwapBytes(std::vector<uint8_t>& other) { bytes_.swap(other); }

  // Forgets the frames; the buffer's capacity stays when it is at most
  // `keepBytes`, so a busy room reuses it and a burst of big messages does
  // not leave a big one behind.
  void Clear(size_t keepBytes);

 private:
  struct Job {
    size_t payloadAt;
    size_t numBlocks;
    uint8_t iv[16];
  };

  std::vector<uint8_t> bytes_;
  std::vector<size_t> ends_;
  std::vector<Job> jobs_;  // payloads still to encrypt
  std::vector<Sm4CbcJob> cbcJobs_;
  IvPool ivs_;
};

}  // namespace saferoom
