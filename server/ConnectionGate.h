// Who may hold a connection: the caps on connections at once, in all and per
// client address, and the rate-limited lines about what was refused. Used by
// the accept loop; sessions release their place from their own threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/Deadline.h"
#include "platform/Net.h"

class Console;

// Connections at once, counted from accept (handshakes included); one more
// is closed right after accept.
constexpr int kMaxConnections = 512;
// The same from one client address (see AddressKey): a household or office
// behind one NAT still fits the room, five browsers loading the page at once
// included (six file connections and the WebSocket each), and one host
// cannot fill the server.
constexpr int kMaxPerAddress = 40;
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
  std::unordered_map<std::string, int> perAddress;  // by AddressKey; only those with a connection
  RefusalTally tallies[static_cast<int>(Refusal::kCount)];
};

// What the per-address cap counts as one address: an IPv4 address itself;
// for IPv6 its /64, since one host (or one household) usually holds a whole
// /64 and may pick any address in it; a link-local address (fe80::/10)
// itself, since every link shares that one prefix.
std::string AddressKey(const IpAddress& ip);

// Counts a new connection from the address `key` (AddressKey) in. When a
// cap is reached it is not counted, the refusal is noted (`peer` names it)
// and false comes back.
bool AdmitConnection(ConnectionGate& gate, const std::string& key, const std::string& peer);

// The connection from `key` admitted earlier has closed.
void ReleaseConnection(ConnectionGate& gate, const std::string& key);

// Notes one refusal or failure; `latest` describes it for the next line.
void NoteRefusal(ConnectionGate& gate, Refusal cause, const std::string& latest);

// Prints the lines that are due on the console's standard error, one per
// cause with the count since its last line. Returns when the next is due, or
// never when nothing is waiting: the caller wakes for it, so a burst's tail
// is told even when nothing follows, and an idle server need not wake at
// all. `all`: every waiting count now (at the stop).
Deadline PrintDueRefusals(ConnectionGate& gate, Console& console, bool all = false);
