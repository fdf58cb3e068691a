// What let each open connection in (a client certificate, an enrolled
// device), kept with its entry in the connection gate's registry, and the
// reload's check of them all: a removed member's connections are closed at
// once. Links note their admission once open; the reload, on the accept
// thread, checks every entry.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>

namespace saferoom {

class Console;
class Link;
struct ConnectionGate;
struct StateDir;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
struct X509StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreFree>;

struct Admission {
  std::unique_ptr<X509, X509Free> cert;                  // the client's certificate, or null
  std::unique_ptr<STACK_OF(X509), X509StackFree> chain;  // what else it sent, or null
  std::string deviceId, deviceName;                      // the device that let it in, if one did
};

// Notes what let `link` in: the certificate it presented (`cert` and
// `chain` may be null; each gets a reference of its own) and the device.
// Called by the link's own thread once it is open. False, and nothing noted,
// when a reload came after the connection was admitted and would no longer
// let it in: the link is to close then.
bool NoteAdmission(ConnectionGate& gate, const Link* link, X509* cert, STACK_OF(X509) * chain,
                   const std::string& deviceId, const std::string& deviceName);

// Why `admission` would no longer get in, or null when it would: its
// certificate does not verify against `store` (revoked, or from a CA no
// longer trusted), or its device is no longer enrolled in `state` (when
// not null).
const char* NoLongerAdmitted(const Admission& admission, X509_STORE* store, StateDir* state);

// The reload's check: shuts down every connection that would no longer get
// in, with a line on the console for each, and keeps `store` and `state`
// for the connections that note their admission later. Returns how many.
int CloseNoLongerAdmitted(ConnectionGate& gate, X509_STORE* store, StateDir* state,
                          Console& console);

}  // namespace saferoom
