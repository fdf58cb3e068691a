// The chat command's pipe front end.
#include "client/ChatPipe.h"

#include <cstdio>
#include <ctime>

#include "platform/Term.h"

namespace saferoom {

void PipeFront::Pump(ChatSession& s, int64_t now) {
  while (ReadsInput(s)) {
    size_t newline = input_.find('\n');
    if (newline == std::string::npos) {
      if (!ended_) return;
      if (input_.empty()) {
        RequestQuit(s, now);
        return;
      }
      newline = input_.size();  // a last line without its newline
    }
    std::string line = input_.substr(0, newline);
    input_.erase(0, newline + 1);
    HandleLine(s, line, now);
  }
}

void PipeFront::Show(ChatSession& s, int64_t) {
  for (const ChatEvent& e : s.events) {
    if (e.kind == ChatEvent::kRefused || e.kind == ChatEvent::kStatus) {
      std::fprintf(stderr, "%s: %s\n", program_.c_str(), e.text.c_str());
      continue;
    }
    std::string line = FormatEvent(e, TextStyle());
    bool fromRoom = e.kind == ChatEvent::kMessage || e.kind == ChatEvent::kJoined ||
                    e.kind == ChatEvent::kLeft || e.kind == ChatEvent::kMembers;
    if (timestamps_ && fromRoom) {
      line = FormatClock(e.at >= 0 ? e.at : std::time(nullptr), true) + " " + line;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  s.events.clear();
  std::fflush(stdout);
}

int PipeFront::InputFd(const ChatSession& s) {
  bool wants = ReadsInput(s) && !ended_ && input_.find('\n') == std::string::npos;
  return wants ? 0 : -1;
}

void PipeFront::ReadInput(ChatSession& s, int64_t) {
  char buf[4096];
  long got = ReadFd(0, buf, sizeof buf);
  if (got <= 0) {
    ended_ = true;
  } else {
    Append(s, std::string_view(buf, static_cast<size_t>(got)));
  }
}

void PipeFront::Append(ChatSession& s, std::string_view data) {
  if (discarding_) {
    size_t newline = data.find('\n');
    if (newline == std::string_view::npos) return;
    data.remove_prefix(newline + 1);
    discarding_ = false;
  }
  input_.append(data);
  // A partial line already too long is dropped now rather than held whole.
  size_t lastNewline = input_.rfind('\n');
  size_t lineStart = lastNewline == std::string::npos ? 0 : lastNewline + 1;
  if (input_.size() - lineStart > kMaxTextLen + 1) {
    RefuseInput(s, "not sent: a line longer than " + std::to_string(kMaxTextLen) + " bytes");
    input_.erase(lineStart);
    discarding_ = true;
  }
}

}  // namespace saferoom
