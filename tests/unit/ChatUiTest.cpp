// The chat command's reading of member lists and typed lines.
#include <gtest/gtest.h>

#include "client/ChatUi.h"

namespace {

using Names = std::vector<std::string>;

TEST(ChatUi, MemberChangesFollowSuccessiveLists) {
  EXPECT_EQ(MemberChanges({"alice", "carol"}, {"dave", "alice"}),
            (Names{"carol left", "dave joined"}));
  EXPECT_TRUE(MemberChanges({"alice", "bob"}, {"bob", "alice"}).empty());  // slots moved
  // An empty name shows as anonymous, and each copy of a name counts.
  EXPECT_EQ(MemberChanges({""}, {"", ""}), Names{"(anonymous) joined"});
}

TEST(ChatUi, ParsesCommandsAndPlainLines) {
  constexpr struct {
    const char* line;
    Command::Kind kind;
    const char* name;  // null: not checked
    const char* text;
  } kCases[] = {
      {"/msg bob  see  you", Command::kMsg, "bob", "see  you"},
      {"/msg \"bob smith\" hi there", Command::kMsg, "bob smith", "hi there"},
      {"/msg bob", Command::kBadUse, nullptr, nullptr},
      {"/nick", Command::kBadUse, nullptr, nullptr},
      {"/nick  new name ", Command::kNick, "new name", nullptr},
      {"/whoami", Command::kUnknown, nullptr, nullptr},
      {"/who", Command::kWho, nullptr, nullptr},
      {"/quit", Command::kQuit, nullptr, nullptr},
      {"//not a command", Command::kSay, nullptr, "/not a command"},
      {" /msg is just text", Command::kSay, nullptr, " /msg is just text"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    Command got = ParseCommand(c.line);
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.name, c.name != nullptr ? c.name : got.name);
    EXPECT_EQ(got.text, c.text != nullptr ? c.text : got.text);
  }
}

}  // namespace
