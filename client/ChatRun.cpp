// The chat command's loop: frames from the server and input from the front
// end into the session, its requests out to the server.
#include "client/ChatRun.h"

#include <algorithm>
#include <atomic>

#include "platform/Os.h"
#include "platform/Term.h"

namespace saferoom {

namespace {

// The loop wakes at least this often: countdowns move on, and a stop signal
// that arrives just before poll is not missed for long.
constexpr int kMaxPollMs = 1000;

std::atomic<int> gRunning{1};

bool SendRequest(ChatClient& client, const Request& r) {
  switch (r.kind) {
    case Request::kLogin:
      return client.Login(r.name);
    case Request::kLogout:
      return client.Logout();
    case Request::kChat:
      return client.SendChat(r.text, r.name);
    case Request::kHistory:
      return client.RequestHistory(r.since);
    case Request::kReclaimKey:
      return client.RequestReclaimKey();
    case Request::kReclaim:
      return client.Reclaim(r.name, r.text, r.since);
  }
  return false;
}

// A failed write means the connection is gone, and what came after it with it.
void SendRequests(ChatSession& s, ChatClient& client, int64_t now) {
  std::vector<Request> requests;
  requests.swap(s.requests);
  for (const Request& r : requests) {
    if (!SendRequest(client, r)) {
      client.Drop();
      HandleLost(s, "cannot send", now);
      return;
    }
  }
}

void ReadFrames(ChatSession& s, ChatClient& client, int64_t now) {
  ReceivedFrame frame;
  while (s.exitCode < 0 && s.phase != Phase::kOffline) {
    switch (client.Receive(frame, Deadline::In(0))) {
      case RecvStatus::kFrame:
        HandleFrame(s, frame, now);
        break;
      case RecvStatus::kTimeout:
        return;
      case RecvStatus::kClosed:
        client.Drop();
        HandleLost(s, "", now);
        return;
      case RecvStatus::kBadFrame:
        client.Drop();
        HandleLost(s, "the server sent a malformed frame", now);
        return;
    }
  }
}

Deadline WaitUntil(const ChatSession& s, int64_t now) {
  int64_t deadline = NextDeadline(s);
  if (deadline < 0) return Deadline::In(kMaxPollMs);
  return Deadline::In(std::clamp<int64_t>(deadline - now, 0, kMaxPollMs));
}

}  // namespace

int RunChat(ChatClient& client, const ClientOptions& options, ChatSession& s, FrontEnd& front) {
  gRunning = 1;
  InstallStopHandler(&gRunning);
  StartSession(s, MonotonicMs());
  for (;;) {
    int64_t now = MonotonicMs();
    if (gRunning.load() == 0) RequestQuit(s, now);
    front.Pump(s, now);
    SendRequests(s, client, now);
    front.Show(s, now);
    if (s.exitCode >= 0) break;
    if (WantsDial(s, now)) {
      DialResult dialed = client.Connect(options);  // blocks, at most the dial timeouts
      // Retrying would only fail the same way: say whom to ask, and stop.
      if (!dialed.advice.empty()) {
        s.exitCode = ChatExit::kTls;
        s.failure = dialed.message + "; " + dialed.advice;
        break;
      }
      HandleDialed(s, dialed.Ok(), dialed.message, MonotonicMs());
      continue;
    }
    // The stop signal's descriptor wakes the wait, so Ctrl-C acts at once.
    PollItem waits[4];
    waits[0].fd = client.Fd();
    waits[1].fd = StopWakeFd();
    waits[2].fd = front.InputFd(s);
    waits[3].fd = front.WakeFd();
    PollResult polled = PollFds(waits, 4, WaitUntil(s, now));
    if (waits[1].ready) {
      char drained[64];
      ReadFd(waits[1].fd, drained, sizeof drained);
    }
    if (polled == PollResult::kError) {
      s.exitCode = ChatExit::kLost;
      s.failure = "cannot wait for input";
      break;
    }
    now = MonotonicMs();
    if (waits[0].ready) ReadFrames(s, client, now);
    if (waits[2].ready && s.exitCode < 0) front.ReadInput(s, now);
    HandleTick(s, now);
    // Offline without a loss (a login not answered): nothing more to read there.
    if (s.phase == Phase::kOffline && client.conn) client.Drop();
  }
  front.Close();
  if (client.conn) TlsClose(*client.conn);
  return s.exitCode;
}

}  // namespace saferoom
