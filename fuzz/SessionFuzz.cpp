// Drives the chat room's request handling with arbitrary frames from three
// fake connections, without sockets: logins, logouts, chats, and delivery.
// The member table must stay sound whatever arrives.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "protect/Frame.h"
#include "room/ClientSession.h"
#include "room/DeliveryQueue.h"
#include "room/UserTable.h"
#include "server/SafeTcpServer.h"

// The fake room's state record; the room reaches it through this pointer.
SafeTcpServer* gServer = nullptr;

namespace {

constexpr int kConns = 3;

TlsConnPtr FakeConn() {
  auto conn = std::make_unique<TlsConn>();
  conn->capture = std::make_unique<std::vector<uint8_t>>();
  return conn;
}

void CheckTable(const TlsConnPtr (&conns)[kConns]) {
  for (int a = 0; a < kNumSlots; ++a) {
    const auto& record = gServer->users[a];
    if (!record) continue;
    const auto named = [&](const TlsConnPtr& c) { return c.get() == record->session; };
    if (std::none_of(conns, conns + kConns, named)) abort();  // a slot outlived its connection
    for (int b = a + 1; b < kNumSlots; ++b) {
      const auto& other = gServer->users[b];
      if (other && NameString(other->name) == NameString(record->name)) abort();
    }
  }
}

// Every frame written to a member must parse back as a whole frame.
void CheckOutput(std::vector<uint8_t>& out) {
  size_t at = 0;
  while (at < out.size()) {
    if (out.size() - at < kHeaderSize) abort();
    FrameHeader header = ParseHeader(out.data() + at);
    if (!HeaderAcceptable(header)) abort();
    at += kHeaderSize + PayloadLength(header.lengthWord);
    if (at > out.size()) abort();
  }
  out.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SafeTcpServer* server = [] {
    auto s = std::make_unique<SafeTcpServer>(0);
    s->onUserOnline = OnUserOnline;
    s->onUserOffline = OnUserOffline;
    gServer = s.release();  // lives as long as the process, as in the server
    return gServer;
  }();
  (void)server;

  TlsConnPtr conns[kConns] = {FakeConn(), FakeConn(), FakeConn()};
  SessionState states[kConns];
  std::vector<uint8_t> plain;
  // Each frame: one byte picking the connection, then header and payload.
  while (size >= 1 + kHeaderSize) {
    TlsConnPtr& conn = conns[data[0] % kConns];
    SessionState& state = states[data[0] % kConns];
    FrameHeader header = ParseHeader(data + 1);
    data += 1 + kHeaderSize;
    size -= 1 + kHeaderSize;
    if (!HeaderAcceptable(header)) break;
    uint32_t length = PayloadLength(header.lengthWord);
    if (length > size) break;
    DecryptPayload(header, data, length, plain);
    data += length;
    size -= length;
    bool goOn = HandleFrame(conn.get(), state, header, plain);
    QueueChats(state);
    if (!goOn) {
      EndSession(conn.get());
      if (FindUserBySession(conn.get()) >= 0) abort();
      conn = FakeConn();
      state = SessionState();
    }
    // The remembered sender must be what the table says.
    int slot = FindUserBySession(conn.get());
    if (slot != state.senderSlot) abort();
    if (slot >= 0 && std::memcmp(state.senderName, gServer->users[slot]->name, kNameSize) != 0) {
      abort();
    }
    while (DeliverQueued()) {
    }
    CheckTable(conns);
    for (auto& c : conns)
      CheckOutput(*c->capture);
  }
  for (auto& c : conns)
    EndSession(c.get());
  for (const auto& record : gServer->users) {
    if (record) abort();
  }
  return 0;
}
