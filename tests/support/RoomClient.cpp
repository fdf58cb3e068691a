// Library clients for the integration tests.
#include "tests/support/RoomClient.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/Os.h"
#include "tests/support/TestServer.h"

TlsClientConfig TestTls(const std::string& certDir) {
  TlsClientConfig tls;
  tls.caFile = TestCertsDir() + "/ca.crt";
  if (!certDir.empty()) {
    tls.certFile = TestMember(certDir) + ".crt";
    tls.keyFile = TestMember(certDir) + ".key";
  }
  return tls;
}

std::unique_ptr<ChatClient> Connect(int port, const TlsClientConfig& tls,
                                    const std::string& sourceIp) {
  ClientOptions options;
  options.target.port = static_cast<uint16_t>(port);
  options.target.sourceIp = sourceIp;
  options.tls = tls;
  auto client = std::make_unique<ChatClient>();
  client->Connect(options);
  return client;
}

std::unique_ptr<ChatClient> Join(int port, const std::string& name) {
  auto client = Connect(port);
  EXPECT_TRUE(client->Login(name)) << name << " could not connect";
  EXPECT_EQ(Next(*client).type, FrameType::LoginAccepted) << name;
  EXPECT_TRUE(WaitFrame(*client, [](const ReceivedFrame& f) {
    return f.type == FrameType::UserList;
  })) << name;
  return client;
}

ReceivedFrame Next(ChatClient& client, int timeoutMs) {
  ReceivedFrame frame;
  RecvStatus status = client.Receive(frame, Deadline::In(timeoutMs));
  EXPECT_EQ(status, RecvStatus::kFrame);
  if (status != RecvStatus::kFrame) frame.type = ~0u;
  return frame;
}

bool WaitFrame(ChatClient& client, const std::function<bool(const ReceivedFrame&)>& match,
               int timeoutMs) {
  const Deadline deadline = Deadline::In(timeoutMs);
  ReceivedFrame frame;
  // The deadline holds even while frames keep coming.
  while (!deadline.Passed()) {
    if (client.Receive(frame, deadline) != RecvStatus::kFrame) return false;
    if (match(frame)) return true;
  }
  return false;
}

bool WaitForList(ChatClient& client, const Names& want, int timeoutMs) {
  return WaitFrame(
      client,
      [&](const ReceivedFrame& f) { return f.type == FrameType::UserList && f.Names() == want; },
      timeoutMs);
}

void CountChats(ChatClient& client, uint32_t total, std::map<std::string, uint32_t>& heard,
                std::atomic<bool>& inOrder) {
  ReceivedFrame f;
  for (uint32_t n = 0; n < total && client.Receive(f, Deadline::In(20000)) == RecvStatus::kFrame;) {
    if (f.type != FrameType::Chat) continue;
    ++n;
    if (SeqOf(f) != heard[f.name]++) inOrder = false;
  }
}

std::string Numbered(uint32_t seq, size_t size) {
  std::string text(std::max<size_t>(size, 4), 'n');
  std::memcpy(&text[0], &seq, 4);
  return text;
}

uint32_t SeqOf(const ReceivedFrame& frame) {
  uint32_t seq = ~0u;
  if (frame.payload.size() >= 4) std::memcpy(&seq, frame.payload.data(), 4);
  return seq;
}
