// Another process's CPU time, threads, descriptors, system calls and memory,
// read from /proc: what chat-bench reports of a server and what the tests
// check of one.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace saferoom {

struct ProcessCpu {
  double statSeconds = 0;  // utime + stime: every thread, exited ones too; tick resolution
  // Each live thread's time on a CPU from its schedstat (nanosecond
  // resolution), by thread id in ascending order; empty when unreadable.
  std::vector<std::pair<int, uint64_t>> taskNs;
};

// The CPU seconds between two reads, counted over the threads alive at both:
// a thread that ends in between takes its whole time with it from the sum.
double TaskSecondsBetween(const ProcessCpu& before, const ProcessCpu& after);

// Reads both CPU figures of process `pid`. False when its /proc/PID/stat
// cannot be read (no such process).
bool ReadProcessCpu(int pid, ProcessCpu& cpu);

// The read and write system calls the process made (syscr, syscw of
// /proc/PID/io, every thread). False when unreadable.
bool ReadIoCalls(int pid, int64_t& reads, int64_t& writes);

// The entries of /proc/PID/DIR ("fd": open descriptors, "task": threads), or
// -1 when it is unreadable.
int ReadProcEntries(int pid, const char* dir);

// A "Vm..." line of /proc/PID/status in KiB (key like "VmHWM"), or -1.
int64_t ReadStatusKib(int pid, const char* key);

}  // namespace saferoom
