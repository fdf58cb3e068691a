// The per-connection TLS I/O wrapper on a non-blocking socket. Readers wait
// for input without the lock; writers hold it for a whole SSL_write.
#include "tls/TlsConn.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

bool IsRetry(int sslError) {
  return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// After a fatal error or a timeout OpenSSL must not be asked to write again;
// the shutdown wakes a reader polling this socket. The caller holds ioLock.
void MarkFailed(TlsConn& conn) {
  conn.failed = true;
  ShutdownBoth(conn.fd.Get());
}

bool Handshake(TlsConn& conn, Deadline deadline, bool asServer) {
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
        MarkFailed(conn);
        return false;
      }
    }
    // The deadline is fixed at the start: bytes trickling in do not extend it.
    if (deadline.Passed() ||
        PollFd(conn.fd.Get(), sslError == SSL_ERROR_WANT_WRITE, deadline) != PollResult::kReady) {
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
  // A send that does not wait returns after each record, and its retry may
  // come from another buffer holding the same bytes.
  SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
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

bool TlsAccept(TlsConn& conn, Deadline deadline) {
  return Handshake(conn, deadline, true);
}

bool TlsConnect(TlsConn& conn, Deadline deadline) {
  return Handshake(conn, deadline, false);
}

ReadResult TlsRead(TlsConn& conn, void* buf, size_t len, Deadline deadline) {
  const ReadResult ended{IoStatus::kEnded, 0};
  if (len == 0) return ended;
  const int ask = static_cast<int>(std::min<size_t>(len, INT_MAX));
  for (;;) {
    int sslError = SSL_ERROR_WANT_READ;
    bool waitFirst;
    {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      if (conn.failed || !conn.ssl) return ended;
      SSL* ssl = conn.ssl.get();
      // A read that found the socket drained last time would now only learn
      // that it is still empty: the wait goes first.
      waitFirst = conn.drained && !SSL_has_pending(ssl);
      conn.drained = false;
      if (!waitFirst) {
        ERR_clear_error();
        int n = SSL_read(ssl, buf, ask);
        if (n > 0) {
          // Less than asked for and nothing left in OpenSSL: the read ahead
          // took all that the socket held.
          conn.drained = n < ask && !SSL_has_pending(ssl);
          return ReadResult{IoStatus::kDone, static_cast<size_t>(n)};
        }
        sslError = SSL_get_error(ssl, n);
        if (sslError == SSL_ERROR_ZERO_RETURN) return ended;  // close notify: a reply is still allowed
        if (!IsRetry(sslError)) {
          ERR_clear_error();
          MarkFailed(conn);
          return ended;
        }
      }
    }
    // WANT_READ: OpenSSL holds no complete record now (what it read ahead is
    // at most part of one), so the socket is the place to wait, and writers
    // may use the session meanwhile. A read skipped for the wait still gets
    // a look when the deadline has passed.
    if (deadline.Passed() && !waitFirst) return ReadResult{IoStatus::kTimeout, 0};
    PollResult ready = PollFd(conn.fd.Get(), sslError == SSL_ERROR_WANT_WRITE, deadline);
    if (ready == PollResult::kTimeout) return ReadResult{IoStatus::kTimeout, 0};
    if (ready == PollResult::kError) {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      MarkFailed(conn);
      return ended;
    }
  }
}

IoStatus TlsWrite(TlsConn& conn, const void* buf, size_t len, Deadline deadline) {
  std::lock_guard<std::mutex> writing(conn.writeLock);
  // One deadline for the whole write: a peer reading a trickle cannot
  // stretch it poll by poll.
  const uint8_t* at = static_cast<const uint8_t*>(buf);
  while (len > 0) {
    int sslError;
    {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      if (conn.failed || !conn.ssl) return IoStatus::kEnded;
      // After WANT_*, OpenSSL needs the same bytes again; `chunk` only
      // changes once bytes went out.
      const int chunk = static_cast<int>(std::min<size_t>(len, INT_MAX));
      ERR_clear_error();
      const int n = SSL_write(conn.ssl.get(), at, chunk);
      if (n > 0) {
        at += n;
        len -= static_cast<size_t>(n);
        continue;
      }
      sslError = SSL_get_error(conn.ssl.get(), n);
      if (!IsRetry(sslError)) {
        ERR_clear_error();
        MarkFailed(conn);
        return IoStatus::kEnded;
      }
    }
    PollResult ready = PollResult::kTimeout;
    if (!deadline.Passed()) ready = PollFd(conn.fd.Get(), sslError == SSL_ERROR_WANT_WRITE, deadline);
    if (ready != PollResult::kReady) {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      ERR_clear_error();
      MarkFailed(conn);
      return ready == PollResult::kTimeout ? IoStatus::kTimeout : IoStatus::kEnded;
    }
  }
  return IoStatus::kDone;
}

SendResult TlsSend(TlsConn& conn, const void* buf, size_t len) {
  SendResult result;
  std::lock_guard<std::mutex> hold(conn.ioLock);
  if (conn.failed || !conn.ssl) {
    result.ended = true;
    return result;
  }
  const uint8_t* at = static_cast<const uint8_t*>(buf);
  while (result.taken < len) {
    const int chunk = static_cast<int>(std::min<size_t>(len - result.taken, INT_MAX));
    ERR_clear_error();
    const int n = SSL_write(conn.ssl.get(), at + result.taken, chunk);
    if (n > 0) {
      result.taken += static_cast<size_t>(n);
      continue;
    }
    if (SSL_get_error(conn.ssl.get(), n) == SSL_ERROR_WANT_WRITE) {
      result.blocked = true;
      // One record at most is made before the socket says it is full.
      result.held = std::min<size_t>(len - result.taken, SSL3_RT_MAX_PLAIN_LENGTH);
    } else {
      ERR_clear_error();
      MarkFailed(conn);
      result.ended = true;
    }
    break;
  }
  return result;
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

std::string TakeTlsErrors() {
  std::string dump;
  ERR_print_errors_cb(
      [](const char* text, size_t len, void* out) {
        static_cast<std::string*>(out)->append(text, len);
        return 1;
      },
      &dump);
  return dump;
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
