// The chat port's link: the server handshake and its failure line.
#include "server/TlsLink.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "room/Console.h"
#include "server/Admission.h"

namespace saferoom {

bool AcceptOrTell(TlsConn& conn, Deadline deadline, const std::string& peer, Console& console) {
  if (TlsAccept(conn, deadline)) return true;
  // A timeout, or a peer that just left (a port scan, a client that gave
  // up), has nothing to dump: OpenSSL names that an unexpected end of file.
  const unsigned long error = ERR_peek_error();
  if (error != 0 && ERR_GET_REASON(error) != SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    console.Err("TLS handshake failed: " + peer + "\n" + TakeTlsErrors());
  }
  ERR_clear_error();
  return false;
}

bool NoteOpenLink(ConnectionGate* gate, const Link* link, TlsConn& conn,
                  const std::string& deviceId, const std::string& deviceName) {
  if (gate == nullptr) return true;
  SSL* ssl = conn.ssl.get();
  return NoteAdmission(*gate, link, SSL_get0_peer_certificate(ssl), SSL_get_peer_cert_chain(ssl),
                       deviceId, deviceName);
}

bool TlsLink::Open(Deadline deadline) {
  if (!AcceptOrTell(*conn_, deadline, peer_, console_)) return false;
  if (NoteOpenLink(gate_, this, *conn_)) return true;
  TlsClose(*conn_);
  return false;
}

}  // namespace saferoom
