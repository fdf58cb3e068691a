// The server on a public address: the connection caps, idle strangers are
// closed, members on slow links stay, memory comes back after a burst.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <map>
#include <thread>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

constexpr size_t kBig = 65536;  // the largest payload

// A chat's number (see Numbered) for sender `sender`'s `i`th.
uint32_t SenderSeq(uint32_t sender, uint32_t i) {
  return sender << 24 | i;
}

// Reads chats at about `bytesPerSec` for `slowMs`, then at full speed, until
// `total` came or the connection ended; how many came, each sender's in
// order (see SenderSeq).
uint32_t ReadSlowly(ChatClient& client, uint32_t total, double bytesPerSec, int slowMs) {
  const int64_t start = MonotonicMs();
  double bytes = 0;
  uint32_t n = 0;
  std::map<uint32_t, uint32_t> next;  // by sender
  ReceivedFrame f;
  while (n < total && client.Receive(f, Deadline::In(20000)) == RecvStatus::kFrame) {
    if (f.type != FrameType::Chat) continue;
    if (SeqOf(f) != SenderSeq(SeqOf(f) >> 24, next[SeqOf(f) >> 24]++)) break;
    ++n;
    bytes += static_cast<double>(f.payload.size() + kHeaderSize);
    if (MonotonicMs() - start < slowMs)
      SleepMs(static_cast<int>(start + bytes * 1000 / bytesPerSec - MonotonicMs()));
  }
  return n;
}

// One address may hold 40 connections, handshakes included, and everyone
// together 512. One more from a full address is announced, then closed at
// once, with at most a line a second that counts every refusal. A newcomer
// to a full server closes the stranger that has held its place longest
// (past its handshake, without a slot), one each, oldest first; members stay;
// once only members and handshakes hold places, one more is refused.
TEST(OpenInternet, ConnectionCapsPerAddressAndInAll) {
  constexpr int kPerAddress = 40, kCap = 512;    // the server's documented caps
  constexpr int kHandshaken = 24, kSilent = 32;  // from one address, 16 past its cap
  // Started with a low soft limit on open files, which it raises.
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit low = {std::min<rlim_t>(limit.rlim_cur, 256), limit.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  TestServer server;
  bool started = server.Start();
  setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_TRUE(started) << server.err;
  rlimit raised;
  ASSERT_EQ(prlimit(server.pid, RLIMIT_NOFILE, nullptr, &raised), 0);
  EXPECT_EQ(raised.rlim_cur, raised.rlim_max);
  const uint16_t port = static_cast<uint16_t>(server.port);
  // Waits for the refusal lines that start with `prefix` to count `want`
  // refusals; how many lines they are.
  const auto refusals = [&](const std::string& prefix, int want) {
    for (int i = 0; i < 30 && SumAfter(server.err, prefix) < want; ++i)
      server.Pump(Deadline::In(100));
    EXPECT_EQ(SumAfter(server.err, prefix), want) << server.err;
    int lines = 0;
    for (size_t at = 0; (at = server.err.find(prefix, at)) != std::string::npos; ++at)
      ++lines;
    return lines;
  };
  char byte;
  // Closed by the server (the end, or nothing but a goodbye), within `ms`.
  const auto closed = [&](int fd, int ms) {
    return PollFd(fd, false, Deadline::In(ms)) == PollResult::kReady &&
           RecvBytes(fd, &byte, 1) <= 0;
  };
  const auto tlsClosed = [&](ChatClient& c, int ms) {
    return TlsRead(*c.conn, &byte, 1, Deadline::In(ms)).status == IoStatus::kEnded;
  };

  // From one address: some handshaken, then silent connections.
  const std::string one = "127.0.0.2";
  std::vector<std::unique_ptr<ChatClient>> handshaken;
  for (int i = 0; i < kHandshaken; ++i) {
    handshaken.push_back(Connect(server.port, TestTls(), one));
    ASSERT_NE(handshaken.back()->conn, nullptr) << i;
  }
  std::vector<UniqueFd> held;
  for (int i = 0; i < kSilent; ++i)
    held.push_back(ConnectTcp("127.0.0.1", port, Deadline::In(5000), nullptr, one));
  auto alice = Join(server.port, "alice");
  ASSERT_TRUE(alice->SendChat("in at once"));
  EXPECT_EQ(Next(*alice).Text(), "in at once");
  EXPECT_LE(refusals("Too many connections from one address (40 at once): refused ",
                     kHandshaken + kSilent - kPerAddress),
            2);
  int open = 0;
  for (const auto& client : handshaken)
    open += !tlsClosed(*client, 0);
  for (const UniqueFd& fd : held)
    open += !closed(fd.Get(), 0);
  EXPECT_EQ(open, kPerAddress);

  // Silent connections, eight per address, until every place is taken, one
  // at a time, so that the count is the server's, not the backlog's.
  const auto source = [](int i) { return "127.0.1." + std::to_string(1 + i / 8); };
  const int announced = kHandshaken + kSilent + 1;  // alice's too
  size_t seen = 0;
  for (int i = 0; i < kCap + announced - kPerAddress - 1 && seen != std::string::npos; ++i) {
    if (i >= announced)
      held.push_back(ConnectTcp("127.0.0.1", port, Deadline::In(5000), nullptr, source(i)));
    seen = server.WaitFor("[*] Connection from", 5000, false, seen);
  }
  ASSERT_NE(seen, std::string::npos);
  // Each newcomer closes the oldest stranger that is past its handshake.
  for (int i = 0; i < kHandshaken; ++i) {
    held.push_back(ConnectTcp("127.0.0.1", port, Deadline::In(5000), nullptr, "127.0.2.1"));
    EXPECT_TRUE(tlsClosed(*handshaken[i], 3000)) << "the stranger " << i << " stayed";
    if (i + 1 < kHandshaken) {
      EXPECT_FALSE(tlsClosed(*handshaken[i + 1], 0)) << i + 1;
    }
    EXPECT_FALSE(closed(held.back().Get(), 0)) << "the newcomer " << i << " was refused";
  }
  // Now only handshakes and a member hold places: refused at once.
  const int64_t start = MonotonicMs();
  for (int i = 0; i < 20; ++i) {
    UniqueFd extra = ConnectTcp("127.0.0.1", port, Deadline::In(5000), nullptr, "127.0.3.1");
    const std::string notice =
        "[*] Connection from 127.0.3.1, port " + std::to_string(LocalPort(extra.Get())) + "\n";
    EXPECT_NE(server.WaitFor(notice, 5000, false, seen), std::string::npos) << i;
    ASSERT_TRUE(closed(extra.Get(), 3000)) << "connection " << i << " past the cap stayed open";
  }
  EXPECT_FALSE(Connect(server.port)->conn);  // a real client too, not queued
  const int lines = refusals("Too many connections (512 at once): refused ", 21);
  EXPECT_LE(lines, (MonotonicMs() - start) / 1000 + 1);
  ASSERT_TRUE(alice->SendChat("a member stays"));
  EXPECT_TRUE(WaitFrame(*alice, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.Text() == "a member stays";
  }));

  held.clear();
  handshaken.clear();
  auto bob = Connect(server.port);
  for (int i = 0; i < 100 && !bob->conn; ++i) {
    server.Pump(Deadline::In(50));  // hundreds of error dumps must not stall it on a full pipe
    bob = Connect(server.port);
  }
  ASSERT_TRUE(bob->SendChat("back to normal"));
  EXPECT_TRUE(WaitFrame(*alice, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.Text() == "back to normal";
  }));
}

// A stranger that completes no frame for a minute is closed; a member that
// only listens and a stranger that chats now and then stay. The server
// waits without a timer all the while.
TEST(OpenInternet, IdleStrangerClosedAfterAMinuteOthersStay) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  auto member = Join(server.port, "member");
  auto chatter = Connect(server.port);
  auto idle = Connect(server.port);
  const int64_t start = MonotonicMs();
  const long cpuBefore = CpuMs(server.pid);
  int64_t closedAt = -1;
  ReceivedFrame f;
  for (int said = 0; closedAt < 0 && MonotonicMs() - start < 75000;) {
    if (MonotonicMs() - start >= 25000 * (said + 1)) {
      ASSERT_TRUE(chatter->SendChat("now and then"));
      ++said;
    }
    if (idle->Receive(f, Deadline::In(500)) == RecvStatus::kClosed)
      closedAt = MonotonicMs() - start;
  }
  EXPECT_GE(closedAt, 59000);
  EXPECT_LE(closedAt, 63000);
  // A polling loop would burn seconds of it.
  EXPECT_LT(CpuMs(server.pid) - cpuBefore, 300) << "ms of CPU in a quiet minute";
  // Both have been quiet since well before the stranger was closed, and
  // both have been connected for longer than a minute.
  ASSERT_TRUE(chatter->SendChat("after a minute"));
  EXPECT_TRUE(WaitFrame(*member, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.name.empty() && f.Text() == "after a minute";
  }));
}

// A burst of the largest messages, 2.5 MiB: a member that reads at full
// speed gets them all; one reading 100 KiB/s falls more than its queue's
// 1 MiB behind and is dropped; one that stops reading is dropped; nobody
// waits for either; afterwards the server gives the memory back.
TEST(OpenInternet, BurstDropsWhoFallsTooFarBehindAndGivesMemoryBack) {
  const uint32_t messages = 40;
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  auto stopped = Join(server.port, "stopped");
  auto slow = Join(server.port, "slow");
  auto fast = Join(server.port, "fast");
  auto sender = Connect(server.port);
  const long before = RssKiB(server.pid);
  std::thread slowReader([&] { ReadSlowly(*slow, messages, 100 * 1024, 60000); });
  std::thread writer([&] {
    for (uint32_t i = 0; i < messages; ++i)
      sender->SendChat(Numbered(i, kBig), "", PayloadKind::Binary);
  });
  EXPECT_EQ(ReadSlowly(*fast, messages, 1e12, 0), messages);
  writer.join();
  EXPECT_NE(server.WaitFor("[!] User slow offline\n"), std::string::npos) << server.out;
  EXPECT_NE(server.WaitFor("[!] User stopped offline\n", 10000), std::string::npos) << server.out;
  slowReader.join();
  EXPECT_EQ(server.out.find("[!] User fast offline\n"), std::string::npos) << server.out;
  if (kSanitized) return;  // allocators that keep freed memory: RSS says little
  long after = RssKiB(server.pid);
  for (int i = 0; i < 30 && after > before + 2048; ++i, SleepMs(100))
    after = RssKiB(server.pid);
  EXPECT_LE(after, before + 2048) << "KiB, from " << before;
}

// Within its queue's bound a slow member keeps up: two senders queue 768 KiB
// of 8 KiB messages for a member reading 64 KiB/s, which gets every message
// in order, over twelve seconds, and stays.
TEST(OpenInternet, SlowMemberWithinItsQueueIsNotDropped) {
  constexpr size_t kSize = 8192;
  constexpr uint32_t kPerSender = 48;  // 2 x 48 x 8 KiB = 768 KiB
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  auto slow = Join(server.port, "slow");
  std::unique_ptr<ChatClient> senders[2] = {Connect(server.port), Connect(server.port)};
  std::vector<std::thread> writers;
  for (uint32_t s = 0; s < 2; ++s) {
    writers.emplace_back([&, s] {
      for (uint32_t i = 0; i < kPerSender; ++i)
        senders[s]->SendChat(Numbered(SenderSeq(s, i), kSize), "", PayloadKind::Binary);
    });
  }
  EXPECT_EQ(ReadSlowly(*slow, 2 * kPerSender, 64 * 1024, 60000), 2 * kPerSender);
  for (std::thread& w : writers)
    w.join();
  server.Pump(Deadline::In(100));
  EXPECT_EQ(server.out.find("[!] User slow offline\n"), std::string::npos) << server.out;
}

}  // namespace

}  // namespace saferoom
