// Admissions in the connection gate's registry and the reload's check.
#include "server/Admission.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <utility>
#include <vector>

#include "protect/SafeText.h"
#include "room/Console.h"
#include "room/Link.h"
#include "server/ConnectionGate.h"
#include "server/StateDir.h"

namespace saferoom {

namespace {

struct StoreCtxFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};

// The check a new handshake makes of a client certificate, CRL included.
bool CertificateStillVerifies(const Admission& admission, X509_STORE* store) {
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  const bool ok =
      ctx &&
      X509_STORE_CTX_init(ctx.get(), store, admission.cert.get(), admission.chain.get()) == 1 &&
      X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_CLIENT) == 1 &&
      X509_verify_cert(ctx.get()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace

bool NoteAdmission(ConnectionGate& gate, const Link* link, X509* cert, STACK_OF(X509) * chain,
                   const std::string& deviceId, const std::string& deviceName) {
  Admission admission;
  if (cert != nullptr && X509_up_ref(cert) == 1) admission.cert.reset(cert);
  if (chain != nullptr) admission.chain.reset(X509_chain_up_ref(chain));
  admission.deviceId = deviceId;
  admission.deviceName = deviceName;
  std::lock_guard<std::mutex> hold(gate.lock);
  for (LiveConnection& c : gate.live) {
    if (c.link.lock().get() != link) continue;
    // Admitted before a reload it missed: that reload's check, now.
    if (c.born != gate.generation && gate.store &&
        NoLongerAdmitted(admission, gate.store.get(), gate.state) != nullptr) {
      return false;
    }
    c.admission = std::move(admission);
    return true;
  }
  return true;  // not in the registry (never, for a server's link): nothing to check it by
}

const char* NoLongerAdmitted(const Admission& admission, X509_STORE* store, StateDir* state) {
  if (admission.cert && !CertificateStillVerifies(admission, store)) {
    return "its certificate is revoked or no longer trusted";
  }
  if (!admission.deviceId.empty() && state != nullptr &&
      !DeviceStillEnrolled(*state, admission.deviceId, admission.deviceName)) {
    return "its device was removed";
  }
  return nullptr;
}

int CloseNoLongerAdmitted(ConnectionGate& gate, X509_STORE* store, StateDir* state,
                          Console& console) {
  std::vector<std::pair<LinkPtr, const char*>> closing;
  {
    std::lock_guard<std::mutex> hold(gate.lock);
    if (X509_STORE_up_ref(store) == 1) gate.store.reset(store);
    gate.state = state;
    ++gate.generation;
    for (LiveConnection& c : gate.live) {
      const char* why = NoLongerAdmitted(c.admission, store, state);
      LinkPtr link = why != nullptr ? c.link.lock() : nullptr;
      if (link) closing.emplace_back(std::move(link), why);
    }
  }
  // Shutdown never waits, but the lock is the accept loop's too.
  for (const auto& [link, why] : closing) {
    console.Out("[-] Closed " + SafeText(link->Peer()) + ": " + why + "\n");
    link->Shutdown();
  }
  return static_cast<int>(closing.size());
}

}  // namespace saferoom
