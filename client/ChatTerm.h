// The chat command on a terminal: a line editor for input, the room's lines
// printed above it with the time, colours, and a bell for alerts. Used by
// chat_main.
#pragma once

#include "client/ChatRun.h"
#include "client/LineEditor.h"

namespace saferoom {

class TermFront : public FrontEnd {
 public:
  // Colours unless `noColour` (NO_COLOR set); alerts are highlighted anyway.
  explicit TermFront(bool noColour);

  // False when the line editor cannot start. Catches Ctrl-Z (the terminal
  // is given back before the process stops) and resizing.
  bool Start(ChatSession& s, int64_t now);
  void Pump(ChatSession& s, int64_t now) override;
  void Show(ChatSession& s, int64_t now) override;
  int InputFd(const ChatSession& s) override;
  int WakeFd() const override;
  void ReadInput(ChatSession& s, int64_t now) override;
  void Close() override;

 private:
  LineEditor editor_;
  TextStyle style_;
  // For the editor's hooks, which run only inside ReadInput.
  ChatSession* session_ = nullptr;
  int64_t now_ = 0;
};

}  // namespace saferoom
