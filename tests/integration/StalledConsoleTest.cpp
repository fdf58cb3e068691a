// The server with a console nobody reads, or whose reader has gone: it keeps
// accepting, logging in and relaying; once read again, the lines come in
// order with one count of those dropped; "[-] Server stopped." stays last.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "platform/ProcStats.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

// Far more notices than the stdout pipe (made one page small: fewer
// connections fill it) and the server's 64 KiB console buffer hold together.
constexpr int kConnections = 2500;

bool StartWithSmallPipe(TestServer& server) {
  return server.Start() && fcntl(server.outFd.Get(), F_SETPIPE_SZ, 4096) >= 4096;
}

std::string ConnectionLine(int fd) {
  return "[*] Connection from 127.0.0.1, port " + std::to_string(LocalPort(fd)) + "\n";
}

// Connections that are closed at once, one after the other, so that the
// server prints their notices in this order, and a last one that completes
// its handshake: by then the server has accepted them all. False when one
// could not be made (the server stopped accepting).
bool Connections(const TestServer& server, int count, std::vector<std::string>& printed) {
  const int openBefore = ReadProcEntries(server.pid, "fd");
  for (int i = 0; i < count; ++i) {
    // A loaded machine may drop a SYN from a full backlog: the retry comes
    // a second or three later.
    UniqueFd fd = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(15000));
    if (!fd.Valid()) return false;
    printed.push_back(ConnectionLine(fd.Get()));
  }
  // Their sessions have ended (a slow machine may take a while): the next
  // ones are not refused by the cap on connections from one address.
  for (int i = 0; i < 600 && ReadProcEntries(server.pid, "fd") > openBefore; ++i)
    SleepMs(50);
  auto last = Connect(server.port);
  if (!last->conn) return false;
  printed.push_back(ConnectionLine(last->Fd()));
  return true;
}

// With nobody reading, thousands of connections are accepted (some of them
// complete their handshakes), two members log in and chat, and once the pipe
// is read the notices come in order with one count in the place of those
// that did not fit. With the pipe's reader gone, the room does the same.
TEST(StalledConsole, RoomServesOnAndTheLinesComeInOrderWithOneCount) {
  for (bool readerGone : {false, true}) {
    SCOPED_TRACE(readerGone ? "reader gone" : "nobody reads");
    TestServer server;
    ASSERT_TRUE(StartWithSmallPipe(server)) << server.err;
    std::vector<std::string> printed = Lines(server.out);  // the start-up notice
    if (readerGone) server.outFd.Reset();
    ASSERT_TRUE(Connections(server, kConnections, printed)) << "stopped accepting";
    for (int i = 0; i < 50; ++i) {
      auto handshaken = Connect(server.port);
      ASSERT_NE(handshaken->conn, nullptr) << i;
      printed.push_back(ConnectionLine(handshaken->Fd()));
    }
    auto alice = Join(server.port, "alice");
    printed.push_back(ConnectionLine(alice->Fd()));
    printed.push_back("[#] User alice online\n");
    auto bob = Join(server.port, "bob");
    printed.push_back(ConnectionLine(bob->Fd()));
    printed.push_back("[#] User bob online\n");
    ASSERT_TRUE(alice->SendChat("still relaying"));
    EXPECT_TRUE(WaitFrame(*bob, [](const ReceivedFrame& f) {
      return f.type == FrameType::Chat && f.name == "alice" && f.Text() == "still relaying";
    }));
    if (!readerGone) {
      EXPECT_NE(server.WaitFor(" console lines dropped\n", 10000), std::string::npos);
    }
    kill(server.pid, SIGTERM);
    EXPECT_EQ(server.WaitExit(), 0) << server.err;
    if (!readerGone) {
      EXPECT_EQ(OneGapMismatch(server.out, printed,
                               {"[-] SendMsg thread stop\n", "[-] Server stopped.\n"}),
                "");
    }
  }
}

// Stopped while nobody reads: read half a second later, the output ends with
// the count and "[-] Server stopped."; never read, the process still ends,
// within its wait, leaving whole lines in the pipe.
TEST(StalledConsole, ServerStoppedIsLastAndTheStopWaitsBoundedly) {
  for (bool readLater : {true, false}) {
    SCOPED_TRACE(readLater ? "read later" : "never read");
    TestServer server;
    ASSERT_TRUE(StartWithSmallPipe(server)) << server.err;
    std::vector<std::string> printed = Lines(server.out);
    ASSERT_TRUE(Connections(server, kConnections, printed));
    const std::string sendMsgStop = "[-] SendMsg thread stop\n", stopped = "[-] Server stopped.\n";
    kill(server.pid, SIGTERM);
    if (readLater) {
      SleepMs(500);  // the stop finds the console stalled, and waits for it
      EXPECT_EQ(server.WaitExit(), 0) << server.err;
      // SendMsg's line is among those dropped, unless the stop was slow to
      // get to it and reading had made room by then.
      const std::string& out = server.out;
      const std::string both = sendMsgStop + stopped;
      if (out.size() >= both.size() &&
          out.compare(out.size() - both.size(), both.size(), both) == 0) {
        EXPECT_EQ(OneGapMismatch(out, printed, {sendMsgStop, stopped}), "");
      } else {
        printed.push_back(sendMsgStop);
        EXPECT_EQ(OneGapMismatch(out, printed, {stopped}), "");
      }
      continue;
    }
    printed.push_back(sendMsgStop);
    EXPECT_EQ(server.WaitExit(15000, false), 0) << "the stop waited without bound";
    EXPECT_EQ(server.WaitExit(), 0);  // now read what the pipe held
    const std::vector<std::string> lines = Lines(server.out);
    ASSERT_LE(lines.size(), printed.size());
    EXPECT_EQ(lines, std::vector<std::string>(printed.begin(),
                                              printed.begin() + static_cast<long>(lines.size())));
  }
}

}  // namespace

}  // namespace saferoom
