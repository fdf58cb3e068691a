// The console on pipes that the test reads, late or never: whole lines in
// order, drops counted in their place, the closing line last, and a printing
// thread that never waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Net.h"
#include "platform/Term.h"
#include "room/Console.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

// A pipe that holds one page, so that a few lines fill it.
struct Pipe {
  UniqueFd read, write;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    read.Reset(fds[0]);
    write.Reset(fds[1]);
    EXPECT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
  }
};

// A console on two pipes with its writer running; joined at the end.
struct PipedConsole {
  Pipe out, err;
  Console console{out.write.Get(), err.write.Get()};
  std::thread writer{[this] { console.RunWriter(); }};
  std::string outText, errText;  // read so far
  std::string printedOut, printedErr;

  // Prints `lines` to standard error or output, keeping them as printed.
  void Print(bool toErr, const std::string& lines) {
    if (toErr) {
      console.Err(lines);
    } else {
      console.Out(lines);
    }
    (toErr ? printedErr : printedOut) += lines;
  }

  ~PipedConsole() {
    console.CloseWith("");
    // Reading lets a writer still blocked on a full pipe finish.
    while (!console.WaitWritten(Deadline::In(10)))
      Read(0);
    writer.join();
  }
  // Reads what both pipes hold, waiting up to `ms` for something.
  void Read(int ms) {
    PollItem items[2];
    items[0].fd = out.read.Get();
    items[1].fd = err.read.Get();
    if (PollFds(items, 2, Deadline::In(ms)) != PollResult::kReady) return;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      long got = items[i].ready ? ReadFd(items[i].fd, buf, sizeof buf) : 0;
      if (got > 0) (i == 0 ? outText : errText).append(buf, static_cast<size_t>(got));
    }
  }
  // Reads until `text` ends the standard output read so far, for up to 10 s.
  bool ReadUntilEnd(const std::string& text) {
    const Deadline deadline = Deadline::In(10000);
    const auto ends = [&] {
      return outText.size() >= text.size() &&
             outText.compare(outText.size() - text.size(), text.size(), text) == 0;
    };
    while (!ends() && !deadline.Passed())
      Read(100);
    return ends();
  }
};

std::string Numbered(const std::string& tag, int i) {
  return tag + " line " + std::to_string(i) + " of the test, padded to about forty\n";
}

// Read late, or as it goes, from pipes in blocking or non-blocking mode:
// every line arrives once, whole, in order, calls kept together, the
// closing line last and nothing after it.
TEST(Console, LinesArriveWholeInOrderAndTheClosingLineLast) {
  struct Case {
    const char* name;
    bool nonBlocking;  // the writer then waits for room itself
    bool readLate;     // the pipe fills before anyone reads
  };
  const Case kCases[] = {
      {"read as it goes", false, false},
      {"read late", false, true},
      {"read late, non-blocking", true, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PipedConsole p;
    if (c.nonBlocking) {
      ASSERT_EQ(fcntl(p.out.write.Get(), F_SETFL, O_NONBLOCK), 0);
    }
    // About 40 KB: ten times what the pipe holds, but room in the buffer
    // even when the writer has not yet run at all. Every seventh call goes
    // to standard error; of the others, every fifth prints two lines.
    for (int i = 0; i < 800; ++i) {
      if (!c.readLate) p.Read(0);
      std::string lines = Numbered(i % 7 == 0 ? "err" : i % 5 == 0 ? "two" : "out", i);
      if (i % 7 != 0 && i % 5 == 0) lines += Numbered("two", i + 1);
      p.Print(i % 7 == 0, lines);
    }
    p.console.CloseWith("[-] Server stopped.\n");
    p.console.Out("after the end\n");
    p.console.Err("after the end\n");
    ASSERT_TRUE(p.ReadUntilEnd("[-] Server stopped.\n"));
    EXPECT_TRUE(p.console.WaitWritten(Deadline::In(5000)));
    p.Read(100);
    EXPECT_EQ(p.outText, p.printedOut + "[-] Server stopped.\n");
    EXPECT_EQ(p.errText, p.printedErr);
  }
}

// Nobody reads: printing goes on at once, the buffer fills, and what does
// not fit is dropped and counted on its own stream, in its place. Once the
// pipe is read, lines printed after the writer caught up come whole after
// the count, and the closing line is last.
TEST(Console, ANobodyReadsConsoleDropsAndCountsOnceThenFlowsAgain) {
  PipedConsole p;
  // Ten times what the buffer holds; none of it may wait.
  for (int i = 0; i < 14000; ++i)
    p.Print(i % 10 == 0, Numbered(i % 10 == 0 ? "err" : "out", i));
  // Read until the writer has caught up with all of it.
  while (!p.console.WaitWritten(Deadline::In(10)))
    p.Read(0);
  const std::vector<std::string> later = {"flowing again\n", "[-] Server stopped.\n"};
  p.console.Out(later[0]);
  p.console.CloseWith(later[1]);
  ASSERT_TRUE(p.ReadUntilEnd(later[1]));
  p.Read(100);
  EXPECT_EQ(OneGapMismatch(p.outText, Lines(p.printedOut), later), "");
  EXPECT_EQ(OneGapMismatch(p.errText, Lines(p.printedErr), {}), "");
}

}  // namespace

}  // namespace saferoom
