// The chat command's terminal front end.
#include "client/ChatTerm.h"

#include <ctime>

TermFront::TermFront(bool noColour) {
  style_.colour = !noColour;
  style_.highlight = true;
}

bool TermFront::Start(ChatSession& s, int64_t now) {
  LineEditorHooks hooks;
  hooks.line = [this](const std::string& line) {
    if (session_ != nullptr) HandleLine(*session_, line, now_);
  };
  hooks.end = [this] {
    if (session_ != nullptr) RequestQuit(*session_, now_);
  };
  hooks.complete = [this](const std::string& before) {
    if (session_ == nullptr) return Completion();
    const std::string self = session_->phase == Phase::kInRoom ? session_->name : "";
    return CompleteName(before, session_->members, self);
  };
  return editor_.Start(hooks, Prompt(s, now));
}

void TermFront::Pump(ChatSession& s, int64_t) {
  // Once leaving, typing is over; the last lines print without a prompt.
  if (s.quitting || s.exitCode >= 0) editor_.Stop();
}

void TermFront::Show(ChatSession& s, int64_t now) {
  std::string out;
  for (const ChatEvent& e : s.events) {
    if (e.alert) out += '\a';
    if (e.kind != ChatEvent::kInfo && e.kind != ChatEvent::kRefused) {
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
  if (s.phase == Phase::kOffline) {
    editor_.DiscardInput();
    GiveUp(s);
    return;
  }
  session_ = &s;
  now_ = now;
  bool more = editor_.ReadInput();
  session_ = nullptr;
  if (!more) RequestQuit(s, now);
}
