// Connection caps, the registry of live connections and the refusal lines.
#include "server/ConnectionGate.h"

#include <algorithm>

#include "room/Console.h"

namespace saferoom {

namespace {

// What each cause's line starts with, and what befell the connections.
std::string Title(Refusal cause) {
  switch (cause) {
    case Refusal::kConnectionCap:
      return "Too many connections (" + std::to_string(kMaxConnections) + " at once): refused";
    case Refusal::kAddressCap:
      return "Too many connections from one address (" + std::to_string(kMaxPerAddress) +
             " at once): refused";
    case Refusal::kAcceptFailed:
      return "accept: failed";
    default:
      return "No TLS session or thread: closed";
  }
}

// The caller holds gate.lock. The stranger that has held its place longest,
// marked evicted; null when there is none.
LinkPtr PickStranger(ConnectionGate& gate) {
  if (gate.evicting >= kMaxEvicting) return nullptr;
  for (LiveConnection& c : gate.live) {
    if (c.evicted) continue;
    LinkPtr link = c.link.lock();
    if (!link || !link->opened.load() || link->member.load()) continue;
    c.evicted = true;
    ++gate.evicting;
    return link;
  }
  return nullptr;
}

}  // namespace

std::string AddressKey(const IpAddress& ip) {
  const bool linkLocal = ip.v6 && ip.bytes[0] == 0xfe && (ip.bytes[1] & 0xc0) == 0x80;
  if (!ip.v6 || linkLocal) return IpAddressText(ip);
  IpAddress prefix = ip;
  std::fill(prefix.bytes + 8, prefix.bytes + 16, 0);
  return IpAddressText(prefix) + "/64";
}

uint64_t AdmitConnection(ConnectionGate& gate, const std::string& key, const std::string& peer) {
  Refusal cause = Refusal::kConnectionCap;
  LinkPtr evicted;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> hold(gate.lock);
    int& fromKey = gate.perAddress[key];
    if (fromKey >= kMaxPerAddress) {
      cause = Refusal::kAddressCap;
    } else if (gate.open - gate.evicting < kMaxConnections || (evicted = PickStranger(gate))) {
      ++fromKey;
      ++gate.open;
      id = gate.nextId++;
      LiveConnection& c = gate.live.emplace_back();
      c.id = id;
      c.addressKey = key;
      c.born = gate.generation;
    }
    if (fromKey == 0) gate.perAddress.erase(key);
  }
  // Its session sees the end and releases its place.
  if (evicted) evicted->Shutdown();
  if (id == 0) NoteRefusal(gate, cause, peer);
  return id;
}

void RegisterLink(ConnectionGate& gate, uint64_t id, const LinkPtr& link) {
  std::lock_guard<std::mutex> hold(gate.lock);
  for (auto it = gate.live.rbegin(); it != gate.live.rend(); ++it) {
    if (it->id == id) {
      it->link = link;
      return;
    }
  }
}

void ReleaseConnection(ConnectionGate& gate, uint64_t id) {
  std::lock_guard<std::mutex> hold(gate.lock);
  auto it = std::find_if(gate.live.begin(), gate.live.end(),
                         [id](const LiveConnection& c) { return c.id == id; });
  if (it == gate.live.end()) return;
  --gate.open;
  if (it->evicted) --gate.evicting;
  auto from = gate.perAddress.find(it->addressKey);
  if (from != gate.perAddress.end() && --from->second <= 0) gate.perAddress.erase(from);
  gate.live.erase(it);
}

void NoteRefusal(ConnectionGate& gate, Refusal cause, const std::string& latest) {
  gate.console.Count(Title(cause), latest);
}

}  // namespace saferoom
