// Opening the listeners for SafeTcpServer::Run.
#include "server/Listeners.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "server/ExitStatus.h"

namespace {

// A peer that vanished without a word (a laptop gone to sleep) is found
// within about 90 s: then its session ends by the usual path.
constexpr int kKeepAliveIdleSec = 60;
constexpr int kKeepAliveIntervalSec = 10;
constexpr int kKeepAliveProbes = 3;
// Bytes a member's socket may hold unsent: each write then waits only for
// the member to read about its own size, whatever the kernel would buffer.
constexpr int kUnsentLimitBytes = 128 * 1024;

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
      exit(kExitSetup);
    }
    // Port 0: the rest share the port the system chose for the first.
    const int bound = LocalPort(fd.Get());
    if (port == 0 && bound > 0) port = static_cast<uint16_t>(bound);
    listeners.push_back(MakeListener(kind, std::move(fd)));
  }
}
