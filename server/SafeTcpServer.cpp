// The serving routine: TLS set-up, the listener, the accept loop that gives
// each connection its own ClientSession thread, and the orderly stop.
#include "server/SafeTcpServer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Net.h"
#include "platform/Os.h"
#include "server/SessionPool.h"
#include "server/TlsContext.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr int kAcceptPollMs = 1000;
constexpr int kShortageBackoffMs = 100;
constexpr int kSendMsgStopWaitMs = 2000;

// Hands one accepted socket to its own ClientSession thread, or closes it.
void ServeConnection(SafeTcpServer& server, UniqueFd fd, const std::string& peerIp, int peerPort) {
  if (server.connections.load() >= kMaxConnections) {
    fprintf(stderr, "Too many connections (%d): closing %s, port %d\n", kMaxConnections,
            peerIp.c_str(), peerPort);
    return;
  }
  SetNoDelay(fd.Get());
  TlsConnPtr conn = NewTlsConn(server.ctx.get(), std::move(fd));
  if (!conn) {
    fprintf(stderr, "No TLS session for %s, port %d: closed\n", peerIp.c_str(), peerPort);
    return;
  }
  // Counted before the thread starts: the session decrements it as it ends.
  server.connections.fetch_add(1);
  if (!StartSession(std::move(conn))) {
    // The connection went down with the thread's box.
    server.connections.fetch_sub(1);
    fprintf(stderr, "No thread for %s, port %d: closed\n", peerIp.c_str(), peerPort);
  }
}

void StopSendMsg(SafeTcpServer& server) {
  server.sendRunning = false;
  WakeSendMsg();
  int64_t deadline = MonotonicMs() + kSendMsgStopWaitMs;
  while (!server.sendStopped.load() && MonotonicMs() < deadline)
    SleepMs(10);
}

}  // namespace

void ServerThread(SafeTcpServer* server) {
  server->Run();
}

void SafeTcpServer::Run() {
  ctx = NewServerContext(*this);
  SeedTlsRandom();

  const char* failedCall = nullptr;
  UniqueFd listener = ListenTcp4(static_cast<uint16_t>(port & 0xffff), kListenBacklog, failedCall);
  if (!listener.Valid()) {
    perror(failedCall);
    exit(1);
  }
  // Port 0 lets the system choose; the notice names the one it chose.
  int boundPort = LocalPort(listener.Get());
  if (boundPort < 0) boundPort = port;

  onUserOnline = OnUserOnline;
  onUserOffline = OnUserOffline;
  sendRunning = true;
  if (!StartDetachedThread([] { SendMsg(); })) {
    fprintf(stderr, "SendMsg thread could not start: chat messages stay undelivered\n");
    sendStopped = true;
  }

  running = 1;
  // Set after `running`, so that a stop request is never overwritten.
  InstallStopHandler(&running);
  InstallReloadHandler();
  printf("[+] Server is working at %d\n", boundPort);

  // The stop and reload signals wake the wait through their descriptors, so
  // no timer needs to look at flags: an idle server does not wake at all.
  // Without them the loop falls back to looking once a second.
  const int stopFd = StopWakeFd();
  const int reloadFd = ReloadWakeFd();
  const int pollMs = stopFd >= 0 && reloadFd >= 0 ? -1 : kAcceptPollMs;
  PollItem waits[3];
  waits[0].fd = listener.Get();
  waits[1].fd = stopFd;
  waits[2].fd = reloadFd;
  while (running.load() != 0) {
    PollResult ready = PollFds(waits, 3, pollMs);
    // ctx is replaced here, on the accept thread, which is the only one to
    // read it: sessions use their own SSL objects, each of which holds a
    // reference to the context it was made from.
    if ((waits[2].ready || reloadFd < 0) && TakeReloadRequest()) ReloadServerContext(*this);
    if (ready == PollResult::kError) {
      perror("poll");
      SleepMs(kShortageBackoffMs);
      continue;
    }
    if (ready == PollResult::kTimeout || !waits[0].ready) continue;
    UniqueFd fd;
    std::string peerIp;
    int peerPort = 0;
    AcceptResult accepted = AcceptTcp4(listener.Get(), fd, peerIp, peerPort);
    if (accepted == AcceptResult::kNothing) continue;
    if (accepted == AcceptResult::kFailed) {
      int err = errno;
      perror("accept");
      // Out of descriptors or memory: give closing sessions a moment.
      if (IsResourceShortage(err)) SleepMs(kShortageBackoffMs);
      continue;
    }
    printf("[*] Connection from %s, port %d\n", peerIp.c_str(), peerPort);
    ServeConnection(*this, std::move(fd), peerIp, peerPort);
  }

  StopSendMsg(*this);
  // Open sessions keep their SSL objects, which hold their own references.
  ctx.reset();
  listener.Reset();
  printf("[-] Server stopped.\n");
}
