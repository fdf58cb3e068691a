// One TLS connection: its socket, its SSL object and the I/O lock that makes
// reads by the owning thread and writes by other threads safe. Used by the
// accept loop, the chat room, the client library, the benchmark and tests.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Net.h"

struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 5000;

// The TLS session handle of the chat room: members and callbacks refer to a
// connection by its TlsConn*. The thread that owns the unique_ptr keeps it
// alive; every table slot naming it is cleared before it is freed.
struct TlsConn {
  UniqueFd fd;  // declared first so it closes last, after SSL_free
  SslPtr ssl;
  // Held for each SSL_* call on `ssl`. Writers to a member take it while
  // holding the server's userLock: never take userLock while holding this.
  std::mutex ioLock;
  bool failed = false;   // guarded by ioLock; set after a fatal error or a close: no SSL_* I/O
  bool drained = false;  // guarded by ioLock: the last read took all the socket held
  // Set only on the fake connections of tests and fuzzing, which have no
  // socket or SSL object: writes are appended here instead.
  std::unique_ptr<std::vector<uint8_t>> capture;
};
using TlsConnPtr = std::unique_ptr<TlsConn>;

// Makes the SSL object for an accepted or connected socket and switches the
// socket to non-blocking. Null on failure (the socket is then closed).
TlsConnPtr NewTlsConn(SSL_CTX* ctx, UniqueFd fd);

// Server and client handshakes, bounded by totalMs in all (slow peers do not
// extend it). False on failure or timeout; the TLS error queue is printed to
// standard error when `printErrors`, and otherwise left to the caller.
bool TlsAccept(TlsConn& conn, int totalMs, bool printErrors);
bool TlsConnect(TlsConn& conn, int totalMs, bool printErrors);

// Reads up to `len` bytes: > 0 bytes read; 0 the peer closed or the
// connection failed; -1 nothing arrived within timeoutMs (< 0: wait forever).
// Only the owning thread reads. It waits for input without holding ioLock.
int TlsRead(TlsConn& conn, void* buf, int len, int timeoutMs = -1);

// Reads exactly `len` bytes, waiting as long as it takes. False when the
// connection ends first.
bool TlsReadFull(TlsConn& conn, void* buf, size_t len);

// Writes all `len` bytes under ioLock, waiting for the socket at most
// timeoutMs in all. On failure or timeout the connection is shut down (its
// reader then sees the end) and false is returned. Any thread may write.
bool TlsWrite(TlsConn& conn, const void* buf, size_t len, int timeoutMs = kSendTimeoutMs);

// Sends the TLS close notification (without waiting) and shuts the socket
// down in both directions. The objects stay until the TlsConn is freed.
void TlsClose(TlsConn& conn);

// Shuts the socket down without touching the SSL object (safe from any
// thread, with or without ioLock).
void TlsAbort(TlsConn& conn);

// The subject CN of the certificate the peer presented, as UTF-8 (the first
// CN when there are several). False when there is no certificate or no CN.
bool PeerCommonName(TlsConn& conn, std::string& name);
