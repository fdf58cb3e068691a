// What the chat command shows and how it reads a typed line: events as text
// (with or without colour), command parsing, name completion, mentions. No
// I/O. Called by ChatSession and the two front ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace saferoom {

// One line for the user, as the session reports it.
struct ChatEvent {
  enum Kind {
    kMessage,      // relayed: `name` said `text`, to us alone when isPrivate
    kSentPrivate,  // ours to `name`, which the server does not send back
    kJoined,       // `name`
    kLeft,         // `name`
    kInfo,         // the client's own lines: welcome, /who, /help
    kMembers,      // the member list on entering the room: "In the room (2): ..."
    kRefused,      // a typed line not sent or not done, and why
    kStatus,       // the connection: lost, reconnecting, back
  };
  Kind kind = kInfo;
  std::string name;  // as received, unescaped
  std::string text;  // kMessage, kSentPrivate: as received; otherwise the line
  bool isPrivate = false;
  bool alert = false;    // private to us, or mentions our name
  bool earlier = false;  // kMessage: from the room's history, said before we came
  int64_t at = -1;       // when the room relayed it (s since the epoch); -1: now
};

// Escapes on a terminal: colours for names and notices, and a highlight
// (reverse video, which is no colour) for alerts.
struct TextStyle {
  bool colour = false;
  bool highlight = false;
};

// A member name as shown: SafeName, "(anonymous)" when empty.
std::string ShownName(const std::string& raw);

// The event as one line without its newline: "<alice> hi", "*bob* (private)
// hi", "-> *bob* hi", "carol joined", or the text as it is.
std::string FormatEvent(const ChatEvent& event, const TextStyle& style);

// "In the room (2): alice, bob".
std::string FormatMembers(const std::vector<std::string>& names);

// Local time as "12:34", or as "2024-05-01T12:34:56+02:00" when `iso`.
std::string FormatClock(int64_t epochSeconds, bool iso);

// Names in `before` and not in `after`, and the reverse; each copy of a name
// counts.
void MemberChanges(const std::vector<std::string>& before, const std::vector<std::string>& after,
                   std::vector<std::string>& left, std::vector<std::string>& joined);

// True when `text` holds `name` as a word, ignoring ASCII case.
bool Mentions(const std::string& text, const std::string& name);

struct Command {
  enum Kind { kSay, kMsg, kWho, kNick, kQuit, kHelp, kUnknown, kBadUse };
  Kind kind = kSay;
  std::string name;  // kMsg: recipient; kNick: new name; kUnknown: the word typed
  std::string text;  // kSay, kMsg: what to send; kBadUse: the usage to show
};

// One typed line. "//x" says "/x"; a /msg NAME with spaces goes in quotes.
Command ParseCommand(const std::string& line);

// The command list shown by /help, one line each.
const std::vector<std::string>& CommandHelp();

// Tab on the text before the cursor: the word from byte `from` on becomes
// `insert`. Unchanged (insert empty) when nothing fits; `choices` lists the
// names when more than one does.
struct Completion {
  size_t from = 0;
  std::string insert;
  std::vector<std::string> choices;
};

// Completes a member name other than `self`: the word being typed (or the
// words, when they begin a name with spaces: "hi bob s" for "bob smith"),
// or the name after /msg (quoted when it holds a space, also when typed so
// far without quotes: "/msg bob s"). Prefixes match ignoring
// ASCII case; names that would show escaped are never offered.
Completion CompleteName(const std::string& before, const std::vector<std::string>& members,
                        const std::string& self);

}  // namespace saferoom
