// The open connections' registry and the reload's check of each.
#include "server/LiveLinks.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <memory>

#include "protect/SafeText.h"
#include "room/Console.h"
#include "room/Link.h"
#include "server/StateDir.h"

namespace {

struct StoreCtxFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};

// The check a new handshake makes of a client certificate, CRL included.
bool CertificateStillVerifies(const LiveLink& entry, X509_STORE* store) {
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  const bool ok = ctx && X509_STORE_CTX_init(ctx.get(), store, entry.cert, entry.chain) == 1 &&
                  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_CLIENT) == 1 &&
                  X509_verify_cert(ctx.get()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace

LiveLinks::~LiveLinks() {
  X509_STORE_free(store);
}

int LiveGeneration(LiveLinks& live) {
  std::lock_guard<std::mutex> hold(live.lock);
  return live.generation;
}

bool AddLiveLink(LiveLinks& live, Link* link, int born, X509* cert, STACK_OF(X509)* chain,
                 const std::string& deviceId, const std::string& deviceName) {
  LiveLink entry;
  if (cert != nullptr && X509_up_ref(cert) == 1) entry.cert = cert;
  if (chain != nullptr) entry.chain = X509_chain_up_ref(chain);
  entry.deviceId = deviceId;
  entry.deviceName = deviceName;
  std::unique_lock<std::mutex> hold(live.lock);
  // Opened before a reload that it missed: the reload's check, now.
  if (born == live.generation || live.store == nullptr ||
      NoLongerAdmitted(entry, live.store, live.state) == nullptr) {
    live.links[link] = std::move(entry);
    return true;
  }
  hold.unlock();
  X509_free(entry.cert);
  sk_X509_pop_free(entry.chain, X509_free);
  return false;
}

void RemoveLiveLink(LiveLinks& live, Link* link) {
  LiveLink entry;
  {
    std::lock_guard<std::mutex> hold(live.lock);
    auto found = live.links.find(link);
    if (found == live.links.end()) return;
    entry = std::move(found->second);
    live.links.erase(found);
  }
  X509_free(entry.cert);
  sk_X509_pop_free(entry.chain, X509_free);
}

const char* NoLongerAdmitted(const LiveLink& entry, X509_STORE* store, StateDir* state) {
  if (entry.cert != nullptr && !CertificateStillVerifies(entry, store)) {
    return "its certificate is revoked or no longer trusted";
  }
  if (!entry.deviceId.empty() && state != nullptr &&
      !DeviceStillEnrolled(*state, entry.deviceId, entry.deviceName)) {
    return "its device was removed";
  }
  return nullptr;
}

int CloseLinksNoLongerAdmitted(LiveLinks& live, X509_STORE* store, StateDir* state, Console& console) {
  int closed = 0;
  // Held throughout: a link's destructor waits here, so none goes while it
  // is being shut down.
  std::lock_guard<std::mutex> hold(live.lock);
  if (X509_STORE_up_ref(store) == 1) {
    X509_STORE_free(live.store);
    live.store = store;
  }
  live.state = state;
  ++live.generation;
  for (auto& [link, entry] : live.links) {
    const char* why = NoLongerAdmitted(entry, store, state);
    if (why == nullptr) continue;
    console.Out("[-] Closed " + SafeText(link->Peer()) + ": " + why + "\n");
    link->Shutdown();
    ++closed;
  }
  return closed;
}
