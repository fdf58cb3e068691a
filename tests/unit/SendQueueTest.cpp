// One connection's send queue on a fake link whose room the test sets: what
// reaches the link, in what order and in how many sends, when the link is
// full, when member lists come faster than they go, and when the queue is
// dropped, also while a send is in flight.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "room/SendQueue.h"
#include "tests/support/FakeLink.h"

namespace saferoom {

namespace {

// Frames stand in for themselves here: a run is its bytes, tagged.
FrameRun Frames(const std::string& bytes, bool memberList = false) {
  auto shared = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
  return FrameRun{shared, 0, bytes.size(), memberList};
}

struct Fixture {
  std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();
  SendQueue queue{link};
  std::vector<uint8_t> scratch;

  std::string Written() const { return std::string(link->written.begin(), link->written.end()); }
  SendQueue::State Flush() { return queue.Flush(scratch); }
};

TEST(SendQueue, WritesInOrderWhateverTheLinkTakesAtOnce) {
  for (size_t room : {size_t{1}, size_t{3}, size_t{1000}}) {
    SCOPED_TRACE(room);
    Fixture f;
    f.link->room = 0;
    for (const char* r : {"one,", "two,", "three,"})
      ASSERT_TRUE(f.queue.Put(Frames(r)));
    EXPECT_EQ(f.Flush(), SendQueue::State::kBacklog);
    // The link takes `room` bytes each time it is writable again.
    for (int i = 0; i < 100 && f.Flush() == SendQueue::State::kBacklog; ++i)
      f.link->room = room;
    EXPECT_EQ(f.Written(), "one,two,three,");
    EXPECT_EQ(f.queue.Bytes(), 0u);
  }
}

// Small runs go out gathered into one send: one TLS record, not one each.
TEST(SendQueue, SmallRunsGoOutInOneSend) {
  Fixture f;
  f.link->room = 0;
  for (int i = 0; i < 50; ++i)
    f.queue.Put(Frames(std::string(100, static_cast<char>('a' + i % 26))));
  f.Flush();  // blocked: offered, nothing taken
  f.link->room = SIZE_MAX;
  const int before = f.link->sends;
  EXPECT_EQ(f.Flush(), SendQueue::State::kIdle);
  EXPECT_EQ(f.link->sends - before, 1);
  EXPECT_EQ(f.link->written.size(), 5000u);
}

// A member list that waits unsent gives way to a newer one; one already
// offered to a send (blocked, or in flight on another thread) stays as it
// was, since the transport may hold part of it.
TEST(SendQueue, NewerMemberListReplacesOneNotYetOffered) {
  Fixture f;
  f.link->room = 0;
  f.queue.Put(Frames("L1.", true));
  f.Flush();  // L1 offered, nothing taken
  f.queue.Put(Frames("chat."));
  f.queue.Put(Frames("L2.", true));
  f.queue.Put(Frames("L3.", true));  // replaces L2, not L1
  // In flight: a list put while L1's send runs does not replace L1, which
  // it was offered, but L3, which waits.
  f.link->room = SIZE_MAX;
  f.link->duringSend = [&] {
    f.link->duringSend = nullptr;
    f.queue.Put(Frames("L4.", true));
  };
  EXPECT_EQ(f.Flush(), SendQueue::State::kIdle);
  EXPECT_EQ(f.Written(), "L1.chat.L4.");
  // A flood of lists while the link is full: what waits stays one list
  // behind the one offered, however the sends gathered the runs.
  Fixture flood;
  flood.link->room = 0;
  flood.queue.Put(Frames("chat."));
  for (int i = 0; i < 1000; ++i) {
    flood.queue.Put(Frames("L" + std::to_string(i) + ".", true));
    flood.Flush();
  }
  EXPECT_LE(flood.queue.Bytes(), std::string("chat.L0.L999.").size() + 3 * kRunCostBytes);
  flood.link->room = SIZE_MAX;
  flood.Flush();
  EXPECT_EQ(flood.Written(), "chat.L0.L999.");
  // The same list twice (a connection holding two slots) is not newer.
  Fixture twice;
  twice.link->room = 0;
  const FrameRun list = Frames("L.", true);
  twice.queue.Put(list);
  twice.queue.Put(list);
  twice.link->room = SIZE_MAX;
  twice.Flush();
  EXPECT_EQ(twice.Written(), "L.L.");
}

// Past its bound (a member's, or a stranger's, far smaller) the queue is
// dropped: nothing more is put, the link is shut down, and a send in flight
// finishes with the bytes it was offered.
TEST(SendQueue, DroppedPastItsBoundAlsoDuringASend) {
  const std::string chunk(8 * 1024, 'x');
  for (size_t bound : {kSendQueueBytes, kStrangerQueueBytes})
    for (bool inFlight : {false, true}) {
      SCOPED_TRACE(testing::Message() << bound << (inFlight ? " in flight" : ""));
      Fixture f;
      f.queue.SetBound(bound);
      f.link->room = inFlight ? SIZE_MAX : 0;
      ASSERT_TRUE(f.queue.Put(Frames(chunk)));
      size_t put = chunk.size();
      const auto fill = [&] {
        // Bounded, so that a queue that never drops fails rather than fills memory.
        while (put <= 2 * bound && f.queue.Put(Frames(chunk)))
          put += chunk.size();
      };
      if (inFlight) {
        f.link->duringSend = [&] {
          f.link->duringSend = nullptr;
          fill();  // from another thread, while the link reads the first run
        };
        EXPECT_EQ(f.Flush(), SendQueue::State::kDropped);
        EXPECT_EQ(f.Written(), chunk);  // the run in flight, whole
      } else {
        f.Flush();
        fill();
        EXPECT_EQ(f.Flush(), SendQueue::State::kDropped);
      }
      EXPECT_LE(put, bound);
      EXPECT_GT(put + 2 * chunk.size(), bound);  // within a run of it, costs counted
      EXPECT_TRUE(f.link->shut);
      EXPECT_FALSE(f.queue.Put(Frames("more")));
      EXPECT_EQ(f.queue.Bytes(), 0u);
    }
}

}  // namespace

}  // namespace saferoom
