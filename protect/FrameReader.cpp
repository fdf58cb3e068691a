// Frame reassembly from a stream of reads.
#include "protect/FrameReader.h"

#include <algorithm>
#include <cstring>

namespace saferoom {

namespace {

// Reads usually bring whole TLS records of up to 16 KiB, often several frames
// each; a buffer this size takes most of them in one go.
constexpr size_t kReadChunk = 4096;
// A stream that has brought nothing yet gets a small buffer: most of the
// connections a server holds may never send a frame.
constexpr size_t kFirstChunk = 512;

}  // namespace

FrameReader::Result FrameReader::Next(FrameHeader& header, const uint8_t*& payload) {
  const size_t have = end_ - start_;
  need_ = kHeaderSize;
  if (have < kHeaderSize) return Result::kNeedMore;
  header = ParseHeader(&buf_[start_]);
  if (!HeaderAcceptable(header)) return Result::kBadHeader;
  need_ += PayloadLength(header.lengthWord);
  if (have < need_) return Result::kNeedMore;
  payload = &buf_[start_ + kHeaderSize];
  start_ += need_;
  need_ = kHeaderSize;
  return Result::kFrame;
}

uint8_t* FrameReader::Room(size_t& size) {
  const size_t have = end_ - start_;
  if (have == 0 && buf_.size() > kReadChunk) {
    buf_ = {};  // an idle stream keeps no large buffer from its last big frame
  } else if (start_ > 0) {
    std::memmove(buf_.data(), buf_.data() + start_, have);
  }
  start_ = 0;
  end_ = have;
  buf_.resize(std::max(need_, buf_.empty() ? kFirstChunk : kReadChunk));
  size = buf_.size() - end_;
  return buf_.data() + end_;
}

}  // namespace saferoom
