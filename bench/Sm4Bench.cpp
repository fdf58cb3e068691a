// Throughput of Sm4Cbc and Sm4CbcEncryptMany beside OpenSSL's SM4-CBC in the
// same run, and of BuildFrame; prints our speed as a ratio to OpenSSL's, on
// the path the processor gets ("ours") and on the scalar one forced.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "protect/Frame.h"
#include "protect/Sm4.h"

namespace saferoom {

namespace {

struct EvpCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using EvpCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCtxFree>;

struct Size {
  const char* label;
  int bytes;
};
constexpr Size kSizes[] = {{"64B", 64}, {"1KiB", 1024}, {"64KiB", 65536}};

std::vector<uint8_t> RandomBytes(size_t n) {
  std::vector<uint8_t> v(n);
  if (RAND_bytes(v.data(), static_cast<int>(n)) != 1) v.assign(n, 0x5a);
  return v;
}

bool HasPath(benchmark::State& state, Sm4Path path) {
  if (Sm4PathSupported(path)) return true;
  state.SkipWithError("this processor lacks the path");
  return false;
}

// Both sides chain their IV from call to call, so each iteration does the
// same work: one CBC pass over `bytes` with an already expanded key.
void OursCbc(benchmark::State& state, Sm4Path path, int direction, int bytes) {
  if (!HasPath(state, path)) return;
  const std::vector<uint8_t> key = RandomBytes(16);
  std::vector<uint8_t> iv = RandomBytes(16);
  const std::vector<uint8_t> in = RandomBytes(bytes);
  std::vector<uint8_t> out(bytes);
  Sm4Context ctx = Sm4ExpandKey(key.data());
  if (direction != 1) Sm4ReverseKeys(ctx);
  for (auto _ : state) {
    Sm4Cbc(ctx, direction, bytes, iv.data(), in.data(), out.data(), path);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

// A delivery batch: kBatch messages of kBatchBytes, each with its own IV,
// encrypted in place.
constexpr int kBatch = 16, kBatchBytes = 1024;

void OursBatch(benchmark::State& state, Sm4Path path) {
  if (!HasPath(state, path)) return;
  const std::vector<uint8_t> key = RandomBytes(16), ivs = RandomBytes(16 * kBatch);
  std::vector<uint8_t> data = RandomBytes(kBatch * kBatchBytes);
  const Sm4Context ctx = Sm4ExpandKey(key.data());
  Sm4CbcJob jobs[kBatch];
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      jobs[i] = Sm4CbcJob{&data[i * kBatchBytes], kBatchBytes / 16, {}};
      std::memcpy(jobs[i].iv, &ivs[16 * i], 16);
    }
    Sm4CbcEncryptMany(ctx, jobs, kBatch, path);
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBatch * kBatchBytes);
}

void OpenSslBatch(benchmark::State& state) {
  const std::vector<uint8_t> key = RandomBytes(16), ivs = RandomBytes(16 * kBatch);
  std::vector<uint8_t> data = RandomBytes(kBatch * kBatchBytes);
  EvpCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, key.data(), nullptr, 1) != 1) {
    state.SkipWithError("OpenSSL has no SM4-CBC");
    return;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      uint8_t* msg = &data[i * kBatchBytes];
      int outLen = 0;
      if (EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, &ivs[16 * i], 1) != 1 ||
          EVP_CipherUpdate(ctx.get(), msg, &outLen, msg, kBatchBytes) != 1) {
        state.SkipWithError("EVP_CipherUpdate failed");
        return;
      }
    }
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kBatch * kBatchBytes);
}

void OpenSslCbc(benchmark::State& state, int direction, int bytes) {
  const std::vector<uint8_t> key = RandomBytes(16);
  const std::vector<uint8_t> iv = RandomBytes(16);
  const std::vector<uint8_t> in = RandomBytes(bytes);
  std::vector<uint8_t> out(bytes);
  EvpCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, key.data(), iv.data(), direction) != 1) {
    state.SkipWithError("OpenSSL has no SM4-CBC");
    return;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  for (auto _ : state) {
    int outLen = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &outLen, in.data(), bytes) != 1) {
      state.SkipWithError("EVP_CipherUpdate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void BuildChatFrame(benchmark::State& state) {
  char text[64];
  for (size_t i = 0; i < sizeof text; ++i)
    text[i] = static_cast<char>('a' + i % 26);
  const uint8_t name[kNameSize] = {'a', 'l', 'i', 'c', 'e'};
  for (auto _ : state) {
    Frame frame =
        BuildFrame(FrameType::Chat, PayloadKind::Text, text, sizeof text, name, Scope::Public);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof text));
}

// Prints as usual and keeps each benchmark's bytes per second. With
// --benchmark_repetitions the ratio uses the median, which shrugs off a
// repetition slowed by another process; when only aggregates are reported,
// the library's own median stands in.
class CapturingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration) {
        rates_[name].push_back(it->second.value);
      } else if (run.aggregate_name == "median") {
        reportedMedians_[name] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // 0 when the benchmark did not run (filtered out or failed).
  double MedianBytesPerSecond(const std::string& name) const {
    auto it = rates_.find(name);
    if (it == rates_.end()) {
      auto reported = reportedMedians_.find(name);
      return reported == reportedMedians_.end() ? 0 : reported->second;
    }
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> rates_;
  std::map<std::string, double> reportedMedians_;
};

std::string Name(const char* dir, const char* impl, const char* size) {
  return std::string("Sm4Cbc/") + dir + "/" + impl + "/" + size;
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

int main(int argc, char** argv) {
  const Sm4Path best = Sm4BestPath();
  // Ours and OpenSSL's run next to each other, so both see the same machine
  // load. Encryption of one message is a single chain, scalar on every path.
  for (const Size& size : kSizes) {
    benchmark::RegisterBenchmark(Name("enc", "ours", size.label).c_str(), OursCbc, best, 1,
                                 size.bytes);
    benchmark::RegisterBenchmark(Name("enc", "openssl", size.label).c_str(), OpenSslCbc, 1,
                                 size.bytes);
  }
  for (const Size& size : kSizes) {
    benchmark::RegisterBenchmark(Name("dec", "ours", size.label).c_str(), OursCbc, best, 0,
                                 size.bytes);
    benchmark::RegisterBenchmark(Name("dec", "scalar", size.label).c_str(), OursCbc,
                                 Sm4Path::Scalar, 0, size.bytes);
    benchmark::RegisterBenchmark(Name("dec", "openssl", size.label).c_str(), OpenSslCbc, 0,
                                 size.bytes);
  }
  benchmark::RegisterBenchmark(Name("batch", "ours", "16x1KiB").c_str(), OursBatch, best);
  benchmark::RegisterBenchmark(Name("batch", "scalar", "16x1KiB").c_str(), OursBatch,
                               Sm4Path::Scalar);
  benchmark::RegisterBenchmark(Name("batch", "openssl", "16x1KiB").c_str(), OpenSslBatch);
  benchmark::RegisterBenchmark("BuildFrame/chat/64B", BuildChatFrame);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CapturingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const char* rows[][2] = {{"enc", "64B"},  {"enc", "1KiB"},  {"enc", "64KiB"},    {"dec", "64B"},
                           {"dec", "1KiB"}, {"dec", "64KiB"}, {"batch", "16x1KiB"}};
  for (const auto& [dir, size] : rows) {
    const double theirs = reporter.MedianBytesPerSecond(Name(dir, "openssl", size));
    for (const char* impl : {"ours", "scalar"}) {
      const double ours = reporter.MedianBytesPerSecond(Name(dir, impl, size));
      if (ours <= 0 || theirs <= 0) continue;
      std::printf("ratio %s %s %s: %.2fx (%.1f MB/s, OpenSSL %.1f MB/s)\n", dir, size, impl,
                  ours / theirs, ours / 1e6, theirs / 1e6);
    }
  }
  return 0;
}
