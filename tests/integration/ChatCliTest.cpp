// The chat command as scripts use it, through pipes, against the real server.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "platform/Os.h"
#include "platform/Process.h"
#include "platform/Term.h"
#include "tests/support/TestServer.h"

namespace {

int LeftMs(int64_t deadline) {
  int64_t left = deadline - MonotonicMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// One chat command on pipes; stopped by its PID when the test ends.
struct Chat {
  ChildProcess proc;
  std::string out;
  std::string err;
  int status = -1;

  ~Chat() {
    if (proc.pid > 0) StopChild(proc.pid, 2000);
  }

  bool Start(int port, const std::string& name, std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {ChatBinary()};
    if (options.empty()) options = {"--ca", TestCertsDir() + "/ca.crt"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"127.0.0.1", std::to_string(port), name});
    return StartChild(argv, proc);
  }

  // Writes in pipe-sized pieces, each once the pipe has room, within 5 s.
  bool Send(const std::string& text) {
    int64_t deadline = MonotonicMs() + 5000;
    for (size_t at = 0; at < text.size(); at += 4096) {
      if (PollFd(proc.in.Get(), true, LeftMs(deadline)) != PollResult::kReady ||
          !WriteFd(proc.in.Get(), text.data() + at, std::min<size_t>(4096, text.size() - at))) {
        return false;
      }
    }
    return true;
  }
  void CloseInput() { proc.in.Reset(); }

  // Reads what either stream has within timeoutMs; false once both ended.
  bool Pump(int timeoutMs) {
    if (!proc.out.Valid() && !proc.err.Valid()) return false;
    bool outReady = false;
    bool errReady = false;
    PollTwo(proc.out.Get(), proc.err.Get(), timeoutMs, outReady, errReady);
    if (outReady) ReadInto(proc.out, out);
    if (errReady) ReadInto(proc.err, err);
    return true;
  }

  static void ReadInto(UniqueFd& fd, std::string& to) {
    char buf[4096];
    long got = ReadFd(fd.Get(), buf, sizeof buf);
    if (got <= 0) {
      fd.Reset();
    } else {
      to.append(buf, static_cast<size_t>(got));
    }
  }

  bool WaitOut(const std::string& text, int timeoutMs = 5000, bool fromErr = false) {
    int64_t deadline = MonotonicMs() + timeoutMs;
    const std::string& where = fromErr ? err : out;
    while (where.find(text) == std::string::npos) {
      if (LeftMs(deadline) == 0 || !Pump(std::min(LeftMs(deadline), 50))) return false;
    }
    return true;
  }

  // Its exit status once both streams ended, or -1 on timeout.
  int WaitExit(int timeoutMs = 15000) {
    int64_t deadline = MonotonicMs() + timeoutMs;
    while (LeftMs(deadline) > 0 && Pump(std::min(LeftMs(deadline), 50))) {
    }
    status = WaitChild(proc.pid, LeftMs(deadline));
    if (status >= 0) proc.pid = -1;
    return status;
  }
};

// A member on the client library, logged in.
bool Join(ChatClient& client, int port, const std::string& name) {
  ClientOptions options;
  options.port = static_cast<uint16_t>(port);
  options.caFile = TestCertsDir() + "/ca.crt";
  ConnectError error;
  std::string message;
  if (!client.Connect(options, error, message) || !client.Login(name)) return false;
  ReceivedFrame frame;
  while (client.Receive(frame, 5000) == RecvStatus::kFrame) {
    if (frame.type == FrameType::LoginAccepted) return true;
  }
  return false;
}

// The next frame that `match` accepts, skipping others, within timeoutMs.
bool WaitFrame(ChatClient& client, const std::function<bool(const ReceivedFrame&)>& match,
               int timeoutMs = 5000) {
  int64_t deadline = MonotonicMs() + timeoutMs;
  ReceivedFrame frame;
  while (client.Receive(frame, LeftMs(deadline)) == RecvStatus::kFrame) {
    if (match(frame)) return true;
  }
  return false;
}

bool IsChat(const ReceivedFrame& f, const std::string& from, const std::string& text) {
  return f.type == FrameType::Chat && f.name == from && f.Text() == text;
}

class ChatCli : public ::testing::Test {
 protected:
  void SetUp() override {
    IgnoreSigpipe();  // a chat that ended early must fail the test, not kill it
    ASSERT_TRUE(server.Start()) << server.err;
  }
  TestServer server;
};

}  // namespace

TEST_F(ChatCli, TwoClientsExchangePublicAndPrivateMessages) {
  Chat alice, bob;
  ASSERT_TRUE(alice.Start(server.port, "alice"));
  // Her own message back means her first member list came before it.
  ASSERT_TRUE(alice.Send("anyone?\n"));
  ASSERT_TRUE(alice.WaitOut("<alice> anyone?\n")) << alice.err;
  ASSERT_TRUE(bob.Start(server.port, "bob"));
  ASSERT_TRUE(alice.WaitOut("bob joined\n")) << alice.out << alice.err;

  ASSERT_TRUE(alice.Send("hello bob\n"));
  EXPECT_TRUE(bob.WaitOut("<alice> hello bob\n")) << bob.out;
  EXPECT_TRUE(alice.WaitOut("<alice> hello bob\n")) << alice.out;

  ASSERT_TRUE(bob.Send("/msg alice psst\nbye\n"));
  EXPECT_TRUE(alice.WaitOut("*bob* (private) psst\n<bob> bye\n")) << alice.out;
  EXPECT_TRUE(bob.WaitOut("<bob> bye\n")) << bob.out;
  EXPECT_EQ(bob.out.find("psst"), std::string::npos) << "a private message went to its sender";

  bob.CloseInput();
  EXPECT_EQ(bob.WaitExit(), 0) << bob.err;
  EXPECT_TRUE(alice.WaitOut("bob left\n")) << alice.out;
  alice.CloseInput();
  EXPECT_EQ(alice.WaitExit(), 0) << alice.err;
}

TEST_F(ChatCli, NameInUseEndsAPipedClient) {
  ChatClient carol;
  ASSERT_TRUE(Join(carol, server.port, "carol"));
  Chat second;
  ASSERT_TRUE(second.Start(server.port, "carol"));
  EXPECT_EQ(second.WaitExit(), 5);
  EXPECT_NE(second.err.find("the name carol is in use"), std::string::npos) << second.err;
  // Case matters: "Carol" is another name.
  Chat other;
  ASSERT_TRUE(other.Start(server.port, "Carol"));
  EXPECT_TRUE(WaitFrame(carol, [](const ReceivedFrame& f) {
    return f.type == FrameType::UserList && f.Names().size() == 2;
  }));
  other.CloseInput();
  EXPECT_EQ(other.WaitExit(), 0) << other.err;
}

TEST_F(ChatCli, FullRoomTimesOutAfterFiveSeconds) {
  ChatClient members[5];
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(Join(members[i], server.port, "m" + std::to_string(i)));
  }
  Chat sixth;
  int64_t started = MonotonicMs();
  ASSERT_TRUE(sixth.Start(server.port, "sixth"));
  EXPECT_EQ(sixth.WaitExit(), 6);
  int64_t took = MonotonicMs() - started;
  EXPECT_GE(took, 4500);
  EXPECT_LT(took, 9000);
  EXPECT_NE(sixth.err.find("the room may be full"), std::string::npos) << sixth.err;
}

TEST_F(ChatCli, VerifiesTheServerAndSaysWhenItDoesNot) {
  Chat foreign;
  ASSERT_TRUE(foreign.Start(server.port, "x", {"--ca", TestCertsDir() + "/other/ca.crt"}));
  EXPECT_EQ(foreign.WaitExit(), 4);
  EXPECT_NE(foreign.err.find("verification failed"), std::string::npos) << foreign.err;

  Chat insecure;
  ASSERT_TRUE(insecure.Start(server.port, "trusting", {"--insecure"}));
  ASSERT_TRUE(insecure.Send("made it\n"));
  EXPECT_TRUE(insecure.WaitOut("<trusting> made it\n")) << insecure.err;
  insecure.CloseInput();
  EXPECT_EQ(insecure.WaitExit(), 0) << insecure.err;
  EXPECT_EQ(insecure.err, "chat: --insecure: the server's certificate is not verified\n");
}

TEST_F(ChatCli, EndOfInputLogsOutAfterTheRoomGotEverything) {
  ChatClient watcher;
  ASSERT_TRUE(Join(watcher, server.port, "watcher"));
  Chat dave;
  ASSERT_TRUE(dave.Start(server.port, "dave"));
  // More than the client lets wait for their echo at once.
  std::string input;
  for (int i = 0; i < 200; ++i)
    input += "line " + std::to_string(i) + "\n";
  ASSERT_TRUE(dave.Send(input));
  for (int i = 0; i < 200; ++i) {
    std::string text = "line " + std::to_string(i);
    ASSERT_TRUE(
        WaitFrame(watcher, [&](const ReceivedFrame& f) { return IsChat(f, "dave", text); }));
  }
  ASSERT_TRUE(dave.WaitOut("<dave> line 199\n"));
  // Private messages never come back to their sender, and the member list
  // after a logout does not wait for the relay: what was sent last, then the
  // end of input, must still all reach the watcher before dave leaves.
  std::string privates;
  for (int i = 0; i < 100; ++i)
    privates += "/msg watcher p" + std::to_string(i) + "\n";
  ASSERT_TRUE(dave.Send(privates));
  dave.CloseInput();
  for (int i = 0; i < 100; ++i) {
    ReceivedFrame next;
    ASSERT_TRUE(WaitFrame(watcher, [&](const ReceivedFrame& f) {
      next = f;
      return f.type == FrameType::Chat || f.type == FrameType::UserList;
    }));
    ASSERT_TRUE(IsChat(next, "dave", "p" + std::to_string(i)) && next.scope == Scope::Private)
        << "dave left before his private message " << i << " was relayed";
  }
  EXPECT_TRUE(WaitFrame(watcher, [](const ReceivedFrame& f) {
    return f.type == FrameType::UserList && f.Names() == std::vector<std::string>{"watcher"};
  }));
  EXPECT_EQ(dave.WaitExit(), 0) << dave.err;
  EXPECT_NE(server.WaitFor("[!] User dave offline"), std::string::npos);
}

TEST_F(ChatCli, EscapesControlCharactersItPrints) {
  Chat reader;
  ASSERT_TRUE(reader.Start(server.port, "reader"));
  ASSERT_TRUE(reader.Send("ready\n"));
  ASSERT_TRUE(reader.WaitOut("<reader> ready\n")) << reader.err;
  ChatClient evil;
  ASSERT_TRUE(Join(evil, server.port, "ev\x1b[2Jil"));
  ASSERT_TRUE(evil.SendChat("bell\x07 and \x1b]0;title\x07"));
  ASSERT_TRUE(reader.WaitOut("bell")) << reader.out;
  ASSERT_TRUE(reader.WaitOut("\n"));
  EXPECT_NE(reader.out.find("ev\\x1b[2Jil joined\n"), std::string::npos) << reader.out;
  EXPECT_NE(reader.out.find("<ev\\x1b[2Jil> bell\\x07 and \\x1b]0;title\\x07\n"), std::string::npos)
      << reader.out;
  EXPECT_EQ(reader.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(reader.out.find('\x07'), std::string::npos);
}

TEST_F(ChatCli, RefusesAnOverlongLineAndSendsTheRest) {
  ChatClient watcher;
  ASSERT_TRUE(Join(watcher, server.port, "watcher"));
  Chat eve;
  ASSERT_TRUE(eve.Start(server.port, "eve"));
  ASSERT_TRUE(eve.Send(std::string(kMaxTextLen + 1, 'a') + "\nshort\n"));
  eve.CloseInput();
  ReceivedFrame first;
  EXPECT_TRUE(WaitFrame(watcher, [&](const ReceivedFrame& f) {
    first = f;
    return f.type == FrameType::Chat;
  }));
  EXPECT_TRUE(IsChat(first, "eve", "short"));
  EXPECT_EQ(eve.WaitExit(), 0);
  EXPECT_NE(eve.err.find("not sent"), std::string::npos) << eve.err;
}

TEST_F(ChatCli, ExitStatusesForUsageConnectAndLostConnection) {
  Chat usage;
  ASSERT_TRUE(usage.Start(server.port, "", {"--bogus"}));
  EXPECT_EQ(usage.WaitExit(), 2);
  EXPECT_NE(usage.err.find("unknown option --bogus"), std::string::npos);

  Chat lost;
  ASSERT_TRUE(lost.Start(server.port, "lost"));
  ASSERT_NE(server.WaitFor("lost online"), std::string::npos);
  int port = server.port;
  server.Stop();
  EXPECT_EQ(lost.WaitExit(), 7);
  EXPECT_NE(lost.err.find("connection lost"), std::string::npos) << lost.err;

  Chat refused;  // nothing listens on the stopped server's port now
  ASSERT_TRUE(refused.Start(port, "nobody"));
  EXPECT_EQ(refused.WaitExit(), 3);
  EXPECT_NE(refused.err.find("cannot connect"), std::string::npos) << refused.err;
}
