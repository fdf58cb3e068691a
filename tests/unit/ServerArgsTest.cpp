// The server's command line: the shapes refused as usage, the port read as
// its leading digits spell it, the options before or after it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/ExitStatus.h"
#include "server/ServerArgs.h"

namespace saferoom {

namespace {

// What a served command line set: "port 7000 history 25 cert fs listen ::1".
std::string Shown(const ServerArgs& a) {
  std::string out = "port " + std::to_string(a.port);
  if (a.historyLength != 0) out += " history " + std::to_string(a.historyLength);
  if (a.requireClientCert) out += " cert";
  if (a.forwardSecrecy) out += " fs";
  for (const std::string& address : a.listen)
    out += " listen " + address;
  if (a.statePath != "state") out += " state " + a.statePath;
  return out;
}

TEST(ServerArgs, PortTextArgumentShapesAndOptionValues) {
  const struct {
    std::vector<std::string> words;
    ArgsOutcome outcome;
    const char* read = "";  // Shown, when served
  } kCases[] = {
      {{"7000"}, ArgsOutcome::kServe, "port 7000"},
      {{"7000x"}, ArgsOutcome::kServe, "port 7000"},
      {{"abc"}, ArgsOutcome::kServe, "port 0"},
      {{"65535"}, ArgsOutcome::kServe, "port 65535"},
      {{"65536"}, ArgsOutcome::kBadPort},
      {{"-1"}, ArgsOutcome::kBadPort},
      // Past 32 bits: refused, not wrapped onto a small port.
      {{"-4294967295"}, ArgsOutcome::kBadPort},
      {{"4294967297"}, ArgsOutcome::kBadPort},
      {{"99999999999999999999999"}, ArgsOutcome::kBadPort},
      {{}, ArgsOutcome::kUsage},
      {{"7000", "7001"}, ArgsOutcome::kUsage},
      {{"--forward-secrecy"}, ArgsOutcome::kUsage},
      {{"--bogus", "7000"}, ArgsOutcome::kUsage},
      {{"7000", "-x"}, ArgsOutcome::kUsage},
      {{"7000", "--forward-secrecy"}, ArgsOutcome::kServe, "port 7000 fs"},
      {{"--require-client-cert", "0", "--forward-secrecy"}, ArgsOutcome::kServe, "port 0 cert fs"},
      {{"--", "-5"}, ArgsOutcome::kBadPort},
      {{"--", "--help"}, ArgsOutcome::kServe, "port 0"},  // after --, the port
      {{"7000", "--", "7001"}, ArgsOutcome::kUsage},
      {{"--version", "7000"}, ArgsOutcome::kVersion},
      {{"--help"}, ArgsOutcome::kHelp},
      {{"-h"}, ArgsOutcome::kHelp},  // not port 0
      {{"7000", "-V"}, ArgsOutcome::kVersion},
      {{"-hV"}, ArgsOutcome::kHelp},
      // --history and --listen take their value as the next word or after
      // '='; a --listen value is read as an address later, by the listener.
      {{"--history", "100", "7000"}, ArgsOutcome::kServe, "port 7000 history 100"},
      {{"--history=1000", "--forward-secrecy", "7000"},
       ArgsOutcome::kServe,
       "port 7000 history 1000 fs"},
      {{"--history", "0", "--require-client-cert", "--history=25", "1"},
       ArgsOutcome::kServe,
       "port 1 history 25 cert"},
      {{"--state", "/var/lib/saferoom", "--require-client-cert", "7000"},
       ArgsOutcome::kServe,
       "port 7000 cert state /var/lib/saferoom"},
      {{"--state=", "7000"}, ArgsOutcome::kUsage},
      {{"--history", "1001", "7000"}, ArgsOutcome::kUsage},
      {{"--history", "-1", "7000"}, ArgsOutcome::kUsage},
      {{"--history", "7000"}, ArgsOutcome::kUsage},
      {{"--history"}, ArgsOutcome::kUsage},
      {{"--listen", "::1", "7000"}, ArgsOutcome::kServe, "port 7000 listen ::1"},
      {{"--listen=127.0.0.1", "--forward-secrecy", "--listen", "[::]", "0"},
       ArgsOutcome::kServe,
       "port 0 fs listen 127.0.0.1 listen [::]"},
      {{"--listen", "::1"}, ArgsOutcome::kUsage},  // the address is no port
      {{"--listen"}, ArgsOutcome::kUsage},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> words = {"server"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    std::vector<char*> argv;
    std::string shown;
    for (std::string& w : words) {
      argv.push_back(w.data());
      shown += w + " ";
    }
    SCOPED_TRACE(shown);
    argv.push_back(nullptr);
    ServerArgs args;
    std::string problem;
    EXPECT_EQ(ParseServerArgs(static_cast<int>(words.size()), argv.data(), args, problem),
              c.outcome);
    if (c.outcome == ArgsOutcome::kServe) {
      EXPECT_EQ(Shown(args), c.read);
    }
  }
}

// The name it was started as, in --help, --version and the usage hint.
TEST(ServerArgs, CallsItselfAsStarted) {
  EXPECT_EQ(ProgramName("/usr/sbin/saferoom-server"), "saferoom-server");
  EXPECT_EQ(ProgramName("build/bin/server"), "server");
  EXPECT_EQ(ProgramName("server"), "server");
  EXPECT_EQ(ServerHelp("saferoom-server").rfind("Usage: saferoom-server [OPTIONS] PORT\n", 0), 0u);
}

// The man page's exit statuses come from --help: every one, as a shell
// reads it.
TEST(ServerArgs, HelpListsEveryExitStatus) {
  const std::string help = ServerHelp("server");
  const size_t section = help.find("\nExit status:\n");
  ASSERT_NE(section, std::string::npos) << help;
  for (int status : {ServerExit::kStopped, ServerExit::kSetup, ServerExit::kCert, ServerExit::kKey,
                     ServerExit::kMismatch, ServerExit::kUsage, ServerExit::kBadPort}) {
    EXPECT_NE(help.find("\n  " + std::to_string(status & 0xff) + " ", section), std::string::npos)
        << status;
  }
  EXPECT_NE(help.find("--listen ADDRESS is no IPv4 or IPv6 address", section), std::string::npos);
}

}  // namespace

}  // namespace saferoom
