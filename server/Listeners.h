// The sockets the accept loop waits on, each tagged with what it serves:
// opened on the listen addresses, or passed in by systemd. Made by
// SafeTcpServer::Run before it accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Net.h"

namespace saferoom {

struct SafeTcpServer;

struct Listener {
  size_t endpoint = 0;  // what it serves: server.endpoints[endpoint]
  UniqueFd fd;
  // The connection options are set on the listener, so accepted sockets
  // inherit them; otherwise each accepted socket gets them itself.
  bool optionsInherited = false;
};

// Room for a burst of connection attempts: with a handful, one host's burst
// has the kernel drop everyone's attempts, which retry only after a second.
constexpr int kListenBacklog = 128;

// A peer that vanished without a word (a laptop gone to sleep) is found
// within about 90 s: then its session ends by the usual path.
constexpr int kKeepAliveIdleSec = 60;
constexpr int kKeepAliveIntervalSec = 10;
constexpr int kKeepAliveProbes = 3;
// Bytes a member's socket may hold unsent: each write then waits only for
// the member to read about its own size, whatever the kernel would buffer.
constexpr int kUnsentLimitBytes = 128 * 1024;

// The socket options of every connection; false when one did not take.
bool SetConnectionOptions(int fd);

// Takes the sockets systemd passed (socket activation) into `listeners`;
// true when there were any. Each serves the endpoint its name
// (FileDescriptorName=) names, the chat port unless it is another
// transport's (EndpointForSocketName). Ends the process with ServerExit::kSetup
// after one line when the sockets cannot be read, one is not a listening
// TCP socket, or its name asks for what the server lacks.
bool TakePassedListenersOrExit(const SafeTcpServer& server, std::vector<Listener>& listeners);

// Opens a listener for server.endpoints[endpoint] on each of its addresses
// (IPv4 or IPv6 literals, [::] and :: too; none: 0.0.0.0) at its port into
// `listeners`. Port 0 lets the system choose one, which all of them then
// share. :: takes IPv4 clients too unless an IPv4 address is also among
// them. Ends the process with ServerExit::kSetup after a line naming an address that
// is none, or the perror line of the call that failed and one naming the
// port.
void OpenListenersOrExit(const SafeTcpServer& server, size_t endpoint,
                         std::vector<Listener>& listeners);

}  // namespace saferoom
