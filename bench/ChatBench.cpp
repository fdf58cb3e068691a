// chat-bench: load, latency, handshake, idle and soak runs against a chat
// server on this machine. The entry, the result line, the source addresses
// of its connections and the login of a member live here.
#include "bench/ChatBench.h"

#include <cstdio>
#include <string>

#include "client/WsClient.h"
#include "platform/Os.h"

namespace {

// Connections from one source address at most, under any per-address cap.
constexpr int64_t kPerSource = 8;
// 127.0.0.2 to .201: room for 1,600 connections at once.
constexpr int64_t kNumSources = 200;

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

void Report::Add(const std::string& key, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  fields.emplace_back(key, text);
}

void Report::AddInt(const std::string& key, int64_t value) {
  fields.emplace_back(key, std::to_string(value));
}

void Report::AddText(const std::string& key, const std::string& value) {
  fields.emplace_back(key, JsonString(value));
}

void Report::Print(bool json) const {
  std::string line = json ? "{" : "chat-bench:";
  bool first = true;
  for (const auto& field : fields) {
    if (json) {
      if (!first) line += ",";
      line += JsonString(field.first) + ":" + field.second;
    } else {
      // Text values lose their quotes for people.
      const std::string& value = field.second;
      bool quoted = value.size() >= 2 && value.front() == '"';
      line += " " + field.first + "=" + (quoted ? value.substr(1, value.size() - 2) : value);
    }
    first = false;
  }
  if (json) line += "}";
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

ClientOptions MakeClientOptions(const BenchOptions& options) {
  ClientOptions clientOptions;
  clientOptions.target.host = options.host;
  clientOptions.target.port = static_cast<uint16_t>(options.port);
  clientOptions.tls.verify = !options.insecure;
  if (!options.insecure) clientOptions.tls.caFile = options.caFile;
  return clientOptions;
}

std::string SpreadSource(const std::string& host, int64_t n) {
  bool loopback = host == "localhost" || host.compare(0, 4, "127.") == 0;
  if (!loopback) return "";
  return "127.0.0." + std::to_string(2 + n / kPerSource % kNumSources);
}

ClientOptions SpreadClientOptions(const BenchOptions& options, int64_t n) {
  ClientOptions clientOptions = MakeClientOptions(options);
  clientOptions.target.sourceIp = SpreadSource(options.host, n);
  return clientOptions;
}

int main(int argc, char** argv) {
  BenchOptions options;
  BenchArgs args = ParseBenchArgs(argc, argv, options);
  if (args == BenchArgs::kUsage) {
    std::fprintf(stderr, "Try chat-bench --help\n");
    return kExitUsage;
  }
  if (args == BenchArgs::kHelp) {
    std::printf("%s", BenchHelp().c_str());
    return kExitOk;
  }
  // A server that closes a connection must not end the bench by SIGPIPE.
  IgnoreSigpipe();
  if (options.handshakes > 0) return RunHandshakes(options);
  if (options.idleSec > 0) return RunIdle(options);
  if (options.soakSec > 0) return RunSoak(options);
  return RunChatLoad(options);
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
