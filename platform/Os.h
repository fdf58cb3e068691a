// The thin OS layer besides sockets: detached threads, signals, sleep, clock.
// Called by server/, room/, client/ and the test support.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace saferoom {

// Starts a detached thread running entry(arg) with a modest stack. False when
// it could not be started. Use StartDetachedThread below instead.
bool StartRawDetachedThread(void* (*entry)(void*), void* arg);

template <typename Fn>
void* DetachedThreadTrampoline(void* arg) {
  std::unique_ptr<Fn> fn(static_cast<Fn*>(arg));  // the thread now owns the box
  (*fn)();
  return nullptr;
}

// Starts `fn` (any callable, move-only ones included) on a detached thread
// with a modest stack. False when the thread could not be started; `fn` was
// then not run and has been destroyed, with everything it captured.
template <typename Fn>
bool StartDetachedThread(Fn&& fn) {
  using Box = std::decay_t<Fn>;
  auto box = std::make_unique<Box>(std::forward<Fn>(fn));
  if (!StartRawDetachedThread(&DetachedThreadTrampoline<Box>, box.get())) return false;
  box.release();  // freed by the trampoline
  return true;
}

// Ignores SIGPIPE: a write to a closed socket returns EPIPE instead.
void IgnoreSigpipe();

// SIGINT and SIGTERM store 0 in `*flag` (the handler does nothing else).
// `flag` must live as long as the process.
void InstallStopHandler(std::atomic<int>* flag);

// A descriptor that becomes readable once a stop signal has arrived, for a
// thread that waits in poll; -1 before InstallStopHandler (or if it failed).
int StopWakeFd();

// SIGHUP asks for a reload: it sets a flag and makes ReloadWakeFd readable
// (the handler does nothing else).
void InstallReloadHandler();

// A descriptor that becomes readable once SIGHUP has arrived, for a thread
// that waits in poll; -1 before InstallReloadHandler (or if it failed).
int ReloadWakeFd();

// True once for any number of SIGHUPs since the last call; empties
// ReloadWakeFd.
bool TakeReloadRequest();

// Waits for ever, without waking (signal handlers still run).
void BlockForever();

// Sleeps at least `ms` milliseconds (signals do not cut it short).
void SleepMs(int ms);

// Milliseconds on the monotonic clock that Deadline uses.
int64_t MonotonicMs();

// Raises the soft limit on open descriptors to the hard limit, or as close to
// it as the kernel allows (an unlimited hard limit is not a value it takes).
// False when the limit could not be read or not raised at all.
bool RaiseOpenFileLimit();

// Gives memory that the allocator holds free back to the system.
void ReleaseFreeMemory();

// Gives back the pages of this thread's stack below the caller's frame that
// a deeper call touched earlier (a TLS handshake): a thread that then waits
// long with a shallow stack holds only what it uses. Touching them again
// costs a fresh zero page each.
void ReleaseUnusedStack();

}  // namespace saferoom
