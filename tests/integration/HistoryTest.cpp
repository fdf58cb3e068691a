// The room's history against the real server: the chat command catching up
// as a late joiner and across an outage, and clients that never ask seeing
// exactly the frames they always saw.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TcpRelay.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

constexpr size_t kNone = std::string::npos;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != kNone; at = text.find(part, at + 1))
    ++n;
  return n;
}

// Sends a public text and waits for the room to relay it back: it is then
// in the history.
void Say(ChatClient& client, const std::string& name, const std::string& text) {
  ASSERT_TRUE(client.SendChat(text));
  ASSERT_TRUE(WaitFrame(client, [&](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.name == name && f.Text() == text;
  })) << text;
}

// Every frame `client` gets until `count` have come, as header fields and
// plaintext, IV aside (it is random).
void Record(ChatClient& client, const std::string& who, size_t count,
            std::vector<std::string>& lines) {
  for (size_t i = 0; i < count; ++i) {
    ReceivedFrame f = Next(client);
    std::string line = who + " type " + std::to_string(f.type) + " kind " + std::to_string(f.kind) +
                       " scope " + std::to_string(f.scope) + " name " + f.name + " payload ";
    line.append(f.payload.begin(), f.payload.end());
    lines.push_back(line);
  }
}

// A session of clients that never ask: logins, a name in use, public,
// private, a stranger's chat, a logout; every frame each of them gets.
std::vector<std::string> SpecEraTranscript(int port) {
  std::vector<std::string> lines;
  auto alice = Connect(port);
  auto bob = Connect(port);
  auto stranger = Connect(port);
  EXPECT_TRUE(alice->Login("alice"));
  Record(*alice, "alice", 2, lines);  // LoginAccepted, the list
  EXPECT_TRUE(bob->Login("alice"));
  Record(*bob, "bob", 1, lines);  // NameInUse
  EXPECT_TRUE(bob->Login("bob"));
  Record(*bob, "bob", 2, lines);
  Record(*alice, "alice", 1, lines);
  EXPECT_TRUE(bob->SendChat("hi"));
  Record(*alice, "alice", 1, lines);
  Record(*bob, "bob", 1, lines);
  EXPECT_TRUE(alice->SendChat("psst", "bob"));
  Record(*bob, "bob", 1, lines);
  EXPECT_TRUE(stranger->SendChat(std::string("bin\0ary", 7), "", PayloadKind::Binary));
  Record(*bob, "bob", 1, lines);
  Record(*alice, "alice", 1, lines);
  EXPECT_TRUE(bob->Logout());
  Record(*alice, "alice", 1, lines);
  // Nothing more: no copy of a private message, nothing for a stranger.
  ReceivedFrame extra;
  EXPECT_EQ(alice->Receive(extra, Deadline::In(300)), RecvStatus::kTimeout) << extra.type;
  EXPECT_EQ(stranger->Receive(extra, Deadline::In(300)), RecvStatus::kTimeout) << extra.type;
  return lines;
}

}  // namespace

// The same session on a server without history and on one that keeps it:
// every frame alike, header fields and plaintext; and the second did keep it.
TEST(History, ClientsThatNeverAskSeeTheFramesTheyAlwaysSaw) {
  TestServer plain, keeping;
  ASSERT_TRUE(plain.Start()) << plain.err;
  ASSERT_TRUE(keeping.Start({"--history", "100", "0"})) << keeping.err;
  const std::vector<std::string> before = SpecEraTranscript(plain.port);
  EXPECT_EQ(before.size(), 12u);
  EXPECT_EQ(SpecEraTranscript(keeping.port), before);

  auto carol = Join(keeping.port, "carol");
  ASSERT_TRUE(carol->RequestHistory(0));
  std::vector<std::string> got;
  ReceivedFrame f = Next(*carol);
  for (; f.type == FrameType::HistoryItem; f = Next(*carol)) {
    ASSERT_GE(f.payload.size(), kHistoryItemPrefix);
    got.push_back(f.name + ": " +
                  std::string(f.payload.begin() + kHistoryItemPrefix, f.payload.end()));
  }
  EXPECT_EQ(f.type, FrameType::HistoryEnd);
  EXPECT_EQ(got, (std::vector<std::string>{
                     "bob: hi" + std::string(14, '\0'),
                     ": bin" + std::string(1, '\0') + "ary" + std::string(9, '\0')}));
}

// A late joiner sees what was said before it came; cut off and back, it sees
// what was said meanwhile, and nothing twice. The chat command dials a relay
// that the test cuts, so the server and its history stay up.
TEST(History, ChatCatchesUpAsLateJoinerAndAfterAnOutage) {
  IgnoreSigpipe();
  TestServer server;
  ASSERT_TRUE(server.Start({"--history", "100", "0"})) << server.err;
  TcpRelay relay;
  ASSERT_TRUE(relay.Start(server.port));
  auto bob = Join(server.port, "bob");
  Say(*bob, "bob", "one");
  Say(*bob, "bob", "two");
  ASSERT_TRUE(bob->SendChat("never kept", "bob"));

  Proc alice;
  ASSERT_TRUE(alice.Spawn({ChatBinary(), "--ca", TestCertsDir() + "/ca.crt", "--reconnect",
                           "--history", "127.0.0.1", std::to_string(relay.port), "alice"}));
  const std::string separator2 = "--- 2 earlier message(s) above ---\n";
  size_t at = alice.WaitFor("<bob> one\n<bob> two\n" + separator2);
  ASSERT_NE(at, kNone) << alice.out << alice.err;
  ASSERT_TRUE(WaitForList(*bob, {"alice", "bob"}));
  Say(*bob, "bob", "before");
  ASSERT_NE(alice.WaitFor("<bob> before\n", 5000, false, at), kNone) << alice.err;

  ASSERT_TRUE(relay.Cut());
  ASSERT_NE(server.WaitFor("[!] User alice offline\n"), kNone) << server.out;
  Say(*bob, "bob", "during 1");
  Say(*bob, "bob", "during 2");
  relay.Restore();
  at = alice.WaitFor("<bob> during 1\n<bob> during 2\n" + separator2, 15000, false, at);
  ASSERT_NE(at, kNone) << alice.out << alice.err;
  Say(*bob, "bob", "after");
  ASSERT_NE(alice.WaitFor("<bob> after\n", 5000, false, at), kNone) << alice.err;
  alice.CloseInput();
  EXPECT_EQ(alice.WaitExit(), 0) << alice.err;
  EXPECT_NE(alice.err.find("reconnecting in 1 s"), kNone) << alice.err;
  for (const char* line : {"one", "two", "before", "during 1", "during 2", "after"})
    EXPECT_EQ(Count(alice.out, std::string("<bob> ") + line + "\n"), 1u) << line << "\n"
                                                                         << alice.out;
  EXPECT_EQ(alice.out.find("never kept"), kNone);
}

}  // namespace saferoom
