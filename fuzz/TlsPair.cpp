// The in-memory TLS pair: a self-signed RSA key made once, a BIO over each
// Transport, and the handshake driven from both ends in turn.
#include "fuzz/TlsPair.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace saferoom {

namespace {

int TransportRead(BIO* bio, char* buf, int len) {
  auto* t = static_cast<Transport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const size_t left = t->in.size() - t->readAt;
  if (left == 0 && t->ended) return 0;
  // Never twice in a row, so every read after one gets somewhere.
  if (left == 0 || (t->splits != nullptr && !t->blocked && t->splits->WouldBlock())) {
    t->blocked = true;
    BIO_set_retry_read(bio);
    return -1;
  }
  t->blocked = false;
  size_t n = std::min(left, static_cast<size_t>(len));
  if (t->splits != nullptr) n = t->splits->Size(n);
  std::memcpy(buf, t->in.data() + t->readAt, n);
  t->readAt += n;
  return static_cast<int>(n);
}

int TransportWrite(BIO* bio, const char* buf, int len) {
  auto* t = static_cast<Transport*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  t->peer->in.append(buf, static_cast<size_t>(len));
  return len;
}

long TransportCtrl(BIO*, int cmd, long, void*) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO* NewTransportBio(Transport& t) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "fuzz transport");
    BIO_meth_set_read(m, TransportRead);
    BIO_meth_set_write(m, TransportWrite);
    BIO_meth_set_ctrl(m, TransportCtrl);
    BIO_meth_set_create(m, TransportCreate);
    return m;
  }();
  BIO* bio = BIO_new(method);
  if (bio != nullptr) BIO_set_data(bio, &t);
  return bio;
}

// A self-signed certificate for a fresh RSA key; the client does not check it.
bool UseNewKey(SSL_CTX* ctx) {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  X509* cert = X509_new();
  bool ok = key != nullptr && cert != nullptr;
  if (ok) {
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    ok = X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
         SSL_CTX_use_PrivateKey(ctx, key) == 1;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

SSL_CTX* NewContext(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) return nullptr;
  // A small key, allowed: fuzzing runs many short processes, each making one.
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx, "AES128-SHA") != 1 || (server && !UseNewKey(ctx))) {
    return nullptr;
  }
  return ctx;
}

// The accept loop's NewTlsConn, on a descriptor that always polls ready (a
// pipe whose writer is gone): TlsRead waits on it before reads it expects to
// find nothing, and this transport has no descriptor of its own.
TlsConnPtr NewEnd(SSL_CTX* ctx, Transport& t) {
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  close(fds[1]);
  TlsConnPtr conn = NewTlsConn(ctx, UniqueFd(fds[0]));
  BIO* bio = conn ? NewTransportBio(t) : nullptr;
  if (bio == nullptr) return nullptr;
  SSL_set_bio(conn->ssl.get(), bio, bio);  // one reference, for both directions
  return conn;
}

}  // namespace

uint64_t Splits::Next() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

size_t Splits::Size(size_t max) {
  if (max <= 1) return max;
  const uint64_t r = Next();
  const size_t limit = r % 4 == 0 ? max : r % 4 == 1 ? 300 : 16;
  return 1 + (r >> 8) % std::min(limit, max);
}

bool MakeTlsPair(TlsPair& pair) {
  static SSL_CTX* serverCtx = NewContext(true);
  static SSL_CTX* clientCtx = NewContext(false);
  static SSL_SESSION* session = nullptr;  // resumed: no RSA for each input
  if (serverCtx == nullptr || clientCtx == nullptr) return false;
  pair.serverSide.peer = &pair.clientSide;
  pair.clientSide.peer = &pair.serverSide;
  pair.server = NewEnd(serverCtx, pair.serverSide);
  pair.client = NewEnd(clientCtx, pair.clientSide);
  if (!pair.server || !pair.client) return false;
  SSL* server = pair.server->ssl.get();
  SSL* client = pair.client->ssl.get();
  SSL_set_accept_state(server);
  SSL_set_connect_state(client);
  if (session != nullptr) {
    // A copy each time: a connection that ends without a goodbye spoils the
    // session it used.
    SSL_SESSION* copy = SSL_SESSION_dup(session);
    SSL_set_session(client, copy);
    SSL_SESSION_free(copy);
  }
  bool done = false;
  for (int round = 0; round < 20 && !done; ++round) {
    const int c = SSL_do_handshake(client);
    const int s = SSL_do_handshake(server);
    done = c == 1 && s == 1;
  }
  ERR_clear_error();
  if (done && session == nullptr) session = SSL_SESSION_dup(SSL_get0_session(client));
  return done;
}

void SendRecords(TlsConn& writer, Transport& reader, const uint8_t* data, size_t size,
                 Splits& records, Splits& reads, bool closeNotify) {
  for (size_t at = 0; at < size;) {
    const size_t n = records.Size(std::min<size_t>(size - at, 20000));
    if (SSL_write(writer.ssl.get(), data + at, static_cast<int>(n)) <= 0) break;
    at += n;
  }
  if (closeNotify) SSL_shutdown(writer.ssl.get());
  ERR_clear_error();
  reader.splits = &reads;
  reader.ended = true;
  reader.blocked = false;
}

std::string ReceiveAll(TlsConn& reader, bool& closed) {
  Transport* t = static_cast<Transport*>(BIO_get_data(SSL_get_rbio(reader.ssl.get())));
  t->splits = nullptr;
  t->ended = true;
  std::string plain;
  char buf[16384];
  int n;
  while ((n = SSL_read(reader.ssl.get(), buf, sizeof buf)) > 0)
    plain.append(buf, static_cast<size_t>(n));
  closed = SSL_get_error(reader.ssl.get(), n) == SSL_ERROR_ZERO_RETURN;
  ERR_clear_error();
  return plain;
}

}  // namespace saferoom
