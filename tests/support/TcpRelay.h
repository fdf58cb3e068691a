// A loopback TCP relay for outages in integration tests: a client dials the
// relay, the relay dials the server, and the test cuts and restores the line
// while the server (and what it keeps) stays up.
#pragma once

#include <atomic>
#include <thread>

#include "platform/Net.h"

namespace saferoom {

class TcpRelay {
 public:
  ~TcpRelay();
  // Listens on 127.0.0.1 (the port is `port`) and relays every connection to
  // 127.0.0.1:targetPort on its own thread.
  bool Start(int targetPort);
  // Closes every relayed connection, both ways, and accepts no more until
  // Restore: new dials wait in the listen backlog. Returns once it is done.
  // With `keepServerSide`, only the clients' ends close: the server's stay
  // open and are never read again, as a phone that changed networks leaves
  // them (until the relay goes).
  bool Cut(bool keepServerSide = false);
  void Restore() { cut_ = false; }

  int port = 0;

 private:
  void Run();

  UniqueFd listener_;
  int target_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::atomic<bool> keepServerSide_{false};
  std::atomic<bool> cutDone_{false};  // the thread has closed what was open
  std::thread thread_;
};

}  // namespace saferoom
