// The server on a public address: one host cannot hold it, idle strangers
// are closed, members on slow links stay, memory comes back after a burst.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <thread>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace {

constexpr size_t kBig = 65536;  // the largest payload

// Reads chats at about `bytesPerSec` for `slowMs`, then at full speed, until
// `total` came or the connection ended; how many came, in order.
uint32_t ReadSlowly(ChatClient& client, uint32_t total, double bytesPerSec, int slowMs) {
  const int64_t start = MonotonicMs();
  double bytes = 0;
  uint32_t n = 0;
  ReceivedFrame f;
  while (n < total && client.Receive(f, 20000) == RecvStatus::kFrame) {
    if (f.type != FrameType::Chat) continue;
    if (SeqOf(f) != n) break;
    ++n;
    bytes += static_cast<double>(f.payload.size() + kHeaderSize);
    if (MonotonicMs() - start < slowMs)
      SleepMs(static_cast<int>(start + bytes * 1000 / bytesPerSec - MonotonicMs()));
  }
  return n;
}

// One address opens handshaken connections and silent ones and keeps them:
// 16 stay, the rest are closed at once with a line a second at most, and a
// client from elsewhere gets in meanwhile.
TEST(OpenInternet, OneAddressHoldsSixteenConnectionsOthersStillGetIn) {
  constexpr int kHandshaken = 12;
  constexpr int kSilent = 20;
  constexpr int kPerAddress = 16;  // the server's documented cap
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

  const std::string source = "127.0.0.2";
  std::vector<std::unique_ptr<ChatClient>> conns;
  for (int i = 0; i < kHandshaken; ++i) {
    conns.push_back(Connect(server.port, TestTls(), source));
    ASSERT_NE(conns.back()->conn, nullptr) << i;
  }
  std::vector<UniqueFd> silent;
  for (int i = 0; i < kSilent; ++i)
    silent.push_back(
        ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), 5000, nullptr, source));

  auto alice = Join(server.port, "alice");
  ASSERT_TRUE(alice->SendChat("in at once"));
  EXPECT_EQ(Next(*alice).Text(), "in at once");
  const int refused = kHandshaken + kSilent - kPerAddress;
  const std::string line = "Too many connections from one address (16 at once): refused ";
  for (int i = 0; i < 30 && SumAfter(server.err, line) < refused; ++i)
    server.Pump(100);
  EXPECT_EQ(SumAfter(server.err, line), refused) << server.err;
  EXPECT_LE(std::count(server.err.begin(), server.err.end(), '\n'), 2) << server.err;
  int open = 0;
  char byte;
  for (const auto& client : conns)
    open += TlsRead(*client->conn, &byte, 1, 0) < 0;  // nothing to read, not closed
  for (const UniqueFd& fd : silent)
    open += PollFd(fd.Get(), false, 0) == PollResult::kTimeout;
  EXPECT_EQ(open, kPerAddress);
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
    if (idle->Receive(f, 500) == RecvStatus::kClosed) closedAt = MonotonicMs() - start;
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

// A burst of the largest messages: a member reading them at 100 KiB/s, less
// than a second's worth at a time, keeps up; one that stops reading is
// dropped; afterwards the server gives the memory back.
TEST(OpenInternet, BurstOfLargeMessagesKeepsSlowReadersAndGivesMemoryBack) {
  const uint32_t messages = 120;  // several times what the kernel buffers
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  auto stopped = Join(server.port, "stopped");
  auto slow = Join(server.port, "slow");
  auto sender = Connect(server.port);
  const long before = RssKiB(server.pid);
  std::thread writer([&] {
    for (uint32_t i = 0; i < messages; ++i)
      sender->SendChat(Numbered(i, kBig), "", PayloadKind::Binary);
  });
  EXPECT_EQ(ReadSlowly(*slow, messages, 100 * 1024, 10000), messages);
  writer.join();
  EXPECT_NE(server.WaitFor("[!] User stopped offline\n"), std::string::npos) << server.out;
  EXPECT_EQ(server.out.find("[!] User slow offline\n"), std::string::npos) << server.out;
  if (kSanitized) return;  // allocators that keep freed memory: RSS says little
  long after = RssKiB(server.pid);
  for (int i = 0; i < 30 && after > before + 2048; ++i, SleepMs(100))
    after = RssKiB(server.pid);
  EXPECT_LE(after, before + 2048) << "KiB, from " << before;
}

}  // namespace
