// The server's TLS context, built once at start-up from the files in certs/.
// Called by SafeTcpServer::Run before it listens.
#pragma once

#include "tls/TlsConn.h"

// Initialises the TLS library and builds the TLS 1.2 server context from
// certs/ca.crt, certs/server.crt and certs/server.key. Set-up failures end the
// process: 1 (no context), 3 (certificate), 4 (key), 5 (key and certificate
// differ), each after its output.
SslCtxPtr NewServerContext();

// Seeds the TLS library's generator with 100 rand() draws after srand(time).
void SeedTlsRandom();
