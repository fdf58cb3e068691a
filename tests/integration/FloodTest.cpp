// Many clients at once, and clients that misbehave: the server stays up, the
// room stays correct, and its memory and descriptors stay bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace {

class Flood : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()) << server.out << server.err; }
  TestServer server;
};

TEST_F(Flood, ConnectionCapHoldsAndTheRoomRecovers) {
  constexpr int kCap = 512;  // the server's documented cap
  constexpr int kBeyond = 20;
  // Eight per address, well under the cap per address.
  const auto source = [](int i) { return "127.0.1." + std::to_string(1 + i / 8); };
  const uint16_t port = static_cast<uint16_t>(server.port);
  std::vector<UniqueFd> held;
  size_t seen = 0;
  for (int i = 0; i < kCap; ++i) {
    held.push_back(ConnectTcp("127.0.0.1", port, 5000, nullptr, source(i)));
    // One at a time, so that the count is the server's, not the backlog's.
    seen = held.back().Valid() ? server.WaitFor("[*] Connection from", 5000, false, seen)
                               : std::string::npos;
    ASSERT_NE(seen, std::string::npos) << i;
  }
  // Each one past the cap is announced, then closed at once.
  int64_t start = MonotonicMs();
  for (int i = 0; i < kBeyond; ++i) {
    UniqueFd extra = ConnectTcp("127.0.0.1", port, 5000, nullptr, source(kCap + i));
    ASSERT_TRUE(extra.Valid());
    const std::string notice = "[*] Connection from " + source(kCap + i) + ", port " +
                               std::to_string(LocalPort(extra.Get())) + "\n";
    EXPECT_NE(server.WaitFor(notice, 5000, false, seen), std::string::npos) << i;
    char byte;
    ASSERT_TRUE(PollFd(extra.Get(), false, 3000) == PollResult::kReady &&
                RecvBytes(extra.Get(), &byte, 1) <= 0)
        << "connection " << i << " past the cap stayed open";
  }
  // A real client is turned away too, not queued.
  EXPECT_FALSE(Connect(server.port)->conn);
  // At most a line a second, and together they count every refusal.
  const std::string line = "Too many connections (512 at once): refused ";
  for (int i = 0; i < 30 && SumAfter(server.err, line) < kBeyond + 1; ++i)
    server.Pump(100);
  EXPECT_EQ(SumAfter(server.err, line), kBeyond + 1) << server.err;
  EXPECT_LE(std::count(server.err.begin(), server.err.end(), '\n'),
            (MonotonicMs() - start) / 1000 + 1)
      << server.err;

  held.clear();
  auto alice = Connect(server.port);
  for (int i = 0; i < 100 && !alice->conn; ++i) {
    server.Pump(50);  // hundreds of error dumps must not stall it on a full pipe
    alice = Connect(server.port);
  }
  ASSERT_TRUE(alice->Login("alice"));
  auto bob = Join(server.port, "bob");
  ASSERT_TRUE(bob->SendChat("back to normal"));
  EXPECT_TRUE(WaitFrame(*alice, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.Text() == "back to normal";
  }));
}

// Two flooders, one of them not even a member, send as fast as they can
// while a member chats: every member gets every message of every sender, in
// order, and the server's memory does not follow the flood.
TEST_F(Flood, ChatFloodLosesNothingAndStaysBounded) {
  constexpr uint32_t kFloodMessages = 1500;
  constexpr uint32_t kChatMessages = 200;
  auto alice = Join(server.port, "alice");
  auto bob = Join(server.port, "bob");
  auto flood = Join(server.port, "flood");
  auto stranger = Connect(server.port);
  ChatClient* members[] = {alice.get(), bob.get(), flood.get()};
  long rssBefore = RssKiB(server.pid);
  long rssPeak = rssBefore;

  std::map<std::string, uint32_t> heard[3];  // per member: sender -> messages
  std::atomic<bool> inOrder{true};
  std::atomic<int> running{5};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      CountChats(*members[i], kChatMessages + 2 * kFloodMessages, heard[i], inOrder);
      --running;
    });
  }
  for (ChatClient* sender : {flood.get(), stranger.get()}) {
    threads.emplace_back([&, sender] {
      for (uint32_t i = 0; i < kFloodMessages; ++i)
        sender->SendChat(Numbered(i, 4000), "", PayloadKind::Binary);
      --running;
    });
  }
  for (uint32_t i = 0; i < kChatMessages; ++i)
    EXPECT_TRUE(alice->SendChat(Numbered(i, 32), "", PayloadKind::Binary));
  for (; running > 0; SleepMs(20))
    rssPeak = std::max(rssPeak, RssKiB(server.pid));
  for (auto& t : threads)
    t.join();

  EXPECT_TRUE(inOrder.load());
  const std::map<std::string, uint32_t> everything = {
      {"alice", kChatMessages}, {"flood", kFloodMessages}, {"", kFloodMessages}};
  for (const auto& got : heard)
    EXPECT_EQ(got, everything);
  // 2 x 1500 x 4 KB went through; the queue holds at most a few MB of it.
  if (!kSanitized) {
    EXPECT_LT(rssPeak - rssBefore, 32 * 1024) << "KiB of growth";
  }
}

// Clients vanish at every stage, from the handshake to the middle of a
// payload, log out, or send a length no client sends (which closes their
// connection), while members chat: no crash, no descriptor leak, right
// lists, and no cut frame relayed.
TEST_F(Flood, ChurnAndDisconnectsMidFrameLeaveNoTrace) {
  auto alice = Join(server.port, "alice");
  auto bob = Join(server.port, "bob");
  ASSERT_TRUE(WaitForList(*alice, {"bob", "alice"}));
  int fdsBefore = OpenFds(server.pid);
  // Main, the accept loop, SendMsg, the two members' sessions (and a
  // sanitizer's own thread, if any).
  int threadsBefore = Threads(server.pid);

  std::atomic<bool> chatting{true};
  std::thread chatter([&] {
    for (uint32_t i = 0; chatting && bob->SendChat(Numbered(i, 100), "", PayloadKind::Binary); ++i)
      SleepMs(2);
  });
  std::mt19937 random(12345);
  Frame login = BuildFrame(FrameType::Login, 0, "ghost", 5, nullptr, 0);
  Frame chat = BuildFrame(FrameType::Chat, PayloadKind::Text, std::string(200, 'c').c_str(), 200,
                          nullptr, Scope::Public);
  const uint32_t badLengths[] = {(65536u + 16) << 2, 20u << 2, 0xfffffffcu};
  for (int i = 0; i < 90; ++i) {
    int stage = i % 6;
    if (stage == 0) {
      // Gone before the handshake.
      EXPECT_TRUE(ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port)).Valid());
      continue;
    }
    auto ghost = Connect(server.port);
    if (stage >= 2) ghost->SendRaw(login.data(), login.size());
    if (stage >= 4) {  // a logout, or a bad length: the server closes
      auto bad = Header(FrameType::Chat, badLengths[i / 6 % 3], Scope::Public);
      EXPECT_TRUE(stage == 4 ? ghost->Logout() : ghost->SendRaw(bad.data(), bad.size()));
      ReceivedFrame f;
      RecvStatus status;
      while ((status = ghost->Receive(f, 5000)) == RecvStatus::kFrame) {
      }
      EXPECT_EQ(status, RecvStatus::kClosed) << i;
      continue;
    }
    const Frame& partial = stage == 3 ? chat : login;
    size_t cut = stage == 1 ? random() % kHeaderSize
                            : kHeaderSize + random() % (partial.size() - kHeaderSize);
    EXPECT_TRUE(ghost->SendRaw(partial.data(), cut));
    ghost->Drop();
  }
  chatting = false;
  chatter.join();

  // Whatever the ghosts did, the room is alice and bob again.
  auto carol = Join(server.port, "carol");
  bool cutRelayed = false;
  EXPECT_TRUE(WaitFrame(
      *alice,
      [&](const ReceivedFrame& f) {
        cutRelayed |= f.type == FrameType::Chat && f.name != "bob";
        return f.type == FrameType::UserList && f.Names() == Names{"carol", "bob", "alice"};
      },
      10000));
  EXPECT_FALSE(cutRelayed);
  carol->Logout();
  EXPECT_TRUE(WaitForList(*alice, {"bob", "alice"}));
  for (int i = 0; i < 100 && OpenFds(server.pid) != fdsBefore; ++i)
    SleepMs(50);
  EXPECT_EQ(OpenFds(server.pid), fdsBefore);
  // Session threads that lingered for another connection are gone again.
  for (int i = 0; i < 100 && Threads(server.pid) != threadsBefore; ++i)
    SleepMs(50);
  EXPECT_EQ(Threads(server.pid), threadsBefore);
  EXPECT_TRUE(server.Alive());
}

}  // namespace
