// Formatting and command parsing for the chat command.
#include "client/ChatUi.h"

#include <algorithm>

#include "protect/SafeText.h"

std::string ShownName(const std::string& raw) {
  return raw.empty() ? std::string("(anonymous)") : SafeText(raw);
}

std::string FormatChat(const ReceivedFrame& frame) {
  std::string text = SafeText(frame.Text());
  if (frame.scope == Scope::Private) return "*" + ShownName(frame.name) + "* (private) " + text;
  return "<" + ShownName(frame.name) + "> " + text;
}

std::string FormatMembers(const std::vector<std::string>& names) {
  std::string line = "In the room (" + std::to_string(names.size()) + "):";
  for (size_t i = 0; i < names.size(); ++i) {
    line += (i == 0 ? " " : ", ") + ShownName(names[i]);
  }
  return line;
}

std::vector<std::string> MemberChanges(const std::vector<std::string>& before,
                                       const std::vector<std::string>& after) {
  std::vector<std::string> left = before;
  std::vector<std::string> joined;
  for (const std::string& name : after) {
    auto found = std::find(left.begin(), left.end(), name);
    if (found != left.end()) {
      left.erase(found);
    } else {
      joined.push_back(name);
    }
  }
  std::vector<std::string> lines;
  for (const std::string& name : left)
    lines.push_back(ShownName(name) + " left");
  for (const std::string& name : joined)
    lines.push_back(ShownName(name) + " joined");
  return lines;
}

namespace {

// Splits "word rest": the word up to the first space, the rest after the
// spaces that follow it.
void SplitWord(const std::string& line, std::string& word, std::string& rest) {
  size_t end = line.find(' ');
  word = line.substr(0, end);
  size_t from = end == std::string::npos ? line.size() : line.find_first_not_of(' ', end);
  rest = from == std::string::npos ? std::string() : line.substr(from);
}

}  // namespace

Command ParseCommand(const std::string& line) {
  Command cmd;
  if (line.size() < 2 || line[0] != '/' || line[1] == '/') {
    cmd.text = line.rfind("//", 0) == 0 ? line.substr(1) : line;
    return cmd;
  }
  std::string word, rest;
  SplitWord(line, word, rest);
  if (word == "/who") {
    cmd.kind = Command::kWho;
  } else if (word == "/quit") {
    cmd.kind = Command::kQuit;
  } else if (word == "/help") {
    cmd.kind = Command::kHelp;
  } else if (word == "/nick") {
    cmd.kind = Command::kNick;
    cmd.name = rest.substr(0, rest.find_last_not_of(' ') + 1);
    if (cmd.name.empty()) {
      cmd.kind = Command::kBadUse;
      cmd.text = "usage: /nick NAME";
    }
  } else if (word == "/msg") {
    cmd.kind = Command::kMsg;
    if (!rest.empty() && rest[0] == '"') {
      size_t close = rest.find('"', 1);
      if (close != std::string::npos) {
        cmd.name = rest.substr(1, close - 1);
        size_t from = rest.find_first_not_of(' ', close + 1);
        if (from != std::string::npos && from > close + 1) cmd.text = rest.substr(from);
      }
    } else {
      SplitWord(rest, cmd.name, cmd.text);
    }
    if (cmd.name.empty() || cmd.text.empty()) {
      cmd.kind = Command::kBadUse;
      cmd.text = "usage: /msg NAME TEXT (put a NAME with spaces in \"quotes\")";
    }
  } else {
    cmd.kind = Command::kUnknown;
    cmd.name = word;
  }
  return cmd;
}

const std::vector<std::string>& CommandHelp() {
  static const std::vector<std::string> kLines = {
      "Commands:",
      "  TEXT            send TEXT to everyone in the room",
      "  /msg NAME TEXT  send TEXT to NAME only (\"quote\" a NAME with spaces)",
      "  /who            list the members",
      "  /nick NAME      try another name while yours is in use",
      "  /quit           log out and leave (Ctrl-D, Ctrl-C too)",
      "  /help           this list",
      "  //TEXT          send a TEXT that begins with /",
  };
  return kLines;
}
