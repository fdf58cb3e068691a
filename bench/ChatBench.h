// chat-bench's options, its result line and the modes it runs. The command
// line in ChatBenchArgs.cpp fills BenchOptions; main in ChatBench.cpp calls
// one mode.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client/ChatClient.h"
#include "tests/load/FrameMember.h"
#include "tests/load/StampedRun.h"

namespace saferoom {

// Every default here is printed by --help as it stands.
struct BenchOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  bool insecure = false;
  std::string caFile = "certs/ca.crt";
  int serverPid = 0;              // 0: no server figures
  bool web = false;               // the port is a web listener's: members join over WebSocket
  bool irc = false;               // the port is an IRC server's TLS port: members speak IRC
  std::string channel = "#room";  // IRC: the channel the members join
  std::string oper;               // IRC: "NAME:PASSWORD" to become operators and set +F
  bool json = false;

  // Chat load.
  int members = 5;
  int senders = 1;
  int messages = 20000;  // per sender; < 0: until the duration ends
  int size = 64;
  int kind = PayloadKind::Binary;
  int window = 16;          // closed loop: texts in flight per sender
  bool privately = false;   // each sender writes to the next member only
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

  // Soak.
  double soakSec = 0;
};

// Exit statuses of chat-bench.
namespace BenchExit {
constexpr int kOk = 0;
constexpr int kMismatch = 1;  // deliveries missing, repeated or out of order
constexpr int kUsage = 2;
constexpr int kSetup = 3;  // could not connect, log in or read the server
}  // namespace BenchExit

enum class BenchArgs { kRun, kHelp, kUsage };

// Fills `options` from the command line; kUsage after a message on stderr.
BenchArgs ParseBenchArgs(int argc, char** argv, BenchOptions& options);
// The --help text, made from the option table and BenchOptions' defaults.
std::string BenchHelp();

// One result line: "key=value ..." for people, or one JSON object. Values are
// kept as JSON text (numbers bare, strings quoted).
struct Report {
  std::vector<std::pair<std::string, std::string>> fields;

  void Add(const std::string& key, double value, int decimals = 1);
  void AddInt(const std::string& key, int64_t value);
  void AddText(const std::string& key, const std::string& value);
  void Print(bool json) const;
};

// Where the server is, from the options.
LoadTarget TargetOf(const BenchOptions& options);

// How the run's members join: over IRC with --irc, else over the chat
// frames (through the web listener with --web).
MemberJoin MemberJoinFor(const BenchOptions& options);

// The modes. Each prints its report and returns an exit status.
int RunChatLoad(const BenchOptions& options);
int RunHandshakes(const BenchOptions& options);
int RunIdle(const BenchOptions& options);
int RunSoakMode(const BenchOptions& options);

}  // namespace saferoom
