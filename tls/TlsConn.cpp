// The per-connection TLS I/O wrapper on a non-blocking socket. Readers wait
// for input without the lock; records are made under it and written to the
// socket after it.
#include "tls/TlsConn.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace saferoom {

namespace {

bool IsRetry(int sslError) {
  return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

enum class Drain { kEmpty, kWaiting, kFailed };
Drain DrainOut(TlsConn& conn, bool* wrote = nullptr, bool ifFree = false);

// After a fatal error or a timeout OpenSSL must not be asked to write again;
// the alert it made for the peer goes if the socket takes it now, and the
// shutdown wakes a reader polling this socket. The caller holds ioLock.
void MarkFailed(TlsConn& conn) {
  conn.failed = true;
  DrainOut(conn, nullptr, true);
  ShutdownBoth(conn.fd.Get());
}

// The write BIO: OpenSSL's records go to conn.out. Called under ioLock.
int OutboxWrite(BIO* bio, const char* buf, int len) {
  auto* conn = static_cast<TlsConn*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  std::lock_guard<std::mutex> hold(conn->outLock);
  conn->out.insert(conn->out.end(), buf, buf + len);
  return len;
}

long OutboxCtrl(BIO*, int cmd, long, void*) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int OutboxCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO* NewOutbox(TlsConn& conn) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tls outbox");
    BIO_meth_set_write(m, OutboxWrite);
    BIO_meth_set_ctrl(m, OutboxCtrl);
    BIO_meth_set_create(m, OutboxCreate);
    return m;
  }();
  BIO* bio = BIO_new(method);
  if (bio != nullptr) BIO_set_data(bio, &conn);
  return bio;
}

// Capacity of `out` kept once it is empty; beyond it the buffer goes back,
// so that an idle connection holds none.
constexpr size_t kKeptOutBytes = 512;

// Writes what waits in conn.out that the socket takes now. `wrote` is set
// when any of it went. With `ifFree`, only when no other thread is at it.
Drain DrainOut(TlsConn& conn, bool* wrote, bool ifFree) {
  std::unique_lock<std::mutex> hold(conn.outLock, std::defer_lock);
  if (!ifFree) {
    hold.lock();
  } else if (!hold.try_lock()) {
    return Drain::kWaiting;
  }
  while (conn.outAt < conn.out.size()) {
    const long n =
        SendSome(conn.fd.Get(), conn.out.data() + conn.outAt, conn.out.size() - conn.outAt);
    if (n < 0) return Drain::kFailed;
    if (n == 0) return Drain::kWaiting;
    conn.outAt += static_cast<size_t>(n);
    if (wrote != nullptr) *wrote = true;
  }
  conn.out.clear();
  conn.outAt = 0;
  if (conn.out.capacity() > kKeptOutBytes) std::vector<uint8_t>().swap(conn.out);
  return Drain::kEmpty;
}

// DrainOut until nothing waits, polling the socket until `deadline`.
bool DrainOutBy(TlsConn& conn, Deadline deadline) {
  for (;;) {
    const Drain d = DrainOut(conn);
    if (d == Drain::kEmpty) return true;
    if (d == Drain::kFailed || deadline.Passed() ||
        PollFd(conn.fd.Get(), true, deadline) != PollResult::kReady) {
      return false;
    }
  }
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
        sslError = SSL_ERROR_NONE;
      } else {
        sslError = SSL_get_error(conn.ssl.get(), rc);
        if (!IsRetry(sslError)) {
          MarkFailed(conn);
          return false;
        }
      }
    }
    // The flight just made goes out before the peer's answer is awaited.
    // The deadline is fixed at the start: bytes trickling in do not extend it.
    const bool sent = DrainOutBy(conn, deadline);
    if (sent && sslError == SSL_ERROR_NONE) return true;
    if (!sent || deadline.Passed() ||
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
  auto conn = std::make_unique<TlsConn>();
  SslPtr ssl(SSL_new(ctx));
  BIO* in = ssl ? BIO_new_socket(fd.Get(), BIO_NOCLOSE) : nullptr;
  BIO* out = in ? NewOutbox(*conn) : nullptr;
  if (out == nullptr) {
    BIO_free(in);
    ERR_clear_error();
    return nullptr;
  }
  // Idle members would otherwise keep two 17 KiB record buffers each.
  SSL_set_mode(ssl.get(), SSL_MODE_RELEASE_BUFFERS);
  // One read takes whatever has arrived, several records at once under load,
  // instead of a record header and then its body.
  SSL_set_read_ahead(ssl.get(), 1);
  SSL_set_bio(ssl.get(), in, out);  // the SSL object owns both now
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
        if (sslError == SSL_ERROR_ZERO_RETURN)
          return ended;  // close notify: a reply is still allowed
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
    // What a read made (an alert, an answer of TLS 1.3's) goes out before
    // the wait, unless a writer is at it already.
    DrainOut(conn, nullptr, true);
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
  // Records made a slice at a time, each written before the next is made:
  // the outbox holds one slice at most, and the deadline bounds the making
  // too, not only the writing.
  constexpr size_t kSliceBytes = 64 * 1024;
  std::lock_guard<std::mutex> writing(conn.writeLock);
  const uint8_t* at = static_cast<const uint8_t*>(buf);
  do {
    const size_t slice = std::min(len, kSliceBytes);
    {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      if (conn.failed || !conn.ssl) return IoStatus::kEnded;
      for (size_t done = 0; done < slice;) {
        ERR_clear_error();
        const int n = SSL_write(conn.ssl.get(), at + done, static_cast<int>(slice - done));
        if (n <= 0) {
          ERR_clear_error();
          MarkFailed(conn);
          return IoStatus::kEnded;
        }
        done += static_cast<size_t>(n);
      }
    }
    at += slice;
    len -= slice;
    // One deadline for the whole write: a peer reading a trickle cannot
    // stretch it poll by poll.
    if (!DrainOutBy(conn, deadline)) {
      std::lock_guard<std::mutex> hold(conn.ioLock);
      const IoStatus status = deadline.Passed() ? IoStatus::kTimeout : IoStatus::kEnded;
      MarkFailed(conn);
      return status;
    }
  } while (len > 0);
  return IoStatus::kDone;
}

SendResult TlsSend(TlsConn& conn, const void* buf, size_t len) {
  SendResult result;
  const auto fail = [&] {
    std::lock_guard<std::mutex> hold(conn.ioLock);
    MarkFailed(conn);
    result.ended = true;
    return result;
  };
  // Records waiting go first; while any wait, no more are made, so that the
  // connection holds one send's worth at most.
  Drain d = DrainOut(conn, &result.wrote);
  if (d == Drain::kFailed) return fail();
  if (d == Drain::kWaiting) {
    result.blocked = true;
    return result;
  }
  if (len == 0) return result;
  {
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
      if (n <= 0) {
        ERR_clear_error();
        MarkFailed(conn);
        result.ended = true;
        return result;
      }
      result.taken += static_cast<size_t>(n);
    }
  }
  d = DrainOut(conn, &result.wrote);
  if (d == Drain::kFailed) return fail();
  result.blocked = d == Drain::kWaiting;
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
  // The goodbye goes if the socket takes it now; nobody waits for it.
  DrainOut(conn);
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

}  // namespace saferoom
