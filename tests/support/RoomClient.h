// Library clients of a test server on loopback, and the bounded waits tests
// need on them. For the integration tests.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/ChatClient.h"

namespace saferoom {

using Names = std::vector<std::string>;

// Verifying the server against the test CA; with `certDir`, presenting the
// member certificate of that set (TestMember).
TlsClientConfig TestTls(const std::string& certDir = "");
// Connected to 127.0.0.1:port (from `sourceIp`, when given) with `tls`. Never
// null: unconnected (conn null, every request fails) on failure.
std::unique_ptr<ChatClient> Connect(int port, const TlsClientConfig& tls = TestTls(),
                                    const std::string& sourceIp = "");
// Connect and log in; LoginAccepted and the member list after it are read.
// A test failure when they do not come.
std::unique_ptr<ChatClient> Join(int port, const std::string& name);
// The next frame within timeoutMs; a test failure and type ~0u when none came.
ReceivedFrame Next(ChatClient& client, int timeoutMs = 5000);
// Skips frames until `match` takes one; false at the end or on timeout.
bool WaitFrame(ChatClient& client, const std::function<bool(const ReceivedFrame&)>& match,
               int timeoutMs = 5000);
bool WaitForList(ChatClient& client, const Names& want, int timeoutMs = 10000);
// `size` (at least 4) bytes starting with `seq`, for order checks.
std::string Numbered(uint32_t seq, size_t size);
uint32_t SeqOf(const ReceivedFrame& frame);

// A member that times the echo of its own public messages while a test
// attacks the room: one probe every kProbeEveryMs on a thread of its own,
// waiting for each echo at most kProbeWaitMs (a lost one counts as that).
class Bystander {
 public:
  static constexpr int kProbeEveryMs = 100;
  static constexpr int kProbeWaitMs = 10000;

  Bystander(int port, const std::string& name = "bystander");
  ~Bystander() { Stop(); }
  // Ends the probing; the figures are then final.
  void Stop();
  size_t Probes() const { return echoMs_.size(); }
  int64_t WorstMs() const;
  int64_t MedianMs() const;

 private:
  std::unique_ptr<ChatClient> client_;
  std::atomic<bool> stop_{false};
  std::vector<int64_t> echoMs_;  // the thread's until Stop
  std::thread thread_;
};

// How long a new member's login takes, from dialling to its member list; a
// test failure and kProbeWaitMs when it does not get in.
int64_t TimeLogin(int port, const std::string& name);

}  // namespace saferoom
