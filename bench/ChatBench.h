// chat-bench's options, its result line and the three modes it runs. The
// command line in ChatBench.cpp fills BenchOptions and calls one mode.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client/ChatClient.h"

struct BenchOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  bool verify = true;
  std::string caFile;
  int serverPid = 0;  // 0: no server figures
  bool json = false;

  // Chat load.
  int members = 5;
  int senders = 1;
  int64_t messages = -1;  // per sender; < 0: until the duration ends
  int size = 64;
  uint32_t kind = PayloadKind::Binary;
  int window = 16;          // closed loop: texts in flight per sender
  double rate = 0;          // > 0: open loop, texts/s over all senders
  double durationSec = 30;  // longest send phase
  double drainSec = 5;      // longest wait for the last deliveries
  std::string namePrefix = "bench";

  // Handshakes.
  int handshakes = 0;
  int parallel = 4;

  // Idle.
  double idleSec = 0;
  int connections = 0;  // handshake-only connections besides the members
};

// Exit statuses of chat-bench.
constexpr int kExitOk = 0;
constexpr int kExitMismatch = 1;  // deliveries missing, repeated or out of order
constexpr int kExitUsage = 2;
constexpr int kExitSetup = 3;  // could not connect, log in or read the server

// One result line: "key=value ..." for people, or one JSON object. Values are
// kept as JSON text (numbers bare, strings quoted).
struct Report {
  std::vector<std::pair<std::string, std::string>> fields;

  void Add(const std::string& key, double value, int decimals = 1);
  void AddInt(const std::string& key, int64_t value);
  void AddText(const std::string& key, const std::string& value);
  void Print(bool json) const;
};

// Client options for one connection of the run.
ClientOptions MakeClientOptions(const BenchOptions& options);

// Connects, logs in as `name` and waits for LoginAccepted, passing over
// member lists. False with `error` (one line) otherwise.
bool JoinRoom(ChatClient& client, const ClientOptions& clientOptions, const std::string& name,
              std::string& error);

// The modes. Each prints its report and returns an exit status.
int RunChatLoad(const BenchOptions& options);
int RunHandshakes(const BenchOptions& options);
int RunIdle(const BenchOptions& options);
