// The soak: everything at once on one server for a while. Two steady
// members chat publicly and privately with stamped texts, while others join
// (or chat as strangers) and leave, one floods, one logs in and stops
// reading, others go at every stage of a frame, and garbage arrives instead
// of frames or handshakes. Run by chat-bench --soak (and so by
// tests/soak.sh), which prints the result.
#pragma once

#include <cstdint>
#include <string>

#include "tests/load/FrameMember.h"
#include "tests/load/StampedRun.h"

namespace saferoom {

struct SoakOptions {
  LoadTarget target;
  std::string namePrefix = "bench";
  int serverPid = 0;  // > 0: the server's descriptors and memory must come back
  double seconds = 60;
  double drainSec = 5;  // longest wait for the last deliveries
};

struct SoakResult {
  bool setupFailed = false;  // no server to read, or the steady members could not join
  bool passed = false;       // every check held
  int64_t connections = 0;
  int64_t sentPublic = 0;
  int64_t sentPrivate = 0;
  int64_t deliveries = 0;
  Tally tally;
  // The server's use before and after, with serverPid (-1 otherwise).
  int fdsBefore = -1;
  int fdsAfter = -1;
  int64_t rssBeforeKib = -1;
  int64_t rssAfterKib = -1;
};

// Runs the soak; each fault goes to stderr as it is found.
SoakResult RunSoak(const SoakOptions& options);

}  // namespace saferoom
