// Soak driver: starts the server and puts everything on it at once for a
// while: steady members chatting publicly and privately, members joining and
// leaving, a flooder, a member that stops reading, garbage connections. Then
// the steady members' deliveries must be complete and in order, the server's
// descriptors and memory back near where they started, and it must stop
// cleanly. Run by tests/soak.sh.
//
//   soak SECONDS      (development certificates from $TEST_CERTS_DIR)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssSlackKiB = 1L << 30;  // allocators that keep freed memory: RSS says little
#else
// Freed memory is not always returned to the system; a leak of every message
// or connection would be far above this.
constexpr long kRssSlackKiB = 16 * 1024;
#endif

int gPort = 0;
std::atomic<bool> gRunning{true};

// True once LoginAccepted came. A full room does not answer, hence the timeout.
bool Login(ChatClient& c, const std::string& name, int timeoutMs) {
  ReceivedFrame f;
  bool sent = c.Login(name);
  while (sent && c.Receive(f, timeoutMs) == RecvStatus::kFrame &&
         f.type != FrameType::LoginAccepted && f.type != FrameType::NameInUse) {
  }
  return sent && f.type == FrameType::LoginAccepted;
}

// A member for the whole run: sends numbered public and private texts, and
// checks that what it receives from the other steady member and from itself
// is complete and in order.
struct Steady {
  Steady(const char* own, const char* other) : name(own), peer(other) {}
  std::string name;
  std::string peer;
  std::unique_ptr<ChatClient> client;
  std::atomic<uint32_t> sentPublic{0};
  std::atomic<uint32_t> sentPrivate{0};
  // Receive side, read by the main thread after the reader ends.
  std::map<std::pair<std::string, uint32_t>, uint32_t> next;  // (sender, scope) -> next seq
  int stops = 0;  // end markers seen: one from itself, one from the peer
  std::string fault;
};

void SteadyReader(Steady& s) {
  ReceivedFrame f;
  while (s.client->Receive(f, 15000) == RecvStatus::kFrame) {
    // Only the steady members' texts are checked; others come and go.
    if (f.type != FrameType::Chat || (f.name != s.name && f.name != s.peer)) continue;
    // Each member's last word goes privately to itself and to its peer:
    // once both have arrived, everything sent before them has too.
    if (f.scope == Scope::Private && f.payload.size() >= 8 &&
        std::memcmp(f.payload.data() + 4, "stop", 4) == 0) {
      if (++s.stops == 2) return;
      continue;
    }
    uint32_t& expected = s.next[{f.name, f.scope}];
    if (SeqOf(f) != expected) s.fault = "out of order from " + f.name;
    expected = SeqOf(f) + 1;
  }
  s.fault += " connection ended before the end markers";
}

void SteadySender(Steady& s) {
  std::mt19937 random(std::hash<std::string>()(s.name));
  while (gRunning &&
         s.client->SendChat(Numbered(s.sentPublic, 16 + random() % 200), "", PayloadKind::Binary)) {
    ++s.sentPublic;
    // A failed send ends the loop at the next public one.
    if (random() % 3 == 0 &&
        s.client->SendChat(Numbered(s.sentPrivate, 40), s.peer, PayloadKind::Binary)) {
      ++s.sentPrivate;
    }
    SleepMs(5);
  }
}

void Churner(int id) {
  std::mt19937 random(id);
  ReceivedFrame f;
  for (int round = 0; gRunning; ++round) {
    auto c = Connect(gPort);
    std::string name = "churn" + std::to_string(id) + "." + std::to_string(round % 50);
    bool member = Login(*c, name, 1000);
    for (int i = 0; i < 5 && member; ++i)
      c->SendChat("hello from " + name, random() % 2 ? "" : "alice");
    c->Receive(f, 20);
    if (random() % 2) {
      c->Logout();
      while (c->Receive(f, 2000) == RecvStatus::kFrame) {
      }
    }
  }
}

void Flooder() {
  while (gRunning) {
    auto c = Connect(gPort);
    if (!Login(*c, "flood", 1000)) {
      SleepMs(100);
      continue;
    }
    // Drained so that the server never stalls on it.
    std::thread drain([&] {
      ReceivedFrame f;
      while (c->Receive(f, 200) != RecvStatus::kClosed && gRunning) {
      }
    });
    while (gRunning && c->SendChat(std::string(1000, 'f'), "", PayloadKind::Binary)) {
    }
    TlsAbort(*c->conn);  // wakes the drain; the connection is freed after it
    drain.join();
  }
}

// Logs in and never reads; the server must drop it after its send timeout.
void Staller() {
  while (gRunning) {
    auto c = Connect(gPort);
    for (int i = 0; i < (Login(*c, "staller", 1000) ? 150 : 2) && gRunning; ++i)
      SleepMs(100);
  }
}

void Garbage() {
  std::mt19937 random(7);
  for (; gRunning; SleepMs(20)) {
    std::string junk(48 + random() % 200, '\0');
    for (char& b : junk)
      b = static_cast<char>(random());
    // Half of it as frames after a handshake, half instead of one.
    if (random() % 2 == 0) {
      Connect(gPort)->SendRaw(junk.data(), junk.size());
      continue;
    }
    UniqueFd bare = ConnectTcp("127.0.0.1", static_cast<uint16_t>(gPort));
    SendBytes(bare.Get(), junk.data(), junk.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc == 2 ? atoi(argv[1]) : 0;
  TestServer server;
  if (seconds <= 0 || !server.Start()) {
    fprintf(stderr, "usage: soak SECONDS (the server did not start: %s)\n", server.err.c_str());
    return 2;
  }
  gPort = server.port;
  Steady steady[2] = {{"alice", "bob"}, {"bob", "alice"}};
  for (Steady& s : steady) {
    s.client = Connect(gPort);
    if (!Login(*s.client, s.name, 10000)) {
      fprintf(stderr, "soak: could not log in %s\n", s.name.c_str());
      return 1;
    }
  }
  // Settled figures, taken with only the steady members in.
  SleepMs(500);
  int fdsStart = OpenFds(server.pid);
  long rssStart = RssKiB(server.pid);

  std::vector<std::thread> readers, load;
  for (Steady& s : steady) {
    readers.emplace_back(SteadyReader, std::ref(s));
    load.emplace_back(SteadySender, std::ref(s));
  }
  for (int i = 0; i < 3; ++i)
    load.emplace_back(Churner, i);
  load.emplace_back(Flooder);
  load.emplace_back(Staller);
  load.emplace_back(Garbage);
  // Its console is read all along: a full pipe would stall it.
  for (int64_t end = MonotonicMs() + seconds * 1000L; MonotonicMs() < end;)
    server.Pump(100);
  gRunning = false;
  for (auto& t : load)
    t.join();
  for (Steady& s : steady) {
    s.client->SendChat(Numbered(0, 4) + "stop", s.name, PayloadKind::Binary);
    s.client->SendChat(Numbered(0, 4) + "stop", s.peer, PayloadKind::Binary);
  }
  for (auto& t : readers)
    t.join();

  bool ok = true;
  for (Steady& s : steady) {
    Steady& peer = &s == steady ? steady[1] : steady[0];
    uint32_t got[] = {s.next[{s.name, Scope::Public}], s.next[{peer.name, Scope::Public}],
                      s.next[{peer.name, Scope::Private}]};
    uint32_t sent[] = {s.sentPublic, peer.sentPublic, peer.sentPrivate};
    fprintf(stderr, "soak: %s got own %u/%u, peer public %u/%u, private %u/%u %s\n", s.name.c_str(),
            got[0], sent[0], got[1], sent[1], got[2], sent[2], s.fault.c_str());
    ok = ok && s.fault.empty() && std::equal(got, got + 3, sent);
  }
  // Leftover connections close on the server's own schedule (the handshake
  // timeout is the longest); then the figures must be back.
  for (int64_t end = MonotonicMs() + 15000; MonotonicMs() < end && OpenFds(server.pid) > fdsStart;)
    server.Pump(100);
  int fdsEnd = OpenFds(server.pid);
  long rssEnd = RssKiB(server.pid);
  server.Stop();
  bool stopped =
      server.exitStatus == 0 && server.out.find("[-] Server stopped.\n") != std::string::npos;
  size_t connections = 0;
  for (size_t at = 0; (at = server.out.find("[*] Connection", at)) != std::string::npos; ++at)
    ++connections;
  fprintf(stderr, "soak: %zu connections; descriptors %d -> %d, resident %ld -> %ld KiB; %s\n",
          connections, fdsStart, fdsEnd, rssStart, rssEnd,
          stopped ? "stopped cleanly" : "no clean stop on SIGTERM");
  ok = ok && stopped && fdsEnd >= 0 && fdsEnd <= fdsStart && rssEnd <= rssStart + kRssSlackKiB;
  return ok ? 0 : 1;
}
