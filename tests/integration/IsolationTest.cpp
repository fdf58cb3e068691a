// Nobody waits for anybody: each attack on the room from one party, with a
// bystander member timing the echo of its own public messages and a newcomer
// logging in meanwhile. The attacker may lose its own connection; nobody
// else notices.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

// What the bystander may see while one party attacks: the room stays
// interactive.
constexpr int64_t kWorstEchoMs = 1000;
constexpr int64_t kMedianEchoMs = 150;

// `loginMs`: how long a newcomer's login took, or -1 where none can get in.
void ExpectUnhurt(Bystander& bystander, int64_t loginMs) {
  bystander.Stop();
  std::printf("bystander: %zu echoes, median %lld ms, slowest %lld ms", bystander.Probes(),
              static_cast<long long>(bystander.MedianMs()),
              static_cast<long long>(bystander.WorstMs()));
  if (loginMs >= 0) std::printf("; a newcomer's login %lld ms", static_cast<long long>(loginMs));
  std::printf("\n");
  EXPECT_GT(bystander.Probes(), 10u);
  EXPECT_LT(bystander.WorstMs(), kWorstEchoMs) << "ms, the slowest echo";
  EXPECT_LT(bystander.MedianMs(), kMedianEchoMs) << "ms, the median echo";
  EXPECT_LT(loginMs, kWorstEchoMs) << "ms for a newcomer's login";
}

// Frames of one kind back to back, for a client that floods.
std::string Repeated(const Frame& frame, int times) {
  std::string out;
  for (int i = 0; i < times; ++i)
    out.append(frame.begin(), frame.end());
  return out;
}

Frame LoginFrame(const std::string& name) {
  return BuildFrame(FrameType::Login, 0, name.data(), static_cast<uint32_t>(name.size()), nullptr,
                    0);
}

// Reads until the connection ends or `ms` pass; true when it ended.
bool ReadsToItsEnd(ChatClient& client, int ms) {
  const Deadline deadline = Deadline::In(ms);
  ReceivedFrame f;
  RecvStatus status;
  while ((status = client.Receive(f, deadline)) == RecvStatus::kFrame) {
  }
  return status == RecvStatus::kClosed;
}

// Four strangers send logins under a taken name and never read the refusals:
// each is dropped once its refusals stop going out, and costs nobody else a
// thing meanwhile.
TEST(Isolation, StrangersThatNeverReadTheirRefusals) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  Bystander bystander(server.port);
  const std::string burst = Repeated(LoginFrame("bystander"), 1000);
  std::vector<std::unique_ptr<ChatClient>> strangers;
  std::vector<std::thread> floods;
  for (int i = 0; i < 4; ++i) {
    strangers.push_back(Connect(server.port));
    floods.emplace_back([&, c = strangers.back().get()] {
      // Until the server stops reading it: its writes then time out.
      for (int64_t end = MonotonicMs() + 4000; MonotonicMs() < end;)
        if (!c->SendRaw(burst.data(), burst.size())) break;
    });
  }
  SleepMs(1500);
  const int64_t loginMs = TimeLogin(server.port, "newcomer");
  for (auto& t : floods)
    t.join();
  ExpectUnhurt(bystander, loginMs);
  for (auto& c : strangers)
    EXPECT_TRUE(ReadsToItsEnd(*c, 15000)) << "a stranger that never read stayed";
}

// A member reading 40 KB/s asks for the whole history four times a second:
// one answer is in flight at a time, and it gets a few whole ones a minute;
// the room does not wait for it.
TEST(Isolation, SlowMemberAskingForTheHistoryAgainAndAgain) {
  TestServer server;
  ASSERT_TRUE(server.Start({"--history", "1000", "0"})) << server.err;
  {
    // About a whole history: 1,000 messages, 192 bytes each as kept.
    auto filler = Join(server.port, "filler");
    for (int i = 0; i < 1000; ++i)
      ASSERT_TRUE(filler->SendChat(std::string(180, 'h')));
    for (int i = 0; i < 1000; ++i)
      Next(*filler);
  }
  auto slow = Join(server.port, "slow");
  Bystander bystander(server.port);
  std::atomic<bool> done{false};
  std::atomic<size_t> historyBytes{0};
  std::thread reader([&] {
    const int64_t start = MonotonicMs();
    size_t bytes = 0;
    ReceivedFrame f;
    while (!done && slow->Receive(f, Deadline::In(500)) != RecvStatus::kClosed) {
      bytes += kHeaderSize + f.payload.size();
      if (f.type == FrameType::HistoryItem) historyBytes += kHeaderSize + f.payload.size();
      SleepMs(static_cast<int>(start + static_cast<int64_t>(bytes / 40) - MonotonicMs()));
    }
  });
  for (int i = 0; i < 32; ++i) {  // 8 s
    ASSERT_TRUE(slow->RequestHistory(0));
    SleepMs(250);
    if (i == 16) ExpectUnhurt(bystander, TimeLogin(server.port, "newcomer"));
  }
  done = true;
  reader.join();
  // What it read of answers within the minute: its budget, and no more.
  EXPECT_LE(historyBytes.load(), size_t{1024 * 1024});
  EXPECT_NE(server.WaitFor("[#] User newcomer online"), std::string::npos);
  EXPECT_EQ(server.out.find("[!] User bystander offline"), std::string::npos) << server.out;
}

// The largest public messages: one whose history item would not fit a frame
// is relayed but not kept; the one below it is kept; a late joiner reads
// every frame of its answer, and `chat --history` shows it.
TEST(Isolation, LargestPublicMessageAndTheHistory) {
  TestServer server;
  ASSERT_TRUE(server.Start({"--history", "10", "0"})) << server.err;
  auto alice = Join(server.port, "alice");
  const std::string kept(kMaxPayload - kHistoryItemPrefix - 1, 'k');  // with its NUL: 65,520
  const std::string tooLong(kMaxTextLen, 'x');                        // 65,536
  for (const std::string& text : {std::string("before"), kept, tooLong, std::string("after")}) {
    ASSERT_TRUE(alice->SendChat(text));
    EXPECT_EQ(Next(*alice).Text(), text);
  }
  auto carol = Join(server.port, "carol");
  ASSERT_TRUE(carol->RequestHistory(0));
  std::vector<std::string> texts;
  std::vector<uint64_t> ordinals;
  for (;;) {
    ReceivedFrame f = Next(*carol);
    ASSERT_TRUE(f.type == FrameType::HistoryItem || f.type == FrameType::HistoryEnd) << f.type;
    if (f.type == FrameType::HistoryEnd) break;
    ordinals.push_back(LoadLe64(f.payload.data() + 8));
    texts.push_back(
        std::string(reinterpret_cast<const char*>(f.payload.data()) + kHistoryItemPrefix).c_str());
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"before", kept, "after"}));
  // The one not kept still counted, so clients' counts of what they saw
  // live stay right.
  EXPECT_EQ(ordinals, (std::vector<uint64_t>{1, 2, 4}));

  Proc chat;
  ASSERT_TRUE(chat.Spawn({ChatBinary(), "--ca", TestCertsDir() + "/ca.crt", "--history",
                          "127.0.0.1", std::to_string(server.port), "dave"}));
  chat.CloseInput();
  EXPECT_EQ(chat.WaitExit(), 0) << chat.err;
  EXPECT_NE(chat.out.find("--- 3 earlier message(s) above ---"), std::string::npos) << chat.out;
}

// A stranger floods logins into a full room: each would send the member
// list to all five, but a list still waiting is replaced by the newer one,
// so a member reading 50 KB/s stays, and nobody takes its place.
TEST(Isolation, LoginFloodIntoAFullRoom) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  Bystander bystander(server.port);
  std::atomic<bool> done{false};
  std::atomic<int64_t> lists{0};  // what the members that read all they get were sent
  std::vector<std::unique_ptr<ChatClient>> members;
  std::vector<std::thread> draining;
  for (const char* name : {"b", "c", "d"}) {
    members.push_back(Join(server.port, name));
    draining.emplace_back([&, c = members.back().get()] {
      ReceivedFrame f;
      RecvStatus status;
      while (!done && (status = c->Receive(f, Deadline::In(500))) != RecvStatus::kClosed)
        lists += status == RecvStatus::kFrame && f.type == FrameType::UserList;
    });
  }
  auto reader = Join(server.port, "reader");
  std::atomic<size_t> readerBytes{0};
  std::thread reading([&] {
    const int64_t start = MonotonicMs();
    ReceivedFrame f;
    while (!done && reader->Receive(f, Deadline::In(500)) != RecvStatus::kClosed) {
      readerBytes += kHeaderSize + f.payload.size();
      SleepMs(static_cast<int>(start + static_cast<int64_t>(readerBytes / 50) - MonotonicMs()));
    }
  });
  auto flooder = Connect(server.port);
  // As fast as the server takes them, however slow a sanitizer makes it: a
  // flooder megabytes ahead would wait for the kernel to free half its
  // socket's buffer, longer than a write's 5 s. Each login sends the
  // drained members a list.
  constexpr int kBurst = 50;
  const std::string burst = Repeated(LoginFrame("intruder"), kBurst);
  bool flooded = true;
  int64_t sent = 0;
  for (int64_t end = MonotonicMs() + 6000; flooded && MonotonicMs() < end; sent += kBurst) {
    const Deadline caughtUp = Deadline::In(1000);
    while (3 * sent - lists > 3 * 20 * kBurst && !caughtUp.Passed()) SleepMs(1);
    flooded = flooder->SendRaw(burst.data(), burst.size());
  }
  std::printf("flooder: %lld logins\n", static_cast<long long>(sent));
  server.Pump(Deadline::In(100));
  EXPECT_TRUE(flooded) << "the server stopped reading the flooder\n" << server.out;
  ExpectUnhurt(bystander, -1);  // the room is full
  done = true;
  reading.join();
  for (auto& t : draining)
    t.join();
  ASSERT_TRUE(reader->SendChat("still here"));
  EXPECT_TRUE(WaitFrame(*reader, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.Text() == "still here";
  }));
  EXPECT_EQ(server.out.find("offline"), std::string::npos) << server.out;
  EXPECT_EQ(server.out.find("intruder"), std::string::npos) << server.out;
}

// One connection floods logins under look-alike names while reading its
// refusals (paced by its reading, as a stranger's queue holds 64 KiB):
// standard error gets a line a second at most, and the lines count every
// refusal.
TEST(Isolation, RefusedLoginsAreCountedNotEachPrinted) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  auto alice = Join(server.port, "alice");
  auto flooder = Connect(server.port);
  std::atomic<bool> sending{true};
  std::atomic<int> refusals{0};
  std::thread counting([&] {
    ReceivedFrame f;
    while (flooder->Receive(f, Deadline::In(sending ? 5000 : 1000)) == RecvStatus::kFrame)
      refusals += f.type == FrameType::NameInUse;
  });
  constexpr int kBurst = 250;
  const std::string burst = Repeated(LoginFrame("alice\xe2\x80\x8b"), kBurst);
  const int64_t start = MonotonicMs();
  int sent = 0;
  for (; MonotonicMs() - start < 3000; sent += kBurst) {
    const Deadline caughtUp = Deadline::In(5000);
    while (sent - refusals > kBurst && !caughtUp.Passed()) SleepMs(1);
    ASSERT_TRUE(flooder->SendRaw(burst.data(), burst.size()));
  }
  sending = false;
  counting.join();
  const int64_t seconds = (MonotonicMs() - start) / 1000;
  EXPECT_EQ(refusals, sent);
  server.Stop();  // the counts still waiting come out before the last line
  const std::string title = "Names that could pass for another: refused ";
  EXPECT_EQ(SumAfter(server.err, title), sent) << server.err;
  int lines = 0;
  for (size_t at = 0; (at = server.err.find(title, at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_LE(lines, seconds + 2) << server.err;
  EXPECT_NE(server.err.find("(latest: alice\\xe2\\x80\\x8b, it holds an invisible character)"),
            std::string::npos)
      << server.err;
}

}  // namespace

}  // namespace saferoom
