// The server's command line: the shapes refused as usage, the port read as
// its leading digits spell it, the options before or after it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/ServerArgs.h"

namespace {

ArgsOutcome Parse(std::vector<std::string> words, ServerArgs& args) {
  words.insert(words.begin(), "server");
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string problem;
  return ParseServerArgs(static_cast<int>(words.size()), argv.data(), args, problem);
}

TEST(ServerArgs, PortTextAndArgumentShapes) {
  const struct {
    std::vector<std::string> words;
    ArgsOutcome outcome;
    int port;
  } cases[] = {
      {{"7000"}, ArgsOutcome::kServe, 7000},
      {{"7000x"}, ArgsOutcome::kServe, 7000},
      {{"abc"}, ArgsOutcome::kServe, 0},
      {{"65535"}, ArgsOutcome::kServe, 65535},
      {{"65536"}, ArgsOutcome::kBadPort, 0},
      {{"-1"}, ArgsOutcome::kBadPort, 0},
      // Past 32 bits: refused, not wrapped onto a small port.
      {{"-4294967295"}, ArgsOutcome::kBadPort, 0},
      {{"4294967297"}, ArgsOutcome::kBadPort, 0},
      {{"99999999999999999999999"}, ArgsOutcome::kBadPort, 0},
      {{}, ArgsOutcome::kUsage, 0},
      {{"7000", "7001"}, ArgsOutcome::kUsage, 0},
      {{"--forward-secrecy"}, ArgsOutcome::kUsage, 0},
      {{"--bogus", "7000"}, ArgsOutcome::kUsage, 0},
      {{"7000", "-x"}, ArgsOutcome::kUsage, 0},
      {{"7000", "--forward-secrecy"}, ArgsOutcome::kServe, 7000},
      {{"--", "-5"}, ArgsOutcome::kBadPort, 0},
      {{"--", "--help"}, ArgsOutcome::kServe, 0},  // after --, the port
      {{"7000", "--", "7001"}, ArgsOutcome::kUsage, 0},
      {{"--version", "7000"}, ArgsOutcome::kVersion, 0},
      {{"--help"}, ArgsOutcome::kHelp, 0},
      {{"-h"}, ArgsOutcome::kHelp, 0},  // not port 0
      {{"7000", "-V"}, ArgsOutcome::kVersion, 0},
      {{"-hV"}, ArgsOutcome::kHelp, 0},
      // --history takes its value as the next word or after '='.
      {{"--history", "100", "7000"}, ArgsOutcome::kServe, 7000},
      {{"--history=1000", "--forward-secrecy", "7000"}, ArgsOutcome::kServe, 7000},
      {{"--history", "1001", "7000"}, ArgsOutcome::kUsage, 0},
      {{"--history", "-1", "7000"}, ArgsOutcome::kUsage, 0},
      {{"--history", "7000"}, ArgsOutcome::kUsage, 0},
      {{"--history"}, ArgsOutcome::kUsage, 0},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& w : c.words)
      shown += w + " ";
    SCOPED_TRACE(shown);
    ServerArgs args;
    EXPECT_EQ(Parse(c.words, args), c.outcome);
    if (c.outcome == ArgsOutcome::kServe) {
      EXPECT_EQ(args.port, c.port);
    }
  }

  ServerArgs args;
  ASSERT_EQ(Parse({"--require-client-cert", "0", "--forward-secrecy"}, args), ArgsOutcome::kServe);
  EXPECT_TRUE(args.requireClientCert && args.forwardSecrecy);
  EXPECT_EQ(args.historyLength, 0);
  ASSERT_EQ(Parse({"--history", "0", "--require-client-cert", "--history=25", "1"}, args),
            ArgsOutcome::kServe);
  EXPECT_EQ(std::make_pair(args.historyLength, args.port), std::make_pair(25, 1));
}

// The name it was started as, in --help, --version and the usage hint.
TEST(ServerArgs, CallsItselfAsStarted) {
  EXPECT_EQ(ProgramName("/usr/sbin/saferoom-server"), "saferoom-server");
  EXPECT_EQ(ProgramName("build/bin/server"), "server");
  EXPECT_EQ(ProgramName("server"), "server");
  EXPECT_EQ(ServerHelp("saferoom-server").rfind("Usage: saferoom-server [OPTIONS] PORT\n", 0), 0u);
}

// --listen takes its value in the next word or after "="; the value is
// read as an address later, by the listener.
TEST(ServerArgs, ListenAddressesInOrderBeforeThePort) {
  const struct {
    std::vector<std::string> words;
    ArgsOutcome outcome;
    std::vector<std::string> listen;
  } cases[] = {
      {{"--listen", "::1", "7000"}, ArgsOutcome::kServe, {"::1"}},
      {{"--listen=127.0.0.1", "--forward-secrecy", "--listen", "[::]", "0"},
       ArgsOutcome::kServe,
       {"127.0.0.1", "[::]"}},
      {{"--listen", "::1"}, ArgsOutcome::kUsage, {}},  // the address is no port
      {{"--listen"}, ArgsOutcome::kUsage, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words[0] + " " + c.words.back());
    ServerArgs args;
    EXPECT_EQ(Parse(c.words, args), c.outcome);
    if (c.outcome == ArgsOutcome::kServe) {
      EXPECT_EQ(args.listen, c.listen);
    }
  }
}

}  // namespace
