// /proc readers: CPU time, threads, descriptors, system calls and memory.
#include "platform/ProcStats.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace saferoom {

namespace {

// Fields 14 and 15 of /proc/PID/stat, counted after the command name, which
// may itself hold spaces and parentheses: hence the search for the last ')'.
bool ReadStatTicks(int pid, uint64_t& ticks) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!in || !std::getline(in, line)) return false;
  size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  uint64_t utime = 0;
  uint64_t stime = 0;
  // After ')' come field 3 (state) onwards; utime is field 14, stime 15.
  for (int number = 3; number <= 15 && rest >> field; ++number) {
    if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  if (!rest) return false;
  ticks = utime + stime;
  return true;
}

// The first schedstat field is the thread's time on a CPU in nanoseconds.
void ReadTaskNanoseconds(int pid, std::vector<std::pair<int, uint64_t>>& taskNs) {
  taskNs.clear();
  std::error_code error;
  std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", error);
  for (; !error && tasks != std::filesystem::directory_iterator(); tasks.increment(error)) {
    std::ifstream in(tasks->path() / "schedstat");
    uint64_t onCpu = 0;
    // A thread may end between the listing and the read; it is skipped.
    if (in >> onCpu) taskNs.emplace_back(std::atoi(tasks->path().filename().c_str()), onCpu);
  }
  std::sort(taskNs.begin(), taskNs.end());
}

}  // namespace

bool ReadProcessCpu(int pid, ProcessCpu& cpu) {
  uint64_t ticks = 0;
  if (!ReadStatTicks(pid, ticks)) return false;
  static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  cpu.statSeconds = static_cast<double>(ticks) / static_cast<double>(ticksPerSecond);
  ReadTaskNanoseconds(pid, cpu.taskNs);
  return true;
}

double TaskSecondsBetween(const ProcessCpu& before, const ProcessCpu& after) {
  uint64_t sum = 0;
  auto b = before.taskNs.begin();
  for (const auto& task : after.taskNs) {
    while (b != before.taskNs.end() && b->first < task.first)
      ++b;
    // A smaller figure: the id went to a new thread in between.
    bool same = b != before.taskNs.end() && b->first == task.first && task.second >= b->second;
    if (same) sum += task.second - b->second;
  }
  return static_cast<double>(sum) / 1e9;
}

bool ReadIoCalls(int pid, int64_t& reads, int64_t& writes) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  int64_t value;
  int found = 0;
  while (in >> key >> value) {
    if (key == "syscr:") {
      reads = value;
      ++found;
    } else if (key == "syscw:") {
      writes = value;
      ++found;
    }
  }
  return found == 2;
}

int ReadProcEntries(int pid, const char* dir) {
  std::error_code error;
  std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/" + dir, error);
  int count = 0;
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error))
    ++count;
  return error ? -1 : count;
}

int64_t ReadStatusKib(int pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  size_t keyLen = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, keyLen, key) == 0 && line.size() > keyLen && line[keyLen] == ':') {
      return std::strtoll(line.c_str() + keyLen + 1, nullptr, 10);
    }
  }
  return -1;
}

}  // namespace saferoom
