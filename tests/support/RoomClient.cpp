// Library clients for the integration tests.
#include "tests/support/RoomClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/Os.h"
#include "tests/support/TestServer.h"

namespace saferoom {

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

Bystander::Bystander(int port, const std::string& name) : client_(Join(port, name)) {
  thread_ = std::thread([this] {
    for (uint32_t i = 0; !stop_; ++i) {
      const int64_t sent = MonotonicMs();
      const std::string text = "probe " + std::to_string(i);
      if (!client_->SendChat(text)) {
        echoMs_.push_back(kProbeWaitMs);
        return;
      }
      const bool echoed = WaitFrame(
          *client_,
          [&](const ReceivedFrame& f) { return f.type == FrameType::Chat && f.Text() == text; },
          kProbeWaitMs);
      echoMs_.push_back(echoed ? MonotonicMs() - sent : kProbeWaitMs);
      if (!echoed) return;
      SleepMs(static_cast<int>(sent + kProbeEveryMs - MonotonicMs()));
    }
  });
}

void Bystander::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

int64_t Bystander::WorstMs() const {
  return echoMs_.empty() ? kProbeWaitMs : *std::max_element(echoMs_.begin(), echoMs_.end());
}

int64_t Bystander::MedianMs() const {
  if (echoMs_.empty()) return kProbeWaitMs;
  std::vector<int64_t> sorted = echoMs_;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  return sorted[sorted.size() / 2];
}

int64_t TimeLogin(int port, const std::string& name) {
  const int64_t start = MonotonicMs();
  auto client = Connect(port);
  if (!client->Login(name)) {
    ADD_FAILURE() << name << " could not connect";
    return Bystander::kProbeWaitMs;
  }
  const bool in = WaitFrame(
      *client, [](const ReceivedFrame& f) { return f.type == FrameType::UserList; },
      Bystander::kProbeWaitMs);
  EXPECT_TRUE(in) << name << " did not get in";
  return in ? MonotonicMs() - start : Bystander::kProbeWaitMs;
}

}  // namespace saferoom
