// The moment a wait must end by, on the monotonic clock, or never. Every wait
// in the tree takes one: polls, TLS reads, writes and handshakes, queue and
// thread-pool waits, the client's and the tests' bounded waits. A deadline
// that has passed still allows one look that does not wait.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>

namespace saferoom {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  static Deadline Never() { return Deadline(Clock::time_point::max()); }
  // `ms` from now; 0 or less has passed already.
  static Deadline In(int64_t ms) { return Deadline(Clock::now() + std::chrono::milliseconds(ms)); }

  bool IsNever() const { return at_ == Clock::time_point::max(); }
  bool Passed() const { return !IsNever() && Clock::now() >= at_; }
  // What is left in whole milliseconds, rounded up so that a wait of that
  // long does not wake just before the deadline: -1 for never, else 0 to
  // INT_MAX, the form poll() takes.
  int LeftMs() const {
    if (IsNever()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
  }
  // For condition variables' wait_until.
  Clock::time_point TimePoint() const { return at_; }
  // The earlier of the two.
  Deadline Sooner(Deadline other) const { return other.at_ < at_ ? other : *this; }

 private:
  explicit Deadline(Clock::time_point at) : at_(at) {}
  Clock::time_point at_;
};

}  // namespace saferoom
