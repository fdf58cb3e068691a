// Client TLS contexts and dialling, for every client of the server.
#include "tls/TlsClient.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

namespace {

// The oldest error in the TLS queue as one line; clears the queue.
std::string TlsErrorText(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Loads the client's own certificate and key. False with `error`.
bool UseClientCertificate(SSL_CTX* ctx, const TlsClientConfig& config, std::string& error) {
  const std::string& keyFile = config.keyFile.empty() ? config.certFile : config.keyFile;
  if (SSL_CTX_use_certificate_chain_file(ctx, config.certFile.c_str()) != 1) {
    error = "cannot use certificate " + config.certFile + ": " + TlsErrorText("unreadable");
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "cannot use key " + keyFile + ": " + TlsErrorText("unreadable");
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    error = "key " + keyFile + " does not match certificate " + config.certFile;
    ERR_clear_error();
    return false;
  }
  return true;
}

bool LoadTrust(SSL_CTX* ctx, const TlsClientConfig& config, std::string& error) {
  if (config.caFile.empty()) {
    if (SSL_CTX_set_default_verify_paths(ctx) == 1) return true;
    error = "cannot load the system's trusted CAs: " + TlsErrorText("unreadable");
    return false;
  }
  if (SSL_CTX_load_verify_locations(ctx, config.caFile.c_str(), nullptr) == 1) return true;
  error = "cannot load CA file " + config.caFile + ": " + TlsErrorText("unreadable");
  return false;
}

// The server's certificate must name `host`: an address is checked against
// its IP entries, anything else as a host name (and sent as SNI).
bool ExpectHost(SSL* ssl, const std::string& host) {
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1) return true;
  ERR_clear_error();
  return SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

DialResult Failed(DialError error, std::string message) {
  DialResult result;
  result.error = error;
  result.message = std::move(message);
  return result;
}

}  // namespace

SslCtxPtr NewClientContext(const TlsClientConfig& config, std::string& error) {
  ERR_clear_error();
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), config.minVersion) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), config.maxVersion) != 1 ||
      (!config.ciphers.empty() &&
       SSL_CTX_set_cipher_list(ctx.get(), config.ciphers.c_str()) != 1)) {
    error = "cannot make a TLS context: " + TlsErrorText("unknown error");
    return nullptr;
  }
  if (!config.resume) {
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
  }
  if (config.verify) {
    if (!LoadTrust(ctx.get(), config, error)) return nullptr;
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  }
  bool wantsCertificate = !config.certFile.empty() || !config.keyFile.empty();
  if (wantsCertificate && !UseClientCertificate(ctx.get(), config, error)) return nullptr;
  return ctx;
}

DialResult DialTls(SSL_CTX* ctx, const DialTarget& target) {
  const std::string& host = target.host;
  const uint16_t port = target.port;
  int resolveError = 0;
  UniqueFd fd = ConnectTcp(host, port, target.connectTimeoutMs, &resolveError, target.sourceIp);
  if (!fd.Valid()) {
    const std::string where = host + " port " + std::to_string(port);
    if (resolveError != 0) {
      return Failed(DialError::kResolve,
                    "cannot find " + host + ": " + ResolveErrorText(resolveError));
    }
    return Failed(DialError::kConnect, "cannot connect to " + where + ": " + std::strerror(errno));
  }
  TlsConnPtr conn = NewTlsConn(ctx, std::move(fd));
  if (!conn) return Failed(DialError::kSetup, "cannot make a TLS session: " + TlsErrorText("?"));
  SSL* ssl = conn->ssl.get();
  const bool verify = (SSL_CTX_get_verify_mode(ctx) & SSL_VERIFY_PEER) != 0;
  if (verify && !ExpectHost(ssl, host)) {
    ERR_clear_error();
    return Failed(DialError::kSetup, "cannot check host name " + host);
  }
  if (!TlsConnect(*conn, target.handshakeTimeoutMs, false)) {
    long verifyResult = SSL_get_verify_result(ssl);
    if (verify && verifyResult != X509_V_OK) {
      ERR_clear_error();
      return Failed(DialError::kVerify, std::string("certificate verification failed: ") +
                                            X509_verify_cert_error_string(verifyResult));
    }
    return Failed(DialError::kHandshake,
                  "TLS handshake failed: " + TlsErrorText("timed out or closed by the server"));
  }
  DialResult result;
  result.conn = std::move(conn);
  return result;
}
