// The chat room end to end: real server, several library clients at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace {

class Room : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()) << server.out << server.err; }

  std::unique_ptr<ChatClient> Connect() { return ::Connect(server.port); }
  std::unique_ptr<ChatClient> Join(const std::string& name) { return ::Join(server.port, name); }

  static void ExpectSilence(ChatClient& client, int ms = 300) {
    ReceivedFrame frame;
    EXPECT_EQ(client.Receive(frame, ms), RecvStatus::kTimeout) << "got type " << frame.type;
  }

  static void ExpectClosed(ChatClient& client) {
    ReceivedFrame frame;
    RecvStatus status;
    while ((status = client.Receive(frame, 5000)) == RecvStatus::kFrame) {
    }
    EXPECT_EQ(status, RecvStatus::kClosed);
  }

  TestServer server;
};

TEST_F(Room, SlotsListsAndNoticesFollowJoinsAndLeaves) {
  auto alice = Join("alice");
  auto bob = Connect();
  ASSERT_TRUE(bob->Login("bob"));
  EXPECT_EQ(Next(*bob).type, FrameType::LoginAccepted);
  // The newest member sits in the lower slot, so it is listed first.
  EXPECT_EQ(NextList(*bob), (Names{"bob", "alice"}));
  EXPECT_EQ(NextList(*alice), (Names{"bob", "alice"}));
  ExpectSilence(*alice);  // LoginAccepted went to bob only
  auto carol = Join("carol");
  EXPECT_EQ(NextList(*bob), (Names{"carol", "bob", "alice"}));
  for (const std::string name : {"alice", "bob", "carol"})
    EXPECT_NE(server.WaitFor("[#] User " + name + " online\n"), std::string::npos);

  // Logout and a dropped connection alike: a notice and a list. The highest
  // free slot is taken again.
  ASSERT_TRUE(alice->Logout());
  ExpectClosed(*alice);
  EXPECT_NE(server.WaitFor("[!] User alice offline\n"), std::string::npos);
  EXPECT_EQ(NextList(*bob), (Names{"carol", "bob"}));
  EXPECT_EQ(NextList(*carol), (Names{"carol", "bob"}));
  auto dave = Join("dave");
  EXPECT_EQ(NextList(*bob), (Names{"carol", "bob", "dave"}));
  carol->Drop();
  EXPECT_NE(server.WaitFor("[!] User carol offline\n"), std::string::npos);
  EXPECT_EQ(NextList(*bob), (Names{"bob", "dave"}));

  // A connection that never logged in chats with an empty name, gets no
  // relay itself, and leaves without a notice but still triggers a list.
  auto stranger = Connect();
  ASSERT_TRUE(stranger->SendChat("boo"));
  ReceivedFrame f = Next(*bob);
  EXPECT_EQ(f.name, "");
  EXPECT_EQ(f.Text(), "boo");
  ExpectSilence(*stranger);
  stranger->Drop();
  EXPECT_EQ(NextList(*bob), (Names{"bob", "dave"}));
  server.Pump(100);
  EXPECT_EQ(server.out.find("User  offline"), std::string::npos);
}

TEST_F(Room, NamesAreExactTakenOnlyOnceAndMayBeEmpty) {
  auto bob = Join("bob");
  auto anon = Join("");
  NextList(*bob);
  EXPECT_NE(server.WaitFor("[#] User  online\n"), std::string::npos);
  auto other = Connect();
  for (const char* taken : {"bob", ""}) {
    ASSERT_TRUE(other->Login(taken));
    ReceivedFrame reply = Next(*other);
    EXPECT_EQ(reply.type, FrameType::NameInUse) << taken;
    EXPECT_TRUE(reply.payload.empty());
  }
  ExpectSilence(*bob);  // a refused login changes nothing
  // Case and length matter; the refused connection may try again.
  ASSERT_TRUE(other->Login("Bob"));
  EXPECT_EQ(Next(*other).type, FrameType::LoginAccepted);
  EXPECT_EQ(NextList(*other), (Names{"Bob", "", "bob"}));
  EXPECT_EQ(NextList(*bob), (Names{"Bob", "", "bob"}));
  auto longest = Join("bob-with-a-long-name");  // 20 bytes: no NUL in the list
  EXPECT_EQ(NextList(*bob), (Names{"bob-with-a-long-name", "Bob", "", "bob"}));
  // On the console a name is escaped, valid UTF-8 aside.
  auto evil = Join("\x1b[2Jx\x07y\xc3\xa9\xff");
  EXPECT_NE(server.WaitFor("[#] User \\x1b[2Jx\\x07y\xc3\xa9\\xff online\n"), std::string::npos)
      << server.out;
  EXPECT_EQ(server.out.find('\x1b'), std::string::npos);
}

TEST_F(Room, FullRoomIgnoresASixthLoginAndIdlesWithoutCpu) {
  const Names full = {"m4", "m3", "m2", "m1", "m0"};
  std::vector<std::unique_ptr<ChatClient>> members;
  for (int i = 0; i < 5; ++i)
    members.push_back(Join("m" + std::to_string(i)));
  for (int i = 0; i < 4; ++i)  // the last one read its list as it joined
    ASSERT_TRUE(WaitForList(*members[i], full));
  auto sixth = Connect();
  ASSERT_TRUE(sixth->Login("m5"));
  for (auto& m : members)
    EXPECT_EQ(NextList(*m), full);
  ExpectSilence(*sixth, 500);
  server.Pump(100);
  EXPECT_EQ(server.out.find("m5 online"), std::string::npos);
  // A polling loop would burn about 3000 ms here.
  long before = CpuMs(server.pid);
  SleepMs(3000);
  EXPECT_LT(CpuMs(server.pid) - before, 100) << "ms of CPU in 3 s idle";
}

TEST_F(Room, PublicReachesAllPrivateOnlyItsNamedMember) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  auto carol = Join("carol");
  NextList(*alice);
  NextList(*alice);
  NextList(*bob);
  // Texts around the 16-byte blocks, and the longest a frame may carry.
  for (size_t len : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, kMaxTextLen}) {
    SCOPED_TRACE(len);
    std::string text(len, static_cast<char>('a' + len % 26));
    ASSERT_TRUE(alice->SendChat(text));
    for (ChatClient* c : {alice.get(), bob.get(), carol.get()}) {
      ReceivedFrame f = Next(*c);
      EXPECT_EQ(std::tie(f.type, f.scope, f.name, f.kind),
                std::make_tuple(FrameType::Chat, Scope::Public, "alice", PayloadKind::Text));
      EXPECT_EQ(f.Text(), text);
    }
  }

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

TEST_F(Room, FramesAreIgnoredRelayedOrShortenedByTypeKindAndScope) {
  auto alice = Join("alice");
  // Other types, and Chat and Login with no payload whatever the kind bits,
  // are skipped: the first thing relayed is the chat after them.
  uint8_t pad[16] = {'z'};
  for (uint32_t type : {3u, 4u, 99u}) {
    Frame f = BuildFrame(type, 0, pad, 16, nullptr, 0);
    ASSERT_TRUE(alice->SendRaw(f.data(), f.size()));
  }
  for (uint32_t lengthWord : {0u, 1u, 3u}) {
    for (uint32_t type : {FrameType::Chat, FrameType::Login}) {
      auto h = Header(type, lengthWord, Scope::Public);
      ASSERT_TRUE(alice->SendRaw(h.data(), h.size()));
    }
  }
  // Two letters in a 32-byte text payload come back in 16 bytes.
  ASSERT_TRUE(alice->SendChat(std::string("hi") + std::string(29, '\0')));
  ReceivedFrame f = Next(*alice);
  EXPECT_EQ(f.kind, PayloadKind::Text);
  EXPECT_EQ(f.payload.size(), 16u);
  EXPECT_EQ(f.Text(), "hi");

  for (uint32_t kind : {0u, 2u, 3u}) {
    ASSERT_TRUE(alice->SendChat(std::string("ab\0cd", 5), "", kind));
    f = Next(*alice);
    EXPECT_EQ(f.kind, kind);
    EXPECT_EQ(f.payload.size(), 16u) << kind;
    EXPECT_EQ(std::string(f.payload.begin(), f.payload.end()).substr(0, 5),
              std::string("ab\0cd", 5));
  }

  // Scope 2 with no name, and any other scope, is public.
  const uint8_t noName[kNameSize] = {};
  for (uint32_t scope : {2u, 3u, 0u}) {
    Frame frame = BuildFrame(FrameType::Chat, PayloadKind::Text, "x", 2, noName, scope);
    ASSERT_TRUE(alice->SendRaw(frame.data(), frame.size()));
    EXPECT_EQ(Next(*alice).scope, Scope::Public) << scope;
  }

  // A text that starts with NUL is relayed as a header alone.
  ASSERT_TRUE(alice->SendChat(std::string(15, '\0')));
  f = Next(*alice);
  EXPECT_EQ(f.type, FrameType::Chat);
  EXPECT_TRUE(f.payload.empty());
}

TEST_F(Room, BadLengthsAndCutPayloadsEndTheSessionAndNothingElse) {
  auto alice = Join("alice");
  constexpr struct {
    const char* name;
    uint32_t lengthWord;
  } kCases[] = {{"over the limit", (65536u + 16) << 2},
                {"not a multiple of 16", 20u << 2},
                {"huge", 0xfffffffcu}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto bad = Join("bad");
    EXPECT_EQ(NextList(*alice), (Names{"bad", "alice"}));
    auto h = Header(FrameType::Chat, c.lengthWord, Scope::Public);
    ASSERT_TRUE(bad->SendRaw(h.data(), h.size()));
    ExpectClosed(*bad);
    EXPECT_EQ(NextList(*alice), (Names{"alice"}));
  }
  // A payload cut short by a hang-up is never relayed: the list comes, not a chat.
  auto cut = Join("cut");
  EXPECT_EQ(NextList(*alice), (Names{"cut", "alice"}));
  Frame chat = BuildFrame(FrameType::Chat, PayloadKind::Text, "partial", 8, nullptr, Scope::Public);
  uint32_t lengthWord = 32u << 2 | 1;  // 32 bytes claimed, 16 sent
  std::memcpy(&chat[4], &lengthWord, 4);
  ASSERT_TRUE(cut->SendRaw(chat.data(), chat.size()));
  cut->Drop();
  EXPECT_EQ(NextList(*alice), (Names{"alice"}));
  ExpectSilence(*alice);
  // The limit itself is accepted.
  ASSERT_TRUE(alice->SendChat(std::string(65535, 'x'), "", PayloadKind::Binary));
  EXPECT_EQ(Next(*alice).payload.size(), 65536u);
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

// A member that stops reading is dropped after the send timeout; the others
// keep receiving everything, in order.
TEST_F(Room, StalledReaderCannotFreezeTheRoom) {
  auto alice = Join("alice");
  auto bob = Join("bob");
  auto staller = Join("staller");
  // No member, so nothing is relayed back that it would have to read.
  auto sender = Connect();
  ASSERT_TRUE(sender->conn);
  constexpr uint32_t kMessages = 400;
  std::map<std::string, uint32_t> heard[2];
  std::atomic<bool> inOrder{true};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i)
    readers.emplace_back([&, i] { CountChats(i ? *bob : *alice, kMessages, heard[i], inOrder); });
  // 400 x 60 KiB is far more than the stalled member's socket buffers hold.
  // Until it is dropped nobody is read, so the sender waits longer than the
  // send timeout its library would apply.
  bool sent = true;
  for (uint32_t i = 0; i < kMessages && sent; ++i) {
    std::string text = Numbered(i, 60 * 1024);
    Frame frame = BuildFrame(FrameType::Chat, PayloadKind::Binary, text.data(),
                             static_cast<uint32_t>(text.size()), nullptr, Scope::Public);
    sent = TlsWrite(*sender->conn, frame.data(), frame.size(), 20000);
  }
  EXPECT_TRUE(sent);
  for (auto& t : readers)
    t.join();
  for (const auto& got : heard)
    EXPECT_EQ(got, (std::map<std::string, uint32_t>{{"", kMessages}}));
  EXPECT_TRUE(inOrder.load());
  EXPECT_NE(server.WaitFor("[!] User staller offline\n", 15000), std::string::npos);
  EXPECT_TRUE(server.Alive());
}

}  // namespace
