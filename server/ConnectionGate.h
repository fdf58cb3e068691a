// Who may hold a connection: the caps on connections at once, in all and per
// client address, the registry of live connections that makes room when the
// server is full, and the lines about what was refused. Used by the accept
// loop; sessions release their place from their own threads.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/Net.h"
#include "room/Link.h"
#include "server/Admission.h"

namespace saferoom {

class Console;

// Connections at once, counted from accept (handshakes included); one more
// is closed right after accept, unless a stranger can make room for it.
constexpr int kMaxConnections = 512;
// The same from one client address (see AddressKey): a household or office
// behind one NAT still fits the room, five browsers loading the page at once
// included (six file connections and the WebSocket each), and one host
// cannot fill the server.
constexpr int kMaxPerAddress = 40;
// Strangers closed to make room whose sessions have not ended yet: beyond
// this many, a full server refuses instead, so that closing cannot outrun
// the sessions that end.
constexpr int kMaxEvicting = 16;

enum class Refusal { kConnectionCap, kAddressCap, kAcceptFailed, kNoResources, kCount };

// One admitted connection, from accept until its session has ended.
struct LiveConnection {
  uint64_t id = 0;
  std::string addressKey;
  std::weak_ptr<Link> link;  // set once its session has the link
  bool evicted = false;      // closed to make room
  int born = 0;              // the reloads before it was admitted (ConnectionGate::generation)
  Admission admission;       // what let it in, once its opening is done (server/Admission.h)
};

struct ConnectionGate {
  explicit ConnectionGate(Console& console) : console(console) {}

  Console& console;  // for the refusal lines
  std::mutex lock;   // guards the rest
  int open = 0;
  int evicting = 0;                                 // evicted, not yet released
  std::unordered_map<std::string, int> perAddress;  // by AddressKey; only those with a connection
  std::list<LiveConnection> live;                   // oldest first
  uint64_t nextId = 1;
  // What the last reload checked admissions against, and how many reloads
  // there were: a connection admitted before one is checked as it opens.
  X509StorePtr store;
  StateDir* state = nullptr;
  int generation = 0;
};

// What the per-address cap counts as one address: an IPv4 address itself;
// for IPv6 its /64, since one host (or one household) usually holds a whole
// /64 and may pick any address in it; a link-local address (fe80::/10)
// itself, since every link shares that one prefix.
std::string AddressKey(const IpAddress& ip);

// Counts a new connection from the address `key` (AddressKey) in and returns
// its id for ReleaseConnection. When the server is full, the connection that
// has held a place longest without holding a slot (a stranger past its
// opening; never a member, never a handshake) is closed to make room. When a
// cap is reached all the same, the refusal is told (`peer` names it) and 0
// comes back.
uint64_t AdmitConnection(ConnectionGate& gate, const std::string& key, const std::string& peer);

// The session of connection `id` has its link: it may be closed to make room.
void RegisterLink(ConnectionGate& gate, uint64_t id, const LinkPtr& link);

// Connection `id` has closed.
void ReleaseConnection(ConnectionGate& gate, uint64_t id);

// Tells one refusal or failure on the console, at most a line a second per
// cause; `latest` describes it.
void NoteRefusal(ConnectionGate& gate, Refusal cause, const std::string& latest);

}  // namespace saferoom
