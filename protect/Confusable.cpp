// Confusable skeletons from ICU's spoof checker.
#include "protect/Confusable.h"

#include <unicode/uspoof.h>

#include <memory>

namespace saferoom {

namespace {

struct SpoofClose {
  void operator()(USpoofChecker* c) const { uspoof_close(c); }
};

// Made once, then only read: ICU lets any number of threads make skeletons
// with one checker that nobody changes.
const USpoofChecker* Checker() {
  static const std::unique_ptr<USpoofChecker, SpoofClose> checker([] {
    UErrorCode status = U_ZERO_ERROR;
    USpoofChecker* c = uspoof_open(&status);
    if (U_FAILURE(status)) {
      uspoof_close(c);
      return static_cast<USpoofChecker*>(nullptr);
    }
    return c;
  }());
  return checker.get();
}

}  // namespace

std::string ConfusableSkeleton(std::string_view name) {
  const USpoofChecker* checker = Checker();
  if (checker == nullptr || name.empty()) return std::string();
  std::string skeleton(name.size() * 4 + 16, '\0');
  for (int tries = 0; tries < 2; ++tries) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t len =
        uspoof_getSkeletonUTF8(checker, 0, name.data(), static_cast<int32_t>(name.size()),
                               skeleton.data(), static_cast<int32_t>(skeleton.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      skeleton.assign(static_cast<size_t>(len) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) return std::string();
    skeleton.resize(static_cast<size_t>(len));
    return skeleton;
  }
  return std::string();
}

}  // namespace saferoom
