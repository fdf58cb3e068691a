// One TLS connection: its socket, its SSL object and the I/O lock that makes
// reads by the owning thread and writes by other threads safe. Used by the
// server's TLS link to the room, the client library, the benchmark and tests.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Deadline.h"
#include "platform/Io.h"
#include "platform/Net.h"

namespace saferoom {

struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// The TLS session handle: its owner (one thread) reads, any thread writes.
// Whoever holds the unique_ptr keeps it alive.
//
// OpenSSL writes its records into `out`, not into the socket: a record is
// made under ioLock, which then only covers the encryption, and written to
// the socket after it, so that a reader never waits for a writer's system
// call, nor a writer for a reader's.
struct TlsConn {
  UniqueFd fd;  // declared first so it closes last, after SSL_free
  SslPtr ssl;
  // Held for each SSL_* call on `ssl`, never while waiting for the socket.
  std::mutex ioLock;
  // Held for a whole TlsWrite, waits included, so that one write's records
  // are not interleaved with another write's; reads go on meanwhile.
  std::mutex writeLock;
  bool failed = false;   // guarded by ioLock; set after a fatal error or a close: no SSL_* I/O
  bool drained = false;  // guarded by ioLock: the last read took all the socket held
  // Lock order: ioLock, then outLock (OpenSSL appends under ioLock).
  std::mutex outLock;
  std::vector<uint8_t> out;  // guarded by outLock: records made, not yet on the socket
  size_t outAt = 0;          // guarded by outLock: of `out`, bytes the socket took
};
using TlsConnPtr = std::unique_ptr<TlsConn>;

// Makes the SSL object for an accepted or connected socket and switches the
// socket to non-blocking. Null on failure (the socket is then closed).
TlsConnPtr NewTlsConn(SSL_CTX* ctx, UniqueFd fd);

// Server and client handshakes, done by `deadline` (slow peers do not extend
// it). False on failure or timeout (the connection is then unusable); the TLS
// error queue is left to the caller, which may print or clear it.
bool TlsAccept(TlsConn& conn, Deadline deadline);
bool TlsConnect(TlsConn& conn, Deadline deadline);

// Reads up to `len` bytes, waiting for input until `deadline` without holding
// ioLock. Only the owning thread reads.
ReadResult TlsRead(TlsConn& conn, void* buf, size_t len, Deadline deadline);

// Writes all `len` bytes, waiting for the socket until `deadline` without
// holding ioLock, so that the reader goes on meanwhile. On failure or
// timeout the connection is shut down (its reader then sees the end). Any
// thread may write.
IoStatus TlsWrite(TlsConn& conn, const void* buf, size_t len, Deadline deadline);

// What a write that does not wait did.
struct SendResult {
  size_t taken = 0;      // bytes handed over: the caller must not offer them again
  bool blocked = false;  // the socket is full: call again once it polls writable
  bool wrote = false;    // bytes went out to the socket
  bool ended = false;    // the connection failed or was shut down
};

// Without waiting: first writes to the socket what records wait, then, when
// none is left, makes records of all `len` bytes and writes what the socket
// takes of them; the rest waits in the connection (one send's worth at
// most). `len` may be 0, to write what waits. Any thread may send, one at a
// time; failure shuts the connection down.
SendResult TlsSend(TlsConn& conn, const void* buf, size_t len);

// Sends the TLS close notification (without waiting) and shuts the socket
// down in both directions. The objects stay until the TlsConn is freed.
void TlsClose(TlsConn& conn);

// This thread's TLS error queue as ERR_print_errors_fp would print it; the
// queue is empty afterwards.
std::string TakeTlsErrors();

// The subject CN of the certificate the peer presented, as UTF-8 (the first
// CN when there are several). False when there is no certificate or no CN.
bool PeerCommonName(TlsConn& conn, std::string& name);

}  // namespace saferoom
