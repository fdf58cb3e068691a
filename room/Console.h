// The server's console: notices on standard output, error lines on standard
// error, each whole. Written by every thread of the server; "[-] Server
// stopped." is the last line, and nothing is printed after it.
#pragma once

#include <mutex>
#include <string>

class Console {
 public:
  // One or more whole lines, each ending in '\n'. Lines from one call stay
  // together. Nothing is printed once the console is closed.
  void Out(const std::string& lines);
  void Err(const std::string& lines);
  // Prints `lines` on standard output as the last of all.
  void CloseWith(const std::string& lines);

 private:
  std::mutex consoleLock;
  bool closed_ = false;  // guarded by consoleLock
};
