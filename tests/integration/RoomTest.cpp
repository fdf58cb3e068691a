// The chat room end to end: real server, several library clients at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/ChatClient.h"
#include "protect/Frame.h"
#include "tests/support/TestServer.h"

namespace {

using Names = std::vector<std::string>;

class Room : public ::testing::Test {
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
    EXPECT_TRUE(client->Connect(options, error, message)) << message;
    return client;
  }

  // Logs in and consumes LoginAccepted and the member list that follows.
  std::unique_ptr<ChatClient> Join(const std::string& name) {
    auto client = Connect();
    EXPECT_TRUE(client->Login(name));
    EXPECT_EQ(Next(*client).type, FrameType::LoginAccepted) << name;
    EXPECT_EQ(Next(*client).type, FrameType::UserList) << name;
    return client;
  }

  static ReceivedFrame Next(ChatClient& client, int timeoutMs = 5000) {
    ReceivedFrame frame;
    RecvStatus status = client.Receive(frame, timeoutMs);
    EXPECT_EQ(status, RecvStatus::kFrame);
    if (status != RecvStatus::kFrame) frame.type = 0xffffffff;
    return frame;
  }

  static Names NextList(ChatClient& client) {
    ReceivedFrame frame = Next(client);
    EXPECT_EQ(frame.type, FrameType::UserList);
    return frame.Names();
  }

  static void ExpectSilence(ChatClient& client, int ms = 300) {
    ReceivedFrame frame;
    EXPECT_EQ(client.Receive(frame, ms), RecvStatus::kTimeout) << "got type " << frame.type;
  }

  static void ExpectClosed(ChatClient& client) {
    ReceivedFrame frame;
    RecvStatus status;
    do {
      status = client.Receive(frame, 5000);
    } while (status == RecvStatus::kFrame);
    EXPECT_EQ(status, RecvStatus::kClosed);
  }

  static std::vector<uint8_t> Header(uint32_t type, uint32_t lengthWord, uint32_t scope = 0) {
    std::vector<uint8_t> h(kHeaderSize, 0);
    std::memcpy(&h[0], &type, 4);
    std::memcpy(&h[4], &lengthWord, 4);
    std::memcpy(&h[8], &scope, 4);
    return h;
  }

  TestServer server;
};

TEST_F(Room, MembersFillSlotsFromTheTopAndEveryoneGetsTheList) {
  auto alice = Join("alice");
  auto bob = Connect();
  ASSERT_TRUE(bob->Login("bob"));
  EXPECT_EQ(Next(*bob).type, FrameType::LoginAccepted);
  // The newest member sits in the lower slot, so it is listed first.
  EXPECT_EQ(NextList(*bob), (Names{"bob", "alice"}));
  EXPECT_EQ(NextList(*alice), (Names{"bob", "alice"}));
  ExpectSilence(*alice);  // LoginAccepted went to bob only
  EXPECT_NE(server.WaitFor("[#] User alice online\n"), std::string::npos);
  EXPECT_NE(server.WaitFor("[#] User bob online\n"), std::string::npos);

  // After a departure the highest free slot is taken again.
  alice->Logout();
  ExpectClosed(*alice);
  EXPECT_EQ(NextList(*bob), (Names{"bob"}));
  auto carol = Join("carol");
  EXPECT_EQ(NextList(*bob), (Names{"bob", "carol"}));
}

TEST_F(Room, NamesAreExactAndTakenOnlyOnce) {
  auto bob = Join("bob");
  auto other = Connect();
  ASSERT_TRUE(other->Login("bob"));
  ReceivedFrame reply = Next(*other);
  EXPECT_EQ(reply.type, FrameType::NameInUse);
  EXPECT_TRUE(reply.payload.empty());
  ExpectSilence(*bob);  // a refused login changes nothing
  // Case and length matter; the same connection may try again.
  ASSERT_TRUE(other->Login("Bob"));
  EXPECT_EQ(Next(*other).type, FrameType::LoginAccepted);
  EXPECT_EQ(NextList(*other), (Names{"Bob", "bob"}));
  EXPECT_EQ(NextList(*bob), (Names{"Bob", "bob"}));

  auto third = Connect();
  ASSERT_TRUE(third->Login("bobby"));
  EXPECT_EQ(Next(*third).type, FrameType::LoginAccepted);
}

TEST_F(Room, EmptyNameIsAMemberButOnlyOnce) {
  auto anon = Join("");
  auto other = Connect();
  ASSERT_TRUE(other->Login(""));
  EXPECT_EQ(Next(*other).type, FrameType::NameInUse);
  EXPECT_NE(server.WaitFor("[#] User  online\n"), std::string::npos);
}

TEST_F(Room, SixthLoginGetsNoReplyAndTheListStaysTheSame) {
  std::vector<std::unique_ptr<ChatClient>> members;
  for (int i = 0; i < 5; ++i) {
    members.push_back(Join("m" + std::to_string(i)));
    for (int j = 0; j < i; ++j)
      NextList(*members[j]);
  }
  Names full = {"m4", "m3", "m2", "m1", "m0"};
  auto sixth = Connect();
  ASSERT_TRUE(sixth->Login("m5"));
  for (auto& m : members)
    EXPECT_EQ(NextList(*m), full);
  ExpectSilence(*sixth, 500);
  server.Pump(100);
  EXPECT_EQ(server.out.find("m5 online"), std::string::npos);
}

TEST_F(Room, PublicReachesEveryoneWithSenderAndScope) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  NextList(*alice);
  ASSERT_TRUE(alice->SendChat("hello room"));
  for (ChatClient* c : {alice.get(), bob.get()}) {
    ReceivedFrame f = Next(*c);
    EXPECT_EQ(f.type, FrameType::Chat);
    EXPECT_EQ(f.scope, Scope::Public);
    EXPECT_EQ(f.name, "alice");
    EXPECT_EQ(f.kind, PayloadKind::Text);
    EXPECT_EQ(f.Text(), "hello room");
  }
}

TEST_F(Room, PrivateGoesToTheNamedMemberOnly) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  auto carol = Join("carol");
  NextList(*alice);
  NextList(*alice);
  NextList(*bob);

  ASSERT_TRUE(alice->SendChat("psst", "bob"));
  ReceivedFrame f = Next(*bob);
  EXPECT_EQ(f.scope, Scope::Private);
  EXPECT_EQ(f.name, "alice");
  EXPECT_EQ(f.Text(), "psst");

  ASSERT_TRUE(alice->SendChat("note to self", "alice"));
  EXPECT_EQ(Next(*alice).Text(), "note to self");
  ExpectSilence(*alice);

  ASSERT_TRUE(alice->SendChat("anyone?", "nobody"));
  ASSERT_TRUE(carol->SendChat("marker"));  // delivered after the private one
  for (ChatClient* c : {alice.get(), bob.get(), carol.get()})
    EXPECT_EQ(Next(*c).Text(), "marker");
  ExpectSilence(*bob);
}

TEST_F(Room, ScopeTwoWithEmptyNameAndOtherScopesArePublic) {
  auto alice = Join("alice");
  for (uint32_t scope : {2u, 3u, 0u}) {
    std::vector<uint8_t> raw = Header(FrameType::Chat, 0, scope);
    Frame frame = BuildFrame(FrameType::Chat, PayloadKind::Text, "x", 2, raw.data() + 12, scope);
    ASSERT_FALSE(frame.empty());
    ASSERT_TRUE(alice->SendRaw(frame.data(), frame.size()));
    ReceivedFrame f = Next(*alice);
    EXPECT_EQ(f.scope, Scope::Public) << scope;
  }
}

TEST_F(Room, KindPassesThroughAndTextIsShortened) {
  auto alice = Join("alice");
  // Two letters in a 32-byte text payload come back in 16 bytes.
  uint8_t text[32] = {'h', 'i'};
  Frame frame = BuildFrame(FrameType::Chat, PayloadKind::Binary, text, 32, nullptr, Scope::Public);
  frame[4] |= PayloadKind::Text;
  ASSERT_TRUE(alice->SendRaw(frame.data(), frame.size()));
  ReceivedFrame f = Next(*alice);
  EXPECT_EQ(f.kind, PayloadKind::Text);
  EXPECT_EQ(f.payload.size(), 16u);
  EXPECT_EQ(f.Text(), "hi");

  for (uint32_t kind : {0u, 2u, 3u}) {
    ASSERT_TRUE(alice->SendChat(std::string("ab\0cd", 5), "", kind));
    f = Next(*alice);
    EXPECT_EQ(f.kind, kind);
    EXPECT_EQ(f.payload.size(), 16u) << kind;
    EXPECT_EQ(std::string(f.payload.begin(), f.payload.begin() + 5), std::string("ab\0cd", 5));
  }

  // A text that starts with NUL is relayed as a header alone.
  uint8_t empty[16] = {};
  frame = BuildFrame(FrameType::Chat, PayloadKind::Binary, empty, 16, nullptr, Scope::Public);
  frame[4] |= PayloadKind::Text;
  ASSERT_TRUE(alice->SendRaw(frame.data(), frame.size()));
  f = Next(*alice);
  EXPECT_EQ(f.type, FrameType::Chat);
  EXPECT_TRUE(f.payload.empty());
}

TEST_F(Room, IgnoredFramesLeaveTheSessionReading) {
  auto alice = Join("alice");
  uint8_t pad[16] = {'z'};
  for (uint32_t type : {3u, 4u, 99u}) {
    Frame f = BuildFrame(type, 0, pad, 16, nullptr, 0);
    ASSERT_TRUE(alice->SendRaw(f.data(), f.size()));
  }
  // Chat and Login with no payload, whatever the kind bits.
  for (uint32_t lengthWord : {0u, 1u, 3u}) {
    auto h = Header(FrameType::Chat, lengthWord, Scope::Public);
    ASSERT_TRUE(alice->SendRaw(h.data(), h.size()));
    h = Header(FrameType::Login, lengthWord);
    ASSERT_TRUE(alice->SendRaw(h.data(), h.size()));
  }
  ExpectSilence(*alice);
  ASSERT_TRUE(alice->SendChat("still here"));
  EXPECT_EQ(Next(*alice).Text(), "still here");
}

TEST_F(Room, NonMemberChatIsRelayedWithAnEmptyName) {
  auto alice = Join("alice");
  auto stranger = Connect();
  ASSERT_TRUE(stranger->SendChat("boo"));
  ReceivedFrame f = Next(*alice);
  EXPECT_EQ(f.name, "");
  EXPECT_EQ(f.Text(), "boo");
  ExpectSilence(*stranger);
}

TEST_F(Room, LogoutAndDropBothAnnounceAndUpdateTheList) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  auto carol = Join("carol");
  NextList(*alice);
  NextList(*alice);
  NextList(*bob);

  ASSERT_TRUE(bob->Logout());
  ExpectClosed(*bob);
  EXPECT_NE(server.WaitFor("[!] User bob offline\n"), std::string::npos);
  EXPECT_EQ(NextList(*alice), (Names{"carol", "alice"}));
  EXPECT_EQ(NextList(*carol), (Names{"carol", "alice"}));

  carol->Drop();
  EXPECT_NE(server.WaitFor("[!] User carol offline\n"), std::string::npos);
  EXPECT_EQ(NextList(*alice), (Names{"alice"}));

  // A connection that never logged in leaves without a notice but still
  // triggers a list.
  auto stranger = Connect();
  stranger->Drop();
  EXPECT_EQ(NextList(*alice), (Names{"alice"}));
  server.Pump(100);
  EXPECT_EQ(server.out.find("User  offline"), std::string::npos);
}

TEST_F(Room, BadLengthsEndTheSessionAndNothingElse) {
  auto alice = Join("alice");
  struct Case {
    const char* name;
    uint32_t lengthWord;
  } cases[] = {{"over the limit", (65536u + 16) << 2},
               {"not a multiple of 16", 20u << 2},
               {"huge", 0xfffffffcu}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bad = Join("bad");
    EXPECT_EQ(NextList(*alice), (Names{"bad", "alice"}));
    auto h = Header(FrameType::Chat, c.lengthWord, Scope::Public);
    ASSERT_TRUE(bad->SendRaw(h.data(), h.size()));
    ExpectClosed(*bad);
    EXPECT_EQ(NextList(*alice), (Names{"alice"}));
  }
  // The limit itself is accepted.
  std::string big(65535, 'x');
  ASSERT_TRUE(alice->SendChat(big, "", PayloadKind::Binary));
  ReceivedFrame f = Next(*alice);
  EXPECT_EQ(f.payload.size(), 65536u);
}

TEST_F(Room, TruncatedPayloadIsNeverRelayed) {
  auto alice = Join("alice");
  auto cut = Join("cut");
  NextList(*alice);
  Frame frame =
      BuildFrame(FrameType::Chat, PayloadKind::Text, "partial", 8, nullptr, Scope::Public);
  std::vector<uint8_t> chat(frame.begin(), frame.end());
  // Claim 32 payload bytes, send 16, hang up.
  uint32_t lengthWord = 32u << 2 | 1;
  std::memcpy(&chat[4], &lengthWord, 4);
  ASSERT_TRUE(cut->SendRaw(chat.data(), chat.size()));
  cut->Drop();
  EXPECT_EQ(NextList(*alice), (Names{"alice"}));  // the list, not a chat
  ExpectSilence(*alice);
}

TEST_F(Room, TwoSlotConnectionGetsDoublesAndLeavesCompletely) {
  auto alice = Join("alice");
  auto twin = Join("one");
  NextList(*alice);
  ASSERT_TRUE(twin->Login("two"));
  EXPECT_EQ(Next(*twin).type, FrameType::LoginAccepted);
  EXPECT_EQ(NextList(*twin), (Names{"two", "one", "alice"}));
  EXPECT_EQ(NextList(*twin), (Names{"two", "one", "alice"}));  // once per slot
  EXPECT_EQ(NextList(*alice), (Names{"two", "one", "alice"}));

  ASSERT_TRUE(alice->SendChat("hi twins"));
  EXPECT_EQ(Next(*alice).Text(), "hi twins");
  EXPECT_EQ(Next(*twin).Text(), "hi twins");
  EXPECT_EQ(Next(*twin).Text(), "hi twins");

  twin->Drop();
  EXPECT_NE(server.WaitFor("[!] User two offline\n"), std::string::npos);
  EXPECT_NE(server.WaitFor("[!] User one offline\n"), std::string::npos);
  EXPECT_EQ(NextList(*alice), (Names{"alice"}));
  // Both names are free again.
  auto again = Join("one");
  auto again2 = Join("two");
}

TEST_F(Room, NamesOnTheConsoleAreEscaped) {
  auto evil = Join("\x1b[2Jx\x07y\xc3\xa9\xff");
  size_t at = server.WaitFor(" online\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NE(server.out.find("[#] User \\x1b[2Jx\\x07y\xc3\xa9\\xff online\n"), std::string::npos)
      << server.out;
  EXPECT_EQ(server.out.find('\x1b'), std::string::npos);
}

TEST_F(Room, IdleServerUsesNoMeasurableCpu) {
  std::vector<std::unique_ptr<ChatClient>> members;
  for (int i = 0; i < 5; ++i)
    members.push_back(Join("idle" + std::to_string(i)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long before = CpuMs(server.pid);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  long used = CpuMs(server.pid) - before;
  // A polling loop would burn about 3000 ms here.
  EXPECT_LT(used, 100) << "ms of CPU in 3 s idle";
}

TEST_F(Room, DescriptorsReturnToTheirCountAfterChurn) {
  {
    auto warm = Join("warm");
    warm->Logout();
    ExpectClosed(*warm);
  }
  int start = -1;
  for (int i = 0; i < 50 && start != OpenFds(server.pid); ++i) {
    start = OpenFds(server.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (int i = 0; i < 40; ++i) {
    auto c = Join("churn" + std::to_string(i));
    if (i % 2) {
      c->Logout();
      ExpectClosed(*c);
    } else {
      c->Drop();
    }
  }
  int now = -1;
  for (int i = 0; i < 100 && now != start; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    now = OpenFds(server.pid);
  }
  EXPECT_EQ(now, start);
}

// A member that stops reading is dropped after the send timeout; the others
// keep receiving everything, in order.
TEST_F(Room, StalledReaderCannotFreezeTheRoom) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  NextList(*alice);
  auto staller = Join("staller");
  NextList(*alice);
  NextList(*bob);

  constexpr int kMessages = 400;
  std::atomic<int> bobGot{0};
  std::atomic<bool> bobInOrder{true};
  std::thread reader([&] {
    ReceivedFrame f;
    int expect = 0;
    while (expect < kMessages && bob->Receive(f, 20000) == RecvStatus::kFrame) {
      if (f.type != FrameType::Chat) continue;
      if (f.payload.size() < 4 || std::memcmp(f.payload.data(), &expect, 4) != 0)
        bobInOrder = false;
      ++expect;
      bobGot = expect;
    }
  });
  std::thread aliceReader([&] {
    ReceivedFrame f;
    int got = 0;
    while (got < kMessages && alice->Receive(f, 20000) == RecvStatus::kFrame) {
      if (f.type == FrameType::Chat) ++got;
    }
  });
  // 400 x 60 KiB is far more than the stalled member's socket buffers hold.
  std::string payload(60 * 1024, 'p');
  for (int i = 0; i < kMessages; ++i) {
    std::memcpy(&payload[0], &i, 4);
    ASSERT_TRUE(alice->SendChat(payload, "", PayloadKind::Binary));
  }
  reader.join();
  aliceReader.join();
  EXPECT_EQ(bobGot.load(), kMessages);
  EXPECT_TRUE(bobInOrder.load());
  EXPECT_NE(server.WaitFor("[!] User staller offline\n", 15000), std::string::npos);
  EXPECT_TRUE(server.Alive());
}

}  // namespace
