// Many clients at once, and clients that misbehave: the server stays up, the
// room stays correct, and its memory and descriptors stay bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/ChatClient.h"
#include "platform/Net.h"
#include "protect/Frame.h"
#include "tests/support/TestServer.h"

namespace {

using Names = std::vector<std::string>;

constexpr int kMaxConnectionsForTest = 512;  // the server's documented cap

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // allocators that keep freed memory: RSS says little
#else
constexpr bool kSanitized = false;
#endif

// Every chat text carries its sender's own sequence number in its first four
// bytes; a receiver checks that each sender's numbers arrive 0, 1, 2, ...
struct Tally {
  std::map<std::string, uint32_t> next;  // sender name -> next expected number
  bool inOrder = true;
  std::string firstFault;

  void Take(const ReceivedFrame& f) {
    uint32_t seq = 0;
    if (f.payload.size() >= 4) std::memcpy(&seq, f.payload.data(), 4);
    uint32_t& expected = next[f.name];
    if (seq != expected && inOrder) {
      inOrder = false;
      firstFault = "from '" + f.name + "' got " + std::to_string(seq) + " expected " +
                   std::to_string(expected);
    }
    expected = seq + 1;
  }
};

class Flood : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()) << server.out << server.err; }
  void TearDown() override { server.Stop(); }

  std::unique_ptr<ChatClient> Connect() {
    ClientOptions options;
    options.port = static_cast<uint16_t>(server.port);
    options.caFile = TestCertsDir() + "/ca.crt";
    auto client = std::make_unique<ChatClient>();
    ConnectError error;
    std::string message;
    if (!client->Connect(options, error, message)) return nullptr;
    return client;
  }

  std::unique_ptr<ChatClient> Join(const std::string& name) {
    auto client = Connect();
    if (!client || !client->Login(name)) return nullptr;
    ReceivedFrame f;
    if (client->Receive(f, 5000) != RecvStatus::kFrame || f.type != FrameType::LoginAccepted) {
      return nullptr;
    }
    return client;
  }

  // Reads until the member list equals `want` (lists in between are skipped).
  static bool WaitForList(ChatClient& c, const Names& want, int timeoutMs = 10000) {
    ReceivedFrame f;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (c.Receive(f, 500) == RecvStatus::kFrame && f.type == FrameType::UserList &&
          f.Names() == want) {
        return true;
      }
    }
    return false;
  }

  static std::string Numbered(uint32_t seq, size_t size) {
    std::string text(size, 'n');
    std::memcpy(&text[0], &seq, 4);
    return text;
  }

  TestServer server;
};

TEST_F(Flood, ConnectionCapHoldsAndTheRoomRecovers) {
  // Most of the flood completes its handshake, so that nothing times out
  // while the rest arrives; a few stay silent mid-handshake.
  constexpr int kSilent = 12;
  constexpr int kBeyond = 40;
  std::vector<std::unique_ptr<ChatClient>> idle;
  for (int i = 0; i < kMaxConnectionsForTest - kSilent; ++i) {
    idle.push_back(Connect());
    ASSERT_TRUE(idle.back()) << i;
  }
  std::vector<UniqueFd> raw;
  for (int i = 0; i < kSilent + kBeyond; ++i) {
    raw.push_back(ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port)));
    ASSERT_TRUE(raw.back().Valid()) << i;
  }
  // Each one past the cap is announced, then refused with one line.
  size_t at = 0;
  for (int i = 0; i < kBeyond; ++i) {
    at = server.WaitFor("Too many connections", 10000, true, at);
    ASSERT_NE(at, std::string::npos) << "refusal " << i;
  }
  server.Pump(200);
  EXPECT_EQ(server.err.find("Too many connections", at), std::string::npos);

  // While the cap is full a real client is turned away, not queued forever.
  EXPECT_EQ(Connect(), nullptr);
  idle.clear();
  raw.clear();

  std::unique_ptr<ChatClient> alice;
  for (int i = 0; i < 50 && !alice; ++i) {
    alice = Join("alice");
    if (!alice) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(alice);
  auto bob = Join("bob");
  ASSERT_TRUE(bob);
  ASSERT_TRUE(bob->SendChat("back to normal"));
  ReceivedFrame f;
  do {
    ASSERT_EQ(alice->Receive(f, 5000), RecvStatus::kFrame);
  } while (f.type != FrameType::Chat);
  EXPECT_EQ(f.Text(), "back to normal");
  EXPECT_TRUE(server.Alive());
}

// Two flooders, one of them not even a member, send as fast as they can
// while two members chat: every member gets every message of every sender,
// in order, and the server's memory does not follow the flood.
TEST_F(Flood, ChatFloodLosesNothingAndStaysBounded) {
  constexpr uint32_t kFloodMessages = 1500;
  constexpr uint32_t kChatMessages = 100;
  constexpr size_t kFloodSize = 4000;

  Names everyone = {"flood", "bob", "alice"};
  auto alice = Join("alice");
  auto bob = Join("bob");
  auto member = Join("flood");
  auto stranger = Connect();
  ASSERT_TRUE(alice && bob && member && stranger);
  for (ChatClient* c : {alice.get(), bob.get(), member.get()}) {
    ASSERT_TRUE(WaitForList(*c, everyone));
  }
  long rssBefore = RssKiB(server.pid);

  // Three senders reach each member: alice, bob, flood, plus the stranger.
  const uint32_t total = 2 * kChatMessages + 2 * kFloodMessages;
  std::vector<Tally> tallies(3);
  std::vector<uint32_t> counts(3, 0);
  std::vector<std::thread> readers;
  ChatClient* members[] = {alice.get(), bob.get(), member.get()};
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&, i] {
      ReceivedFrame f;
      while (counts[i] < total && members[i]->Receive(f, 20000) == RecvStatus::kFrame) {
        if (f.type != FrameType::Chat) continue;
        tallies[i].Take(f);
        ++counts[i];
      }
    });
  }
  std::atomic<long> rssPeak{rssBefore};
  std::atomic<bool> sending{true};
  std::thread sampler([&] {
    while (sending) {
      long rss = RssKiB(server.pid);
      if (rss > rssPeak) rssPeak = rss;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::thread floodMember([&] {
    for (uint32_t i = 0; i < kFloodMessages; ++i) {
      member->SendChat(Numbered(i, kFloodSize), "", PayloadKind::Binary);
    }
  });
  std::thread floodStranger([&] {
    for (uint32_t i = 0; i < kFloodMessages; ++i) {
      stranger->SendChat(Numbered(i, kFloodSize), "", PayloadKind::Binary);
    }
  });
  for (uint32_t i = 0; i < kChatMessages; ++i) {
    ASSERT_TRUE(alice->SendChat(Numbered(i, 32), "", PayloadKind::Binary));
    ASSERT_TRUE(bob->SendChat(Numbered(i, 32), "", PayloadKind::Binary));
  }
  floodMember.join();
  floodStranger.join();
  for (auto& t : readers)
    t.join();
  sending = false;
  sampler.join();

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(counts[i], total);
    EXPECT_TRUE(tallies[i].inOrder) << tallies[i].firstFault;
    EXPECT_EQ(tallies[i].next[""], kFloodMessages);
    EXPECT_EQ(tallies[i].next["flood"], kFloodMessages);
  }
  // 2 x 1500 x 4 KB went through; the queue holds at most a few MB of it.
  if (!kSanitized) {
    EXPECT_LT(rssPeak - rssBefore, 32 * 1024) << "KiB of growth";
  }
}

// Clients vanish at every stage, from the handshake to the middle of a
// payload, while members chat: no crash, no descriptor leak, right lists.
TEST_F(Flood, DisconnectsMidFrameLeaveNoTrace) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  ASSERT_TRUE(alice && bob);
  ASSERT_TRUE(WaitForList(*alice, {"bob", "alice"}));
  int fdsBefore = OpenFds(server.pid);

  std::atomic<bool> chatting{true};
  std::thread chatter([&] {
    for (uint32_t i = 0; chatting; ++i) {
      if (!bob->SendChat(Numbered(i, 100), "", PayloadKind::Binary)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::mt19937 random(12345);
  Frame login = BuildFrame(FrameType::Login, 0, "ghost", 5, nullptr, 0);
  Frame chat = BuildFrame(FrameType::Chat, PayloadKind::Text, std::string(200, 'c').c_str(), 200,
                          nullptr, Scope::Public);
  for (int i = 0; i < 60; ++i) {
    int stage = i % 4;
    if (stage == 0) {
      // Gone before the handshake.
      UniqueFd fd = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port));
      ASSERT_TRUE(fd.Valid());
      continue;
    }
    auto ghost = Connect();
    ASSERT_TRUE(ghost);
    if (stage >= 2) {
      ASSERT_TRUE(ghost->SendRaw(login.data(), login.size()));
    }
    const Frame& partial = stage == 3 ? chat : login;
    size_t cut = stage == 1 ? random() % kHeaderSize
                            : kHeaderSize + random() % (partial.size() - kHeaderSize);
    ASSERT_TRUE(ghost->SendRaw(partial.data(), cut));
    ghost->Drop();
  }
  chatting = false;
  chatter.join();

  // Whatever the ghosts did, the room is alice and bob again.
  auto carol = Join("carol");
  ASSERT_TRUE(carol);
  EXPECT_TRUE(WaitForList(*carol, {"carol", "bob", "alice"}));
  carol->Logout();
  EXPECT_TRUE(WaitForList(*alice, {"bob", "alice"}));
  int fds = -1;
  for (int i = 0; i < 100 && fds != fdsBefore; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fds = OpenFds(server.pid);
  }
  EXPECT_EQ(fds, fdsBefore);
  EXPECT_TRUE(server.Alive());
}

}  // namespace
