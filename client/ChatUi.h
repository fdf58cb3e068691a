// What the chat command shows and how it reads a typed line: message and
// member-list formatting, command parsing. No I/O. Called by ChatRun.
#pragma once

#include <string>
#include <vector>

#include "client/ChatClient.h"

// A member name as shown: escaped, "(anonymous)" when empty.
std::string ShownName(const std::string& raw);

// A relayed Chat frame as one line: "<alice> hi", "*bob* (private) hi".
std::string FormatChat(const ReceivedFrame& frame);

// "In the room (2): alice, bob".
std::string FormatMembers(const std::vector<std::string>& names);

// "bob joined" / "carol left" lines between two member lists (each name
// counted as often as it appears), leaves first.
std::vector<std::string> MemberChanges(const std::vector<std::string>& before,
                                       const std::vector<std::string>& after);

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
