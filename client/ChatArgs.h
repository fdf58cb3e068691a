// The chat command's command line and its --help text. Called by chat_main.
#pragma once

#include <string>

#include "client/ChatClient.h"

namespace saferoom {

// Without --ca, the server is verified against this file when it exists in
// the working directory, else against the system's trusted CAs.
constexpr const char* kDefaultCaFile = "certs/ca.crt";

struct ChatArgs {
  ClientOptions options;
  std::string name;
  bool timestamps = false;  // pipe: an ISO 8601 time before each line from the room
  bool reconnect = false;   // pipe: dial again when the connection is lost
  bool history = false;     // pipe: show what the room said before each login
};

enum class ChatArgsOutcome { kRun, kHelp, kVersion, kUsage };

// Reads `argv` (options and HOST PORT NAME in any order; "--" ends the
// options). kUsage with `problem` set when it cannot be used.
// `defaultCaExists` says whether kDefaultCaFile is there.
ChatArgsOutcome ParseChatArgs(int argc, char** argv, ChatArgs& args, std::string& problem,
                              bool defaultCaExists);

// The --help text for `program` (the name it was started as), made from the
// option table, the commands and the constants it names.
std::string ChatHelp(const std::string& program);

}  // namespace saferoom
