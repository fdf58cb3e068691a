// The chat command's terminal front end.
#include "client/ChatTerm.h"

#include <ctime>

#include "platform/Term.h"

namespace saferoom {

TermFront::TermFront(bool noColour) {
  style_.colour = !noColour;
  style_.highlight = true;
}

bool TermFront::Start(ChatSession& s, int64_t now) {
  LineEditorHooks hooks;
  hooks.line = [this](const std::string& line, bool typed) {
    std::string back;
    if (session_ == nullptr) return back;
    HandleLine(*session_, line, now_, typed);
    back.swap(session_->giveBack);
    return back;
  };
  hooks.end = [this] {
    if (session_ != nullptr) RequestQuit(*session_, now_);
  };
  hooks.interrupt = [this](bool cleared) {
    if (session_ == nullptr) return;
    if (!cleared) {
      RequestQuit(*session_, now_);
      return;
    }
    ChatEvent note;
    note.text = "Line cleared (Up brings it back); Ctrl-C on an empty line leaves.";
    session_->events.push_back(std::move(note));
  };
  // Esc gives up waiting to reconnect; elsewhere it is the editor's.
  hooks.escape = [this] {
    if (session_ == nullptr || session_->phase != Phase::kOffline) return false;
    GiveUp(*session_);
    return true;
  };
  hooks.complete = [this](const std::string& before) {
    if (session_ == nullptr) return Completion();
    const std::string self = session_->phase == Phase::kInRoom ? session_->name : "";
    return CompleteName(before, session_->members, self);
  };
  if (!editor_.Start(hooks, Prompt(s, now))) return false;
  InstallTermSignalHandlers();  // where it fails, Ctrl-Z stops as before, the terminal raw
  return true;
}

void TermFront::Close() {
  editor_.Stop();
  RemoveTermSignalHandlers();
}

int TermFront::WakeFd() const {
  return TermSignalFd();
}

void TermFront::Pump(ChatSession& s, int64_t) {
  // Once leaving, typing is over; the last lines print without a prompt.
  if (s.quitting || s.exitCode >= 0) editor_.Stop();
  const int signals = TakeTermSignals();
  if (signals & kTermSuspend) {
    editor_.Suspend();
    SuspendSelf();
    TakeTermSignals();  // the SIGCONT that let it run again: Resume does what it asks
    editor_.Resume();
  } else if (signals & kTermContinued) {
    editor_.Resume();
  }
}

void TermFront::Show(ChatSession& s, int64_t now) {
  std::string out;
  for (const ChatEvent& e : s.events) {
    if (e.alert) out += '\a';
    if (e.kind != ChatEvent::kInfo && e.kind != ChatEvent::kRefused &&
        e.kind != ChatEvent::kMembers) {
      std::string clock = FormatClock(e.at >= 0 ? e.at : std::time(nullptr), false);
      if (e.earlier && style_.colour) {
        // Said before we came: the whole line dim, its names uncoloured.
        out += "\x1b[2m" + clock + " " + FormatEvent(e, TextStyle()) + "\x1b[0m\n";
        continue;
      }
      out += (style_.colour ? "\x1b[2m" + clock + "\x1b[0m" : clock) + " ";
    }
    out += FormatEvent(e, style_) + "\n";
  }
  s.events.clear();
  if (!out.empty()) editor_.Print(out);
  if (editor_.Active()) {
    editor_.SetPrompt(Prompt(s, now));
    editor_.FollowWindowSize();
  }
}

int TermFront::InputFd(const ChatSession&) {
  return editor_.Active() ? 0 : -1;
}

void TermFront::ReadInput(ChatSession& s, int64_t now) {
  session_ = &s;
  now_ = now;
  bool more = editor_.ReadInput();
  session_ = nullptr;
  if (!more) RequestQuit(s, now);
}

}  // namespace saferoom
