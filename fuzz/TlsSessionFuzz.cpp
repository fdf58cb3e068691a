// A client's bytes through the real TLS read path into a server session:
// records cut as the input says, read by TlsRead in reads of its choosing,
// reassembled by the session's frame reader and handled. Whatever the cuts,
// the session must act on exactly the frames the bytes hold, in one piece,
// and what it writes back must be whole frames.
// Input: a byte seeding the record sizes, a byte seeding the read sizes (its
// low bit: a close notification at the end), then the client's stream.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/TlsPair.h"
#include "room/ClientSession.h"
#include "room/Room.h"
#include "server/TlsLink.h"
#include "tests/support/FakeLink.h"

namespace saferoom {

namespace {

// Inputs beyond this could fill the delivery queue, whose Put would then
// wait for a SendMsg that this target does not run.
constexpr size_t kMaxInput = 32 * 1024;

// A queued chat: its LengthWord, payload and recipient field.
using Chat = std::tuple<uint32_t, std::vector<uint8_t>, std::vector<uint8_t>>;

// What a session must queue for `stream` read in one go: every chat up to a
// logout, a bad header or a frame cut off by the end.
std::vector<Chat> ExpectedChats(const uint8_t* stream, size_t size) {
  std::vector<Chat> chats;
  WalkFrames(stream, size, [&](const FrameHeader& header, const uint8_t* payload) {
    const uint32_t length = PayloadLength(header.lengthWord);
    if (header.type == FrameType::Chat && length > 0) {
      std::vector<uint8_t> plain, to(kNameSize, 0);
      DecryptPayload(header, payload, length, plain);
      if (header.scope == Scope::Private) to.assign(header.name, header.name + kNameSize);
      chats.emplace_back(header.lengthWord, plain, to);
    }
    return header.type != FrameType::Logout;
  });
  return chats;
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > kMaxInput) return 0;
  Splits records(data[0]);
  Splits reads(data[1] >> 1);
  const bool closeNotify = (data[1] & 1) != 0;
  data += 2;
  size -= 2;

  TlsPair pair;
  if (!MakeTlsPair(pair)) abort();
  SendRecords(*pair.client, pair.serverSide, data, size, records, reads, closeNotify);

  Room room;  // a fresh room each input: the console fills nobody's pipe
  RunClientSession(
      room, std::make_shared<TlsLink>(std::move(pair.server), "127.0.0.1, port 1", room.console));
  for (const auto& record : room.users) {
    if (record) abort();  // the session's slots outlived it
  }
  std::vector<ChatItemPtr> queued;
  room.queue.TakeBatch(queued, ~size_t{0}, ~size_t{0});
  // A member's history request queues its answer's place: one at most,
  // since no SendMsg runs here to answer it and let another in.
  size_t requests = 0;
  std::vector<Chat> got;
  for (const ChatItemPtr& item : queued) {
    if (item->historyRequest) {
      if (++requests > 1) abort();
      continue;
    }
    got.emplace_back(item->lengthWord, item->payload,
                     std::vector<uint8_t>(item->recipient, item->recipient + kNameSize));
  }
  if (got != ExpectedChats(data, size)) abort();

  bool closed = false;
  // Every frame the server wrote must be whole and one it sends to clients.
  const std::string replies = ReceiveAll(*pair.client, closed);
  if (!WalkFrames(reinterpret_cast<const uint8_t*>(replies.data()), replies.size(),
                  [](const FrameHeader& h, const uint8_t*) {
                    return h.type == FrameType::LoginAccepted || h.type == FrameType::NameInUse ||
                           h.type == FrameType::UserList;
                  })) {
    abort();
  }
  // A session that ends in order says goodbye; one that read an end without
  // a goodbye need not.
  if (closeNotify && !closed) abort();
  return 0;
}
