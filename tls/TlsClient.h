// The client end of a TLS 1.2 connection: context set-up, then connect and
// handshake with the server verified. Written once for the chat client, the
// benchmark and the tests.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "tls/TlsConn.h"

namespace saferoom {

// How long a client waits for the TCP connection, then for the handshake.
constexpr int kConnectTimeoutMs = 10000;
constexpr int kDialHandshakeTimeoutMs = 10000;

struct TlsClientConfig {
  // Verify the server (host name or IP address included) against caFile, or
  // against the system's trusted CAs when caFile is empty.
  bool verify = true;
  std::string caFile;
  std::string certFile;  // optional client certificate, or a chain (leaf first)
  std::string keyFile;   // its private key; empty: in certFile
  int minVersion = TLS1_2_VERSION;
  int maxVersion = TLS1_2_VERSION;
  std::string ciphers;  // empty: OpenSSL's default list
  bool resume = true;   // false: no session cache or tickets, every handshake is full
};

// Why a dial failed.
enum class DialError { kNone, kSetup, kResolve, kConnect, kHandshake, kVerify };

// How a dial (or a connect of the client library) went.
struct DialResult {
  DialError error = DialError::kNone;
  std::string message;  // on failure: one line for people
  // For a certificate failure that waiting will not mend (ours revoked or
  // from a CA the server does not trust, the server's from a CA we do not
  // trust or for another name): what to ask the room's operator for. Empty
  // when trying again later may work.
  std::string advice;

  bool Ok() const { return error == DialError::kNone; }
};

// A client context for `config`; null with `error` (one line) when a file
// cannot be used or OpenSSL fails.
SslCtxPtr NewClientContext(const TlsClientConfig& config, std::string& error);

// Where and how long to dial.
struct DialTarget {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  std::string sourceIp;  // empty: the system picks (see ConnectTcp)
  int connectTimeoutMs = kConnectTimeoutMs;
  int handshakeTimeoutMs = kDialHandshakeTimeoutMs;
};

// The subject CN (UTF-8) of the certificate that `ctx` presents, the name a
// private room gives us; empty when there is none.
std::string OwnCommonName(SSL_CTX* ctx);

// Connects to the target and completes the handshake into `conn` (null on
// failure). When `ctx` verifies, the host must match the server's
// certificate: an address its IP entries, anything else its names (and it is
// sent as SNI).
DialResult DialTls(SSL_CTX* ctx, const DialTarget& target, TlsConnPtr& conn);

}  // namespace saferoom
