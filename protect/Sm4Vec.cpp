// Which SM4 paths the processor supports, and their kernels. Called by
// protect/Sm4.cpp.
#include "protect/Sm4Vec.h"

namespace saferoom {

bool Sm4PathSupported(Sm4Path path) {
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

Sm4Path Sm4BestPath() {
  static const Sm4Path best = Sm4PathSupported(Sm4Path::Avx512) ? Sm4Path::Avx512
                              : Sm4PathSupported(Sm4Path::Avx2) ? Sm4Path::Avx2
                                                                : Sm4Path::Scalar;
  return best;
}

Sm4VecKernels Sm4KernelsFor(Sm4Path path) {
#if defined(__x86_64__)
  switch (path) {
    case Sm4Path::Avx512:
      return Sm4Avx512Kernels();
    case Sm4Path::Avx2:
      return Sm4Avx2Kernels();
    case Sm4Path::Scalar:
      break;
  }
#endif
  (void)path;
  return Sm4VecKernels{};
}

}  // namespace saferoom
