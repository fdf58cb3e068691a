// Who may hold a connection: the caps on connections at once, in all and per
// client address, and the rate-limited lines about what was refused. Used by
// the accept loop; sessions release their place from their own threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/Deadline.h"

class Console;

// Connections at once, counted from accept (handshakes included); one more
// is closed right after accept.
constexpr int kMaxConnections = 512;
// The same from one client address: a household or office behind one NAT
// still fits the room, one host cannot fill the server.
constexpr int kMaxPerAddress = 16;
// Refusal lines of one cause come at most this often.
constexpr int kRefusalLineMs = 1000;

enum class Refusal { kConnectionCap, kAddressCap, kAcceptFailed, kNoResources, kCount };

// What a cause's next line will say. Touched by the accept loop only.
struct RefusalTally {
  int pending = 0;  // refused since the last line
  int64_t lastLineMs = 0;
  bool printed = false;  // lastLineMs is set
  std::string latest;    // the latest refusal: the peer, or the error
};

struct ConnectionGate {
  std::mutex lock;  // guards `open` and `perAddress`
  int open = 0;
  std::unordered_map<std::string, int> perAddress;  // only addresses with a connection
  RefusalTally tallies[static_cast<int>(Refusal::kCount)];
};

// Counts a new connection from `ip` in. When a cap is reached it is not
// counted, the refusal is noted (`peer` names it) and false comes back.
bool AdmitConnection(ConnectionGate& gate, const std::string& ip, const std::string& peer);

// The connection from `ip` admitted earlier has closed.
void ReleaseConnection(ConnectionGate& gate, const std::string& ip);

// Notes one refusal or failure; `latest` describes it for the next line.
void NoteRefusal(ConnectionGate& gate, Refusal cause, const std::string& latest);

// Prints the lines that are due on the console's standard error, one per
// cause with the count since its last line. Returns when the next is due, or
// never when nothing is waiting: the caller wakes for it, so a burst's tail
// is told even when nothing follows, and an idle server need not wake at
// all. `all`: every waiting count now (at the stop).
Deadline PrintDueRefusals(ConnectionGate& gate, Console& console, bool all = false);
