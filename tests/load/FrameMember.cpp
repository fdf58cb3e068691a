// The chat frames as a load client speaks them: dialling, the login, and
// received frames as the chat a member heard.
#include "tests/load/FrameMember.h"

#include <utility>

#include "client/WsClient.h"

namespace saferoom {

namespace {

// Connections from one source address at most, under any per-address cap.
constexpr int64_t kPerSource = 8;
// 127.0.0.2 to .201: room for 1,600 connections at once.
constexpr int64_t kNumSources = 200;
constexpr int kJoinMs = 5000;

class FrameMember : public MemberConn {
 public:
  ChatClient client;

  bool Send(const std::string& text, const std::string& to, uint32_t kind) override {
    return client.SendChat(text, to, kind);
  }

  RecvStatus Next(Heard& heard, Deadline deadline) override {
    for (;;) {
      RecvStatus status = client.Receive(frame_, deadline);
      if (status != RecvStatus::kFrame) return status;
      if (frame_.type != FrameType::Chat) continue;  // member lists
      heard.from = std::move(frame_.name);
      heard.scope = frame_.scope;
      heard.text.swap(frame_.payload);
      return status;
    }
  }

  void Leave() override { client.Logout(); }

 private:
  ReceivedFrame frame_;
};

}  // namespace

ClientOptions MakeClientOptions(const LoadTarget& target) {
  ClientOptions clientOptions;
  clientOptions.target.host = target.host;
  clientOptions.target.port = static_cast<uint16_t>(target.port);
  clientOptions.tls.verify = !target.insecure;
  if (!target.insecure) clientOptions.tls.caFile = target.caFile;
  return clientOptions;
}

std::string SpreadSource(const std::string& host, int64_t n) {
  bool loopback = host == "localhost" || host.compare(0, 4, "127.") == 0;
  if (!loopback) return "";
  return "127.0.0." + std::to_string(2 + n / kPerSource % kNumSources);
}

ClientOptions SpreadClientOptions(const LoadTarget& target, int64_t n) {
  ClientOptions clientOptions = MakeClientOptions(target);
  clientOptions.target.sourceIp = SpreadSource(target.host, n);
  return clientOptions;
}

bool JoinRoom(ChatClient& client, const ClientOptions& clientOptions, const std::string& name,
              std::string& error, int timeoutMs, bool web) {
  DialResult connected = web ? ConnectWeb(client, clientOptions) : client.Connect(clientOptions);
  if (!connected.Ok()) {
    error = connected.message;
    return false;
  }
  if (!client.Login(name)) {
    error = "cannot send Login for " + name;
    return false;
  }
  const Deadline deadline = Deadline::In(timeoutMs);
  ReceivedFrame frame;
  for (;;) {
    RecvStatus status = deadline.Passed() ? RecvStatus::kTimeout : client.Receive(frame, deadline);
    if (status == RecvStatus::kTimeout) {
      error = "no answer to Login for " + name + " (room full?)";
      return false;
    }
    if (status != RecvStatus::kFrame) {
      error = "connection ended before Login for " + name + " was answered";
      return false;
    }
    if (frame.type == FrameType::LoginAccepted) return true;
    if (frame.type == FrameType::NameInUse) {
      error = "name " + name + " is in use";
      return false;
    }
    // Member lists and chat of others may come first.
  }
}

std::unique_ptr<MemberConn> JoinFrameMember(const LoadTarget& target, const std::string& name,
                                            std::string& error) {
  auto member = std::make_unique<FrameMember>();
  if (!JoinRoom(member->client, MakeClientOptions(target), name, error, kJoinMs, target.web)) {
    return nullptr;
  }
  return member;
}

}  // namespace saferoom
