// The chat port's link: the server handshake and its failure line.
#include "server/TlsLink.h"

#include <openssl/err.h>

#include "room/Console.h"

bool TlsLink::Open(Deadline deadline) {
  if (TlsAccept(*conn_, deadline)) return true;
  // A timeout or a peer that just left has nothing to dump.
  if (ERR_peek_error() != 0) console_.Err("TLS handshake failed: " + peer_ + "\n" + TakeTlsErrors());
  ERR_clear_error();
  return false;
}
