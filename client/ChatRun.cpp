// The chat command's session: login, the terminal or pipe loop, logout.
#include "client/ChatRun.h"

// clang-format off
#include <cstdio>  // readline's headers need FILE first
#include <readline/readline.h>
#include <readline/history.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "client/ChatUi.h"
#include "platform/Os.h"
#include "platform/Term.h"
#include "protect/SafeText.h"

namespace {

// Input pauses while this many sent messages wait for their echo, so the
// server never has to write to us while we are blocked writing to it.
constexpr int kEchoWindow = 64;
// At the end, how long sent messages may take to come back.
constexpr int kEchoWaitMs = 10000;
// After Logout, how long the server may take to close the connection.
constexpr int kCloseWaitMs = 3000;
// The loop wakes at least this often, so a stop signal that arrives just
// before poll is not missed for long.
constexpr int kMaxPollMs = 1000;

enum class Phase { kLoggingIn, kNameRejected, kInRoom, kLeaving };

struct ChatState {
  ChatClient* client = nullptr;  // kept alive by RunChat's caller
  bool terminal = false;
  std::string name;  // the name asked for last
  Phase phase = Phase::kLoggingIn;
  int64_t deadline = -1;  // login answer, echoes or close, by phase; -1 none
  bool quitting = false;  // leave once the echoes are in
  int pendingEchoes = 0;  // sent messages that the server sends back to us
  std::vector<std::string> members;
  bool haveMembers = false;
  bool shownMembers = false;  // later lists are shown as joins and leaves
  int exitCode = -1;
  std::string failure;
  // Pipe mode.
  std::string input;  // read but not yet handled
  bool inputEnded = false;
  bool discarding = false;  // inside an over-long line, until its newline
  // Terminal mode.
  std::string prompt;
  bool readlineOn = false;
};

// Readline's callbacks take no argument. Points at RunChat's local state,
// set only while the line handler is installed.
ChatState* gState = nullptr;
std::atomic<int> gRunning{1};

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

void Finish(ChatState& state, int code, const std::string& failure) {
  if (state.exitCode >= 0) return;
  state.exitCode = code;
  state.failure = failure;
}

// A line for the user. On a terminal the line being typed is cleared, the
// line printed above it, and the typed line drawn again as it was.
void Show(ChatState& state, const std::string& line) {
  if (state.readlineOn) rl_clear_visible_line();
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (state.readlineOn) {
    rl_on_new_line();
    rl_redisplay();
  }
}

// A complaint about what the user did: on screen, or on stderr from a pipe
// so that standard output carries only what the room said.
void Notice(ChatState& state, const std::string& line) {
  if (state.terminal) {
    Show(state, line);
  } else {
    std::fprintf(stderr, "chat: %s\n", line.c_str());
  }
}

void SetPrompt(ChatState& state) {
  state.prompt = SafeText(state.name) + "> ";
  if (state.readlineOn) rl_set_prompt(state.prompt.c_str());
}

void StartLogin(ChatState& state) {
  SetPrompt(state);
  if (!state.client->Login(state.name)) {
    Finish(state, kExitLost, "connection lost");
    return;
  }
  state.phase = Phase::kLoggingIn;
  state.deadline = MonotonicMs() + kLoginAnswerMs;
}

void Leave(ChatState& state) {
  if (state.phase == Phase::kLeaving) return;
  state.phase = Phase::kLeaving;
  state.deadline = MonotonicMs() + kCloseWaitMs;
  // A failed write means the server is gone already: nothing left to wait for.
  if (!state.client->Logout()) Finish(state, kExitOk, "");
}

// Before leaving, an empty private message to ourselves goes last: the
// server relays in order, so once it is back everything sent before it,
// private messages to others included, has been delivered.
void RequestQuit(ChatState& state) {
  if (state.quitting) return;
  state.quitting = true;
  if (state.phase != Phase::kInRoom) {
    Leave(state);
    return;
  }
  if (!state.client->SendChat("", state.name)) {
    Finish(state, kExitLost, "connection lost");
    return;
  }
  ++state.pendingEchoes;
  state.deadline = MonotonicMs() + kEchoWaitMs;
}

bool IsQuitMarker(const ChatState& state, const ReceivedFrame& frame) {
  return frame.scope == Scope::Private && frame.name == state.name && frame.Text().empty();
}

void EnterRoom(ChatState& state) {
  state.phase = Phase::kInRoom;
  state.deadline = -1;
  if (state.terminal) {
    Show(state, "You are in the room as " + ShownName(state.name) + ". /help lists the commands.");
  }
  if (state.haveMembers) {
    if (state.terminal) Show(state, FormatMembers(state.members));
    state.shownMembers = true;
  }
}

void HandleFrame(ChatState& state, const ReceivedFrame& frame) {
  switch (frame.type) {
    case FrameType::LoginAccepted:
      if (state.phase == Phase::kLoggingIn) EnterRoom(state);
      break;
    case FrameType::NameInUse:
      if (state.phase != Phase::kLoggingIn) break;
      state.deadline = -1;
      if (!state.terminal) {
        Finish(state, kExitNameInUse, "the name " + ShownName(state.name) + " is in use");
        break;
      }
      state.phase = Phase::kNameRejected;
      Show(state, "The name " + ShownName(state.name) +
                      " is in use; pick another with /nick NAME, or /quit.");
      break;
    case FrameType::Chat:
      // Names are unique in the room, so our name means our own message.
      if (frame.name == state.name && state.pendingEchoes > 0) --state.pendingEchoes;
      if (!IsQuitMarker(state, frame)) Show(state, FormatChat(frame));
      if (state.quitting && state.pendingEchoes == 0) Leave(state);
      break;
    case FrameType::UserList: {
      std::vector<std::string> names = frame.Names();
      if (state.shownMembers) {
        for (const std::string& line : MemberChanges(state.members, names))
          Show(state, line);
      } else if (state.phase == Phase::kInRoom) {
        // The first list came after LoginAccepted; it is the starting point.
        if (state.terminal) Show(state, FormatMembers(names));
        state.shownMembers = true;
      }
      state.members = std::move(names);
      state.haveMembers = true;
      break;
    }
    default:
      break;  // nothing else is meant for clients
  }
}

void DrainFrames(ChatState& state) {
  ReceivedFrame frame;
  while (state.exitCode < 0) {
    switch (state.client->Receive(frame, 0)) {
      case RecvStatus::kFrame:
        HandleFrame(state, frame);
        break;
      case RecvStatus::kTimeout:
        return;
      case RecvStatus::kClosed:
        if (state.phase == Phase::kLeaving) {
          Finish(state, kExitOk, "");
        } else {
          Finish(state, kExitLost, "connection lost");
        }
        return;
      case RecvStatus::kBadFrame:
        Finish(state, kExitLost, "connection broken: the server sent a malformed frame");
        return;
    }
  }
}

void SendText(ChatState& state, const std::string& text, const std::string& to) {
  if (state.phase != Phase::kInRoom) {
    Notice(state, state.phase == Phase::kNameRejected
                      ? "not sent: pick a free name with /nick NAME first"
                      : "not sent: not in the room");
    return;
  }
  if (text.size() > kMaxTextLen) {
    Notice(state, "not sent: the line has " + std::to_string(text.size()) + " bytes, at most " +
                      std::to_string(kMaxTextLen) + " fit in a message");
    return;
  }
  if (!state.client->SendChat(text, to)) {
    Finish(state, kExitLost, "connection lost");
    return;
  }
  // A private message to someone else never comes back.
  if (to.empty() || to == state.name) {
    ++state.pendingEchoes;
  } else if (state.terminal) {
    Show(state, "-> *" + ShownName(to) + "* " + SafeText(text));
  }
}

void HandleLine(ChatState& state, std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || state.quitting) return;
  if (line.find('\0') != std::string::npos) {
    Notice(state, "not sent: the line holds a NUL byte");
    return;
  }
  Command cmd = ParseCommand(line);
  switch (cmd.kind) {
    case Command::kSay:
      SendText(state, cmd.text, "");
      break;
    case Command::kMsg:
      if (cmd.name.size() > kNameSize) {
        Notice(state, "not sent: names are at most " + std::to_string(kNameSize) + " bytes");
      } else {
        SendText(state, cmd.text, cmd.name);
      }
      break;
    case Command::kWho:
      Show(state, state.haveMembers ? FormatMembers(state.members) : "No member list yet.");
      break;
    case Command::kNick:
      if (state.phase == Phase::kInRoom) {
        Notice(state, "you are in the room as " + ShownName(state.name) +
                          "; /nick only picks a name while yours is in use");
      } else if (state.phase != Phase::kNameRejected) {
        Notice(state, "still waiting for the answer to the login");
      } else if (cmd.name.size() > kNameSize) {
        Notice(state, "a name is at most " + std::to_string(kNameSize) + " bytes");
      } else {
        state.name = cmd.name;
        StartLogin(state);
      }
      break;
    case Command::kQuit:
      RequestQuit(state);
      break;
    case Command::kHelp:
      for (const std::string& help : CommandHelp())
        Show(state, help);
      break;
    case Command::kUnknown:
      Notice(state, "unknown command " + SafeText(cmd.name) + "; /help lists the commands");
      break;
    case Command::kBadUse:
      Notice(state, cmd.text);
      break;
  }
}

// --- Pipe mode ---

void AppendInput(ChatState& state, std::string_view data) {
  if (state.discarding) {
    size_t newline = data.find('\n');
    if (newline == std::string_view::npos) return;
    data.remove_prefix(newline + 1);
    state.discarding = false;
  }
  state.input.append(data);
  // A partial line already too long is dropped now rather than held whole.
  size_t lastNewline = state.input.rfind('\n');
  size_t lineStart = lastNewline == std::string::npos ? 0 : lastNewline + 1;
  if (state.input.size() - lineStart > kMaxTextLen + 1) {
    Notice(state, "not sent: a line longer than " + std::to_string(kMaxTextLen) + " bytes");
    state.input.erase(lineStart);
    state.discarding = true;
  }
}

void ReadInput(ChatState& state) {
  char buf[4096];
  long got = ReadFd(0, buf, sizeof buf);
  if (got <= 0) {
    state.inputEnded = true;
  } else {
    AppendInput(state, std::string_view(buf, static_cast<size_t>(got)));
  }
}

void ProcessInput(ChatState& state) {
  while (state.exitCode < 0 && !state.quitting && state.phase == Phase::kInRoom &&
         state.pendingEchoes < kEchoWindow) {
    size_t newline = state.input.find('\n');
    if (newline == std::string::npos) {
      if (!state.inputEnded) return;
      if (state.input.empty()) {
        RequestQuit(state);
        return;
      }
      newline = state.input.size();  // a last line without its newline
    }
    std::string line = state.input.substr(0, newline);
    state.input.erase(0, newline + 1);
    HandleLine(state, line);
  }
}

bool WantsInput(const ChatState& state) {
  if (state.quitting) return false;
  if (state.terminal) return state.readlineOn;
  return state.phase == Phase::kInRoom && !state.inputEnded && state.pendingEchoes < kEchoWindow &&
         state.input.find('\n') == std::string::npos;
}

// --- Terminal mode ---

void OnReadlineLine(char* raw) {
  std::unique_ptr<char, FreeDeleter> line(raw);
  if (!line) {
    RequestQuit(*gState);  // Ctrl-D
    return;
  }
  if (line.get()[0] != '\0') add_history(line.get());
  HandleLine(*gState, line.get());
}

// Bound to Enter in place of accept-line: the typed line leaves the screen,
// and what the server relays shows it in its place in the conversation.
int AcceptTyped(int, int) {
  std::string line(rl_line_buffer, static_cast<size_t>(rl_end));
  if (!line.empty()) add_history(line.c_str());
  using_history();
  rl_replace_line("", 1);
  rl_point = 0;
  rl_redisplay();
  HandleLine(*gState, line);
  return 0;
}

void StartTerminal(ChatState& state) {
  std::setlocale(LC_CTYPE, "");  // readline edits UTF-8 by the locale
  gState = &state;
  rl_catch_signals = 0;  // SIGINT and SIGTERM are ours: they log out
  rl_catch_sigwinch = 1;
  rl_persistent_signal_handlers = 1;
  SetPrompt(state);
  rl_callback_handler_install(state.prompt.c_str(), OnReadlineLine);
  state.readlineOn = true;
  // After the install, which reads inputrc and could rebind Enter.
  for (const char* map : {"emacs", "vi-insert"}) {
    Keymap keymap = rl_get_keymap_by_name(map);
    if (keymap == nullptr) continue;
    rl_bind_key_in_map('\r', AcceptTyped, keymap);
    rl_bind_key_in_map('\n', AcceptTyped, keymap);
  }
}

void StopTerminal(ChatState& state) {
  if (!state.readlineOn) return;
  rl_clear_visible_line();
  rl_callback_handler_remove();
  state.readlineOn = false;
  gState = nullptr;
}

void CheckDeadline(ChatState& state) {
  if (state.exitCode >= 0 || state.deadline < 0 || MonotonicMs() < state.deadline) return;
  state.deadline = -1;
  switch (state.phase) {
    case Phase::kLoggingIn:
      Finish(state, kExitNoAnswer,
             "no answer to the login within " + std::to_string(kLoginAnswerMs / 1000) +
                 " s; the room may be full");
      break;
    case Phase::kInRoom:
      if (state.quitting) {
        Notice(state, std::to_string(state.pendingEchoes) +
                          " message(s) not relayed back in time; leaving anyway");
        Leave(state);
      }
      break;
    case Phase::kLeaving:
      Finish(state, kExitOk, "");  // logged out; the close did not come in time
      break;
    case Phase::kNameRejected:
      break;
  }
}

}  // namespace

int RunChat(ChatClient& client, const std::string& name, bool terminal, std::string& failure) {
  ChatState state;
  state.client = &client;
  state.terminal = terminal;
  state.name = name;
  gRunning = 1;
  InstallStopHandler(&gRunning);
  if (terminal) StartTerminal(state);
  StartLogin(state);

  while (state.exitCode < 0) {
    if (gRunning.load() == 0) RequestQuit(state);
    // Readline is left outside its own callbacks, never from inside them.
    if (state.quitting) StopTerminal(state);
    if (state.exitCode >= 0) break;

    bool wantInput = WantsInput(state);
    int timeoutMs = kMaxPollMs;
    if (state.deadline >= 0) {
      timeoutMs =
          static_cast<int>(std::clamp<int64_t>(state.deadline - MonotonicMs(), 0, kMaxPollMs));
    }
    // The stop signal's descriptor wakes the wait, so Ctrl-C acts at once.
    PollItem waits[3];
    waits[0].fd = client.Fd();
    waits[1].fd = StopWakeFd();
    waits[2].fd = wantInput ? 0 : -1;
    PollResult polled = PollFds(waits, 3, timeoutMs);
    const bool netReady = waits[0].ready;
    const bool inReady = waits[2].ready;
    if (waits[1].ready) {
      char drained[64];
      ReadFd(waits[1].fd, drained, sizeof drained);
    }
    if (polled == PollResult::kError) {
      Finish(state, kExitLost, "connection lost: cannot wait for input");
      break;
    }
    if (state.readlineOn) rl_check_signals();  // a window size change
    if (netReady) DrainFrames(state);
    if (inReady && state.exitCode < 0 && WantsInput(state)) {
      if (terminal) {
        rl_callback_read_char();
      } else {
        ReadInput(state);
      }
    }
    if (!terminal) ProcessInput(state);
    CheckDeadline(state);
  }

  StopTerminal(state);
  if (client.conn) TlsClose(*client.conn);
  failure = state.failure;
  return state.exitCode;
}
