// Connection caps and refusal lines for the accept loop.
#include "server/ConnectionGate.h"

#include <algorithm>

#include "platform/Os.h"
#include "room/Console.h"

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

}  // namespace

std::string AddressKey(const IpAddress& ip) {
  const bool linkLocal = ip.v6 && ip.bytes[0] == 0xfe && (ip.bytes[1] & 0xc0) == 0x80;
  if (!ip.v6 || linkLocal) return IpAddressText(ip);
  IpAddress prefix = ip;
  std::fill(prefix.bytes + 8, prefix.bytes + 16, 0);
  return IpAddressText(prefix) + "/64";
}

bool AdmitConnection(ConnectionGate& gate, const std::string& key, const std::string& peer) {
  Refusal cause;
  {
    std::lock_guard<std::mutex> hold(gate.lock);
    if (gate.open >= kMaxConnections) {
      cause = Refusal::kConnectionCap;
    } else if (int& fromKey = gate.perAddress[key]; fromKey < kMaxPerAddress) {
      ++fromKey;
      ++gate.open;
      return true;
    } else {
      cause = Refusal::kAddressCap;
    }
  }
  NoteRefusal(gate, cause, peer);
  return false;
}

void ReleaseConnection(ConnectionGate& gate, const std::string& key) {
  std::lock_guard<std::mutex> hold(gate.lock);
  --gate.open;
  auto it = gate.perAddress.find(key);
  if (it != gate.perAddress.end() && --it->second <= 0) gate.perAddress.erase(it);
}

void NoteRefusal(ConnectionGate& gate, Refusal cause, const std::string& latest) {
  RefusalTally& tally = gate.tallies[static_cast<int>(cause)];
  ++tally.pending;
  tally.latest = latest;
}

Deadline PrintDueRefusals(ConnectionGate& gate, Console& console, bool all) {
  const int64_t now = MonotonicMs();
  int64_t nextDue = -1;
  for (int i = 0; i < static_cast<int>(Refusal::kCount); ++i) {
    RefusalTally& tally = gate.tallies[i];
    if (tally.pending == 0) continue;
    int64_t due = tally.printed && !all ? tally.lastLineMs + kRefusalLineMs : now;
    if (due > now) {
      if (nextDue < 0 || due < nextDue) nextDue = due;
      continue;
    }
    console.Err(Title(static_cast<Refusal>(i)) + " " + std::to_string(tally.pending) +
                " since the last line (latest: " + tally.latest + ")\n");
    tally.pending = 0;
    tally.printed = true;
    tally.lastLineMs = now;
  }
  return nextDue < 0 ? Deadline::Never() : Deadline::In(nextDue - now);
}
