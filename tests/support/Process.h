// Child processes on pipes: start, wait with a deadline, stop by PID. Used by
// the integration tests.
#pragma once

#include <string>
#include <vector>

#include "platform/Net.h"

struct ChildProcess {
  int pid = -1;
  UniqueFd in;   // the child's standard input
  UniqueFd out;  // its standard output
  UniqueFd err;  // its standard error
};

// Starts argv[0] (a path) with `argv` in `dir` (here when empty), its three
// standard streams on pipes. The child is killed if this process dies first.
// False on failure, after perror.
bool StartChild(const std::vector<std::string>& argv, const std::string& dir, ChildProcess& child);

// Waits at most timeoutMs for `pid` to end and reaps it. Its exit status,
// 128 + N when signal N ended it, or -1 when it is still running.
int WaitChild(int pid, int timeoutMs);

// SIGTERM, then SIGKILL if it lingers after graceMs; always reaps. Returns
// what WaitChild would.
int StopChild(int pid, int graceMs);
