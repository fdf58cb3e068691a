// Which SM4 path runs: the fastest the processor supports, unless a test or
// benchmark picks another. Called by protect/Sm4.cpp.
#include "protect/Sm4Vec.h"

#include <atomic>

namespace {

// Whether this processor (and its OS) can run `path`.
bool Supported(Sm4Path path) {
#if defined(__x86_64__)
  switch (path) {
    case Sm4Path::Scalar:
      return true;
    case Sm4Path::Avx2:
      return __builtin_cpu_supports("avx2");
    case Sm4Path::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi");
  }
  return false;
#else
  return path == Sm4Path::Scalar;
#endif
}

Sm4Path BestPath() {
  if (Supported(Sm4Path::Avx512)) return Sm4Path::Avx512;
  if (Supported(Sm4Path::Avx2)) return Sm4Path::Avx2;
  return Sm4Path::Scalar;
}

std::atomic<Sm4Path>& ActivePath() {
  static std::atomic<Sm4Path> path{BestPath()};
  return path;
}

}  // namespace

Sm4VecKernels Sm4ActiveKernels() {
#if defined(__x86_64__)
  switch (ActivePath().load(std::memory_order_relaxed)) {
    case Sm4Path::Avx512:
      return Sm4Avx512Kernels();
    case Sm4Path::Avx2:
      return Sm4Avx2Kernels();
    case Sm4Path::Scalar:
      break;
  }
#endif
  return Sm4VecKernels{};
}

bool Sm4UsePath(Sm4Path path) {
  if (!Supported(path)) return false;
  ActivePath().store(path, std::memory_order_relaxed);
  return true;
}

Sm4Path Sm4ActivePath() {
  return ActivePath().load(std::memory_order_relaxed);
}
