// The serving routine: TLS set-up, the listener, the accept loop that gives
// each connection its own ClientSession thread, and the orderly stop.
#include "server/SafeTcpServer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Net.h"
#include "platform/Os.h"
#include "room/SendMsg.h"
#include "server/ExitStatus.h"
#include "server/TlsContext.h"
#include "server/TlsLink.h"

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
// At the stop, how long the last console lines may wait for a reader: a log
// pipe that is merely slow gets them, a console nobody reads cannot keep
// the process from ending.
constexpr int kConsoleStopWaitMs = 5000;

// Every connection's socket options. Set on the listener, they are inherited
// by each accepted socket, which then needs no system call of its own.
bool SetConnectionOptions(int fd) {
  return SetNoDelay(fd) &&
         SetKeepAlive(fd, kKeepAliveIdleSec, kKeepAliveIntervalSec, kKeepAliveProbes) &&
         SetUnsentLimit(fd, kUnsentLimitBytes);
}

// Hands one accepted socket to its own ClientSession thread, or closes it.
void ServeConnection(SafeTcpServer& server, UniqueFd fd, const std::string& peerIp, int peerPort,
                     bool optionsInherited) {
  const std::string peer = peerIp + ", port " + std::to_string(peerPort);
  ConnectionGate& gate = server.gate;
  if (!AdmitConnection(gate, peerIp, peer)) return;
  if (!optionsInherited) SetConnectionOptions(fd.Get());
  TlsConnPtr conn = NewTlsConn(server.ctx.get(), std::move(fd));
  if (conn) {
    Accepted accepted{std::make_unique<TlsLink>(std::move(conn), peer, server.room.console),
                      peerIp};
    if (StartClientSession(server, std::move(accepted))) return;
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

// Without it nothing printed from here on would reach the console.
void StartConsoleWriterOrExit(Console& console) {
  if (!StartDetachedThread([&console] { console.RunWriter(); })) {
    perror("console thread");
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

// Accepts until `running` is cleared, handing each connection to its own
// session; reloads the certificates on SIGHUP.
void AcceptLoop(SafeTcpServer& server, int listenFd, bool optionsInherited) {
  // The stop and reload signals wake the wait through their descriptors, so
  // no timer needs to look at flags: an idle server does not wake at all.
  // Without them the loop falls back to looking once a second.
  const int stopFd = StopWakeFd();
  const int reloadFd = ReloadWakeFd();
  const bool woken = stopFd >= 0 && reloadFd >= 0;
  PollItem waits[3];
  waits[0].fd = listenFd;
  waits[1].fd = stopFd;
  waits[2].fd = reloadFd;
  while (server.running.load() != 0) {
    const Deadline poll = woken ? Deadline::Never() : Deadline::In(kAcceptPollMs);
    PollResult ready =
        PollFds(waits, 3, poll.Sooner(PrintDueRefusals(server.gate, server.room.console)));
    // ctx is replaced here, on the accept thread, which is the only one to
    // read it: sessions use their own SSL objects, each of which holds a
    // reference to the context it was made from.
    if ((waits[2].ready || reloadFd < 0) && TakeReloadRequest()) ReloadServerContext(server);
    if (ready == PollResult::kError) {
      server.room.console.Err(std::string("poll: ") + strerror(errno) + "\n");
      SleepMs(kShortageBackoffMs);
      continue;
    }
    if (ready == PollResult::kTimeout || !waits[0].ready) continue;
    UniqueFd fd;
    std::string peerIp;
    int peerPort = 0;
    AcceptResult accepted = AcceptTcp4(listenFd, fd, peerIp, peerPort);
    if (accepted == AcceptResult::kNothing) continue;
    if (accepted == AcceptResult::kFailed) {
      int err = errno;
      NoteRefusal(server.gate, Refusal::kAcceptFailed, strerror(err));
      // Out of descriptors or memory: give closing sessions a moment.
      if (IsResourceShortage(err)) SleepMs(kShortageBackoffMs);
      continue;
    }
    server.room.console.Out("[*] Connection from " + peerIp + ", port " +
                            std::to_string(peerPort) + "\n");
    ServeConnection(server, std::move(fd), peerIp, peerPort, optionsInherited);
  }
}

}  // namespace

void ServerThread(SafeTcpServer* server) {
  server->Run();
}

void SafeTcpServer::Run() {
  ctx = NewServerContextOrExit(*this);
  SeedTlsRandom();

  const char* failedCall = nullptr;
  UniqueFd listener = ListenTcp4(static_cast<uint16_t>(port & 0xffff), kListenBacklog, failedCall);
  if (!listener.Valid()) {
    perror(failedCall);
    exit(kExitSetup);
  }
  const bool optionsInherited = SetConnectionOptions(listener.Get());
  // Port 0 lets the system choose; the notice names the one it chose.
  int boundPort = LocalPort(listener.Get());
  if (boundPort < 0) boundPort = port;

  room.namesFromCertificates = requireClientCert;
  StartSendMsgOrExit(*this);
  StartConsoleWriterOrExit(room.console);

  running = 1;
  // Set after `running`, so that a stop request is never overwritten.
  InstallStopHandler(&running);
  InstallReloadHandler();
  room.console.Out("[+] Server is working at " + std::to_string(boundPort) + "\n");

  AcceptLoop(*this, listener.Get(), optionsInherited);

  PrintDueRefusals(gate, room.console, true);
  StopSendMsg(*this);
  // Open sessions keep their SSL objects, which hold their own references.
  ctx.reset();
  listener.Reset();
  // Sessions may outlive the stop by a moment; nothing they print comes
  // after this. The process ends once it is written, or when the wait is up.
  room.console.CloseWith("[-] Server stopped.\n");
  room.console.WaitWritten(Deadline::In(kConsoleStopWaitMs));
}
