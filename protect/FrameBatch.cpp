// The batch of outgoing frames and its IV pool.
#include "protect/FrameBatch.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace saferoom {

bool IvPool::Take(uint8_t iv[16]) {
  if (used_ + 16 > bytes_.size()) {
    if (RAND_bytes(bytes_.data(), static_cast<int>(bytes_.size())) != 1) return false;
    used_ = 0;
  }
  std::memcpy(iv, &bytes_[used_], 16);
  used_ += 16;
  return true;
}

bool FrameBatch::Add(uint32_t type, uint32_t kind, const void* data, uint32_t length,
                     const uint8_t* name, uint32_t scope) {
  Job job;
  const size_t begin = bytes_.size();
  const bool built = ivs_.Take(job.iv) &&
                     AppendFrame(bytes_, type, kind, data, length, name, scope, job.iv, false);
  ends_.push_back(bytes_.size());
  if (!built) return false;
  // AppendFrame leaves a payload of zeros without data; only data is
  // encrypted.
  const size_t payloadLen = bytes_.size() - begin - kHeaderSize;
  if (payloadLen > 0 && data != nullptr) {
    job.payloadAt = begin + kHeaderSize;
    job.numBlocks = payloadLen / 16;
    jobs_.push_back(job);
  }
  return true;
}

void FrameBatch::SetKind(size_t i, uint32_t kind) {
  if (End(i) == Begin(i)) return;
  uint8_t& low = bytes_[Begin(i) + 4];  // LengthWord's low byte
  low = static_cast<uint8_t>((low & ~3u) | (kind & 3));
}

void FrameBatch::Encrypt(Sm4Path path) {
  cbcJobs_.clear();
  for (const Job& job : jobs_) {
    Sm4CbcJob cbc{bytes_.data() + job.payloadAt, job.numBlocks, {}};
    std::memcpy(cbc.iv, job.iv, 16);
    cbcJobs_.push_back(cbc);
  }
  Sm4CbcEncryptMany(FrameEncryptKeys(), cbcJobs_.data(), cbcJobs_.size(), path);
  jobs_.clear();
}

void FrameBatch::Clear(size_t keepBytes) {
  if (bytes_.capacity() > keepBytes) {
    std::vector<uint8_t>().swap(bytes_);
  } else {
    bytes_.clear();
  }
  ends_.clear();
  jobs_.clear();
}

}  // namespace saferoom
