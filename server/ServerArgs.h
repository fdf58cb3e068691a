// The server's command line: options before the port, and the port read as
// the number its leading digits spell. Called by the process entry.
#pragma once

#include <string>
#include <vector>

struct ServerArgs {
  int port = 0;
  bool requireClientCert = false;
  bool forwardSecrecy = false;
  std::vector<std::string> listen;  // --listen ADDRESS, in order
};

enum class ArgsOutcome { kServe, kHelp, kVersion, kUsage, kBadPort };

// Reads `argv`: long options first, then exactly one port. kUsage for any
// other shape (with `problem` set when an option was at fault), kBadPort for
// a port above 65535 or negative.
ArgsOutcome ParseServerArgs(int argc, char** argv, ServerArgs& args, std::string& problem);

// The port as the number the text's leading digits spell (white space and
// one sign first), clamped to the 32-bit signed range; 0 without digits.
int PortFromText(const char* text);

// The --help text, made from the option table.
std::string ServerHelp();
