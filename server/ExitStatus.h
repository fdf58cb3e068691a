// The server's exit statuses, for the process entry and start-up. Only
// server/ ends the process; functions that may do so say it in their names
// or their declarations.
#pragma once

namespace saferoom {

namespace ServerExit {
constexpr int kStopped = 0;   // SIGINT or SIGTERM: the orderly stop
constexpr int kSetup = 1;     // no TLS context, socket, bind, listen or thread
constexpr int kCert = 3;      // certs/server.crt cannot be used
constexpr int kKey = 4;       // certs/server.key cannot be used, or serves no suite offered
constexpr int kMismatch = 5;  // key and certificate do not match
constexpr int kUsage = -2;    // not one port after the options (254 to a shell)
constexpr int kBadPort = -3;  // port above 65535 or negative (253 to a shell)
}  // namespace ServerExit

}  // namespace saferoom
