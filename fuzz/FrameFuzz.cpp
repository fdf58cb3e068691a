// Feeds arbitrary bytes to the frame reader, as a client's stream would
// arrive: header checks, IV unmasking, payload decryption; then checks that
// what the reader decrypted survives a build-and-read round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protect/Frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> plain;
  std::vector<uint8_t> again;
  while (size >= kHeaderSize) {
    FrameHeader header = ParseHeader(data);
    data += kHeaderSize;
    size -= kHeaderSize;
    if (!HeaderAcceptable(header)) return 0;
    uint32_t length = PayloadLength(header.lengthWord);
    if (length > size) return 0;
    DecryptPayload(header, data, length, plain);
    if (plain.size() != length) abort();

    Frame frame = BuildFrame(header.type, PayloadKind::Binary, plain.data(), length, header.name,
                             header.scope);
    if (frame.size() != kHeaderSize + length) abort();
    FrameHeader built = ParseHeader(frame.data());
    if (!HeaderAcceptable(built) || PayloadLength(built.lengthWord) != length) abort();
    DecryptPayload(built, frame.data() + kHeaderSize, length, again);
    if (again != plain) abort();
    data += length;
    size -= length;
  }
  return 0;
}
