// The chat command's loop once connected: the session between the server and
// the side facing the user (a pipe or a terminal). Called by chat_main.
#pragma once

#include <cstdint>

#include "client/ChatClient.h"
#include "client/ChatSession.h"

namespace saferoom {

// The side facing the user. The loop calls these, in this order each turn:
// Pump, Show, then ReadInput when InputFd was readable.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // Hands the session what input is already read, as far as it takes it.
  virtual void Pump(ChatSession& s, int64_t now) = 0;
  // Shows the session's events (and takes them) and what else changed.
  virtual void Show(ChatSession& s, int64_t now) = 0;
  // The descriptor to wait on for input now, or -1.
  virtual int InputFd(const ChatSession& s) = 0;
  // A descriptor that wakes the loop for the front end's own signals (a
  // terminal's Ctrl-Z, resize), which Pump then handles; or -1.
  virtual int WakeFd() const { return -1; }
  virtual void ReadInput(ChatSession& s, int64_t now) = 0;
  // The session is over: leave the terminal as it was.
  virtual void Close() = 0;
};

// Runs `s` on the connected `client` until it finishes, dialling `options`
// again when it reconnects. SIGINT and SIGTERM leave as /quit does. Returns
// the exit status; s.failure says why when it is not ChatExit::kOk.
int RunChat(ChatClient& client, const ClientOptions& options, ChatSession& s, FrontEnd& front);

}  // namespace saferoom
