// The server's TLS context, built at start-up from the files in certs/ and
// again on SIGHUP. Called by SafeTcpServer::Run on ServerThread.
#pragma once

#include "tls/TlsConn.h"

struct SafeTcpServer;

// Initialises the TLS library and builds the TLS 1.2 server context from
// certs/ca.crt, certs/server.crt (the leaf, then any intermediates) and
// certs/server.key, with the server's options. Set-up failures end the
// process (server/ExitStatus.h): kExitSetup (no context; with
// --require-client-cert also an unusable CA file), kExitCert, kExitKey (also
// a key none of the offered suites can use), kExitMismatch, each after its
// output.
SslCtxPtr NewServerContextOrExit(const SafeTcpServer& server);

// Builds a new context from the files as they are now and puts it in
// server.ctx for the connections accepted from then on. On failure the old
// context stays and the reason goes to standard error. Only the accept
// thread may call it: it is the one reader of server.ctx.
void ReloadServerContext(SafeTcpServer& server);

// Seeds the TLS library's generator with 100 rand() draws after srand(time).
void SeedTlsRandom();
