// The server's command line: options anywhere, and the port read as the
// number its leading digits spell. Called by the process entry.
#pragma once

#include <string>
#include <vector>

namespace saferoom {

struct ServerArgs {
  int port = 0;
  bool requireClientCert = false;
  bool forwardSecrecy = false;
  int webPort = -1;                    // --web PORT; -1 without it
  int historyLength = 0;               // public messages kept for members who ask
  std::string statePath = "state";     // --state DIR: the membership state
  std::vector<std::string> listen;     // --listen ADDRESS, in order
  std::vector<std::string> webListen;  // --web-listen ADDRESS, in order
};

enum class ArgsOutcome { kServe, kHelp, kVersion, kUsage, kBadPort };

// Reads `argv`: options (-h, -V and the long ones) before or after exactly
// one port; "--" ends the options, and a word that begins with - and a digit
// is a (negative) port, not an option. kUsage for any other shape (with
// `problem` set when an option was at fault), kBadPort for a port above
// 65535 or negative.
ArgsOutcome ParseServerArgs(int argc, char** argv, ServerArgs& args, std::string& problem);

// The port as the number the text's leading digits spell (white space and
// one sign first), clamped to the 32-bit signed range; 0 without digits.
int PortFromText(const char* text);

// The name the program was started as, without its directory: "server" in
// the build tree, "saferoom-server" installed.
std::string ProgramName(const char* argv0);

// The --help text for `program`, made from the option table.
std::string ServerHelp(const std::string& program);

}  // namespace saferoom
