// The serving routine: TLS set-up, the listeners, the accept loop that gives
// each connection its own ClientSession thread, and the orderly stop.
#include "server/SafeTcpServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "room/SendMsg.h"
#include "server/ExitStatus.h"
#include "server/Listeners.h"
#include "server/TlsContext.h"
#include "server/TlsLink.h"
#include "server/WebLink.h"

namespace {

constexpr int kAcceptPollMs = 1000;
constexpr int kShortageBackoffMs = 100;

// Hands one accepted connection to its own ClientSession thread, with the
// link its listener's kind asks for, or closes it.
void ServeConnection(SafeTcpServer& server, const Listener& listener, UniqueFd fd,
                     const IpAddress& peerIp, const std::string& peer) {
  ConnectionGate& gate = server.gate;
  const uint64_t gateId = AdmitConnection(gate, AddressKey(peerIp), peer);
  if (gateId == 0) return;
  if (!listener.optionsInherited) SetConnectionOptions(fd.Get());
  const bool web = listener.kind == ListenerKind::kWeb;
  TlsConnPtr conn = NewTlsConn((web ? server.webCtx : server.ctx).get(), std::move(fd));
  if (conn) {
    Console& console = server.room.console;
    LinkPtr link;
    if (web) {
      StateDir* devices = server.requireClientCert ? &server.state : nullptr;
      link = std::make_shared<WebLink>(std::move(conn), peer, console, devices, &server.gate);
    } else {
      link = std::make_shared<TlsLink>(std::move(conn), peer, console, &server.gate);
    }
    RegisterLink(gate, gateId, link);
    if (StartClientSession(server, Accepted{std::move(link), gateId})) return;
  }
  // No TLS session, or no thread: the connection went down with it.
  ReleaseConnection(gate, gateId);
  NoteRefusal(gate, Refusal::kNoResources, peer);
}

// Accepts one connection waiting on `listener` and hands it on by the
// listener's kind.
void AcceptOne(SafeTcpServer& server, const Listener& listener) {
  UniqueFd fd;
  IpAddress peerIp;
  int peerPort = 0;
  AcceptResult accepted = AcceptTcp(listener.fd.Get(), fd, peerIp, peerPort);
  if (accepted == AcceptResult::kNothing) return;
  if (accepted == AcceptResult::kFailed) {
    int err = errno;
    NoteRefusal(server.gate, Refusal::kAcceptFailed, strerror(err));
    // Out of descriptors or memory: give closing sessions a moment.
    if (IsResourceShortage(err)) SleepMs(kShortageBackoffMs);
    return;
  }
  const std::string peer = IpAddressText(peerIp) + ", port " + std::to_string(peerPort);
  server.room.console.Out("[*] Connection from " + peer + "\n");
  ServeConnection(server, listener, std::move(fd), peerIp, peer);
}

bool IsLoopback(const IpAddress& ip) {
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return ip.v6 ? std::memcmp(ip.bytes, kLoopback6, sizeof kLoopback6) == 0 : ip.bytes[0] == 127;
}

// Whether the web listener takes connections to `ip`: one of its addresses
// (--web-listen; none: 0.0.0.0) is `ip` or stands for all of its family, or
// it is :: and no IPv4 address is given, so that it takes IPv4 too. Sockets
// from systemd (`passed`) may be on any address.
bool WebListensOn(const SafeTcpServer& server, const IpAddress& ip, bool passed) {
  if (passed) return true;
  std::vector<std::string> addresses = server.webListenAddresses;
  if (addresses.empty()) addresses.push_back("0.0.0.0");
  bool allV6 = false;
  bool someV4 = false;
  for (const std::string& text : addresses) {
    IpAddress listen;
    if (!ParseIpAddress(text, listen)) continue;
    if (listen.v6 == ip.v6 &&
        (IsAnyAddress(listen) || std::memcmp(listen.bytes, ip.bytes, sizeof ip.bytes) == 0)) {
      return true;
    }
    allV6 = allV6 || (listen.v6 && IsAnyAddress(listen));
    someV4 = someV4 || !listen.v6;
  }
  return !ip.v6 && allV6 && !someV4;
}

// The hosts of the web page's URLs, so that a friend finds one to use: the
// certificate's host names, then those of its addresses that the listener
// serves (loopback ones only without localhost, which says the same), in
// the certificate's order; localhost when it names none of these.
std::vector<std::string> WebPageHosts(const SafeTcpServer& server, bool passed) {
  const ServedNames names = CertificateNames(server.webCtx.get());
  std::vector<std::string> hosts;
  auto add = [&hosts](const std::string& host) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
  };
  for (const std::string& host : names.hosts)
    add(host);
  const bool localhost = std::find(hosts.begin(), hosts.end(), "localhost") != hosts.end();
  for (const IpAddress& ip : names.addresses) {
    if ((localhost && IsLoopback(ip)) || !WebListensOn(server, ip, passed)) continue;
    add(ip.v6 ? "[" + IpAddressText(ip) + "]" : IpAddressText(ip));
  }
  if (hosts.empty()) hosts.push_back("localhost");
  return hosts;
}

// One notice for each distinct port that `kind` is served on (port 0 lets
// the system choose; the notice names the one it chose): a single line
// unless systemd passed sockets on several. The web listener's names each
// of the page's addresses (WebPageHosts), the first name first.
void AnnouncePorts(SafeTcpServer& server, const std::vector<Listener>& listeners,
                   ListenerKind kind, int asked, bool passed) {
  std::vector<int> ports;
  std::vector<std::string> hosts;
  if (kind == ListenerKind::kWeb) hosts = WebPageHosts(server, passed);
  for (const Listener& listener : listeners) {
    if (listener.kind != kind) continue;
    int bound = LocalPort(listener.fd.Get());
    if (bound < 0) bound = asked;
    if (std::find(ports.begin(), ports.end(), bound) != ports.end()) continue;
    ports.push_back(bound);
    if (kind == ListenerKind::kChat) {
      server.room.console.Out("[+] Server is working at " + std::to_string(bound) + "\n");
      continue;
    }
    for (const std::string& host : hosts)
      server.room.console.Out("[+] Web page at https://" + host + ":" + std::to_string(bound) + "/\n");
  }
}

// Without it no browser could enrol or prove a device.
void OpenStateOrExit(SafeTcpServer& server) {
  std::string why;
  if (OpenStateDir(server.state, server.room.console, why)) return;
  fprintf(stderr, "--state %s cannot be used: %s\n", server.state.path.c_str(), why.c_str());
  exit(kExitSetup);
}

// Without it every session would end up waiting on a full queue.
void StartSendMsgOrExit(SafeTcpServer& server) {
  if (!StartDetachedThread([&server] {
        SendMsg(server.room);
        server.sendStopped = true;
      })) {
    perror("SendMsg thread");
    exit(kExitSetup);
  }
}

// Without it a member whose socket is full would get nothing more.
void StartBacklogWriterOrExit(Room& room) {
  if (!StartDetachedThread([&room] { room.backlog.Run(); })) {
    perror("send queue thread");
    exit(kExitSetup);
  }
}

// Without it nothing printed from here on would reach the console.
void StartConsoleWriterOrExit(Console& console) {
  if (!StartDetachedThread([&console] { console.RunWriter(); })) {
    perror("console thread");
    exit(kExitSetup);
  }
}

// SendMsg never waits for a connection, so this wait ends within a batch.
void StopSendMsg(SafeTcpServer& server) {
  server.room.queue.Stop();
  while (!server.sendStopped.load())
    SleepMs(10);
}

// Accepts on every listener until `running` is cleared, handing each
// connection on; reloads the certificates on SIGHUP.
void AcceptLoop(SafeTcpServer& server, const std::vector<Listener>& listeners) {
  // The stop and reload signals wake the wait through their descriptors, so
  // no timer needs to look at flags: an idle server does not wake at all.
  // Without them the loop falls back to looking once a second.
  const int stopFd = StopWakeFd();
  const int reloadFd = ReloadWakeFd();
  const bool woken = stopFd >= 0 && reloadFd >= 0;
  std::vector<PollItem> waits(listeners.size() + 2);
  PollItem& stopWait = waits[listeners.size()];
  PollItem& reloadWait = waits[listeners.size() + 1];
  for (size_t i = 0; i < listeners.size(); ++i)
    waits[i].fd = listeners[i].fd.Get();
  stopWait.fd = stopFd;
  reloadWait.fd = reloadFd;
  while (server.running.load() != 0) {
    const Deadline poll = woken ? Deadline::Never() : Deadline::In(kAcceptPollMs);
    PollResult ready = PollFds(waits.data(), waits.size(), poll);
    // The contexts are replaced here, on the accept thread, which is the
    // only one to read them: sessions use their own SSL objects, each of
    // which holds a reference to the context it was made from.
    if ((reloadWait.ready || reloadFd < 0) && TakeReloadRequest()) ReloadServerContext(server);
    if (ready == PollResult::kError) {
      server.room.console.Err(std::string("poll: ") + strerror(errno) + "\n");
      SleepMs(kShortageBackoffMs);
      continue;
    }
    if (ready == PollResult::kTimeout) continue;
    for (size_t i = 0; i < listeners.size(); ++i)
      if (waits[i].ready) AcceptOne(server, listeners[i]);
  }
}

}  // namespace

void ServerThread(SafeTcpServer* server) {
  server->Run();
}

void SafeTcpServer::Run() {
  ctx = NewServerContextOrExit(*this, ContextKind::kChat);
  if (webPort >= 0) webCtx = NewServerContextOrExit(*this, ContextKind::kWeb);
  SeedTlsRandom();

  std::vector<Listener> listeners;
  const bool passed = TakePassedListenersOrExit(listeners, webPort >= 0);
  if (passed) {
    if (!listenAddresses.empty() || !webListenAddresses.empty())
      room.console.Err("--listen is not used: serving on the sockets from systemd\n");
  } else {
    OpenListenersOrExit(ListenerKind::kChat, listenAddresses, static_cast<uint16_t>(port & 0xffff),
                        listeners);
    if (webPort >= 0) {
      OpenListenersOrExit(ListenerKind::kWeb, webListenAddresses, static_cast<uint16_t>(webPort),
                          listeners);
    }
  }

  room.namesFromCertificates = requireClientCert;
  if (requireClientCert && webPort >= 0) OpenStateOrExit(*this);
  StartSendMsgOrExit(*this);
  StartBacklogWriterOrExit(room);
  StartConsoleWriterOrExit(room.console);

  running = 1;
  // Set after `running`, so that a stop request is never overwritten.
  InstallStopHandler(&running);
  InstallReloadHandler();
  AnnouncePorts(*this, listeners, ListenerKind::kChat, port, passed);
  AnnouncePorts(*this, listeners, ListenerKind::kWeb, webPort, passed);

  AcceptLoop(*this, listeners);

  StopSendMsg(*this);
  room.backlog.Stop();
  // Open sessions keep their SSL objects, which hold their own references.
  ctx.reset();
  webCtx.reset();
  listeners.clear();
  // Sessions may outlive the stop by a moment; nothing they print comes
  // after this. The process ends once it is written, or when the wait is up.
  room.console.CloseWith("[-] Server stopped.\n");
  room.console.WaitWritten(Deadline::In(kConsoleStopWaitMs));
}
