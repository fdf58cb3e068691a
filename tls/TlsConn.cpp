// The per-connection TLS I/O wrapper on a non-blocking socket. Readers wait
// for input without the lock; writers hold it for a whole SSL_write.
#include "tls/TlsConn.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "platform/Os.h"

namespace {

bool IsRetry(int sslError) {
  return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// Milliseconds left until `deadline`, never negative.
int LeftMs(int64_t deadline) {
  int64_t left = deadline - MonotonicMs();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

// After a fatal error or a timeout OpenSSL must not be asked to write again;
// the shutdown wakes a reader polling this socket. The caller holds ioLock.
void MarkFailed(TlsConn& conn) {
  conn.failed = true;
  ShutdownBoth(conn.fd.Get());
}

bool Handshake(TlsConn& conn, int totalMs, bool printErrors, bool asServer) {
  int64_t deadline = MonotonicMs() + totalMs;
  for (;;) {
    int sslError;
    {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      if (conn.failed || !conn.ssl) return false;
      ERR_clear_error();  // SSL_get_error reads this thread's queue
      int rc = asServer ? SSL_accept(conn.ssl.get()) : SSL_connect(conn.ssl.get());
      if (rc == 1) {
        // Neither side sends application data before the handshake's last
        // flight has arrived, so the first read would find nothing.
        conn.drained = !SSL_has_pending(conn.ssl.get());
        return true;
      }
      sslError = SSL_get_error(conn.ssl.get(), rc);
      if (!IsRetry(sslError)) {
        if (printErrors) {
          ERR_print_errors_fp(stderr);
          ERR_clear_error();
        }
        MarkFailed(conn);
        return false;
      }
    }
    // The deadline is fixed at the start: bytes trickling in do not extend it.
    int left = LeftMs(deadline);
    if (left == 0 ||
        PollFd(conn.fd.Get(), sslError == SSL_ERROR_WANT_WRITE, left) != PollResult::kReady) {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      MarkFailed(conn);
      return false;
    }
  }
}

}  // namespace

TlsConnPtr NewTlsConn(SSL_CTX* ctx, UniqueFd fd) {
  if (ctx == nullptr || !fd.Valid() || !SetNonBlocking(fd.Get())) return nullptr;
  SslPtr ssl(SSL_new(ctx));
  if (!ssl) {
    ERR_clear_error();
    return nullptr;
  }
  // Idle members would otherwise keep two 17 KiB record buffers each.
  SSL_set_mode(ssl.get(), SSL_MODE_RELEASE_BUFFERS);
  // One read takes whatever has arrived, several records at once under load,
  // instead of a record header and then its body.
  SSL_set_read_ahead(ssl.get(), 1);
  if (SSL_set_fd(ssl.get(), fd.Get()) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  auto conn = std::make_unique<TlsConn>();
  conn->fd = std::move(fd);
  conn->ssl = std::move(ssl);
  return conn;
}

bool TlsAccept(TlsConn& conn, int totalMs, bool printErrors) {
  return Handshake(conn, totalMs, printErrors, true);
}

bool TlsConnect(TlsConn& conn, int totalMs, bool printErrors) {
  return Handshake(conn, totalMs, printErrors, false);
}

int TlsRead(TlsConn& conn, void* buf, int len, int timeoutMs) {
  if (len <= 0) return 0;
  int64_t deadline = timeoutMs >= 0 ? MonotonicMs() + timeoutMs : -1;
  for (;;) {
    int sslError = SSL_ERROR_WANT_READ;
    bool waitFirst;
    {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      if (conn.failed || !conn.ssl) return 0;
      SSL* ssl = conn.ssl.get();
      // A read that found the socket drained last time would now only learn
      // that it is still empty: the wait goes first.
      waitFirst = conn.drained && !SSL_has_pending(ssl);
      conn.drained = false;
      if (!waitFirst) {
        ERR_clear_error();
        int n = SSL_read(ssl, buf, len);
        if (n > 0) {
          // Less than asked for and nothing left in OpenSSL: the read ahead
          // took all that the socket held.
          conn.drained = n < len && !SSL_has_pending(ssl);
          return n;
        }
        sslError = SSL_get_error(ssl, n);
        if (sslError == SSL_ERROR_ZERO_RETURN) return 0;  // close notify: a reply is still allowed
        if (!IsRetry(sslError)) {
          ERR_clear_error();
          MarkFailed(conn);
          return 0;
        }
      }
    }
    // WANT_READ: OpenSSL holds no complete record now (what it read ahead is
    // at most part of one), so the socket is the place to wait, and writers
    // may use the session meanwhile.
    int wait = deadline >= 0 ? LeftMs(deadline) : -1;
    if (wait == 0 && !waitFirst) return -1;  // a skipped read still gets a look
    PollResult ready = PollFd(conn.fd.Get(), sslError == SSL_ERROR_WANT_WRITE, wait);
    if (ready == PollResult::kTimeout) return -1;
    if (ready == PollResult::kError) {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      MarkFailed(conn);
      return 0;
    }
  }
}

bool TlsReadFull(TlsConn& conn, void* buf, size_t len) {
  uint8_t* at = static_cast<uint8_t*>(buf);
  while (len > 0) {
    int chunk = static_cast<int>(std::min<size_t>(len, INT_MAX));
    int n = TlsRead(conn, at, chunk, -1);
    if (n <= 0) return false;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool TlsWrite(TlsConn& conn, const void* buf, size_t len, int timeoutMs) {
  std::lock_guard<std::mutex> hold(conn.ioLock);
  if (conn.failed) return false;
  if (conn.capture) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    conn.capture->insert(conn.capture->end(), bytes, bytes + len);
    return true;
  }
  if (!conn.ssl) return false;
  // One deadline for the whole write: a peer reading a trickle cannot
  // stretch it poll by poll.
  int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
  const uint8_t* at = static_cast<const uint8_t*>(buf);
  while (len > 0) {
    // After WANT_*, OpenSSL needs the same arguments again; `chunk` only
    // changes once bytes went out.
    int chunk = static_cast<int>(std::min<size_t>(len, INT_MAX));
    ERR_clear_error();
    int n = SSL_write(conn.ssl.get(), at, chunk);
    if (n > 0) {
      at += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    int sslError = SSL_get_error(conn.ssl.get(), n);
    int left = LeftMs(deadline);
    if (!IsRetry(sslError) || left == 0 ||
        PollFd(conn.fd.Get(), sslError == SSL_ERROR_WANT_WRITE, left) != PollResult::kReady) {
      ERR_clear_error();
      MarkFailed(conn);
      return false;
    }
  }
  return true;
}

void TlsClose(TlsConn& conn) {
  {
    std::lock_guard<std::mutex> hold(conn.ioLock);
    // One close notify if the session is sound; the peer's answer is not
    // awaited, since the socket goes away next.
    if (!conn.failed && conn.ssl && SSL_is_init_finished(conn.ssl.get())) {
      ERR_clear_error();
      SSL_shutdown(conn.ssl.get());
      ERR_clear_error();
    }
    conn.failed = true;
  }
  ShutdownBoth(conn.fd.Get());
}

void TlsAbort(TlsConn& conn) {
  ShutdownBoth(conn.fd.Get());
}

bool PeerCommonName(TlsConn& conn, std::string& name) {
  std::lock_guard<std::mutex> hold(conn.ioLock);
  if (!conn.ssl) return false;
  std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(conn.ssl.get()),
                                                   &X509_free);
  if (!cert) return false;
  X509_NAME* subject = X509_get_subject_name(cert.get());
  int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return false;
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (len < 0) return false;
  name.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
  OPENSSL_free(utf8);
  return true;
}
