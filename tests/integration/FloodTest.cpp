// A flood of chat, and clients that misbehave meanwhile: the server stays
// up, the room stays correct, and its memory and descriptors stay bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "platform/Net.h"
#include "platform/Os.h"
#include "platform/ProcStats.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

// Two flooders, one of them not even a member, send as fast as the room
// reads them while a member chats and other clients come and go: gone at
// every stage from the handshake to the middle of a payload, logged out, or
// closed by the server for a length no client sends. Both flood at the pace
// the members read (the server drops a member that falls 1 MiB behind). Every member gets every
// message of every sender, in order, and nothing else; the lists come right; the server's memory
// does not follow the flood; its descriptors and threads come back.
TEST(Flood, FloodAndChurnLoseNothingAndLeaveNoTrace) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  constexpr uint32_t kFloodMessages = 1500;
  constexpr int kGhosts = 90;  // alice chats twice for each
  auto alice = Join(server.port, "alice");
  auto bob = Join(server.port, "bob");
  auto flood = Join(server.port, "flood");
  auto stranger = Connect(server.port);
  ChatClient* members[] = {alice.get(), bob.get(), flood.get()};
  const int fdsBefore = ReadProcEntries(server.pid, "fd");
  // Main, the accept loop, SendMsg, four sessions (and a sanitizer's own
  // thread, if any).
  const int threadsBefore = ReadProcEntries(server.pid, "task");
  const long rssBefore = RssKiB(server.pid);
  long rssPeak = rssBefore;

  std::map<std::string, uint32_t> heard[3];  // per member: sender -> messages
  std::atomic<uint32_t> floodHeard{0};       // all the flooding member heard
  std::atomic<bool> inOrder{true};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      CountChats(*members[i], 2 * kGhosts + 2 * kFloodMessages, heard[i], inOrder,
                 i == 2 ? &floodHeard : nullptr);
    });
  }
  for (ChatClient* sender : {flood.get(), stranger.get()}) {
    threads.emplace_back([&, sender] {
      for (uint32_t i = 0; i < kFloodMessages; ++i) {
        // About two chats in the room for each of a flooder's: at most
        // half a megabyte ahead of the members' reading.
        const Deadline patience = Deadline::In(20000);
        while (floodHeard + 128 < 2 * i && !patience.Passed())
          SleepMs(1);
        sender->SendChat(Numbered(i, 4000), "", PayloadKind::Binary);
      }
    });
  }
  std::mt19937 random(12345);
  const Frame login = BuildFrame(FrameType::Login, 0, "ghost", 5, nullptr, 0);
  const Frame chat = BuildFrame(FrameType::Chat, PayloadKind::Text, std::string(200, 'c').c_str(),
                                200, nullptr, Scope::Public);
  Frame bad = BuildFrame(FrameType::Chat, 0, nullptr, 0, nullptr, Scope::Public);
  const uint32_t badLengths[] = {(65536u + 16) << 2, 20u << 2, 0xfffffffcu};
  for (int i = 0; i < kGhosts; ++i) {
    for (uint32_t n = 2 * i; n < 2u * i + 2; ++n)
      EXPECT_TRUE(alice->SendChat(Numbered(n, 32), "", PayloadKind::Binary));
    rssPeak = std::max(rssPeak, RssKiB(server.pid));
    const int stage = i % 6;
    if (stage == 0) {  // gone before the handshake
      EXPECT_TRUE(
          ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(5000)).Valid());
      continue;
    }
    auto ghost = Connect(server.port);
    if (stage >= 2) ghost->SendRaw(login.data(), login.size());
    if (stage >= 4) {  // a logout, or a bad length: the server closes
      std::memcpy(&bad[4], &badLengths[i / 6 % 3], 4);  // LengthWord
      EXPECT_TRUE(stage == 4 ? ghost->Logout() : ghost->SendRaw(bad.data(), bad.size()));
      ReceivedFrame f;
      RecvStatus status;
      while ((status = ghost->Receive(f, Deadline::In(5000))) == RecvStatus::kFrame) {
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
  for (auto& t : threads)
    t.join();

  EXPECT_TRUE(inOrder.load());
  // A cut chat relayed after all would show here too.
  const std::map<std::string, uint32_t> everything = {
      {"alice", 2 * kGhosts}, {"flood", kFloodMessages}, {"", kFloodMessages}};
  for (const auto& got : heard)
    EXPECT_EQ(got, everything);
  // 2 x 1500 x 4 KB went through; the queue holds at most a few MB of it.
  if (!kSanitized) {
    EXPECT_LT(rssPeak - rssBefore, 32 * 1024) << "KiB of growth";
  }
  auto carol = Join(server.port, "carol");
  EXPECT_TRUE(WaitForList(*alice, {"carol", "flood", "bob", "alice"}));
  carol->Logout();
  EXPECT_TRUE(WaitForList(*alice, {"flood", "bob", "alice"}));
  for (int i = 0; i < 100 && ReadProcEntries(server.pid, "fd") != fdsBefore; ++i)
    SleepMs(50);
  EXPECT_EQ(ReadProcEntries(server.pid, "fd"), fdsBefore);
  // Session threads that lingered for another connection are gone again.
  for (int i = 0; i < 100 && ReadProcEntries(server.pid, "task") != threadsBefore; ++i)
    SleepMs(50);
  EXPECT_EQ(ReadProcEntries(server.pid, "task"), threadsBefore);
  EXPECT_TRUE(server.Alive());
}

}  // namespace

}  // namespace saferoom
