// The server with a console nobody reads, or whose reader has gone: it keeps
// accepting, logging in and relaying, and a stop still ends it in bounded
// time. (What the console then prints, and in which order, is ConsoleTest's.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

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

// With nobody reading, thousands of connections are accepted (some of them
// complete their handshakes), two members log in and chat; SIGTERM ends the
// server within its wait though the pipe is never read, leaving whole lines
// in it. With the pipe's reader gone, the room does the same.
TEST(StalledConsole, RoomServesOnAndTheStopWaitsBoundedly) {
  for (bool readerGone : {false, true}) {
    SCOPED_TRACE(readerGone ? "reader gone" : "nobody reads");
    TestServer server;
    ASSERT_TRUE(server.Start() && fcntl(server.outFd.Get(), F_SETPIPE_SZ, 4096) >= 4096)
        << server.err;
    if (readerGone) server.outFd.Reset();
    const int openBefore = ReadProcEntries(server.pid, "fd");
    for (int i = 0; i < kConnections; ++i) {
      // A loaded machine may drop a SYN from a full backlog: the retry comes
      // a second or three later.
      ASSERT_TRUE(ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(15000))
                      .Valid())
          << "stopped accepting at " << i;
    }
    // Their sessions have ended (a slow machine may take a while): the next
    // ones are not refused by the cap on connections from one address.
    for (int i = 0; i < 600 && ReadProcEntries(server.pid, "fd") > openBefore; ++i)
      SleepMs(50);
    for (int i = 0; i < 50; ++i)
      ASSERT_NE(Connect(server.port)->conn, nullptr) << i;
    auto alice = Join(server.port, "alice");
    auto bob = Join(server.port, "bob");
    ASSERT_TRUE(alice->SendChat("still relaying"));
    EXPECT_TRUE(WaitFrame(*bob, [](const ReceivedFrame& f) {
      return f.type == FrameType::Chat && f.name == "alice" && f.Text() == "still relaying";
    }));
    kill(server.pid, SIGTERM);
    EXPECT_EQ(server.WaitExit(15000, false), 0) << "the stop waited without bound";
    EXPECT_EQ(server.WaitExit(), 0);  // now read what the pipe held
    if (!readerGone) {
      EXPECT_EQ(server.out.rfind("[+] Server is working at ", 0), 0u);
      EXPECT_EQ(server.out.back(), '\n');
    }
  }
}

}  // namespace

}  // namespace saferoom
