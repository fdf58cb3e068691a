// Feeds arbitrary bytes to the frame reader as a client's stream would
// arrive, in reads of varying size: reassembly, header checks, IV unmasking,
// payload decryption; then checks that what was decrypted survives a
// build-and-read round trip.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protect/Frame.h"
#include "protect/FrameReader.h"

namespace saferoom {}  // namespace saferoom

using namespace saferoom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets how much each read brings, so frames straddle reads.
  const size_t readSize = 1 + data[0] % 97;
  ++data;
  --size;
  FrameReader reader;
  std::vector<uint8_t> plain;
  std::vector<uint8_t> again;
  for (;;) {
    FrameHeader header;
    const uint8_t* payload = nullptr;
    FrameReader::Result result = reader.Next(header, payload);
    if (result == FrameReader::Result::kBadHeader) return 0;
    if (result == FrameReader::Result::kNeedMore) {
      if (size == 0) return 0;
      size_t room = 0;
      uint8_t* at = reader.Room(room);
      const size_t n = std::min({room, readSize, size});
      std::memcpy(at, data, n);
      reader.Commit(n);
      data += n;
      size -= n;
      continue;
    }
    if (!HeaderAcceptable(header)) abort();  // the reader let a bad one through
    const uint32_t length = PayloadLength(header.lengthWord);
    DecryptPayload(header, payload, length, plain);
    if (plain.size() != length) abort();

    Frame frame = BuildFrame(header.type, PayloadKind::Binary, plain.data(), length, header.name,
                             header.scope);
    if (frame.size() != kHeaderSize + length) abort();
    FrameHeader built = ParseHeader(frame.data());
    if (!HeaderAcceptable(built) || PayloadLength(built.lengthWord) != length) abort();
    DecryptPayload(built, frame.data() + kHeaderSize, length, again);
    if (again != plain) abort();
  }
}
