// The server's TLS context, built at start-up from the files in certs/ and
// again on SIGHUP. Called by SafeTcpServer::Run on ServerThread.
#pragma once

#include <string>
#include <vector>

#include "platform/Net.h"
#include "tls/TlsConn.h"

namespace saferoom {

struct SafeTcpServer;
struct Endpoint;

// The chat port's context (TLS 1.2, AES128-SHA unless --forward-secrecy) or
// the web listener's (TLS 1.2 and 1.3, ECDHE with AES-GCM or ChaCha20, ALPN
// http/1.1); both from the same files.
enum class ContextKind { kChat, kWeb };

// What a context is built from, besides the files.
struct ContextOptions {
  ContextKind kind = ContextKind::kChat;
  bool requireClientCert = false;
  bool forwardSecrecy = false;
  std::string program = "server";  // for the hints of its messages
};
ContextOptions ContextOptionsFor(const SafeTcpServer& server, const Endpoint& endpoint);

// Initialises the TLS library and builds the TLS 1.2 server context from
// certs/ca.crt, certs/server.crt (the leaf, then any intermediates) and
// certs/server.key, with the server's options. Set-up failures end the
// process (server/ExitStatus.h): ServerExit::kSetup (no context; with
// --require-client-cert also an unusable CA file), ServerExit::kCert, ServerExit::kKey (also
// a key none of the offered suites can use), ServerExit::kMismatch, each after its
// output.
SslCtxPtr NewServerContextOrExit(const ContextOptions& options);

// Builds new contexts from the files as they are now and puts them in
// server.endpoints for the connections accepted from then on, all or none.
// On failure the old ones stay and the reason goes to standard error. Only
// the accept thread may call it: it is the one reader of both.
void ReloadServerContext(SafeTcpServer& server);

// What the context's certificate is for, in its order, for the web page's
// addresses on the console: its DNS names that are plain host names (no
// wildcards, nothing that could not stand in a URL) and its IP addresses.
struct ServedNames {
  std::vector<std::string> hosts;
  std::vector<IpAddress> addresses;
};
ServedNames CertificateNames(SSL_CTX* ctx);

// Seeds the TLS library's generator with 100 rand() draws after srand(time).
void SeedTlsRandom();

}  // namespace saferoom
