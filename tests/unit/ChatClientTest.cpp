// The client library's framing of received bytes, and the chat command's
// formatting and command parsing.
#include <gtest/gtest.h>

#include <cstring>

#include "client/ChatClient.h"
#include "client/ChatUi.h"

namespace {

Frame ChatFrame(const std::string& text, const std::string& sender, uint32_t scope) {
  uint8_t name[kNameSize] = {};
  std::memcpy(name, sender.data(), sender.size());
  return BuildFrame(FrameType::Chat, PayloadKind::Text, text.c_str(),
                    static_cast<uint32_t>(text.size() + 1), name, scope);
}

Frame ListFrame(const std::vector<std::string>& names) {
  std::vector<uint8_t> plain(names.size() * kNameSize, 0);
  for (size_t i = 0; i < names.size(); ++i) {
    std::memcpy(plain.data() + i * kNameSize, names[i].data(), names[i].size());
  }
  return BuildFrame(FrameType::UserList, PayloadKind::Binary, plain.data(),
                    static_cast<uint32_t>(plain.size()), nullptr, Scope::None);
}

ReceivedFrame Received(const Frame& bytes) {
  ChatClient client;
  client.inbuf = bytes;
  ReceivedFrame frame;
  EXPECT_EQ(client.Receive(frame, 0), RecvStatus::kFrame);
  return frame;
}

}  // namespace

TEST(ChatClientReceive, SplitsFramesThatArrivedTogether) {
  ChatClient client;  // never connected: Receive frames what inbuf holds
  for (const Frame& f : {ChatFrame("first", "alice", Scope::Public),
                         ChatFrame("a second, longer message", "bob", Scope::Private)}) {
    client.inbuf.insert(client.inbuf.end(), f.begin(), f.end());
  }
  ReceivedFrame frame;
  ASSERT_EQ(client.Receive(frame, 0), RecvStatus::kFrame);
  EXPECT_EQ(frame.Text(), "first");
  EXPECT_EQ(frame.name, "alice");
  EXPECT_EQ(frame.scope, Scope::Public);
  ASSERT_EQ(client.Receive(frame, 0), RecvStatus::kFrame);
  EXPECT_EQ(frame.Text(), "a second, longer message");
  EXPECT_EQ(frame.name, "bob");
  EXPECT_EQ(frame.scope, Scope::Private);
  EXPECT_EQ(frame.kind, PayloadKind::Text);
  EXPECT_TRUE(client.inbuf.empty());
}

TEST(ChatClientReceive, KeepsAPartialFrameUntilTheRestArrives) {
  Frame whole = ChatFrame("split across reads", "carol", Scope::Public);
  ChatClient client;
  client.inbuf.assign(whole.begin(), whole.end() - 5);
  ReceivedFrame frame;
  EXPECT_EQ(client.Receive(frame, 0), RecvStatus::kClosed);
  EXPECT_EQ(client.inbuf.size(), whole.size() - 5);
  client.inbuf.insert(client.inbuf.end(), whole.end() - 5, whole.end());
  ASSERT_EQ(client.Receive(frame, 0), RecvStatus::kFrame);
  EXPECT_EQ(frame.Text(), "split across reads");
}

TEST(ChatClientReceive, RefusesAHeaderAReaderMustNotFollow) {
  Frame f = ChatFrame("x", "dave", Scope::Public);
  f[4] = static_cast<uint8_t>(f[4] + (8 << 2));  // length 24: not a multiple of 16
  ChatClient client;
  client.inbuf = f;
  ReceivedFrame frame;
  EXPECT_EQ(client.Receive(frame, 0), RecvStatus::kBadFrame);
}

TEST(ReceivedFrame, NamesCountEmptyAndFullLengthNames) {
  // 20-byte names have no NUL; an empty name is a member too.
  std::vector<std::string> names = {"", "twenty-bytes-name-ab", "bob"};
  EXPECT_EQ(Received(ListFrame(names)).Names(), names);
  EXPECT_EQ(Received(ListFrame({"a", "b", "c", "d", "e"})).Names(),
            (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_TRUE(Received(ListFrame({})).Names().empty());
}

TEST(ReceivedFrame, TextEndsAtItsNulOrThePayload) {
  ReceivedFrame frame;
  frame.payload = {'h', 'i', 0, 'x', 0};
  EXPECT_EQ(frame.Text(), "hi");
  frame.payload.assign(16, 'z');  // a 16-byte text relayed without its NUL
  EXPECT_EQ(frame.Text(), std::string(16, 'z'));
}

TEST(ChatUi, FormatsPublicPrivateAndAnonymousSenders) {
  EXPECT_EQ(FormatChat(Received(ChatFrame("hello", "alice", Scope::Public))), "<alice> hello");
  EXPECT_EQ(FormatChat(Received(ChatFrame("psst", "bob", Scope::Private))), "*bob* (private) psst");
  EXPECT_EQ(FormatChat(Received(ChatFrame("who am I", "", Scope::Public))),
            "<(anonymous)> who am I");
}

TEST(ChatUi, EscapesControlCharactersInNamesAndText) {
  std::string shown = FormatChat(Received(ChatFrame("red\x1b[31m\x07", "ev\x1bil", Scope::Public)));
  EXPECT_EQ(shown, "<ev\\x1bil> red\\x1b[31m\\x07");
  EXPECT_EQ(FormatMembers({"a\nb", ""}), "In the room (2): a\\x0ab, (anonymous)");
}

TEST(ChatUi, MemberChangesFollowSuccessiveLists) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(MemberChanges({"alice"}, {"bob", "alice"}), Names{"bob joined"});
  EXPECT_EQ(MemberChanges({"alice", "carol"}, {"alice"}), Names{"carol left"});
  EXPECT_EQ(MemberChanges({"alice", "carol"}, {"dave", "alice"}),
            (Names{"carol left", "dave joined"}));
  EXPECT_TRUE(MemberChanges({"alice", "bob"}, {"bob", "alice"}).empty());  // slots moved
  EXPECT_EQ(MemberChanges({""}, {"", ""}), Names{"(anonymous) joined"});
}

TEST(ChatUi, ParsesCommandsAndPlainLines) {
  Command c = ParseCommand("/msg bob  see  you");
  EXPECT_EQ(c.kind, Command::kMsg);
  EXPECT_EQ(c.name, "bob");
  EXPECT_EQ(c.text, "see  you");

  c = ParseCommand("/msg \"bob smith\" hi there");
  EXPECT_EQ(c.kind, Command::kMsg);
  EXPECT_EQ(c.name, "bob smith");
  EXPECT_EQ(c.text, "hi there");

  EXPECT_EQ(ParseCommand("/msg bob").kind, Command::kBadUse);
  EXPECT_EQ(ParseCommand("/nick").kind, Command::kBadUse);
  c = ParseCommand("/nick  new name ");
  EXPECT_EQ(c.kind, Command::kNick);
  EXPECT_EQ(c.name, "new name");

  EXPECT_EQ(ParseCommand("/whoami").kind, Command::kUnknown);
  EXPECT_EQ(ParseCommand("/who").kind, Command::kWho);
  EXPECT_EQ(ParseCommand("/quit").kind, Command::kQuit);

  c = ParseCommand("//not a command");
  EXPECT_EQ(c.kind, Command::kSay);
  EXPECT_EQ(c.text, "/not a command");
  c = ParseCommand(" /msg is just text");
  EXPECT_EQ(c.kind, Command::kSay);
  EXPECT_EQ(c.text, " /msg is just text");
}
