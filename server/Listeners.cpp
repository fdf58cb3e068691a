// Opening the listeners, or taking them from systemd, for SafeTcpServer::Run.
#include "server/Listeners.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/SocketActivation.h"
#include "server/Endpoints.h"
#include "server/ExitStatus.h"
#include "server/SafeTcpServer.h"

namespace saferoom {

namespace {

Listener MakeListener(size_t endpoint, UniqueFd fd) {
  Listener listener;
  listener.endpoint = endpoint;
  listener.optionsInherited = SetConnectionOptions(fd.Get());
  listener.fd = std::move(fd);
  return listener;
}

}  // namespace

bool SetConnectionOptions(int fd) {
  return SetNoDelay(fd) &&
         SetKeepAlive(fd, kKeepAliveIdleSec, kKeepAliveIntervalSec, kKeepAliveProbes) &&
         SetUnsentLimit(fd, kUnsentLimitBytes);
}

bool TakePassedListenersOrExit(const SafeTcpServer& server, std::vector<Listener>& listeners) {
  std::vector<PassedSocket> passed;
  if (!TakePassedSockets(passed)) {
    perror("LISTEN_FDS");
    exit(ServerExit::kSetup);
  }
  for (PassedSocket& socket : passed) {
    const std::string which =
        "socket " + std::to_string(socket.fd.Get()) + " (" + socket.name + ") from systemd";
    const int endpoint = EndpointForSocketName(server, socket.name);
    if (endpoint < 0) {
      fprintf(stderr, "%s: the name %s is the web listener's, and the server has none (--web)\n",
              which.c_str(), socket.name.c_str());
      exit(ServerExit::kSetup);
    }
    if (!IsListeningTcpSocket(socket.fd.Get())) {
      fprintf(stderr, "%s: not a listening TCP socket (ListenStream= with Accept=no)\n",
              which.c_str());
      exit(ServerExit::kSetup);
    }
    // The accept loop must not block on a peer that left between poll and
    // accept.
    if (!SetNonBlocking(socket.fd.Get())) {
      perror("fcntl");
      exit(ServerExit::kSetup);
    }
    listeners.push_back(MakeListener(static_cast<size_t>(endpoint), std::move(socket.fd)));
  }
  return !passed.empty();
}

void OpenListenersOrExit(const SafeTcpServer& server, size_t endpoint,
                         std::vector<Listener>& listeners) {
  const Endpoint& served = server.endpoints[endpoint];
  const Transport& transport = *served.transport;
  uint16_t port = static_cast<uint16_t>(served.port & 0xffff);
  std::vector<IpAddress> ips;
  bool anyIpv4 = false;
  for (const std::string& text : served.addresses) {
    IpAddress ip;
    if (!ParseIpAddress(text, ip)) {
      fprintf(stderr, "%s %s: not an IPv4 or IPv6 address\n", transport.listenOption, text.c_str());
      exit(ServerExit::kSetup);
    }
    anyIpv4 = anyIpv4 || !ip.v6;
    ips.push_back(ip);
  }
  const bool named = !ips.empty();
  if (!named) ips.push_back(IpAddress());  // 0.0.0.0
  for (const IpAddress& ip : ips) {
    const char* failedCall = nullptr;
    // With an IPv4 listener of its own beside it, :: must leave IPv4 to it.
    UniqueFd fd = ListenTcp(ip, port, kListenBacklog, anyIpv4, failedCall);
    if (!fd.Valid()) {
      const int err = errno;
      // Which of several addresses failed matters; the lone default keeps
      // its plain "bind: ..." line.
      const std::string what = named ? std::string(failedCall) + " " + IpAddressText(ip) +
                                           " port " + std::to_string(port)
                                     : failedCall;
      errno = err;
      perror(what.c_str());
      // perror names the call; the operator also needs to know which port.
      const std::string option =
          *transport.portOption ? std::string(" (") + transport.portOption + ")" : "";
      fprintf(stderr, "Cannot listen on port %u%s%s\n", port, option.c_str(),
              err == EADDRINUSE ? ": another program, or another server, holds it" : "");
      exit(ServerExit::kSetup);
    }
    // Port 0: the rest share the port the system chose for the first.
    const int bound = LocalPort(fd.Get());
    if (port == 0 && bound > 0) port = static_cast<uint16_t>(bound);
    listeners.push_back(MakeListener(endpoint, std::move(fd)));
  }
}

}  // namespace saferoom
