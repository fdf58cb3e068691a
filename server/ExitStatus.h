// The server's exit statuses, for the process entry and start-up. Only
// server/ ends the process; functions that may do so say it in their names
// or their declarations.
#pragma once

constexpr int kExitStopped = 0;    // SIGINT or SIGTERM: the orderly stop
constexpr int kExitSetup = 1;      // no TLS context, socket, bind, listen or thread
constexpr int kExitCert = 3;       // certs/server.crt cannot be used
constexpr int kExitKey = 4;        // certs/server.key cannot be used, or serves no suite offered
constexpr int kExitMismatch = 5;   // key and certificate do not match
constexpr int kExitUsage = -2;     // not one port after the options (254 to a shell)
constexpr int kExitBadPort = -3;   // port above 65535 or negative (253 to a shell)
