// The thin OS layer besides sockets: detached threads, signals, sleep, clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// Starts `fn` on a detached thread with a modest stack. False when the thread
// could not be started (then `fn` was not run and is destroyed).
bool StartDetachedThread(std::function<void()> fn);

// Ignores SIGPIPE: a write to a closed socket returns EPIPE instead.
void IgnoreSigpipe();

// SIGINT and SIGTERM store 0 in `*flag` (the handler does nothing else).
void InstallStopHandler(std::atomic<int>* flag);

void SleepMs(int ms);

// Milliseconds on a monotonic clock.
int64_t MonotonicMs();
