// Listening sockets handed over by the service manager (systemd's socket
// activation: LISTEN_FDS). Called by the server's start-up; only this file
// includes sd-daemon.h.
#pragma once

#include <string>
#include <vector>

#include "platform/Net.h"

namespace saferoom {

struct PassedSocket {
  UniqueFd fd;
  // FileDescriptorName= of the socket unit; systemd's default is the unit's
  // name ("saferoom.socket").
  std::string name;
};

// Takes the sockets passed to this process, once: the variables go from the
// environment, so that nothing started later takes them too. None (true,
// `sockets` empty) when the variables are absent or meant for another
// process (LISTEN_PID). False with errno set when they cannot be read.
bool TakePassedSockets(std::vector<PassedSocket>& sockets);

// True when `fd` is a listening TCP socket, IPv4 or IPv6.
bool IsListeningTcpSocket(int fd);

}  // namespace saferoom
