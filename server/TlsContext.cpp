// TLS start-up and reload: library initialisation, the server context and its
// certificate files, and the random seed.
#include "server/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "server/Admission.h"
#include "server/Endpoints.h"
#include "server/ExitStatus.h"
#include "server/SafeTcpServer.h"

namespace saferoom {

namespace {

constexpr char kCaFile[] = "certs/ca.crt";
constexpr char kCertFile[] = "certs/server.crt";
constexpr char kKeyFile[] = "certs/server.key";
// Made by scripts/remove-member.sh; a private room without one revokes
// nothing.
constexpr char kCrlFile[] = "certs/crl.pem";
constexpr char kMismatch[] = "Private key does not match the certificate public key";
constexpr int kSeedWords = 100;

// Strongest first; AES128-SHA stays last for the clients that offer nothing
// else.
constexpr char kForwardSecrecyCiphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:AES128-SHA";
// The web listener's, for browsers: forward secrecy and AEAD only, TLS 1.2
// and 1.3 (whose suites are all AEAD).
constexpr char kWebCiphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr char kWebSuites13[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// Why a context could not be built.
struct ContextFailure {
  int status = 0;          // the exit status start-up ends with
  std::string why;         // one line for people
  bool tlsErrors = false;  // the TLS error queue holds the details
  // Start-up prints `why` too. The failures start-up always had keep their
  // output: the error queue alone, or the mismatch line.
  bool explain = false;
};

SslCtxPtr Fail(ContextFailure& failure, int status, std::string why, bool tlsErrors,
               bool explain = false) {
  failure.status = status;
  failure.why = std::move(why);
  failure.tlsErrors = tlsErrors;
  failure.explain = explain;
  return nullptr;
}

// False, with one plain line in `why`, when `path` cannot be opened: the
// TLS library's dump alone would not say that the file is missing, nor how
// to make one, in the form that exists where `program` runs (the package
// has no certificate scripts).
bool Readable(const char* path, const std::string& program, std::string& why) {
  std::FILE* f = std::fopen(path, "r");
  if (f != nullptr) {
    std::fclose(f);
    return true;
  }
  why = std::string("cannot read ") + path + ": " + std::strerror(errno) +
        (program == "saferoom-server"
             ? "; the certificates go in certs/ of the working directory (see saferoom-server(8))"
             : "; scripts/make-dev-certs.sh makes a development set");
  return false;
}

// True when the key can serve at least one suite in the context's list: RSA
// suites need an RSA key, ECDSA suites an EC (or EdDSA) one.
bool KeyServesASuite(SSL_CTX* ctx) {
  int type = EVP_PKEY_base_id(SSL_CTX_get0_privatekey(ctx));
  bool rsa = type == EVP_PKEY_RSA;
  bool ecdsa = type == EVP_PKEY_EC || type == EVP_PKEY_ED25519 || type == EVP_PKEY_ED448;
  STACK_OF(SSL_CIPHER)* suites = SSL_CTX_get_ciphers(ctx);
  for (int i = 0; i < sk_SSL_CIPHER_num(suites); ++i) {
    int auth = SSL_CIPHER_get_auth_nid(sk_SSL_CIPHER_value(suites, i));
    if ((auth == NID_auth_rsa && rsa) || (auth == NID_auth_ecdsa && ecdsa)) return true;
  }
  return false;
}

// Settings every context gets once its files are in place.
void SetSessionRules(SSL_CTX* ctx) {
  // With client certificates asked for, OpenSSL fails every resumption
  // attempt (an internal error alert) until sessions have a context.
  static const unsigned char kSessionContext[] = "chat room";
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  // No server-side session cache: tickets still let a client resume, and a
  // churn of connections no longer fills a cache of up to 20,480 sessions,
  // each handshake taking its lock to add one.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // A client could otherwise make the server redo handshakes at will, and
  // a session's writers would then meet reads inside SSL_write.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // The certificate chain sent to clients, worked out once here instead of
  // in every handshake. When it cannot be (no CA file, or one that is not
  // the server's root), the chain from the file is sent as it is.
  SSL_CTX_build_cert_chain(ctx, 0);
}

// The room's own revocation list lasts as long as the room: its next-update
// date is no reason to shut every member out, nor a clock a little behind.
int AcceptStaleCrl(int ok, X509_STORE_CTX* store) {
  const int error = X509_STORE_CTX_get_error(store);
  if (!ok && (error == X509_V_ERR_CRL_HAS_EXPIRED || error == X509_V_ERR_CRL_NOT_YET_VALID)) {
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
  }
  return ok;
}

// Puts certs/crl.pem, when there is one, in the context's trust store and
// has every client certificate checked against it. False, with `why`, for
// a file that cannot be read or that no certificate in certs/ca.crt
// signed: checking against it would shut out every member.
bool LoadRevocations(SSL_CTX* ctx, std::string& why) {
  std::FILE* f = std::fopen(kCrlFile, "r");
  if (f == nullptr) {
    if (errno == ENOENT) return true;
    why = std::string("cannot read ") + kCrlFile + ": " + std::strerror(errno);
    return false;
  }
  X509_CRL* crl = PEM_read_X509_CRL(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (crl == nullptr) {
    why = std::string(kCrlFile) + " is no PEM certificate revocation list";
    return false;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  bool signedByCa = false;
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects) && !signedByCa; ++i) {
    X509* ca = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    signedByCa = ca != nullptr && X509_CRL_verify(crl, X509_get0_pubkey(ca)) == 1;
  }
  const bool added = signedByCa && X509_STORE_add_crl(store, crl) == 1;
  X509_CRL_free(crl);  // the store keeps its own reference
  if (!added) {
    why = std::string(kCrlFile) + " was not signed by the CA in " + kCaFile +
          " (remake it with scripts/remove-member.sh)";
    return false;
  }
  X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
  X509_STORE_set_verify_cb(store, AcceptStaleCrl);
  return true;
}

// The web listener speaks HTTP/1.1 only; a client that offers other
// protocols alone gets none named, and then HTTP/1.1 all the same.
int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outLen, const unsigned char* in,
                 unsigned int inLen, void*) {
  static const unsigned char kHttp11[] = "\x08http/1.1";
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outLen, kHttp11, sizeof kHttp11 - 1, in, inLen) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

// The context the server's options ask for, from the files as they are now;
// null with `failure` filled in.
SslCtxPtr BuildContext(const ContextOptions& options, ContextFailure& failure) {
  const bool web = options.kind == ContextKind::kWeb;
  ERR_clear_error();
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), web ? TLS1_3_VERSION : TLS1_2_VERSION) != 1) {
    return Fail(failure, ServerExit::kSetup, "no TLS context", false);
  }

  // On the chat port a client certificate is asked for and must verify when
  // sent; in a private room one must be sent. A browser asked for one would
  // show its user a choice of certificates, so in an open room the web
  // listener asks for none. In a private room it asks but does not insist:
  // anyone may load the page, and its WebSocket lets in only a member
  // certificate or an enrolled device (server/DeviceAuth.h).
  int verify = web ? SSL_VERIFY_NONE : SSL_VERIFY_PEER;
  if (options.requireClientCert) {
    verify = web ? SSL_VERIFY_PEER : SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  }
  SSL_CTX_set_verify(ctx.get(), verify, nullptr);
  // Without a CA file no client certificate can verify. That shuts a private
  // room for everyone, so there it is a failure.
  if (SSL_CTX_load_verify_locations(ctx.get(), kCaFile, nullptr) != 1 &&
      options.requireClientCert) {
    return Fail(failure, ServerExit::kSetup,
                std::string(kCaFile) +
                    " cannot be used, and with --require-client-cert only clients with a "
                    "certificate from it get in",
                true, true);
  }
  ERR_clear_error();  // keeps a CA failure out of the dumps below
  std::string revocations;
  if (!LoadRevocations(ctx.get(), revocations)) {
    return Fail(failure, ServerExit::kSetup, revocations, false, true);
  }

  // The leaf first, then the intermediates that clients need to reach a root.
  std::string unreadable;
  if (!Readable(kCertFile, options.program, unreadable))
    return Fail(failure, ServerExit::kCert, unreadable, false, true);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), kCertFile) < 1) {
    return Fail(failure, ServerExit::kCert, std::string(kCertFile) + " cannot be used", true);
  }
  if (!Readable(kKeyFile, options.program, unreadable))
    return Fail(failure, ServerExit::kKey, unreadable, false, true);
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), kKeyFile, SSL_FILETYPE_PEM) < 1) {
    return Fail(failure, ServerExit::kKey, std::string(kKeyFile) + " cannot be used", true);
  }
  if (SSL_CTX_check_private_key(ctx.get()) == 0)
    return Fail(failure, ServerExit::kMismatch, kMismatch, false);

  // An OpenSSL built or configured without these suites would fail every
  // handshake of a server that said it works.
  const char* ciphers = web                      ? kWebCiphers
                        : options.forwardSecrecy ? kForwardSecrecyCiphers
                                                 : "AES128-SHA";
  if (SSL_CTX_set_cipher_list(ctx.get(), ciphers) != 1 ||
      (web && SSL_CTX_set_ciphersuites(ctx.get(), kWebSuites13) != 1)) {
    return Fail(failure, ServerExit::kSetup, "none of the cipher suites is available", true, true);
  }
  if (web || options.forwardSecrecy)
    SSL_CTX_set_options(ctx.get(), SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (web) SSL_CTX_set_alpn_select_cb(ctx.get(), SelectHttp11, nullptr);
  // Otherwise the server would say it works and then fail every handshake.
  if (!KeyServesASuite(ctx.get())) {
    return Fail(failure, ServerExit::kKey,
                web || options.forwardSecrecy
                    ? std::string(kKeyFile) + " can serve none of the cipher suites offered: " +
                          "they need an RSA or ECDSA key"
                    : std::string(kKeyFile) + " cannot serve the cipher suite offered: " +
                          "AES128-SHA needs an RSA key (--forward-secrecy serves ECDSA keys too)",
                false, true);
  }
  SetSessionRules(ctx.get());
  ERR_clear_error();
  return ctx;
}

}  // namespace

ContextOptions ContextOptionsFor(const SafeTcpServer& server, const Endpoint& endpoint) {
  ContextOptions options;
  options.kind = endpoint.transport->context;
  options.requireClientCert = server.requireClientCert;
  options.forwardSecrecy = server.forwardSecrecy;
  options.program = server.program;
  return options;
}

SslCtxPtr NewServerContextOrExit(const ContextOptions& options) {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  ContextFailure failure;
  SslCtxPtr ctx = BuildContext(options, failure);
  if (ctx) return ctx;
  if (failure.explain) fprintf(stderr, "%s\n", failure.why.c_str());
  if (failure.status == ServerExit::kMismatch) printf("%s\n", kMismatch);
  if (failure.tlsErrors) ERR_print_errors_fp(stderr);
  exit(failure.status);
}

void ReloadServerContext(SafeTcpServer& server) {
  ContextFailure failure;
  // All or none: every endpoint always serves the same certificate.
  std::vector<SslCtxPtr> made;
  for (const Endpoint& endpoint : server.endpoints) {
    made.push_back(BuildContext(ContextOptionsFor(server, endpoint), failure));
    if (!made.back()) {
      server.room.console.Err("Reload failed, the old certificates stay: " + failure.why + "\n" +
                              (failure.tlsErrors ? TakeTlsErrors() : std::string()));
      ERR_clear_error();
      return;
    }
  }
  // Sessions made from an old context hold a reference to it (SSL_new takes
  // one), so it lives on until the last of them is freed.
  bool devices = false;
  for (size_t i = 0; i < made.size(); ++i) {
    server.endpoints[i].ctx = std::move(made[i]);
    devices = devices || server.endpoints[i].transport->usesDeviceState;
  }
  server.room.console.Out("[+] Certificates reloaded\n");
  // Whoever would no longer get in goes now, not at the next reconnect: a
  // removed member, a revoked certificate, a CA no longer trusted. Every
  // context trusts the same CA: the first's store judges for all.
  CloseNoLongerAdmitted(server.gate, SSL_CTX_get_cert_store(server.endpoints[0].ctx.get()),
                        server.requireClientCert && devices ? &server.state : nullptr,
                        server.room.console);
}

ServedNames CertificateNames(SSL_CTX* ctx) {
  ServedNames served;
  X509* cert = ctx ? SSL_CTX_get0_certificate(ctx) : nullptr;
  if (cert == nullptr) return served;
  auto* names =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
    if (entry->type == GEN_DNS) {
      const ASN1_STRING* dns = entry->d.dNSName;
      std::string name(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                       static_cast<size_t>(ASN1_STRING_length(dns)));
      // A certificate's bytes go to the console and into a URL: letters,
      // digits, dots and hyphens only.
      if (!name.empty() &&
          name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == std::string::npos) {
        served.hosts.push_back(name);
      }
    } else if (entry->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = entry->d.iPAddress;
      const int length = ASN1_STRING_length(ip);
      if (length != 4 && length != 16) continue;
      IpAddress address;
      address.v6 = length == 16;
      std::memcpy(address.bytes, ASN1_STRING_get0_data(ip), static_cast<size_t>(length));
      served.addresses.push_back(address);
    }
  }
  GENERAL_NAMES_free(names);
  return served;
}

void SeedTlsRandom() {
  srand(static_cast<unsigned>(time(nullptr)));
  int seed[kSeedWords];
  for (int& word : seed)
    word = rand();
  RAND_seed(seed, sizeof seed);
}

}  // namespace saferoom
