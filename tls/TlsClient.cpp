// Client TLS contexts and dialling, for every client of the server.
#include "tls/TlsClient.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

namespace saferoom {

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
    if (config.keyFile.empty()) {
      ERR_clear_error();
      error = "the key is not in the certificate file " + config.certFile +
              "; --key FILE names the file that holds it";
      return false;
    }
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

// What the peer sent during the handshake, for saying why it failed.
struct HandshakeTrace {
  bool sawRecord = false;  // a record header came in
  bool notTls = false;     // the first bytes in were no TLS record
  bool certAsked = false;  // the server asked for our certificate
  int alert = -1;          // the alert it sent, or -1
};

void TraceMessage(int writeP, int, int contentType, const void* buf, size_t len, SSL*, void* arg) {
  auto* trace = static_cast<HandshakeTrace*>(arg);
  const auto* bytes = static_cast<const uint8_t*>(buf);
  if (writeP != 0 || len < 2) return;
  if (contentType == SSL3_RT_HEADER && !trace->sawRecord) {
    trace->sawRecord = true;
    // Handshake records come as content types 20..24 with version major 3.
    trace->notTls = bytes[0] < 20 || bytes[0] > 24 || bytes[1] != 3;
  } else if (contentType == SSL3_RT_HANDSHAKE && bytes[0] == SSL3_MT_CERTIFICATE_REQUEST) {
    trace->certAsked = true;
  } else if (contentType == SSL3_RT_ALERT) {
    trace->alert = bytes[1];
  }
}

bool IsCertificateAlert(int alert) {
  switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_CERTIFICATE_REQUIRED:
      return true;
    default:
      return false;
  }
}

// One line on a failed handshake, from what the peer did.
std::string HandshakeFailure(const HandshakeTrace& trace, const std::string& where, int timeoutMs,
                             bool timedOut, bool sentCertificate) {
  if (trace.notTls) return where + " does not speak TLS; is it the chat server?";
  if (trace.alert >= 0) {
    const std::string alert = SSL_alert_desc_string_long(trace.alert);
    const bool certAlert = IsCertificateAlert(trace.alert);
    if (trace.certAsked && !sentCertificate &&
        (certAlert || trace.alert == SSL_AD_HANDSHAKE_FAILURE)) {
      return "the server wants a client certificate (--cert FILE): " + alert;
    }
    if (certAlert) return "the server refused our certificate: " + alert;
    return "TLS handshake failed: the server sent the alert \"" + alert + "\"";
  }
  if (timedOut) {
    return "no TLS answer from " + where + " within " + std::to_string(timeoutMs / 1000) + " s";
  }
  return where + " closed the connection during the TLS handshake";
}

DialResult Failed(DialError error, std::string message, std::string advice = "") {
  DialResult result;
  result.error = error;
  result.message = std::move(message);
  result.advice = std::move(advice);
  return result;
}

// What to ask the operator for when the server refused our certificate with
// `alert` for good; empty for other alerts.
std::string AdviceForAlert(int alert) {
  switch (alert) {
    case SSL_AD_CERTIFICATE_REVOKED:
      return "the room's operator removed it: ask them for a new certificate, or for an "
             "invitation link";
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_BAD_CERTIFICATE:
      return "the room no longer trusts this certificate: ask the room's operator for a new one";
    case SSL_AD_CERTIFICATE_EXPIRED:
      return "this certificate has expired: ask the room's operator for a new one";
    default:
      return "";
  }
}

// The same when we could not verify the server, by the verify result.
std::string AdviceForVerify(long result) {
  switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_CERT_REVOKED:
      return "ask the room's operator for the room's current CA file (--ca FILE)";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "check the host name, or ask the room's operator which name its certificate is for";
    default:
      return "";
  }
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

DialResult DialTls(SSL_CTX* ctx, const DialTarget& target, TlsConnPtr& conn) {
  conn.reset();
  const std::string& host = target.host;
  const std::string where = host + " port " + std::to_string(target.port);
  int resolveError = 0;
  UniqueFd fd = ConnectTcp(host, target.port, Deadline::In(target.connectTimeoutMs), &resolveError,
                           target.sourceIp);
  if (!fd.Valid()) {
    if (resolveError != 0) {
      return Failed(DialError::kResolve, "the host name " + host + " does not resolve: " +
                                             ResolveErrorText(resolveError));
    }
    if (errno == ETIMEDOUT) {
      return Failed(DialError::kConnect, "cannot connect to " + where + ": no answer within " +
                                             std::to_string(target.connectTimeoutMs / 1000) + " s");
    }
    return Failed(DialError::kConnect, "cannot connect to " + where + ": " + std::strerror(errno));
  }
  TlsConnPtr dialed = NewTlsConn(ctx, std::move(fd));
  if (!dialed) return Failed(DialError::kSetup, "cannot make a TLS session: " + TlsErrorText("?"));
  SSL* ssl = dialed->ssl.get();
  const bool verify = (SSL_CTX_get_verify_mode(ctx) & SSL_VERIFY_PEER) != 0;
  if (verify && !ExpectHost(ssl, host)) {
    ERR_clear_error();
    return Failed(DialError::kSetup, "cannot check host name " + host);
  }
  HandshakeTrace trace;
  SSL_set_msg_callback(ssl, TraceMessage);
  SSL_set_msg_callback_arg(ssl, &trace);
  const Deadline handshakeEnd = Deadline::In(target.handshakeTimeoutMs);
  const bool connected = TlsConnect(*dialed, handshakeEnd);
  SSL_set_msg_callback(ssl, nullptr);  // `trace` goes out of scope
  if (!connected) {
    ERR_clear_error();  // the trace and the verify result say what failed
    long verifyResult = SSL_get_verify_result(ssl);
    if (verify && (verifyResult == X509_V_ERR_HOSTNAME_MISMATCH ||
                   verifyResult == X509_V_ERR_IP_ADDRESS_MISMATCH)) {
      return Failed(DialError::kVerify,
                    "certificate verification failed: the server's "
                    "certificate does not name " +
                        host,
                    AdviceForVerify(verifyResult));
    }
    if (verify && verifyResult != X509_V_OK) {
      return Failed(DialError::kVerify,
                    std::string("certificate verification failed: ") +
                        X509_verify_cert_error_string(verifyResult),
                    AdviceForVerify(verifyResult));
    }
    const bool timedOut = handshakeEnd.Passed();
    const bool sentCertificate = SSL_get_certificate(ssl) != nullptr;
    return Failed(
        DialError::kHandshake,
        HandshakeFailure(trace, where, target.handshakeTimeoutMs, timedOut, sentCertificate),
        sentCertificate ? AdviceForAlert(trace.alert) : "");
  }
  conn = std::move(dialed);
  return DialResult();
}

std::string OwnCommonName(SSL_CTX* ctx) {
  X509* cert = SSL_CTX_get0_certificate(ctx);  // owned by ctx
  X509_NAME* subject = cert != nullptr ? X509_get_subject_name(cert) : nullptr;
  int at = subject != nullptr ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
  if (at < 0) return "";
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (len < 0) {
    ERR_clear_error();
    return "";
  }
  std::string name(reinterpret_cast<char*>(utf8), static_cast<size_t>(len));
  OPENSSL_free(utf8);
  return name;
}

}  // namespace saferoom
