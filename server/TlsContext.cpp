// TLS start-up: library initialisation, the server context and its
// certificate files, and the random seed.
#include "server/TlsContext.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr char kCaFile[] = "certs/ca.crt";
constexpr char kCertFile[] = "certs/server.crt";
constexpr char kKeyFile[] = "certs/server.key";
constexpr int kSeedWords = 100;

}  // namespace

SslCtxPtr NewServerContext() {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) exit(1);
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION) != 1) {
    exit(1);
  }

  // A client certificate is asked for and must verify when sent; none is
  // still fine.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  // Without a CA file no client certificate can verify, which is all it means.
  SSL_CTX_load_verify_locations(ctx.get(), kCaFile, nullptr);
  ERR_clear_error();  // keeps that failure out of the dumps below

  if (SSL_CTX_use_certificate_file(ctx.get(), kCertFile, SSL_FILETYPE_PEM) < 1) {
    ERR_print_errors_fp(stderr);
    exit(3);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), kKeyFile, SSL_FILETYPE_PEM) < 1) {
    ERR_print_errors_fp(stderr);
    exit(4);
  }
  if (SSL_CTX_check_private_key(ctx.get()) == 0) {
    printf("Private key does not match the certificate public key\n");
    exit(5);
  }
  SSL_CTX_set_cipher_list(ctx.get(), "AES128-SHA");
  // A client could otherwise make the server redo handshakes at will, and
  // a session's writers would then meet reads inside SSL_write.
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  // The certificate chain sent to clients, worked out once here instead of
  // in every handshake. When it cannot be (no CA file), OpenSSL still works
  // it out per handshake, as before.
  SSL_CTX_build_cert_chain(ctx.get(), 0);
  ERR_clear_error();
  return ctx;
}

void SeedTlsRandom() {
  srand(static_cast<unsigned>(time(nullptr)));
  int seed[kSeedWords];
  for (int& word : seed)
    word = rand();
  RAND_seed(seed, sizeof seed);
}
