// The chat command from a pipe: each input line is a message or a command,
// what the room says goes to standard output, complaints to standard error.
// Used by chat_main.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "client/ChatRun.h"

namespace saferoom {

class PipeFront : public FrontEnd {
 public:
  // With `timestamps`, lines from the room begin with the local time (ISO
  // 8601). Complaints begin with `program`, the name it was started as.
  PipeFront(bool timestamps, std::string program)
      : timestamps_(timestamps), program_(std::move(program)) {}

  void Pump(ChatSession& s, int64_t now) override;
  void Show(ChatSession& s, int64_t now) override;
  int InputFd(const ChatSession& s) override;
  void ReadInput(ChatSession& s, int64_t now) override;
  void Close() override {}

 private:
  void Append(ChatSession& s, std::string_view data);

  bool timestamps_;
  std::string program_;
  std::string input_;        // read, not yet handled
  bool ended_ = false;       // standard input is at its end
  bool discarding_ = false;  // inside an over-long line, until its newline
};

}  // namespace saferoom
