// The chat command as scripts use it, through pipes, and as people do, on a
// terminal in a shell, against the real server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/Pty.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TcpRelay.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

constexpr size_t kNone = std::string::npos;

class ChatCli : public ::testing::Test {
 protected:
  void SetUp() override {
    IgnoreSigpipe();  // a chat that ended early must fail the test, not kill it
    ASSERT_TRUE(server.Start()) << server.err;
  }

  // The chat command as `name`, verifying the server with the test CA unless
  // `options` are given; `port` 0 is the server's.
  bool StartChat(Proc& chat, const std::string& name, std::vector<std::string> options = {},
                 const std::string& host = "127.0.0.1", const std::string& dir = "", int port = 0) {
    std::vector<std::string> argv = {ChatBinary()};
    if (options.empty()) options = {"--ca", TestCertsDir() + "/ca.crt"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {host, std::to_string(port ? port : server.port), name});
    return chat.Spawn(argv, dir);
  }

  TestServer server;
};

bool IsChat(const ReceivedFrame& f, const std::string& from, const std::string& text) {
  return f.type == FrameType::Chat && f.name == from && f.Text() == text;
}

// The next chat `client` gets (member lists skipped), as "from: text".
std::string NextChat(ChatClient& client) {
  std::string said = "(none)";
  WaitFrame(client, [&](const ReceivedFrame& f) {
    if (f.type == FrameType::Chat) said = f.name + ": " + f.Text();
    return f.type == FrameType::Chat;
  });
  return said;
}

}  // namespace

TEST_F(ChatCli, FailuresExitWithTheirStatus) {
  std::vector<std::unique_ptr<ChatClient>> members;  // a full room, x among them
  for (const char* name : {"x", "m1", "m2", "m3", "m4"})
    members.push_back(Join(server.port, name));
  const std::string certs = TestCertsDir() + "/";
  const std::string member = TestMember();
  // A port held by a connection of ours, on which nothing listens.
  UniqueFd held = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(5000));
  const struct {
    std::vector<std::string> options;
    const char* host;
    int status;
    std::string says;
    std::string dir = "";  // where chat runs: here when empty
    const char* name = "x";
    int port = 0;
  } cases[] = {
      {{"--bogus"}, "127.0.0.1", 2, "unknown option --bogus; try chat --help"},
      {{"--ca", certs + "none.crt"}, "127.0.0.1", 2, "none.crt"},
      {{"--ca", certs + "ca.crt", "--cert", member + ".crt"},
       "127.0.0.1",
       2,
       "the key is not in the certificate file " + member + ".crt; --key FILE"},
      {{"--ca", certs + "ca.crt", "--cert", member + ".crt", "--key", certs + "server.key"},
       "127.0.0.1",
       2,
       "server.key"},
      {{"--ca", certs + "other/ca.crt"}, "127.0.0.1", 4, "verification failed"},
      // No certs/ca.crt where it runs: the system's CAs do not know ours.
      {{"--timestamps"},
       "127.0.0.1",
       4,
       "there is no certs/ca.crt in the working directory, so the system's trusted CAs were "
       "asked; --ca FILE",
       certs},
      // A loopback address the certificate does not name.
      {{"--ca", certs + "ca.crt"}, "127.0.0.2", 4, "certificate does not name 127.0.0.2"},
      {{"--ca", certs + "ca.crt"}, "no-such-host.invalid", 3, "does not resolve"},
      {{}, "127.0.0.1", 3, "cannot connect", "", "x", LocalPort(held.Get())},
      // A private room would want the certificate's name (its CN is chat-client).
      {{"--ca", certs + "ca.crt", "--cert", member + ".crt", "--key", member + ".key"},
       "127.0.0.1",
       5,
       "the name x is in use, or it is not the name in your certificate, chat-client,"},
      // Without --ca: certs/ca.crt of the working directory.
      {{"--timestamps"}, "127.0.0.1", 5, "the name x is in use", server.dir},
      {{"--ca", certs + "ca.crt"}, "127.0.0.1", 6, "the room is full (5 members)", "", "sixth"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    Proc chat;
    ASSERT_TRUE(StartChat(chat, c.name, c.options, c.host, c.dir, c.port));
    EXPECT_EQ(chat.WaitExit(), c.status);
    EXPECT_NE(chat.err.find(c.says), kNone) << chat.err;
  }

  // Every complaint begins with the name it was started as (installed:
  // saferoom), as --help does.
  const std::string link = server.dir + "/saferoom";
  ASSERT_EQ(symlink(ChatBinary().c_str(), link.c_str()), 0);
  Proc usage;
  ASSERT_TRUE(usage.Spawn({link, "--bogus"}));
  EXPECT_EQ(usage.WaitExit(), 2);
  EXPECT_EQ(usage.err, "saferoom: unknown option --bogus; try saferoom --help\n");
  members.pop_back();
  ASSERT_NE(server.WaitFor("[!] User m4 offline\n"), kNone);  // a place in the room again
  Proc insecure;
  ASSERT_TRUE(
      insecure.Spawn({link, "--insecure", "127.0.0.2", std::to_string(server.port), "trusting"}));
  ASSERT_TRUE(insecure.Send("made it\n/msg nobody x\n"));
  EXPECT_NE(insecure.WaitFor("<trusting> made it\n"), kNone) << insecure.err;
  insecure.CloseInput();
  EXPECT_EQ(insecure.WaitExit(), 8) << insecure.err;
  EXPECT_EQ(insecure.err,
            "saferoom: --insecure: the server's certificate is not verified\n"
            "saferoom: not sent: nobody named nobody is in the room (names are case-sensitive; "
            "/who lists them)\n"
            "saferoom: 1 input line(s) not sent, each said above\n");
}

TEST_F(ChatCli, EndOfInputLogsOutAfterTheRoomGotEverything) {
  auto watcher = Join(server.port, "watcher");
  Proc dave;
  ASSERT_TRUE(StartChat(dave, "dave"));
  // A line too long for a frame and a /msg to nobody in the room are not
  // sent; then more lines than the client lets wait for their echo at once.
  std::string input = std::string(kMaxTextLen + 1, 'a') + "\n/msg Watcher hi\n";
  for (int i = 0; i < 200; ++i)
    input += "line " + std::to_string(i) + "\n";
  ASSERT_TRUE(dave.Send(input));
  ASSERT_TRUE(WaitForList(*watcher, {"dave", "watcher"}));
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(IsChat(Next(*watcher), "dave", "line " + std::to_string(i))) << i;
  ASSERT_NE(dave.WaitFor("<dave> line 199\n"), kNone);
  // Private messages never come back to their sender, and the member list
  // after a logout does not wait for the relay: what was sent last, then the
  // end of input, must still all reach the watcher before dave leaves.
  std::string privates;
  for (int i = 0; i < 100; ++i)
    privates += "/msg watcher p" + std::to_string(i) + "\n";
  ASSERT_TRUE(dave.Send(privates));
  dave.CloseInput();
  for (int i = 0; i < 100; ++i) {
    ReceivedFrame next = Next(*watcher);
    ASSERT_TRUE(IsChat(next, "dave", "p" + std::to_string(i)) && next.scope == Scope::Private)
        << "dave left before his private message " << i << " was relayed";
  }
  EXPECT_EQ(Next(*watcher).Names(), Names{"watcher"});
  EXPECT_EQ(dave.WaitExit(), 8) << dave.err;
  // The member list on joining, first, in the server's order.
  const std::string first = dave.out.substr(0, dave.out.find('\n'));
  EXPECT_TRUE(first == "In the room (2): watcher, dave" ||
              first == "In the room (2): dave, watcher")
      << first;
  EXPECT_NE(dave.err.find("nobody named Watcher"), kNone) << dave.err;
  EXPECT_NE(dave.err.find("2 input line(s) not sent"), kNone) << dave.err;
  EXPECT_NE(server.WaitFor("[!] User dave offline"), kNone);
}

// The server drops alice while she is stopped and reads nothing; running
// again, she dials again on her own and logs in under the same name. She
// shows a client certificate too.
TEST_F(ChatCli, PipeReconnectsAfterTheServerDroppedIt) {
  Proc alice;
  const std::string certs = TestCertsDir() + "/";
  const std::string member = TestMember();
  ASSERT_TRUE(StartChat(alice, "alice",
                        {"--ca", certs + "ca.crt", "--cert", member + ".crt", "--key",
                         member + ".key", "--reconnect", "--timestamps"}));
  ASSERT_TRUE(alice.Send("before\n"));
  ASSERT_NE(alice.WaitFor(" <alice> before\n"), kNone) << alice.err;
  ASSERT_EQ(kill(alice.pid, SIGSTOP), 0);
  auto sender = Connect(server.port);
  const std::string big = "x" + std::string(65535, '\0');  // shown as "x"
  for (int i = 0; i < 100; ++i)  // far more than the kernel buffers for her
    ASSERT_TRUE(sender->SendChat(big, "", PayloadKind::Binary));
  size_t at = server.WaitFor("[!] User alice offline\n", 15000);
  kill(alice.pid, SIGCONT);
  ASSERT_NE(at, kNone) << server.out;
  ASSERT_NE(alice.WaitFor("reconnecting in 1 s", 5000, true), kNone) << alice.err;
  ASSERT_NE(server.WaitFor("[#] User alice online\n", 5000, false, at), kNone) << alice.err;
  ASSERT_TRUE(alice.Send("after\n"));
  ASSERT_NE(alice.WaitFor(" <alice> after\n"), kNone) << alice.err;
  EXPECT_NE(alice.out.find(" <(anonymous)> x\n"), kNone);  // what came before the drop
  alice.CloseInput();
  EXPECT_EQ(alice.WaitExit(), 0) << alice.err;
  // --timestamps: "2024-05-01T12:34:56+02:00 <alice> before".
  const std::string& out = alice.out;
  ASSERT_GE(out.size(), 26u);
  EXPECT_TRUE(out[4] == '-' && out[10] == 'T' && out[19] != ' ' && out[22] == ':' && out[25] == ' ')
      << out;
}

// At a terminal, in a shell with job control: Ctrl-Z and fg give the terminal
// back and take it again with the draft drawn; a paste is text; Ctrl-C
// clears the line, then leaves.
TEST_F(ChatCli, OnATerminalSuspendPasteResizeAndInterrupt) {
  auto watcher = Join(server.port, "watcher");
  PtyShell term;
  ASSERT_TRUE(term.Spawn(60, 40, server.dir));  // where certs/ca.crt verifies the server
  ASSERT_TRUE(term.Send(ChatBinary() + " 127.0.0.1 " + std::to_string(server.port) + " alice\n"));
  size_t at = term.WaitFor("alice> ");
  ASSERT_NE(at, kNone) << term.out;
  ASSERT_NE(at = term.WaitFor("draft", term.Send("a draft") ? at : kNone), kNone) << term.out;

  ASSERT_TRUE(term.Send("\x1a"));  // Ctrl-Z
  ASSERT_NE(at = term.WaitFor("Stopped", at), kNone) << term.out;
  ASSERT_NE(at = term.WaitFor("$ ", at), kNone) << term.out;  // the shell has the terminal
  EXPECT_FALSE(term.Raw());
  ASSERT_TRUE(term.Send("fg\n"));
  ASSERT_NE(at = term.WaitFor("alice> a draft", at), kNone) << term.out;
  EXPECT_TRUE(term.Raw());
  ASSERT_TRUE(
      term.Send("\x15"
                "fresh\r"));  // Ctrl-U: libedit's, not the line discipline's
  EXPECT_EQ(NextChat(*watcher), "alice: fresh");

  const std::vector<std::string> pasted = {"see this path:", "/usr/bin/env", "and then", "/quit",
                                           "more after quit"};
  std::string paste;
  for (const std::string& line : pasted)
    paste += line + "\n";
  ASSERT_TRUE(term.Send("\x1b[200~" + paste + "\x1b[201~"));
  for (const std::string& line : pasted)
    EXPECT_EQ(NextChat(*watcher), "alice: " + line);
  ASSERT_NE(at = term.WaitFor("more after quit", at), kNone) << term.out;

  ASSERT_TRUE(term.Send("a draft"));
  ASSERT_NE(at = term.WaitFor("draft", at), kNone) << term.out;
  ASSERT_TRUE(term.Send("\x03"));
  ASSERT_NE(at = term.WaitFor("Line cleared", at), kNone) << term.out;
  ASSERT_TRUE(term.Send("\x03"));
  EXPECT_NE(server.WaitFor("[!] User alice offline\n"), kNone);
  EXPECT_NE(term.WaitFor("$ ", at), kNone) << term.out;
  EXPECT_EQ(Next(*watcher).Names(), Names{"watcher"}) << "the cleared draft was sent";
}

// A wrapped draft, the terminal narrowed then widened: one copy of it on the
// screen each time, on a terminal that rewraps its lines (wide characters
// too) and on one that cuts them.
TEST_F(ChatCli, OnATerminalAResizedDraftShowsOnce) {
  const struct {
    bool reflow;
    std::string draft;
  } kCases[] = {
      // 7 + 62 cells: two rows at 60 columns, three at 25, one at 80.
      {true, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      {false, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      // 7 + 80 cells: a wide character does not fit at the end of the first
      // row at 60 columns, nor of the second at 25.
      {true,
       "\u4e00\u4e8c\u4e09\u56db\u4e94\u516d\u4e03\u516b\u4e5d\u5341"
       "\u4e00\u4e8c\u4e09\u56db\u4e94\u516d\u4e03\u516b\u4e5d\u5341"
       "\u4e00\u4e8c\u4e09\u56db\u4e94\u516d\u4e03\u516b\u4e5d\u5341"
       "\u4e00\u4e8c\u4e09\u56db\u4e94\u516d\u4e03\u516b\u4e5d\u5341"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << (c.reflow ? "rewrapping " : "cutting ") << c.draft);
    PtyShell term;
    term.reflow = c.reflow;
    ASSERT_TRUE(term.Spawn(60, 40, server.dir));
    ASSERT_TRUE(term.Send(ChatBinary() + " 127.0.0.1 " + std::to_string(server.port) + " alice\n"));
    size_t at = term.WaitFor("alice> ");
    ASSERT_NE(at, kNone) << term.out;
    ASSERT_TRUE(term.Send(c.draft));
    ASSERT_NE(at = term.WaitFor(c.draft.substr(c.draft.size() - 3), at), kNone) << term.out;
    const std::string start = "alice> " + c.draft.substr(0, 6);
    for (const auto& [cols, mark] : {std::pair{25, "{"}, std::pair{80, "}"}}) {
      SCOPED_TRACE(cols);
      ASSERT_TRUE(term.Resize(cols, 40));
      ASSERT_TRUE(term.Send(mark));  // drawn once the resize is done with
      ASSERT_NE(at = term.WaitFor(mark, at), kNone) << term.out;
      EXPECT_EQ(term.screen.RowsWith(start), 1) << term.screen.Text();
    }
    const std::string screen = term.screen.Text();
    EXPECT_EQ(screen.find(c.draft.substr(c.draft.size() - 6) + "{}"),
              screen.rfind(c.draft.substr(c.draft.size() - 6) + "{}"))
        << screen;
    ASSERT_TRUE(term.Send("\x03\x03"));
    EXPECT_NE(server.WaitFor("[!] User alice offline\n"), kNone);
  }
}

// The cursor steps over a family emoji (one grapheme cluster of five code
// points, which the terminal draws in two cells) as over one character, and
// what is typed there goes before it, not inside it.
TEST_F(ChatCli, OnATerminalTheCursorStepsOverAFamilyEmojiWhole) {
  auto watcher = Join(server.port, "watcher");
  PtyShell term;
  ASSERT_TRUE(term.Spawn(60, 40, server.dir));
  ASSERT_TRUE(term.Send(ChatBinary() + " 127.0.0.1 " + std::to_string(server.port) + " alice\n"));
  size_t at = term.WaitFor("alice> ");
  ASSERT_NE(at, kNone) << term.out;
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  ASSERT_TRUE(term.Send("a" + family + "b"));
  ASSERT_NE(at = term.WaitFor(family + "b", at), kNone) << term.out;
  EXPECT_EQ(term.screen.CursorColumn(), 11);  // "alice> " 7, a 1, the family 2, b 1
  const struct {
    const char* keys;   // arrows, then a mark typed where they led
    const char* shown;  // the row then
    int column;         // the cursor's, after the mark
  } kSteps[] = {
      {"\x1b[D\x1b[D\x1b[C\x1b[DX", "aXFb", 9},  // Left over b, over the family, ...
      {"\x1b[CY", "aXFYb", 12},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.shown);
    std::string row = "alice> ";
    for (const char* c = step.shown; *c != '\0'; ++c)
      row += *c == 'F' ? family : std::string(1, *c);
    const size_t from = term.out.size();
    ASSERT_TRUE(term.Send(step.keys));
    const char mark[] = {step.keys[std::strlen(step.keys) - 1], '\0'};
    ASSERT_NE(term.WaitFor(mark, from), kNone) << term.out.substr(from);
    EXPECT_EQ(term.screen.RowsWith(row), 1) << term.screen.Text();
    // A redraw ends with the cursor's row written again up to the cursor.
    ASSERT_NE(term.WaitFor("\r" + row.substr(0, row.find(mark) + 1), from), kNone);
    EXPECT_EQ(term.screen.CursorColumn(), step.column) << term.out.substr(from);
  }
  // Backspace: Y, then the family whole; End; Backspace: b.
  ASSERT_TRUE(term.Send("\x7f\x7f\x05\x7f\r"));
  EXPECT_EQ(NextChat(*watcher), "alice: aX");
}

// A line entered while the connection is down goes once back in the room,
// and leaves the input line empty for what is typed next.
TEST_F(ChatCli, OnATerminalALineTypedWhileReconnectingGoesOnceBack) {
  auto watcher = Join(server.port, "watcher");
  TcpRelay relay;
  ASSERT_TRUE(relay.Start(server.port));
  PtyShell term;
  ASSERT_TRUE(term.Spawn(60, 40, server.dir));
  ASSERT_TRUE(term.Send(ChatBinary() + " 127.0.0.1 " + std::to_string(relay.port) + " alice\n"));
  size_t at = term.WaitFor("alice> ");
  ASSERT_NE(at, kNone) << term.out;
  ASSERT_TRUE(WaitForList(*watcher, {"alice", "watcher"}));

  ASSERT_TRUE(relay.Cut());
  ASSERT_NE(at = term.WaitFor("reconnecting in", at), kNone) << term.out;
  ASSERT_TRUE(term.Send("while away\r"));
  ASSERT_NE(at = term.WaitFor("Held until back in the room: while away", at), kNone) << term.out;
  ASSERT_TRUE(term.Send("next"));
  ASSERT_NE(at = term.WaitFor("next", at), kNone) << term.out;
  relay.Restore();
  EXPECT_EQ(NextChat(*watcher), "alice: while away");
  ASSERT_NE(at = term.WaitFor("alice> ", at, 15000), kNone) << term.out;
  ASSERT_TRUE(term.Send("\r"));
  EXPECT_EQ(NextChat(*watcher), "alice: next") << term.screen.Text();
  EXPECT_EQ(term.screen.RowsWith("while away next"), 0) << term.screen.Text();
}

// A cut that leaves the server's end of the connection open, as a phone
// that changed networks does: the server still holds alice's name and
// writes to the dead connection. chat dials again and takes its name back
// with its key, and gets what was written to the dead connection meanwhile,
// private and public, once; nobody sees alice leave or join.
TEST_F(ChatCli, PipeReclaimsItsNameAfterACutAndMissesNothing) {
  auto bob = Join(server.port, "bob");
  TcpRelay relay;
  ASSERT_TRUE(relay.Start(server.port));
  Proc alice;
  ASSERT_TRUE(StartChat(alice, "alice", {"--ca", TestCertsDir() + "/ca.crt", "--reconnect"},
                        "127.0.0.1", "", relay.port));
  ASSERT_TRUE(alice.Send("before\n"));
  size_t at = alice.WaitFor("<alice> before\n");
  ASSERT_NE(at, kNone) << alice.err;
  ASSERT_TRUE(WaitForList(*bob, {"alice", "bob"}));
  ASSERT_TRUE(IsChat(Next(*bob), "alice", "before"));

  ASSERT_TRUE(relay.Cut(true));
  ASSERT_TRUE(bob->SendChat("while away", "alice"));
  ASSERT_TRUE(bob->SendChat("public meanwhile"));
  // Back to bob: relayed, so written to alice's dead connection too.
  ASSERT_TRUE(IsChat(Next(*bob), "bob", "public meanwhile"));
  relay.Restore();
  at = alice.WaitFor("*bob* (private) while away\n<bob> public meanwhile\n", 15000, false, at);
  ASSERT_NE(at, kNone) << alice.out << alice.err;
  ASSERT_TRUE(alice.Send("after\n"));
  EXPECT_EQ(NextChat(*bob), "alice: after");  // after an unchanged list, as the stale one ends
  ASSERT_NE(alice.WaitFor("<alice> after\n", 5000, false, at), kNone) << alice.err;
  alice.CloseInput();
  EXPECT_EQ(alice.WaitExit(), 0) << alice.err;
  EXPECT_NE(alice.err.find("Back in the room as alice; nothing was missed."), kNone) << alice.err;
  EXPECT_EQ(alice.out.find("In the room"), alice.out.rfind("In the room")) << alice.out;
  EXPECT_EQ(alice.out.find("while away"), alice.out.rfind("while away")) << alice.out;
  EXPECT_NE(server.WaitFor("[!] User alice offline\n"), kNone);  // the logout at the end
  EXPECT_EQ(server.out.find("[!] User alice offline\n"),
            server.out.rfind("[!] User alice offline\n"));
  EXPECT_EQ(server.out.find("[#] User alice online\n"),
            server.out.rfind("[#] User alice online\n"));
}

}  // namespace saferoom
