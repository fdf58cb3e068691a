// A client's bytes through the real TLS read path into a server session:
// records cut as the input says, read by TlsRead in reads of its choosing,
// reassembled by the session's frame reader and handled. Whatever the cuts,
// the session must act on exactly the frames the bytes hold, in one piece,
// and what it writes back must be whole frames.
// Input: a byte seeding the record sizes, a byte seeding the read sizes (its
// low bit: a close notification at the end), then the client's stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/TlsPair.h"
#include "protect/FrameReader.h"
#include "room/ClientSession.h"
#include "room/Room.h"
#include "server/TlsLink.h"

namespace {

// Inputs beyond this could fill the delivery queue, whose Put would then
// wait for a SendMsg that this target does not run.
constexpr size_t kMaxInput = 32 * 1024;

struct Chat {
  uint32_t lengthWord;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> recipient;
  bool operator==(const Chat& o) const {
    return lengthWord == o.lengthWord && payload == o.payload && recipient == o.recipient;
  }
};

// What a session must queue for `stream` read in one go: every chat up to a
// logout, a bad header or a frame cut off by the end.
std::vector<Chat> ExpectedChats(const uint8_t* stream, size_t size) {
  std::vector<Chat> chats;
  FrameReader reader;
  FrameHeader header;
  const uint8_t* payload = nullptr;
  for (;;) {
    FrameReader::Result result = reader.Next(header, payload);
    if (result == FrameReader::Result::kBadHeader) break;
    if (result == FrameReader::Result::kNeedMore) {
      if (size == 0) break;
      size_t room = 0;
      uint8_t* at = reader.Room(room);
      const size_t n = std::min(room, size);
      std::memcpy(at, stream, n);
      reader.Commit(n);
      stream += n;
      size -= n;
      continue;
    }
    if (header.type == FrameType::Logout) break;
    const uint32_t length = PayloadLength(header.lengthWord);
    if (header.type != FrameType::Chat || length == 0) continue;
    Chat chat{header.lengthWord, {}, std::vector<uint8_t>(kNameSize, 0)};
    DecryptPayload(header, payload, length, chat.payload);
    if (header.scope == Scope::Private) chat.recipient.assign(header.name, header.name + kNameSize);
    chats.push_back(std::move(chat));
  }
  return chats;
}

// Every frame the server wrote must be whole and one it sends to clients.
void CheckReplies(const std::string& plain) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(plain.data());
  for (size_t at = 0; at < plain.size();) {
    if (plain.size() - at < kHeaderSize) abort();
    const FrameHeader header = ParseHeader(bytes + at);
    if (!HeaderAcceptable(header)) abort();
    if (header.type != FrameType::LoginAccepted && header.type != FrameType::NameInUse &&
        header.type != FrameType::UserList) {
      abort();
    }
    at += kHeaderSize + PayloadLength(header.lengthWord);
    if (at > plain.size()) abort();
  }
}

}  // namespace

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
  ClientSession(
      room, std::make_unique<TlsLink>(std::move(pair.server), "127.0.0.1, port 1", room.console));
  for (const auto& record : room.users) {
    if (record) abort();  // the session's slots outlived it
  }
  std::vector<ChatItemPtr> taken, queued;
  room.queue.TakeBatch(taken, ~size_t{0}, ~size_t{0});
  // A member's history request queues its answer's place: one at most,
  // since no SendMsg runs here to answer it and let another in.
  size_t requests = 0;
  for (ChatItemPtr& item : taken) {
    if (item->historyRequest) {
      ++requests;
    } else {
      queued.push_back(std::move(item));
    }
  }
  if (requests > 1) abort();
  const std::vector<Chat> expected = ExpectedChats(data, size);
  if (queued.size() != expected.size()) abort();
  for (size_t i = 0; i < queued.size(); ++i) {
    const ChatItem& item = *queued[i];
    const Chat got{item.lengthWord, item.payload,
                   std::vector<uint8_t>(item.recipient, item.recipient + kNameSize)};
    if (!(got == expected[i])) abort();
  }

  bool closed = false;
  CheckReplies(ReceiveAll(*pair.client, closed));
  // A session that ends in order says goodbye; one that read an end without
  // a goodbye need not.
  if (closeNotify && !closed) abort();
  return 0;
}
