// Event formatting, command parsing and name completion for the chat command.
#include "client/ChatUi.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "protect/SafeText.h"

namespace saferoom {

namespace {

constexpr const char* kReset = "\x1b[0m";

std::string Paint(const std::string& text, const char* sgr, bool on) {
  return on ? std::string("\x1b[") + sgr + "m" + text + kReset : text;
}

// The same name always gets the same colour, so a reader follows a speaker.
const char* NameColour(const std::string& name) {
  static const char* const kColours[] = {"32", "33", "34", "35", "36", "92"};
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : name)
    hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return kColours[hash % (sizeof kColours / sizeof kColours[0])];
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(const std::string& a, size_t at, const std::string& b) {
  if (a.size() - at < b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i) {
    if (Lower(a[at + i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsWordByte(char c) {
  auto b = static_cast<uint8_t>(c);
  return b >= 0x80 || b == '_' || (b >= '0' && b <= '9') || (Lower(c) >= 'a' && Lower(c) <= 'z');
}

// Splits "word rest": the word up to the first space, the rest after the
// spaces that follow it.
void SplitWord(const std::string& line, std::string& word, std::string& rest) {
  size_t end = line.find(' ');
  word = line.substr(0, end);
  size_t from = end == std::string::npos ? line.size() : line.find_first_not_of(' ', end);
  rest = from == std::string::npos ? std::string() : line.substr(from);
}

// `text` without a UTF-8 sequence cut short at its end.
std::string WholeCharacters(std::string text) {
  size_t lead = text.size();
  while (lead > 0 && (static_cast<uint8_t>(text[lead - 1]) & 0xc0) == 0x80)
    --lead;
  if (lead == 0) return text;
  auto b = static_cast<uint8_t>(text[lead - 1]);
  size_t want = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
  if (text.size() - (lead - 1) < want) text.resize(lead - 1);
  return text;
}

}  // namespace

std::string ShownName(const std::string& raw) {
  return raw.empty() ? std::string("(anonymous)") : SafeName(raw);
}

std::string FormatEvent(const ChatEvent& event, const TextStyle& style) {
  const bool c = style.colour;
  const std::string name = Paint(ShownName(event.name), NameColour(event.name), c);
  switch (event.kind) {
    case ChatEvent::kMessage: {
      std::string text = Paint(SafeText(event.text), "7", style.highlight && event.alert);
      if (event.isPrivate) return "*" + name + "* (private) " + text;
      return "<" + name + "> " + text;
    }
    case ChatEvent::kSentPrivate:
      return "-> *" + name + "* " + SafeText(event.text);
    case ChatEvent::kJoined:
      return Paint(ShownName(event.name) + " joined", "36", c);
    case ChatEvent::kLeft:
      return Paint(ShownName(event.name) + " left", "36", c);
    case ChatEvent::kInfo:
    case ChatEvent::kMembers:
      return Paint(event.text, "36", c);
    case ChatEvent::kRefused:
      return Paint(event.text, "33", c);
    case ChatEvent::kStatus:
      return Paint(event.text, "1;31", c);
  }
  return event.text;
}

std::string FormatMembers(const std::vector<std::string>& names) {
  std::string line = "In the room (" + std::to_string(names.size()) + "):";
  for (size_t i = 0; i < names.size(); ++i) {
    line += (i == 0 ? " " : ", ") + ShownName(names[i]);
  }
  return line;
}

std::string FormatClock(int64_t epochSeconds, bool iso) {
  time_t t = static_cast<time_t>(epochSeconds);
  tm local = {};
  localtime_r(&t, &local);
  char text[40];
  if (!iso) {
    std::strftime(text, sizeof text, "%H:%M", &local);
    return text;
  }
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  int offset = static_cast<int>(local.tm_gmtoff / 60);  // minutes east of UTC
  int magnitude = offset < 0 ? -offset : offset;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 60 % 100,
                magnitude % 60);
  return std::string(text) + zone;
}

void MemberChanges(const std::vector<std::string>& before, const std::vector<std::string>& after,
                   std::vector<std::string>& left, std::vector<std::string>& joined) {
  left = before;
  joined.clear();
  for (const std::string& name : after) {
    auto found = std::find(left.begin(), left.end(), name);
    if (found != left.end()) {
      left.erase(found);
    } else {
      joined.push_back(name);
    }
  }
}

bool Mentions(const std::string& text, const std::string& name) {
  if (name.empty()) return false;
  for (size_t at = 0; at + name.size() <= text.size(); ++at) {
    if (!SameIgnoringCase(text, at, name)) continue;
    size_t end = at + name.size();
    bool startsWord = at == 0 || !IsWordByte(text[at - 1]) || !IsWordByte(name.front());
    bool endsWord = end == text.size() || !IsWordByte(text[end]) || !IsWordByte(name.back());
    if (startsWord && endsWord) return true;
  }
  return false;
}

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
      "  /quit           log out and leave (Ctrl-D too; Ctrl-C clears a line first)",
      "  /help           this list",
      "  //TEXT          send a TEXT that begins with /",
      "Tab completes a member's name.",
  };
  return kLines;
}

Completion CompleteName(const std::string& before, const std::vector<std::string>& members,
                        const std::string& self) {
  Completion result;
  auto offered = [&](const std::string& m) { return !m.empty() && m != self && SafeName(m) == m; };
  bool afterMsg = false;
  if (before.rfind("/msg ", 0) == 0) {
    size_t arg = before.find_first_not_of(' ', 4);
    if (arg == std::string::npos) arg = before.size();
    bool quoted = arg < before.size() && before[arg] == '"';
    afterMsg = quoted ? before.find('"', arg + 1) == std::string::npos
                      : before.find(' ', arg) == std::string::npos;
    if (!afterMsg && !quoted) {
      // Past a space the name may still go on, as "bob s" does in "bob smith".
      const std::string sofar = before.substr(arg);
      afterMsg = std::any_of(members.begin(), members.end(), [&](const std::string& m) {
        return offered(m) && SameIgnoringCase(m, 0, sofar);
      });
    }
    result.from = arg;
  }
  if (!afterMsg) {
    size_t space = before.rfind(' ');
    result.from = space == std::string::npos ? 0 : space + 1;
    // A name may hold spaces: the earliest word from which the rest of the
    // line begins a member's name, as "bob s" begins "bob smith".
    for (size_t at = 0; at < result.from; ++at) {
      if (before[at] == ' ' || (at > 0 && before[at - 1] != ' ')) continue;
      const std::string sofar = before.substr(at);
      if (std::any_of(members.begin(), members.end(), [&](const std::string& m) {
            return offered(m) && SameIgnoringCase(m, 0, sofar);
          })) {
        result.from = at;
        break;
      }
    }
  }
  const bool quoted = afterMsg && result.from < before.size() && before[result.from] == '"';
  const std::string typed = before.substr(result.from + (quoted ? 1 : 0));
  if (typed.empty() && !afterMsg) return result;

  std::vector<std::string>& found = result.choices;
  for (const std::string& m : members) {
    if (!offered(m) || !SameIgnoringCase(m, 0, typed)) continue;
    if (std::find(found.begin(), found.end(), m) == found.end()) found.push_back(m);
  }
  std::sort(found.begin(), found.end());
  if (found.empty()) return result;
  std::string common = found.front();
  for (const std::string& m : found) {
    size_t n = 0;
    while (n < common.size() && n < m.size() && common[n] == m[n])
      ++n;
    common.resize(n);
  }
  common = WholeCharacters(common);
  const bool unique = found.size() == 1;
  if (unique) found.clear();
  if (common.size() < typed.size() || (!unique && common == typed)) return result;
  const bool quote = quoted || (afterMsg && common.find(' ') != std::string::npos);
  result.insert = (quote ? "\"" : "") + common;
  if (unique) result.insert += quote ? "\" " : " ";
  return result;
}

}  // namespace saferoom
