// A running server's CPU time, descriptors and resident memory, read from
// /proc. Used by chat-bench's modes when --server-pid is given.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

struct ServerCpu {
  double statSeconds = 0;  // utime + stime: every thread, exited ones too; tick resolution
  // Each live thread's time on a CPU from its schedstat (nanosecond
  // resolution), by thread id in ascending order; empty when unreadable.
  std::vector<std::pair<int, uint64_t>> taskNs;
};

// The CPU seconds between two reads, counted over the threads alive at both:
// a thread that ends in between takes its whole time with it from the sum.
double TaskSecondsBetween(const ServerCpu& before, const ServerCpu& after);

// Reads both CPU figures of process `pid`. False when its /proc/PID/stat
// cannot be read (no such process).
bool ReadServerCpu(int pid, ServerCpu& cpu);

// The read and write system calls the process made (syscr, syscw of
// /proc/PID/io, every thread). False when unreadable.
bool ReadIoCalls(int pid, int64_t& reads, int64_t& writes);

// The open descriptors of process `pid`, or -1 when /proc/PID/fd is unreadable.
int ReadOpenFds(int pid);

// A "Vm..." line of /proc/PID/status in KiB (key like "VmHWM"), or -1.
int64_t ReadStatusKib(int pid, const char* key);
