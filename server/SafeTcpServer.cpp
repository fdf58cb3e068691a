// The serving routine: TLS set-up, the listener, the accept loop that gives
// each connection its own ClientSession thread, and the orderly stop.
#include "server/SafeTcpServer.h"

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
#include "server/TlsContext.h"
#include "server/TlsLink.h"
#include "server/WebLink.h"

namespace {

// Room for a burst of connection attempts: with a handful, one host's burst
// has the kernel drop everyone's attempts, which retry only after a second.
constexpr int kListenBacklog = 128;
constexpr int kAcceptPollMs = 1000;
constexpr int kShortageBackoffMs = 100;
// A peer that vanished without a word (a laptop gone to sleep) is found
// within about 90 s: then its session ends by the usual path.
constexpr int kKeepAliveIdleSec = 60;
constexpr int kKeepAliveIntervalSec = 10;
constexpr int kKeepAliveProbes = 3;
// Bytes a member's socket may hold unsent: each write then waits only for
// the member to read about its own size, whatever the kernel would buffer.
constexpr int kUnsentLimitBytes = 128 * 1024;

// Every connection's socket options. Set on the listener, they are inherited
// by each accepted socket, which then needs no system call of its own.
bool SetConnectionOptions(int fd) {
  return SetNoDelay(fd) &&
         SetKeepAlive(fd, kKeepAliveIdleSec, kKeepAliveIntervalSec, kKeepAliveProbes) &&
         SetUnsentLimit(fd, kUnsentLimitBytes);
}

// One listening socket and what it serves.
struct Listener {
  UniqueFd fd;
  ContextKind kind = ContextKind::kChat;
  bool optionsInherited = false;  // its accepted sockets have the connection options
};

// Hands one accepted socket to its own ClientSession thread, or closes it.
void ServeConnection(SafeTcpServer& server, const Listener& listener, UniqueFd fd,
                     const std::string& peerIp, int peerPort) {
  const std::string peer = peerIp + ", port " + std::to_string(peerPort);
  ConnectionGate& gate = server.gate;
  if (!AdmitConnection(gate, peerIp, peer)) return;
  if (!listener.optionsInherited) SetConnectionOptions(fd.Get());
  const bool web = listener.kind == ContextKind::kWeb;
  TlsConnPtr conn = NewTlsConn((web ? server.webCtx : server.ctx).get(), std::move(fd));
  if (conn) {
    Console& console = server.room.console;
    LinkPtr link;
    if (web) {
      link = std::make_unique<WebLink>(std::move(conn), peer, console);
    } else {
      link = std::make_unique<TlsLink>(std::move(conn), peer, console);
    }
    if (StartClientSession(server, Accepted{std::move(link), peerIp})) return;
  }
  // No TLS session, or no thread: the connection went down with it.
  ReleaseConnection(gate, peerIp);
  NoteRefusal(gate, Refusal::kNoResources, peer);
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

// SendMsg gives up its batch at the next write once the queue is stopped,
// and every write ends within the send timeout, so this wait ends too.
void StopSendMsg(SafeTcpServer& server) {
  server.room.queue.Stop();
  while (!server.sendStopped.load())
    SleepMs(10);
}

// Accepts one connection on `listener`, if one is waiting.
void AcceptOne(SafeTcpServer& server, const Listener& listener) {
  UniqueFd fd;
  std::string peerIp;
  int peerPort = 0;
  AcceptResult accepted = AcceptTcp4(listener.fd.Get(), fd, peerIp, peerPort);
  if (accepted == AcceptResult::kNothing) return;
  if (accepted == AcceptResult::kFailed) {
    int err = errno;
    NoteRefusal(server.gate, Refusal::kAcceptFailed, strerror(err));
    // Out of descriptors or memory: give closing sessions a moment.
    if (IsResourceShortage(err)) SleepMs(kShortageBackoffMs);
    return;
  }
  server.room.console.Out("[*] Connection from " + peerIp + ", port " + std::to_string(peerPort) +
                          "\n");
  ServeConnection(server, listener, std::move(fd), peerIp, peerPort);
}

// Accepts until `running` is cleared, handing each connection to its own
// session; reloads the certificates on SIGHUP.
void AcceptLoop(SafeTcpServer& server, const std::vector<Listener>& listeners) {
  // The stop and reload signals wake the wait through their descriptors, so
  // no timer needs to look at flags: an idle server does not wake at all.
  // Without them the loop falls back to looking once a second.
  const int stopFd = StopWakeFd();
  const int reloadFd = ReloadWakeFd();
  const bool woken = stopFd >= 0 && reloadFd >= 0;
  std::vector<PollItem> waits(listeners.size() + 2);
  for (size_t i = 0; i < listeners.size(); ++i)
    waits[i].fd = listeners[i].fd.Get();
  PollItem& stopWait = waits[listeners.size()];
  PollItem& reloadWait = waits[listeners.size() + 1];
  stopWait.fd = stopFd;
  reloadWait.fd = reloadFd;
  while (server.running.load() != 0) {
    const Deadline poll = woken ? Deadline::Never() : Deadline::In(kAcceptPollMs);
    PollResult ready = PollFds(waits.data(), waits.size(),
                               poll.Sooner(PrintDueRefusals(server.gate, server.room.console)));
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

// Opens a listener on `port` for `kind`, or ends the process as bind does.
Listener ListenOrExit(uint16_t port, ContextKind kind) {
  const char* failedCall = nullptr;
  Listener listener;
  listener.kind = kind;
  listener.fd = ListenTcp4(port, kListenBacklog, failedCall);
  if (!listener.fd.Valid()) {
    const int err = errno;
    perror(failedCall);
    // perror names the call; the operator also needs to know which port.
    fprintf(stderr, "Cannot listen on port %u%s%s\n", port,
            kind == ContextKind::kWeb ? " (--web)" : "",
            err == EADDRINUSE ? ": another program, or another server, holds it" : "");
    exit(kExitSetup);
  }
  listener.optionsInherited = SetConnectionOptions(listener.fd.Get());
  return listener;
}

// The port a listener has (port 0 lets the system choose), or `asked`.
int BoundPort(const Listener& listener, int asked) {
  int bound = LocalPort(listener.fd.Get());
  return bound < 0 ? asked : bound;
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
  listeners.push_back(ListenOrExit(static_cast<uint16_t>(port & 0xffff), ContextKind::kChat));
  if (webPort >= 0) {
    listeners.push_back(ListenOrExit(static_cast<uint16_t>(webPort), ContextKind::kWeb));
  }

  room.namesFromCertificates = requireClientCert;
  StartSendMsgOrExit(*this);

  running = 1;
  // Set after `running`, so that a stop request is never overwritten.
  InstallStopHandler(&running);
  InstallReloadHandler();
  // The notices name the ports actually bound.
  room.console.Out("[+] Server is working at " + std::to_string(BoundPort(listeners[0], port)) +
                   "\n");
  if (webPort >= 0) {
    room.console.Out("[+] Web page at https://" + ServedHostName(webCtx.get()) + ":" +
                     std::to_string(BoundPort(listeners[1], webPort)) + "/\n");
  }

  AcceptLoop(*this, listeners);

  PrintDueRefusals(gate, room.console, true);
  StopSendMsg(*this);
  // Open sessions keep their SSL objects, which hold their own references.
  ctx.reset();
  webCtx.reset();
  listeners.clear();
  // Sessions may outlive the stop by a moment; nothing they print comes
  // after this.
  room.console.CloseWith("[-] Server stopped.\n");
}
