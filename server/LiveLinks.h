// The open connections and what let each in (a client certificate, an
// enrolled device), so that a reload can close those that would no longer
// get in. Links register themselves once open and leave as they go; the
// reload on the accept thread checks them all.
#pragma once

#include <openssl/x509.h>

#include <mutex>
#include <string>
#include <unordered_map>

class Console;
class Link;
struct StateDir;

struct LiveLink {
  X509* cert = nullptr;                  // the client's certificate (a reference of ours), or null
  STACK_OF(X509)* chain = nullptr;       // what else it sent (references of ours), or null
  std::string deviceId, deviceName;      // the device that let it in, if one did
};

struct LiveLinks {
  ~LiveLinks();
  std::mutex lock;  // guards all below; taken after no other lock
  std::unordered_map<Link*, LiveLink> links;
  // What the last reload checked against (a reference of ours, or null),
  // and how many reloads did: a link opened with an older context is
  // checked again as it registers.
  X509_STORE* store = nullptr;
  StateDir* state = nullptr;
  int generation = 0;
};

// The reloads so far: a new link notes it when its context is chosen (on the
// accept thread, which also reloads).
int LiveGeneration(LiveLinks& live);

// Registers `link` with the certificate it presented (`cert` and `chain`
// may be null; each gets a reference of its own) and the device that let it
// in. Called by the link's own thread once it is open. False, and not
// registered, when a reload since `born` (LiveGeneration then) means it would
// no longer get in: the link is to close then.
bool AddLiveLink(LiveLinks& live, Link* link, int born, X509* cert, STACK_OF(X509)* chain,
                 const std::string& deviceId, const std::string& deviceName);

// Forgets `link`: called by its destructor, before anything of it goes, so
// that a reload never reaches a link being freed.
void RemoveLiveLink(LiveLinks& live, Link* link);

// Shuts down every registered link whose certificate does not verify
// against `store` (the new context's: revoked, or from a CA no longer
// trusted) or whose device is no longer enrolled in `state` (when not null),
// with a line on the console for each, and keeps `store` and `state` for
// the links that register later. Returns how many.
int CloseLinksNoLongerAdmitted(LiveLinks& live, X509_STORE* store, StateDir* state, Console& console);

// Why `entry` would no longer get in, or null when it would: its
// certificate does not verify against `store`, or its device is no longer
// enrolled in `state` (when not null).
const char* NoLongerAdmitted(const LiveLink& entry, X509_STORE* store, StateDir* state);
