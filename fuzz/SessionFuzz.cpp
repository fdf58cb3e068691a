// Drives the chat room's request handling with arbitrary frames from three
// fake connections, without sockets: logins, logouts, chats, history
// requests, reclaim keys and reclaims, and delivery through each
// connection's send queue, to links that take as much as the input lets
// them (often nothing: a full socket). The member table must stay sound
// whatever arrives, and each connection's bytes must be whole frames in
// order, however they were cut (a stale one's may stop inside one); a
// reclaim that gives the stream whole gives what the stale link took after
// the count.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "protect/Frame.h"
#include "room/ClientSession.h"
#include "room/Room.h"
#include "room/SendMsg.h"
#include "room/UserTable.h"
#include "tests/support/FakeLink.h"

namespace saferoom {

namespace {

constexpr int kConns = 3;

using FakePtr = std::shared_ptr<FakeLink>;

// A new connection and its session's state.
ClientState Connect(FakePtr& conn) {
  conn = std::make_shared<FakeLink>();
  return ClientState(std::make_shared<SendQueue>(conn));
}

void CheckTable(const Room& room, const FakePtr (&conns)[kConns]) {
  for (int a = 0; a < kRoomSize; ++a) {
    const auto& record = room.users[a];
    if (!record) continue;
    const auto named = [&](const FakePtr& c) { return c.get() == record->link; };
    if (std::none_of(conns, conns + kConns, named)) abort();  // a slot outlived its connection
    for (int b = a + 1; b < kRoomSize; ++b) {
      const auto& other = room.users[b];
      if (other && NameString(other->name) == NameString(record->name)) abort();
    }
  }
}

// True when `out` is whole frames followed by the start of one at most.
bool FramesSoFar(const std::vector<uint8_t>& out) {
  size_t at = 0;
  while (out.size() - at >= kHeaderSize) {
    const FrameHeader header = ParseHeader(out.data() + at);
    if (!HeaderAcceptable(header)) return false;
    const size_t next = at + kHeaderSize + PayloadLength(header.lengthWord);
    if (next > out.size()) return true;
    at = next;
  }
  return true;
}

// The key a random input cannot guess: a Reclaim whose key starts with
// kRealKey gets the real one of the member it names, and a count of bytes
// that ends a frame the stale link took (the input picks how many frames
// back). False when no member of that name holds a key.
constexpr uint8_t kRealKey = 0xa5;

bool UseRealKey(const Room& room, std::vector<uint8_t>& plain, size_t& stale, uint64_t& received) {
  if (plain.size() < kReclaimSize || plain[32] != kRealKey) return false;
  const int slot = FindUserByName(room.users, plain.data());
  if (slot < 0 || !room.users[slot]->hasKey) return false;
  const FakeLink* link = static_cast<const FakeLink*>(room.users[slot]->link);
  std::vector<size_t> ends = {0};
  WalkFrames(link->written.data(), link->written.size(), [&](const FrameHeader& h, const uint8_t*) {
    ends.push_back(ends.back() + kHeaderSize + PayloadLength(h.lengthWord));
    return true;
  });
  received = ends[ends.size() - 1 - plain[33] % ends.size()];
  StoreLe64(plain.data() + 24, received);
  std::memcpy(plain.data() + 32, room.users[slot]->reclaimKey, kReclaimKeySize);
  stale = static_cast<size_t>(slot);
  return true;
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One room for every input, as one server serves every connection; each
  // input must leave it empty.
  static Room room;
  static Relay relay;
  // A short history of this input's own, so that answers are made too.
  room.history = RoomHistory();
  StartHistory(room.history, 4);

  FakePtr conns[kConns];
  ClientState states[kConns] = {Connect(conns[0]), Connect(conns[1]), Connect(conns[2])};
  std::vector<uint8_t> plain;
  for (auto& c : conns)
    c->room = 0;
  // Each frame: one byte picking the connection (and, above, how many bytes
  // its link takes from now: none, some, or all), then header and payload.
  while (size >= 1 + kHeaderSize) {
    FakePtr& conn = conns[data[0] % kConns];
    ClientState& state = states[data[0] % kConns];
    const unsigned grant = data[0] / kConns;
    conn->room = grant == 0 ? 0 : grant >= 64 ? SIZE_MAX : conn->room + grant * 997;
    FrameHeader header = ParseHeader(data + 1);
    data += 1 + kHeaderSize;
    size -= 1 + kHeaderSize;
    if (!HeaderAcceptable(header)) break;
    uint32_t length = PayloadLength(header.lengthWord);
    if (length > size) break;
    DecryptPayload(header, data, length, plain);
    data += length;
    size -= length;
    size_t staleSlot = 0;
    uint64_t received = 0;
    const FakeLink* stale = nullptr;
    std::vector<uint8_t> staleBytes;
    if (header.type == FrameType::Reclaim && UseRealKey(room, plain, staleSlot, received)) {
      stale = static_cast<const FakeLink*>(room.users[staleSlot]->link);
      staleBytes = stale->written;
    }
    const size_t before = conn->written.size();
    bool goOn = HandleRequest(room, state, header, plain);
    if (stale && stale != conn.get() && stale->shut) {
      // Taken: when the answer says the stream follows whole, it begins
      // with what the stale link took after the count.
      const std::vector<uint8_t>& got = conn->written;
      const bool atFrame = WalkFrames(got.data(), before, [](auto&, auto*) { return true; });
      if (atFrame && got.size() - before >= kHeaderSize + kReclaimedSize &&
          ParseHeader(got.data() + before).type == FrameType::Reclaimed) {
        const FrameHeader h = ParseHeader(got.data() + before);
        std::vector<uint8_t> answer;
        DecryptPayload(h, got.data() + before + kHeaderSize, kReclaimedSize, answer);
        const size_t from = before + kHeaderSize + kReclaimedSize;
        const size_t n = std::min(got.size() - from, staleBytes.size() - received);
        if (ReadReclaimed(answer.data(), answer.size()).lost == 0 &&
            std::memcmp(got.data() + from, staleBytes.data() + received, n) != 0) {
          abort();
        }
      }
    }
    QueueChats(room, state);
    if (!goOn) {
      EndSession(room, conn.get());
      if (FindUserBySession(room.users, conn.get()) >= 0 || !conn->shut) abort();
      state = Connect(conn);
    }
    // The remembered sender must be what the table says.
    int slot = FindUserBySession(room.users, conn.get());
    if (slot != state.senderSlot) abort();
    if (slot >= 0 && std::memcmp(state.senderName, room.users[slot]->name, kNameSize) != 0) {
      abort();
    }
    while (RelayBatch(room, relay)) {
    }
    room.backlog.RunOnce(Deadline::In(0));
    CheckTable(room, conns);
    for (auto& c : conns) {
      if (!FramesSoFar(c->written)) abort();
    }
  }
  // Every link takes all now: what waited goes out, and ends in whole frames.
  for (auto& c : conns)
    c->room = SIZE_MAX;
  while (room.backlog.RunOnce(Deadline::In(0))) {
  }
  for (auto& c : conns) {
    const std::vector<uint8_t>& out = c->written;
    // A stale link's stream may stop inside a frame: a reclaim took the rest.
    const bool whole = WalkFrames(out.data(), out.size(), [](auto&, auto*) { return true; });
    if (!(whole || (c->replaced && FramesSoFar(out)))) abort();
    EndSession(room, c.get());
  }
  for (const auto& record : room.users) {
    if (record) abort();
  }
  return 0;
}
