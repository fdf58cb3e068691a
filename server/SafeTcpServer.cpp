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

namespace saferoom {

namespace {

constexpr int kAcceptPollMs = 1000;
constexpr int kShortageBackoffMs = 100;

// Hands one accepted connection to its own ClientSession thread, with the
// link its endpoint's transport makes, or closes it.
void ServeConnection(SafeTcpServer& server, const Listener& listener, UniqueFd fd,
                     const IpAddress& peerIp, const std::string& peer) {
  ConnectionGate& gate = server.gate;
  const uint64_t gateId = AdmitConnection(gate, AddressKey(peerIp), peer);
  if (gateId == 0) return;
  if (!listener.optionsInherited) SetConnectionOptions(fd.Get());
  const Endpoint& endpoint = server.endpoints[listener.endpoint];
  TlsConnPtr conn = NewTlsConn(endpoint.ctx.get(), std::move(fd));
  if (conn) {
    LinkPtr link = endpoint.transport->makeLink(server, std::move(conn), peer);
    RegisterLink(gate, gateId, link);
    if (StartClientSession(server, Accepted{std::move(link), gateId})) return;
  }
  // No TLS session, or no thread: the connection went down with it.
  ReleaseConnection(gate, gateId);
  NoteRefusal(gate, Refusal::kNoResources, peer);
}

// Accepts one connection waiting on `listener` and hands it on.
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

// One notice (or a few: the web page's addresses) for each distinct port an
// endpoint is served on (port 0 lets the system choose; the notice names the
// one it chose): one port each unless systemd passed sockets on several.
void AnnouncePorts(SafeTcpServer& server, const std::vector<Listener>& listeners, bool passed) {
  for (size_t e = 0; e < server.endpoints.size(); ++e) {
    const Endpoint& endpoint = server.endpoints[e];
    std::vector<int> ports;
    for (const Listener& listener : listeners) {
      if (listener.endpoint != e) continue;
      int bound = LocalPort(listener.fd.Get());
      if (bound < 0) bound = endpoint.port;
      if (std::find(ports.begin(), ports.end(), bound) != ports.end()) continue;
      ports.push_back(bound);
      endpoint.transport->announce(server, endpoint, bound, passed);
    }
  }
}

bool UsesDeviceState(const SafeTcpServer& server) {
  if (!server.requireClientCert) return false;
  for (const Endpoint& endpoint : server.endpoints) {
    if (endpoint.transport->usesDeviceState) return true;
  }
  return false;
}

// Without it no browser could enrol or prove a device.
void OpenStateOrExit(SafeTcpServer& server) {
  std::string why;
  if (OpenStateDir(server.state, server.room.console, why)) return;
  fprintf(stderr, "--state %s cannot be used: %s\n", server.state.path.c_str(), why.c_str());
  exit(ServerExit::kSetup);
}

// Without it every session would end up waiting on a full queue.
void StartSendMsgOrExit(SafeTcpServer& server) {
  if (!StartDetachedThread([&server] {
        RunSendMsg(server.room);
        server.sendStopped = true;
      })) {
    perror("SendMsg thread");
    exit(ServerExit::kSetup);
  }
}

// Without it a member whose socket is full would get nothing more.
void StartBacklogWriterOrExit(Room& room) {
  if (!StartDetachedThread([&room] { room.backlog.Run(); })) {
    perror("send queue thread");
    exit(ServerExit::kSetup);
  }
}

// Without it nothing printed from here on would reach the console.
void StartConsoleWriterOrExit(Console& console) {
  if (!StartDetachedThread([&console] { console.RunWriter(); })) {
    perror("console thread");
    exit(ServerExit::kSetup);
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
  for (Endpoint& endpoint : endpoints)
    endpoint.ctx = NewServerContextOrExit(ContextOptionsFor(*this, endpoint));
  SeedTlsRandom();

  std::vector<Listener> listeners;
  const bool passed = TakePassedListenersOrExit(*this, listeners);
  bool addressesGiven = false;
  for (size_t e = 0; e < endpoints.size(); ++e) {
    addressesGiven = addressesGiven || !endpoints[e].addresses.empty();
    if (!passed) OpenListenersOrExit(*this, e, listeners);
  }
  if (passed && addressesGiven)
    room.console.Err("--listen is not used: serving on the sockets from systemd\n");

  room.namesFromCertificates = requireClientCert;
  if (UsesDeviceState(*this)) OpenStateOrExit(*this);
  StartSendMsgOrExit(*this);
  StartBacklogWriterOrExit(room);
  StartConsoleWriterOrExit(room.console);

  running = 1;
  // Set after `running`, so that a stop request is never overwritten.
  InstallStopHandler(&running);
  InstallReloadHandler();
  AnnouncePorts(*this, listeners, passed);

  AcceptLoop(*this, listeners);

  StopSendMsg(*this);
  room.backlog.Stop();
  // Open sessions keep their SSL objects, which hold their own references.
  for (Endpoint& endpoint : endpoints)
    endpoint.ctx.reset();
  listeners.clear();
  // Sessions may outlive the stop by a moment; nothing they print comes
  // after this. The process ends once it is written, or when the wait is up.
  room.console.CloseWith("[-] Server stopped.\n");
  room.console.WaitWritten(Deadline::In(kConsoleStopWaitMs));
}

}  // namespace saferoom
