// Detached threads, signals, sleep and the monotonic clock on POSIX.
// Called through platform/Os.h.
#include "platform/Os.h"

#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "platform/Deadline.h"

namespace saferoom {

namespace {

// Sessions need little stack; sanitizers inflate frames several times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kThreadStackBytes = 1024 * 1024;
#else
constexpr size_t kThreadStackBytes = 256 * 1024;
#endif

std::atomic<int>* gStopFlag = nullptr;

// Written by the signal handler so that a thread waiting in poll wakes at
// once; a timer that woke it to look at the flag would cost CPU when idle.
int gStopPipe[2] = {-1, -1};

// From a signal handler: one byte into the pipe's write end, if it has one.
void WakePipe(const int pipeFds[2]) {
  int savedErrno = errno;
  if (pipeFds[1] >= 0) {
    ssize_t ignored = write(pipeFds[1], "w", 1);
    (void)ignored;  // full pipe: a wake-up is pending already
  }
  errno = savedErrno;
}

// Makes the pipe once; without it the caller's flag alone still works, found
// later.
void OpenWakePipe(int pipeFds[2]) {
  if (pipeFds[0] < 0 && pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    pipeFds[0] = pipeFds[1] = -1;
  }
}

void SetHandler(int signalNumber, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signalNumber, &action, nullptr);
}

void OnStopSignal(int) {
  std::atomic<int>* flag = gStopFlag;
  if (flag != nullptr) flag->store(0);
  WakePipe(gStopPipe);
}

std::atomic<bool> gReloadRequested{false};
int gReloadPipe[2] = {-1, -1};  // the same wake-up as gStopPipe, for SIGHUP

void OnReloadSignal(int) {
  gReloadRequested.store(true);
  WakePipe(gReloadPipe);
}

}  // namespace

bool StartRawDetachedThread(void* (*entry)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  size_t stackBytes = std::max<size_t>(kThreadStackBytes, PTHREAD_STACK_MIN);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  return true;
}

void IgnoreSigpipe() {
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

void InstallStopHandler(std::atomic<int>* flag) {
  static_assert(std::atomic<int>::is_always_lock_free, "signal handler stores into it");
  gStopFlag = flag;
  OpenWakePipe(gStopPipe);
  SetHandler(SIGINT, OnStopSignal);
  SetHandler(SIGTERM, OnStopSignal);
}

int StopWakeFd() {
  return gStopPipe[0];
}

void InstallReloadHandler() {
  static_assert(std::atomic<bool>::is_always_lock_free, "signal handler stores into it");
  OpenWakePipe(gReloadPipe);
  SetHandler(SIGHUP, OnReloadSignal);
}

int ReloadWakeFd() {
  return gReloadPipe[0];
}

bool TakeReloadRequest() {
  // Emptied before the flag is taken: a signal in between leaves a byte for
  // one spare wake-up, never a request without one.
  char drain[64];
  for (ssize_t n = 1; gReloadPipe[0] >= 0 && (n > 0 || (n < 0 && errno == EINTR));)
    n = read(gReloadPipe[0], drain, sizeof drain);
  return gReloadRequested.exchange(false);
}

void BlockForever() {
  for (;;)
    pause();
}

void SleepMs(int ms) {
  if (ms <= 0) return;
  struct timespec left;
  left.tv_sec = ms / 1000;
  left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int64_t MonotonicMs() {
  using std::chrono::milliseconds;
  return std::chrono::duration_cast<milliseconds>(Deadline::Clock::now().time_since_epoch())
      .count();
}

bool RaiseOpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur == limit.rlim_max) return true;
  // Tried in turn: the hard limit, then values the kernel's own ceiling
  // (fs.nr_open, 1048576 by default) takes when the hard limit is unlimited.
  const rlim_t wanted[] = {limit.rlim_max, 1048576, 65536, 4096};
  for (rlim_t soft : wanted) {
    if (soft <= limit.rlim_cur || soft > limit.rlim_max) continue;
    struct rlimit raised = {soft, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
  }
  return false;
}

void ReleaseUnusedStack() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
  pthread_attr_destroy(&attr);
  if (!known) return;
  // Below the caller's frame, less a margin for the calls it makes next
  // (this one's own frame included): those pages stay.
  constexpr uintptr_t kKeepBelowBytes = 4 * 1024;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t bottom = (reinterpret_cast<uintptr_t>(low) + page - 1) & ~(page - 1);
  if (here < bottom + kKeepBelowBytes) return;
  const uintptr_t top = (here - kKeepBelowBytes) & ~(page - 1);
  if (top > bottom) madvise(reinterpret_cast<void*>(bottom), top - bottom, MADV_DONTNEED);
}

void ReleaseFreeMemory() {
#ifdef __GLIBC__
  // Also returns free pages inside the heaps of the per-thread arenas, which
  // free() alone gives back only from the top of the main heap.
  malloc_trim(0);
#endif
}

}  // namespace saferoom
