// Opening the listeners, or taking them from systemd, for SafeTcpServer::Run.
#include "server/Listeners.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/SocketActivation.h"
#include "server/ExitStatus.h"

namespace {

// The kind a passed socket's name asks for; false for a kind this server
// does not have.
bool KindOfName(const std::string& name, bool haveWeb, ListenerKind& kind) {
  if (name == "web" && !haveWeb) return false;
  kind = name == "web" ? ListenerKind::kWeb : ListenerKind::kChat;
  return true;
}

Listener MakeListener(ListenerKind kind, UniqueFd fd) {
  Listener listener;
  listener.kind = kind;
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

bool TakePassedListenersOrExit(std::vector<Listener>& listeners, bool haveWeb) {
  std::vector<PassedSocket> passed;
  if (!TakePassedSockets(passed)) {
    perror("LISTEN_FDS");
    exit(kExitSetup);
  }
  for (PassedSocket& socket : passed) {
    const std::string which =
        "socket " + std::to_string(socket.fd.Get()) + " (" + socket.name + ") from systemd";
    ListenerKind kind;
    if (!KindOfName(socket.name, haveWeb, kind)) {
      fprintf(stderr, "%s: the name %s is the web listener's, and the server has none (--web)\n",
              which.c_str(), socket.name.c_str());
      exit(kExitSetup);
    }
    if (!IsListeningTcpSocket(socket.fd.Get())) {
      fprintf(stderr, "%s: not a listening TCP socket (ListenStream= with Accept=no)\n",
              which.c_str());
      exit(kExitSetup);
    }
    // The accept loop must not block on a peer that left between poll and
    // accept.
    if (!SetNonBlocking(socket.fd.Get())) {
      perror("fcntl");
      exit(kExitSetup);
    }
    listeners.push_back(MakeListener(kind, std::move(socket.fd)));
  }
  return !passed.empty();
}

void OpenListenersOrExit(ListenerKind kind, const std::vector<std::string>& addresses,
                         uint16_t port, std::vector<Listener>& listeners) {
  std::vector<IpAddress> ips;
  bool anyIpv4 = false;
  for (const std::string& text : addresses) {
    IpAddress ip;
    if (!ParseIpAddress(text, ip)) {
      fprintf(stderr, "--listen %s: not an IPv4 or IPv6 address\n", text.c_str());
      exit(kExitSetup);
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
      const std::string what =
          named ? std::string(failedCall) + " " + IpAddressText(ip) + " port " + std::to_string(port)
                : failedCall;
      errno = err;
      perror(what.c_str());
      // perror names the call; the operator also needs to know which port.
      fprintf(stderr, "Cannot listen on port %u%s%s\n", port,
              kind == ListenerKind::kWeb ? " (--web)" : "",
              err == EADDRINUSE ? ": another program, or another server, holds it" : "");
      exit(kExitSetup);
    }
    // Port 0: the rest share the port the system chose for the first.
    const int bound = LocalPort(fd.Get());
    if (port == 0 && bound > 0) port = static_cast<uint16_t>(bound);
    listeners.push_back(MakeListener(kind, std::move(fd)));
  }
}
