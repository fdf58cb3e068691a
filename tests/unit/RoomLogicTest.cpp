// The chat room without sockets: requests handled and chat delivered on fake
// connections that capture what is written to them, so that every ordering
// is decided by the test, never by timing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/ChatClient.h"
#include "room/ClientSession.h"
#include "room/History.h"
#include "room/Room.h"
#include "room/SendMsg.h"
#include "room/UserTable.h"
#include "tests/support/FakeLink.h"

namespace saferoom {

namespace {

using Names = std::vector<std::string>;

// What a member sees of one relayed chat.
using Seen = std::tuple<std::string, uint32_t, std::string>;  // sender, scope, text

class RoomLogic : public ::testing::Test {
 protected:
  void TearDown() override {
    if (capturing) Notices();  // a failed assertion left it on
    for (auto& c : conns)
      EndSession(room, c.link.get());
    room.console.CloseWith("");
    writer.join();
  }

  // A new connection, as after its handshake.
  int Open() {
    auto link = std::make_shared<FakeLink>();
    conns.push_back(Conn{link, ClientState(std::make_shared<SendQueue>(link))});
    return static_cast<int>(conns.size()) - 1;
  }

  // Hands one frame to connection `c`'s session, as its reader would, and
  // queues what it read; a logout ends the session.
  void Send(int c, const Frame& frame) {
    FrameHeader header = ParseHeader(frame.data());
    ASSERT_TRUE(HeaderAcceptable(header));
    std::vector<uint8_t> plain;
    DecryptPayload(header, frame.data() + kHeaderSize, PayloadLength(header.lengthWord), plain);
    bool goOn = HandleRequest(room, conns[c].state, header, plain);
    QueueChats(room, conns[c].state);
    if (!goOn) EndSession(room, conns[c].link.get());
  }

  void Login(int c, const std::string& name) {
    uint8_t field[kNameSize] = {};
    name.copy(reinterpret_cast<char*>(field), kNameSize);
    Send(c, BuildFrame(FrameType::Login, 0, field, kNameSize, nullptr, 0));
  }

  void Chat(int c, const std::string& text, const std::string& to = "") {
    uint8_t name[kNameSize] = {};
    to.copy(reinterpret_cast<char*>(name), kNameSize);
    // As clients send it: with its NUL, so that an empty text is a frame too.
    Frame frame = BuildFrame(FrameType::Chat, PayloadKind::Binary, text.c_str(),
                             static_cast<uint32_t>(text.size() + 1), name,
                             to.empty() ? Scope::Public : Scope::Private);
    frame[4] |= PayloadKind::Text;
    Send(c, frame);
  }

  // Joins under `name` and forgets what the join wrote.
  int Member(const std::string& name) {
    int c = Open();
    Login(c, name);
    EXPECT_EQ(FirstType(c), FrameType::LoginAccepted) << name;
    for (size_t i = 0; i < conns.size(); ++i)
      Take(static_cast<int>(i));
    return c;
  }

  // Console notices: what is printed from StartNotices to Notices.
  void StartNotices() {
    EXPECT_TRUE(room.console.WaitWritten(Deadline::In(5000)));  // earlier ones stay out
    testing::internal::CaptureStdout();
    capturing = true;
  }
  std::string Notices() {
    EXPECT_TRUE(room.console.WaitWritten(Deadline::In(5000)));
    capturing = false;
    return testing::internal::GetCapturedStdout();
  }
  // The counted refusal lines on standard error, from StartCounted to the
  // console's close, which lets the counts still waiting out.
  void StartCounted() { testing::internal::CaptureStderr(); }
  std::string Counted() {
    room.console.CloseWith("");
    EXPECT_TRUE(room.console.WaitWritten(Deadline::In(5000)));
    return testing::internal::GetCapturedStderr();
  }

  void DeliverAll() {
    while (RelayBatch(room, relay)) {
    }
  }

  // Every frame written to connection `c` since the last Take, decrypted.
  std::vector<ReceivedFrame> Take(int c) {
    std::vector<uint8_t>& bytes = conns[c].link->written;
    conns[c].taken += bytes.size();
    std::vector<ReceivedFrame> frames;
    EXPECT_TRUE(WalkFrames(bytes.data(), bytes.size(), [&](const FrameHeader& h, const uint8_t* p) {
      frames.push_back({h.type, KindOf(h.lengthWord), h.scope, NameString(h.name), {}});
      DecryptPayload(h, p, PayloadLength(h.lengthWord), frames.back().payload);
      return true;
    }));
    bytes.clear();
    return frames;
  }

  // The type of the first frame written since the last Take; ~0u for none.
  uint32_t FirstType(int c) {
    std::vector<ReceivedFrame> got = Take(c);
    return got.empty() ? ~0u : got.front().type;
  }

  // The names in the last member list written since the last Take.
  Names LastList(int c) {
    std::vector<ReceivedFrame> got = Take(c);
    if (got.empty() || got.back().type != FrameType::UserList) return {"(no list)"};
    return got.back().Names();
  }

  std::vector<Seen> Chats(int c) {
    std::vector<Seen> seen;
    for (const ReceivedFrame& f : Take(c)) {
      EXPECT_EQ(f.type, FrameType::Chat);
      seen.emplace_back(f.name, f.scope, f.Text());
    }
    return seen;
  }

  void Ask(int c, uint64_t since) {
    uint8_t payload[kHistoryRequestSize] = {};
    StoreLe64(payload, since);
    Send(c, BuildFrame(FrameType::HistoryRequest, 0, payload, sizeof payload, nullptr, 0));
  }

  // What connection `c` was written since the last Take, read as answers:
  // every kept message (sender, kind, the bytes after the prefix), with its
  // time and ordinal; the end markers' words; the chat texts around them.
  struct Answers {
    std::vector<Seen> items;
    std::vector<uint64_t> times, ordinals;
    std::vector<std::vector<uint64_t>> ends;  // run, time, ordinal, zero
    std::vector<std::string> order;           // "item", "end" or a chat's text
  };
  Answers History(int c) {
    Answers got;
    for (const ReceivedFrame& f : Take(c)) {
      const uint8_t* p = f.payload.data();
      if (f.type == FrameType::HistoryItem && f.payload.size() >= kHistoryItemPrefix) {
        EXPECT_EQ(f.scope, Scope::Public);
        got.items.emplace_back(f.name, f.kind, std::string(p + 16, p + f.payload.size()));
        got.times.push_back(LoadLe64(p));
        got.ordinals.push_back(LoadLe64(p + 8));
        got.order.push_back("item");
      } else if (f.type == FrameType::HistoryEnd) {
        EXPECT_EQ(std::make_tuple(f.payload.size(), f.kind, f.scope, f.name),
                  std::make_tuple(size_t{kHistoryEndSize}, 0u, 0u, std::string()));
        got.ends.push_back({LoadLe64(p), LoadLe64(p + 8), LoadLe64(p + 16), LoadLe64(p + 24)});
        got.order.push_back("end");
      } else {
        got.order.push_back(f.type == FrameType::Chat ? f.Text()
                                                      : "type " + std::to_string(f.type));
      }
    }
    return got;
  }

  // An empty room again, keeping `length` messages.
  void Reset(size_t length) {
    for (auto& c : conns)
      EndSession(room, c.link.get());
    conns.clear();
    DeliverAll();
    room.history = RoomHistory();
    StartHistory(room.history, length);
  }

  // The bytes of whole frames connection `c`'s client has had: all its
  // link took.
  uint64_t Received(int c) { return conns[c].taken + conns[c].link->written.size(); }

  // Asks for a reclaim key on `c`: the key, or "" when none came.
  std::string AskKey(int c) {
    Send(c, BuildFrame(FrameType::ReclaimKeyRequest, 0, nullptr, 0, nullptr, 0));
    for (const ReceivedFrame& f : Take(c)) {
      if (f.type == FrameType::ReclaimKey && f.payload.size() == kReclaimKeySize)
        return std::string(f.payload.begin(), f.payload.end());
    }
    return "";
  }

  void Reclaim(int c, const std::string& name, const std::string& key, uint64_t received) {
    ReclaimFields fields;
    name.copy(reinterpret_cast<char*>(fields.name), kNameSize);
    key.copy(reinterpret_cast<char*>(fields.key), kReclaimKeySize);
    fields.received = received;
    uint8_t payload[kReclaimSize];
    PutReclaim(fields, payload);
    Send(c, BuildFrame(FrameType::Reclaim, 0, payload, sizeof payload, nullptr, 0));
  }

  // The answer to a reclaim, first of what `c` was written: its fields, and
  // the frames after it as "type N" or chat lines ("<alice> hi", "*alice*
  // psst"), the member list as "list a,b".
  struct Reclaimed {
    bool accepted = false;
    ReclaimedFields fields;
    std::vector<std::string> after;
  };
  Reclaimed ReclaimAnswer(int c) {
    Reclaimed got;
    std::vector<ReceivedFrame> frames = Take(c);
    if (frames.empty() || frames[0].type != FrameType::Reclaimed) return got;
    got.accepted = frames[0].payload.size() == kReclaimedSize;
    got.fields = ReadReclaimed(frames[0].payload.data(), frames[0].payload.size());
    for (size_t i = 1; i < frames.size(); ++i)
      got.after.push_back(Shown(frames[i]));
    return got;
  }

  static std::string Shown(const ReceivedFrame& f) {
    if (f.type == FrameType::Chat) {
      return f.scope == Scope::Private ? "*" + f.name + "* " + f.Text()
                                       : "<" + f.name + "> " + f.Text();
    }
    if (f.type == FrameType::UserList) {
      std::string names;
      for (const std::string& n : f.Names())
        names += (names.empty() ? "" : ",") + n;
      return "list " + names;
    }
    return "type " + std::to_string(f.type);
  }

  struct Conn {
    std::shared_ptr<FakeLink> link;
    ClientState state;
    uint64_t taken = 0;  // bytes read by Take
  };
  Room room;
  std::thread writer{[this] { room.console.RunWriter(); }};
  Relay relay;
  std::vector<Conn> conns;
  bool capturing = false;
};

// Many senders, public and private mixed, queued across several batches
// before anything is delivered: each member gets exactly the messages meant
// for it, in queue order, with the right sender and scope. A private message
// slipping into a public run of the batch, or a lost or reordered one, shows.
TEST_F(RoomLogic, MixedBatchesReachExactlyTheirMembersInOrder) {
  const Names names = {"alice", "bob", "carol", "dave", "erin"};  // a full room
  std::vector<int> members;
  for (const std::string& n : names)
    members.push_back(Member(n));
  const int stranger = Open();  // chats with an empty name, gets nothing
  std::mt19937 random(7);
  std::map<int, std::vector<Seen>> expected;
  for (int i = 0; i < 700; ++i) {
    const int who = static_cast<int>(random() % (names.size() + 1));
    const int from = who < static_cast<int>(names.size()) ? members[who] : stranger;
    const std::string sender = who < static_cast<int>(names.size()) ? names[who] : "";
    const std::string text = "m" + std::to_string(i);
    const int pick = static_cast<int>(random() % (names.size() + 2));
    if (pick >= static_cast<int>(names.size())) {  // public, more often than not
      Chat(from, text);
      for (int m : members)
        expected[m].emplace_back(sender, Scope::Public, text);
    } else {
      Chat(from, text, names[pick]);
      expected[members[pick]].emplace_back(sender, Scope::Private, text);
    }
    if (i % 300 == 299) DeliverAll();  // some batches full, some not
  }
  Chat(members[0], "to nobody", "frank");
  Chat(members[0], "to Bob", "Bob");
  DeliverAll();
  for (size_t i = 0; i < members.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(Chats(members[i]), expected[members[i]]);
  }
  EXPECT_TRUE(Take(stranger).empty());
}

TEST_F(RoomLogic, SlotsListsRepliesAndNotices) {
  StartNotices();
  const int alice = Member("alice");
  const int bob = Open();
  Login(bob, "bob");
  // The newest member takes the highest free slot, so it is listed first.
  std::vector<ReceivedFrame> got = Take(bob);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].type, FrameType::LoginAccepted);
  EXPECT_TRUE(got[0].payload.empty());
  EXPECT_EQ(got[1].Names(), (Names{"bob", "alice"}));
  got = Take(alice);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Names(), (Names{"bob", "alice"}));

  // Taken names, exactly as written, are refused; the connection may retry.
  const int other = Open();
  for (const char* taken : {"bob", "alice"}) {
    Login(other, taken);
    got = Take(other);
    ASSERT_EQ(got.size(), 1u) << taken;
    EXPECT_EQ(got[0].type, FrameType::NameInUse);
    EXPECT_TRUE(got[0].payload.empty());
  }
  EXPECT_TRUE(Take(alice).empty());
  // 20 bytes, with no NUL in the list.
  const std::string evil = "bobby_abcdefghijklmn";
  for (const std::string& free : {std::string("Bob"), evil, std::string()}) {
    const int c = Open();
    Login(c, free);
    EXPECT_EQ(FirstType(c), FrameType::LoginAccepted) << free;
  }
  EXPECT_EQ(LastList(alice), (Names{"", evil, "Bob", "bob", "alice"}));

  // A sixth login, under a name that differs from one in the room in its
  // 20th byte only: no answer, no member, the unchanged list to everyone; a
  // taken name is still refused, whatever its slot.
  Login(other, evil.substr(0, 19) + "!");
  EXPECT_TRUE(Take(other).empty());
  Login(other, "");
  EXPECT_EQ(FirstType(other), FrameType::NameInUse);
  EXPECT_EQ(LastList(alice), (Names{"", evil, "Bob", "bob", "alice"}));

  // A logout frees its slot, which the next login takes.
  Send(bob, BuildFrame(FrameType::Logout, 0, nullptr, 0, nullptr, 0));
  EXPECT_EQ(LastList(alice), (Names{"", evil, "Bob", "alice"}));
  Login(other, "frank");
  EXPECT_EQ(LastList(alice), (Names{"", evil, "Bob", "frank", "alice"}));
  EXPECT_EQ(Notices(),
            "[#] User alice online\n[#] User bob online\n[#] User Bob online\n"
            "[#] User bobby_abcdefghijklmn online\n[#] User  online\n"
            "[!] User bob offline\n"
            "[#] User frank online\n");
}

// Names that could pass for another are refused as if in use, nobody hears
// of them, and standard error counts them, a line a second at most, naming
// the latest and why. Names that only look foreign, or differ in case, join.
TEST_F(RoomLogic, LookAlikeNamesAreRefusedAndCounted) {
  const int alice = Member("alice");
  Member("mike");
  // What NameFault refuses is the shared vectors' (VectorsTest); one of it
  // here shows the room asks it.
  const std::string kRefused[] = {
      "alice ",      // white space at an end
      "aIice",       // a capital I for the l
      "rnike",       // r and n for the m
      "\u0430lice",  // a Cyrillic a
  };
  const int other = Open();
  StartCounted();
  for (const std::string& name : kRefused) {
    Login(other, name);
    EXPECT_EQ(FirstType(other), FrameType::NameInUse) << name;
  }
  EXPECT_TRUE(Take(alice).empty());
  for (const char* name : {"Alice", "Zo\u00eb", "\u674e\u96f7"}) {  // and alice, mike: full
    const int c = Open();
    Login(c, name);
    EXPECT_EQ(FirstType(c), FrameType::LoginAccepted) << name;
  }
  const std::string err = Counted();
  // The first at once, the rest together a second after it.
  EXPECT_EQ(err,
            "Names that could pass for another: refused 1 since the last line (latest: "
            "alice\\x20, it ends with white space)\n"
            "Names that could pass for another: refused 3 since the last line (latest: "
            "\u0430lice, it looks like alice)\n");
}

// A flooding member fills the queue, then waits for room in it: nothing is
// dropped, and memory stays bounded by the queue's length.
TEST_F(RoomLogic, FullQueueHoldsItsSenderUntilDeliveryMakesRoom) {
  const int alice = Member("alice");
  const int bob = Member("bob");
  const int total = static_cast<int>(kQueueCapacity) + 1;
  std::atomic<int> sent{0};
  std::thread flooder([&] {
    for (; sent < total; ++sent)
      Chat(alice, std::to_string(sent));
  });
  for (int i = 0; i < 200 && sent < total - 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // time for one more, if taken
  EXPECT_EQ(sent, total - 1);
  EXPECT_EQ(room.queue.Size(), kQueueCapacity);
  RelayBatch(room, relay);  // one batch: room for the last
  flooder.join();
  DeliverAll();
  std::vector<Seen> seen = Chats(bob);
  ASSERT_EQ(seen.size(), static_cast<size_t>(total));
  for (int i = 0; i < total; ++i)
    EXPECT_EQ(std::get<2>(seen[i]), std::to_string(i));
}

// A connection that logs in twice holds two slots: it gets each public
// message and member list once per slot, chats under its higher slot's name,
// and leaves both slots at once.
TEST_F(RoomLogic, TwoSlotConnectionGetsDoublesAndLeavesWhole) {
  const int alice = Member("alice");
  const int twin = Member("one");
  Login(twin, "two");
  std::vector<ReceivedFrame> got = Take(twin);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].Names(), (Names{"two", "one", "alice"}));
  EXPECT_EQ(got[2].Names(), got[1].Names());
  Take(alice);
  Chat(alice, "hi twins");
  Chat(twin, "from the twin");
  DeliverAll();
  const Seen hi{"alice", Scope::Public, "hi twins"};
  const Seen back{"one", Scope::Public, "from the twin"};
  EXPECT_EQ(Chats(twin), (std::vector<Seen>{hi, hi, back, back}));
  EXPECT_EQ(Chats(alice), (std::vector<Seen>{hi, back}));

  StartNotices();
  EndSession(room, conns[twin].link.get());
  EXPECT_EQ(Notices(), "[!] User one offline\n[!] User two offline\n");
  EXPECT_EQ(LastList(alice), Names{"alice"});
  EXPECT_EQ(FindUserBySession(room.users, conns[twin].link.get()), -1);
  // A stranger leaves without a notice; the others still get a list.
  StartNotices();
  EndSession(room, conns[Open()].link.get());
  EXPECT_EQ(Notices(), "");
  EXPECT_EQ(LastList(alice), Names{"alice"});
}

// Frames the room must pass over, and payloads relayed as their kind says.
TEST_F(RoomLogic, IgnoredFramesAndPayloadKinds) {
  const int alice = Member("alice");
  const uint8_t pad[16] = {'z'};
  for (uint32_t type : {3u, 4u, 99u})
    Send(alice, BuildFrame(type, 0, pad, 16, nullptr, 0));
  for (uint32_t kind : {0u, 1u, 3u}) {
    Send(alice, BuildFrame(FrameType::Chat, kind, nullptr, 0, nullptr, Scope::Public));
    Send(alice, BuildFrame(FrameType::Login, kind, nullptr, 0, nullptr, 0));
  }
  DeliverAll();
  EXPECT_TRUE(Take(alice).empty());

  // Two letters in a 32-byte text payload come back in 16 bytes; other kinds
  // keep their padded length and their bits.
  const std::string hi = "hi" + std::string(30, '\0');
  Frame text = BuildFrame(FrameType::Chat, 0, hi.data(), 32, nullptr, Scope::Public);
  text[4] |= PayloadKind::Text;  // LengthWord's low bits
  Send(alice, text);
  const std::string ab = std::string("ab\0cd", 5) + std::string(35, '\0');
  Send(alice, BuildFrame(FrameType::Chat, 2, ab.data(), 40, nullptr, Scope::Public));
  // Scope 2 without a name, and any scope but 2 even with one, is public.
  const uint8_t noName[kNameSize] = {};
  const uint8_t aliceName[kNameSize] = {'a', 'l', 'i', 'c', 'e'};
  Send(alice, BuildFrame(FrameType::Chat, 0, "x", 1, noName, Scope::Private));
  Send(alice, BuildFrame(FrameType::Chat, 0, "x", 1, aliceName, 3));
  // A text that starts with NUL goes out as a header alone.
  Frame blank = BuildFrame(FrameType::Chat, 0, noName, 16, nullptr, Scope::Public);
  blank[4] |= PayloadKind::Text;
  Send(alice, blank);
  DeliverAll();
  std::vector<ReceivedFrame> got = Take(alice);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(std::make_tuple(got[0].kind, got[0].payload.size(), got[0].Text()),
            std::make_tuple(PayloadKind::Text, size_t{16}, std::string("hi")));
  EXPECT_EQ(std::make_tuple(got[1].kind, got[1].payload.size()), std::make_tuple(2u, size_t{48}));
  EXPECT_EQ(std::string(got[1].payload.begin(), got[1].payload.begin() + 5), ab.substr(0, 5));
  EXPECT_EQ(std::make_tuple(got[2].scope, got[3].scope),
            std::make_tuple(Scope::Public, Scope::Public));
  EXPECT_EQ(std::make_tuple(got[4].type, got[4].payload.size()),
            std::make_tuple(FrameType::Chat, size_t{0}));
}

// A text as the room relays it: cut at its NUL, zero-filled to the block.
std::string Relayed(const std::string& text) {
  return text + std::string(15 - (text.size() + 15) % 16, '\0');
}

// What is kept for a late joiner: public messages as they were relayed (a
// stranger's with no name, every kind with its bytes), never a private one or
// a quit marker, the newest within the count and the byte bound.
TEST_F(RoomLogic, HistoryKeepsTheLastPublicMessagesWithinItsBounds) {
  const std::string big(49151, 'b');  // with one more byte before it, four fill the bound
  const struct {
    const char* name;
    size_t length;
    // Steps: "alice: TEXT" public, "alice>bob: TEXT" private, "stranger:
    // TEXT", "alice: BIG N" N and `big`, "alice: ~bin" a binary
    // payload with a NUL inside.
    std::vector<std::string> steps;
    std::vector<Seen> kept;  // sender, kind, bytes after the prefix
  } kCases[] = {
      {"the newest within the count",
       3,
       {"alice: m1", "bob: m2", "alice: m3", "bob: m4", "alice: m5"},
       {{"alice", 1, Relayed("m3")}, {"bob", 1, Relayed("m4")}, {"alice", 1, Relayed("m5")}}},
      {"private messages and quit markers never; a stranger's without a name",
       10,
       {"alice: one", "alice>bob: secret", "bob>bob: ", "stranger: anon", "bob: two"},
       {{"alice", 1, Relayed("one")}, {"", 1, Relayed("anon")}, {"bob", 1, Relayed("two")}}},
      {"kinds and bytes as relayed",
       10,
       {"alice: ~bin", "bob: "},
       {{"alice", 2, std::string("ab\0cd", 5) + std::string(27, 'z')}, {"bob", 1, ""}}},
      {"192 KiB of messages at most: four big ones fit, a fifth pushes one out",
       1000,
       {"alice: BIG 1", "alice: BIG 2", "alice: BIG 3", "alice: BIG 4", "alice: BIG 5"},
       {{"alice", 1, Relayed("2" + big)},
        {"alice", 1, Relayed("3" + big)},
        {"alice", 1, Relayed("4" + big)},
        {"alice", 1, Relayed("5" + big)}}},
      {"none kept without --history", 0, {"alice: m1", "bob: m2"}, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Reset(c.length);
    std::map<std::string, int> who = {
        {"alice", Member("alice")}, {"bob", Member("bob")}, {"stranger", Open()}};
    uint64_t publics = 0;
    for (const std::string& step : c.steps) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(step, m, std::regex("(\\w+)(>(\\w+))?: (.*)"))) << step;
      const std::string from = m[1], to = m[3], text = m[4];
      if (text == "~bin") {
        const std::string bin = std::string("ab\0cd", 5) + std::string(27, 'z');
        Send(who[from], BuildFrame(FrameType::Chat, 2, bin.data(), 32, nullptr, Scope::Public));
      } else {
        Chat(who[from], text.rfind("BIG ", 0) == 0 ? text.substr(4) + big : text, to);
      }
      if (to.empty()) ++publics;
      DeliverAll();  // one batch each, or all in one: the same
    }
    const int late = Member("carol");
    Ask(late, 0);
    DeliverAll();
    Answers got = History(late);
    EXPECT_EQ(got.items, c.kept);
    ASSERT_EQ(got.ends.size(), 1u);
    if (c.length == 0) {
      EXPECT_EQ(got.ends[0], (std::vector<uint64_t>{0, 0, 0, 0}));
      continue;
    }
    // The boundary is the last public message before carol joined.
    EXPECT_EQ(got.ends[0],
              (std::vector<uint64_t>{room.history.runId, room.history.last.time, publics, 0}));
    for (size_t i = 0; i < got.items.size(); ++i) {
      EXPECT_EQ(got.ordinals[i], publics - got.items.size() + 1 + i);
      if (i > 0) {
        EXPECT_GT(got.times[i], got.times[i - 1]);
      }
    }
  }
}

// Only members are answered, one answer at a time, in the order of delivery,
// with what was relayed before they joined and after `since`; a member that
// never asks gets nothing new.
TEST_F(RoomLogic, HistoryAnswersMembersOnceAtATimeWithWhatCameBeforeTheyJoined) {
  Reset(10);
  const int alice = Member("alice");
  for (const char* text : {"m1", "m2", "m3"})
    Chat(alice, text);
  DeliverAll();
  const int carol = Member("carol");
  Chat(alice, "live");  // after carol joined: live, never in her history
  DeliverAll();
  EXPECT_EQ(History(carol).order, (std::vector<std::string>{"live"}));

  const int stranger = Open();
  Ask(stranger, 0);
  Ask(carol, 0);
  Ask(carol, 0);  // while the first is queued: ignored
  DeliverAll();
  EXPECT_TRUE(Take(stranger).empty());
  Answers got = History(carol);
  EXPECT_EQ(got.order, (std::vector<std::string>{"item", "item", "item", "end"}));
  ASSERT_EQ(got.ends.size(), 1u);
  EXPECT_EQ(got.ends[0][2], 3u);  // m3 came last before carol
  EXPECT_EQ(got.ends[0][1], got.times[2]);
  // Once answered, asking again works; `since` is exclusive.
  Chat(alice, "before");
  Ask(carol, got.times[0]);
  Chat(alice, "after");
  DeliverAll();
  Answers again = History(carol);
  EXPECT_EQ(again.order, (std::vector<std::string>{"before", "item", "item", "end", "after"}));
  EXPECT_EQ(again.items,
            (std::vector<Seen>{{"alice", 1, Relayed("m2")}, {"alice", 1, Relayed("m3")}}));
  // alice, who never asked, saw only chat, her buffer shared or not.
  for (const ReceivedFrame& f : Take(alice))
    EXPECT_EQ(f.type, FrameType::Chat);

  // A request whose member left before it was answered goes nowhere, not to
  // the next member in that slot.
  const int dave = Member("dave");
  Ask(dave, 0);
  EndSession(room, conns[dave].link.get());
  const int erin = Member("erin");
  DeliverAll();
  EXPECT_TRUE(History(erin).order.empty());
  Ask(erin, 0);
  DeliverAll();
  EXPECT_EQ(History(erin).ends.size(), 1u);
}

// Reclaiming: a member's new connection takes the slot from the stale one
// with its key, whatever the stale link had taken when it went silent
// (nothing, part of a frame, all): the stale link is shut down, nobody else
// hears of it, and the new connection gets what the client never had, in
// order, once: what the stale link took after the client's count, then what
// waited for it.
TEST_F(RoomLogic, ReclaimTakesTheSlotAndGivesTheStreamOnWhole) {
  const struct {
    const char* name;
    size_t takes;  // bytes the stale link takes after the cut
  } kCases[] = {{"nothing taken", 0}, {"part of a frame", 70}, {"all taken", SIZE_MAX}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Reset(0);
    const int alice = Member("alice");
    const int bob = Member("bob");
    const std::string key = AskKey(bob);
    ASSERT_EQ(key.size(), kReclaimKeySize);
    Chat(alice, "seen");
    DeliverAll();
    Take(alice);
    EXPECT_EQ(Chats(bob), (std::vector<Seen>{{"alice", Scope::Public, "seen"}}));
    const uint64_t cut = Received(bob);  // the client had all of this
    conns[bob].link->room = c.takes;
    Chat(alice, "p1", "bob");
    Chat(alice, "pub");
    DeliverAll();
    room.backlog.RunOnce(Deadline::In(0));
    Chat(alice, "p2", "bob");
    DeliverAll();
    Take(alice);

    StartNotices();
    const int back = Open();
    Reclaim(back, std::string("bob\0junk", 8), key, cut);  // what follows the name is no part of it
    const Reclaimed got = ReclaimAnswer(back);
    ASSERT_TRUE(got.accepted);
    EXPECT_EQ(got.fields.lost, 0u);
    EXPECT_EQ(got.after, (std::vector<std::string>{"*alice* p1", "<alice> pub", "*alice* p2",
                                                   "list bob,alice"}));
    EXPECT_NE(std::string(got.fields.key, got.fields.key + kReclaimKeySize), key);
    EXPECT_TRUE(conns[bob].link->shut);
    EXPECT_EQ(FindUserBySession(room.users, conns[back].link.get()), 3);
    EXPECT_EQ(FindUserBySession(room.users, conns[bob].link.get()), -1);
    // The new connection is bob: what it says goes out under that name, and
    // what is sent to bob reaches it.
    Chat(back, "I am back");
    Chat(alice, "p3", "bob");
    DeliverAll();
    const std::vector<uint8_t>& raw = conns[alice].link->written;
    ASSERT_GE(raw.size(), kHeaderSize);
    EXPECT_EQ(std::string(raw.begin() + 12, raw.begin() + 32), "bob" + std::string(17, '\0'));
    EXPECT_EQ(Chats(alice), (std::vector<Seen>{{"bob", Scope::Public, "I am back"}}));
    EXPECT_EQ(Chats(back), (std::vector<Seen>{{"bob", Scope::Public, "I am back"},
                                              {"alice", Scope::Private, "p3"}}));
    // The stale session's next frame ends it, without a notice, as any
    // connection without a slot ends: the unchanged list to the rest.
    Chat(bob, "late");
    DeliverAll();
    EXPECT_EQ(Notices(), "");
    std::vector<ReceivedFrame> left = Take(alice);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].Names(), (Names{"bob", "alice"}));
  }
}

// The stale connection's Chat frames relayed before the reclaim are counted
// in its answer; what it sent that was not relayed yet is never relayed, so
// that the client sends it again, once.
TEST_F(RoomLogic, ReclaimCountsWhatWasRelayedAndDropsTheRest) {
  const int alice = Member("alice");
  const int bob = Member("bob");
  const std::string key = AskKey(bob);
  Chat(bob, "one");
  Chat(bob, "two", "alice");
  DeliverAll();
  Chat(bob, "three");  // queued, not yet relayed
  Ask(bob, 0);         // nor this
  const int back = Open();
  Reclaim(back, "bob", key, Received(bob));
  Reclaimed got = ReclaimAnswer(back);
  ASSERT_TRUE(got.accepted);
  EXPECT_EQ(got.fields.chatsRelayed, 2u);
  DeliverAll();
  EXPECT_EQ(Chats(alice),
            (std::vector<Seen>{{"bob", Scope::Public, "one"}, {"bob", Scope::Private, "two"}}));
  EXPECT_EQ(Chats(back), std::vector<Seen>{});  // no echo, no history answer
  // Counted anew on the new connection, for its own reclaim.
  Chat(back, "three");
  DeliverAll();
  Take(back);
  const int again = Open();
  Reclaim(again, "bob", std::string(got.fields.key, got.fields.key + kReclaimKeySize),
          Received(back));
  got = ReclaimAnswer(again);
  ASSERT_TRUE(got.accepted);
  EXPECT_EQ(got.fields.chatsRelayed, 1u);
  EXPECT_EQ(got.after, (std::vector<std::string>{"list bob,alice"}));
}

// When the stream cannot be given whole (the client's count is older than
// the replay reaches), or the client asks for a fresh start, the slot is
// still taken, nothing is given back, the answer says how much was lost,
// and the history answers from the reclaim on, as after a login.
TEST_F(RoomLogic, ReclaimThatCannotGiveTheStreamWholeStartsAfresh) {
  const struct {
    const char* name;
    bool fresh;
  } kCases[] = {{"a count older than the replay", false}, {"a fresh start", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Reset(10);
    const int alice = Member("alice");
    const int bob = Member("bob");
    const std::string key = AskKey(bob);
    const uint64_t early = Received(bob);
    // More than the replay keeps, in messages of 16 KiB.
    const std::string big(16 * 1024, 'x');
    for (size_t sent = 0; sent <= kReplayBytes + 16 * 1024; sent += big.size())
      Chat(alice, big, "bob");
    Chat(alice, "kept");
    DeliverAll();
    const uint64_t written = Received(bob);
    const int back = Open();
    Reclaim(back, "bob", key, c.fresh ? kReclaimFresh : early);
    const Reclaimed got = ReclaimAnswer(back);
    ASSERT_TRUE(got.accepted);
    EXPECT_EQ(got.fields.lost, c.fresh ? 0 : written - early);
    EXPECT_EQ(got.after, (std::vector<std::string>{"list bob,alice"}));
    EXPECT_TRUE(conns[bob].link->shut);
    Ask(back, 0);
    DeliverAll();
    EXPECT_EQ(History(back).items, (std::vector<Seen>{{"alice", 1, Relayed("kept")}}));
  }
}

// A reclaim is refused like a name in use, the slot and the stale
// connection left as they are, unless it shows its member's latest key, for
// a name the connection may have: a wrong key, a used one, another
// member's, none asked for, a name nobody holds, a name not the
// certificate's in a private room. Wrong keys are counted on standard
// error; a name nobody holds is the usual end of a stale connection that
// ended first, and is not.
TEST_F(RoomLogic, ReclaimIsRefusedWithoutTheMembersLatestKey) {
  const int alice = Member("alice");
  const int bob = Member("bob");
  const int carol = Member("carol");  // never asks for a key
  const std::string used = AskKey(bob);
  const std::string key = AskKey(bob);  // the latest replaces the first
  const std::string alices = AskKey(alice);
  ASSERT_EQ(key.size(), kReclaimKeySize);
  EXPECT_NE(key, used);
  std::string wrong = key;
  wrong[kReclaimKeySize - 1] ^= 1;
  const struct {
    const char* name;
    std::string key;
  } kRefused[] = {
      {"bob", wrong}, {"bob", used}, {"bob", alices}, {"carol", std::string(kReclaimKeySize, '\0')},
      {"dave", key},  {"Bob", key},
  };
  StartCounted();
  for (const auto& r : kRefused) {
    SCOPED_TRACE(r.name);
    const int c = Open();
    Reclaim(c, r.name, r.key, 0);
    EXPECT_EQ(FirstType(c), FrameType::NameInUse);
    EXPECT_EQ(FindUserBySession(room.users, conns[c].link.get()), -1);
  }
  Reclaim(bob, "bob", key, 0);  // from its own connection: nothing to take
  EXPECT_EQ(FirstType(bob), FrameType::NameInUse);
  for (int member : {alice, bob, carol}) {
    EXPECT_FALSE(conns[member].link->shut);
    EXPECT_TRUE(Take(member).empty());
  }
  // A private room: the certificate's name only, as for a Login.
  const auto certified = [&](const std::string& cn) {
    const int c = Open();
    ClientState& state = conns[c].state;
    state.nameFromCert = state.certHasName = true;
    cn.copy(reinterpret_cast<char*>(state.certName), kNameSize);
    return c;
  };
  const int other = certified("mallory");
  Reclaim(other, "bob", key, 0);
  EXPECT_EQ(FirstType(other), FrameType::NameInUse);
  const int mine = certified("bob");
  Reclaim(mine, "bob", key, 0);
  EXPECT_TRUE(ReclaimAnswer(mine).accepted);
  const std::string err = Counted();
  EXPECT_EQ(err,
            "Reclaims of a name: refused 1 since the last line (latest: bob, not the key of its "
            "member)\n"
            "Names other than the certificate's: refused 1 since the last line (latest: bob, its "
            "certificate is for mallory)\n"
            "Reclaims of a name: refused 3 since the last line (latest: carol, not the key of its "
            "member)\n");
  EXPECT_EQ(err.find(key), std::string::npos);
}

}  // namespace

}  // namespace saferoom
