// The server where people are: IPv6 and chosen listen addresses, sockets
// from systemd, and chat dialling every address a name has, each against the
// real binaries on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

constexpr size_t kNone = std::string::npos;
constexpr const char* kSocketActivate = "/usr/bin/systemd-socket-activate";

UniqueFd ListenOn(const std::string& address, int port, int backlog = 16) {
  IpAddress ip;
  const char* failedCall = nullptr;
  if (!ParseIpAddress(address, ip)) return UniqueFd();
  return ListenTcp(ip, static_cast<uint16_t>(port), backlog, true, failedCall);
}

bool HasIpv6Loopback() {
  return ListenOn("::1", 0).Valid();
}

// Connects to host:port from `source` (the host itself when empty) and waits
// for the server's notice, which must name the client exactly as written
// here: "in", "refused", or what went wrong.
std::string Dial(TestServer& server, const std::string& host, std::string source = "") {
  if (source.empty()) source = host;
  UniqueFd fd =
      ConnectTcp(host, static_cast<uint16_t>(server.port), Deadline::In(5000), nullptr, source);
  if (!fd.Valid()) return errno == ECONNREFUSED ? "refused" : std::strerror(errno);
  const std::string notice =
      "[*] Connection from " + source + ", port " + std::to_string(LocalPort(fd.Get())) + "\n";
  return server.WaitFor(notice) != kNone ? "in" : "no " + notice;
}

// Sends what no TLS client would from `host`; true when the server reports
// the failed handshake with that address and the client's port.
bool HandshakeFailureNamed(TestServer& server, const std::string& host) {
  UniqueFd fd = ConnectTcp(host, static_cast<uint16_t>(server.port), Deadline::In(5000));
  const std::string garbage = "GET / HTTP/1.1\r\n\r\n";
  if (!fd.Valid() || SendBytes(fd.Get(), garbage.data(), garbage.size()) < 0) return false;
  const std::string line =
      "TLS handshake failed: " + host + ", port " + std::to_string(LocalPort(fd.Get())) + "\n";
  return server.WaitFor(line, 5000, true) != kNone;
}

// The one start-up notice of a server on `port`.
bool OneNoticeFor(const TestServer& server, int port) {
  const std::string notice = "[+] Server is working at " + std::to_string(port) + "\n";
  return server.out.rfind(notice, 0) == 0 &&
         server.out.find("[+]", notice.size()) == std::string::npos;
}

struct ListenCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> in;       // hosts whose connections are accepted
  std::vector<std::string> refused;  // hosts on which nothing listens
};

const ListenCase kListenCases[] = {
    {"default: every IPv4 address", {}, {"127.0.0.1", "127.0.0.2"}, {"::1"}},
    {"0.0.0.0", {"--listen", "0.0.0.0"}, {"127.0.0.1", "127.0.0.2"}, {"::1"}},
    {"127.0.0.1 only", {"--listen", "127.0.0.1"}, {"127.0.0.1"}, {"127.0.0.2", "::1"}},
    {"::1 only", {"--listen", "::1"}, {"::1"}, {"127.0.0.1"}},
    {":: takes IPv4 too", {"--listen", "::"}, {"::1", "127.0.0.1", "127.0.0.2"}, {}},
    {"[::] the same", {"--listen", "[::]"}, {"127.0.0.2", "::1"}, {}},
    {"two at once share the port",
     {"--listen", "127.0.0.2", "--listen", "::1"},
     {"127.0.0.2", "::1"},
     {"127.0.0.1"}},
    {":: leaves IPv4 to an IPv4 listener beside it",
     {"--listen", "::", "--listen", "127.0.0.1"},
     {"::1", "127.0.0.1"},
     {"127.0.0.2"}},
};

TEST(Listen, EachAddressServedOthersRefused) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  for (const ListenCase& c : kListenCases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    std::vector<std::string> args = c.options;
    args.push_back("0");
    ASSERT_TRUE(server.Start(args)) << server.err;
    EXPECT_TRUE(OneNoticeFor(server, server.port)) << server.out;
    for (const std::string& host : c.in)
      EXPECT_EQ(Dial(server, host), "in") << host;
    for (const std::string& host : c.refused)
      EXPECT_EQ(Dial(server, host), "refused") << host;
  }
}

// On a dual-stack listener an IPv4 client is told as on an IPv4 one, byte
// for byte, in the notice (Dial) and in a failure line.
TEST(Listen, DualStackTellsEachFamilyInItsOwnForm) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  TestServer server;
  ASSERT_TRUE(server.Start({"--listen", "::", "0"})) << server.err;
  EXPECT_TRUE(HandshakeFailureNamed(server, "::1")) << server.err;
  EXPECT_TRUE(HandshakeFailureNamed(server, "127.0.0.1")) << server.err;
  auto alice = Join(server.port, "alice");
  EXPECT_NE(server.WaitFor("[#] User alice online\n"), kNone);
  EXPECT_EQ((server.out + server.err).find("::ffff:"), kNone) << server.out << server.err;
}

TEST(Listen, ListenerThatCannotBeOpenedEndsStartUp) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  TestServer holder;
  ASSERT_TRUE(holder.Start({"--listen", "127.0.0.1", "0"})) << holder.err;
  const std::string taken = std::to_string(holder.port);
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string err;  // what standard error starts with
  } kCases[] = {
      {"not an address",
       {"--listen", "300.1.1.1", "0"},
       "--listen 300.1.1.1: not an IPv4 or IPv6 address\n"},
      {"a host name",
       {"--listen", "localhost", "0"},
       "--listen localhost: not an IPv4 or IPv6 address\n"},
      {"taken", {"--listen", "127.0.0.1", taken}, "bind 127.0.0.1 port " + taken + ": "},
      // Nothing is served when one of several fails.
      {"the second taken",
       {"--listen", "::1", "--listen", "127.0.0.1", taken},
       "bind 127.0.0.1 port " + taken + ": "},
      // The port the system chose for the first is the second's too.
      {"the same address twice", {"--listen", "::1", "--listen", "[::1]", "0"}, "bind ::1 port "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    ASSERT_TRUE(server.Spawn(c.args));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_EQ(server.out, "");
    EXPECT_EQ(server.err.rfind(c.err, 0), 0u) << server.err;
  }
  EXPECT_TRUE(holder.Alive());
}

// The test's own launcher: the sockets as descriptors 3, 4, ... with the
// variables systemd sets.
void PassSockets(TestServer& server, const std::vector<int>& fds, const char* names) {
  std::string script = "export LISTEN_PID=$$ LISTEN_FDS=" + std::to_string(fds.size());
  if (names != nullptr) script += " LISTEN_FDNAMES=" + std::string(names);
  server.wrapper = {"/bin/sh", "-c", script + "; exec \"$0\" \"$@\""};
  server.passFds = fds;
}

struct ActivationCase {
  const char* name;
  std::vector<std::string> addresses;  // listening sockets made here, on one port
  const char* names;                   // LISTEN_FDNAMES, or null
  bool passPipe;                       // a pipe after the sockets
  int status;                          // -1: it serves
  const char* says;                    // on standard error
};

const ActivationCase kActivationCases[] = {
    {"one IPv4 socket", {"127.0.0.1"}, nullptr, false, -1, "--listen is not used"},
    {"IPv4 and IPv6, named",
     {"127.0.0.1", "::1"},
     "saferoom.socket:saferoom.socket",
     false,
     -1,
     ""},
    {"a socket named web without --web",
     {"127.0.0.1"},
     "web",
     false,
     1,
     "the name web is the web listener's, and the server has none (--web)"},
    {"not a socket",
     {},
     nullptr,
     true,
     1,
     "socket 3 (unknown) from systemd: not a listening TCP socket"},
};

// With sockets from systemd the server opens none of its own: given their
// port as PORT, its own bind would fail; --listen is not used.
TEST(SocketActivation, ServesThePassedSocketsOnly) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  for (const ActivationCase& c : kActivationCases) {
    SCOPED_TRACE(c.name);
    std::vector<UniqueFd> sockets;
    int port = 0;
    for (const std::string& address : c.addresses) {
      sockets.push_back(ListenOn(address, port));
      ASSERT_TRUE(sockets.back().Valid()) << address;
      port = LocalPort(sockets.back().Get());
    }
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    UniqueFd pipeIn(pipeFds[0]), pipeOut(pipeFds[1]);
    std::vector<int> fds;
    for (const UniqueFd& fd : sockets)
      fds.push_back(fd.Get());
    if (c.passPipe) fds.push_back(pipeIn.Get());
    TestServer server;
    PassSockets(server, fds, c.names);
    const std::vector<std::string> args = {"--listen", "127.0.0.2", std::to_string(port)};
    if (c.status >= 0) {
      ASSERT_TRUE(server.Spawn(args));
      EXPECT_EQ(server.WaitExit(), c.status);
      EXPECT_EQ(server.out, "");
    } else {
      ASSERT_TRUE(server.Start(args)) << server.err;
      EXPECT_EQ(server.port, port);
      EXPECT_TRUE(OneNoticeFor(server, port)) << server.out;
      for (const std::string& host : c.addresses)
        EXPECT_EQ(Dial(server, host), "in") << host;
      EXPECT_EQ(Dial(server, "127.0.0.2"), "refused");
    }
    EXPECT_NE(server.err.find(c.says), kNone) << server.err;
  }
}

// A socket named "web" is the web listener's, in its own TLS: TLS 1.3 there,
// TLS 1.2 only on the chat's.
TEST(SocketActivation, TheSocketNamedWebServesBrowsers) {
  UniqueFd chat = ListenOn("127.0.0.1", 0), web = ListenOn("127.0.0.1", 0);
  const int chatPort = LocalPort(chat.Get()), webPort = LocalPort(web.Get());
  TestServer server;
  PassSockets(server, {chat.Get(), web.Get()}, "saferoom.socket:web");
  ASSERT_TRUE(server.Start({"--web", "0", std::to_string(chatPort)})) << server.err;
  EXPECT_NE(server.WaitFor("[+] Web page at https://localhost:" + std::to_string(webPort) + "/\n"),
            std::string::npos)
      << server.out;
  TlsClientConfig modern = TestTls();
  modern.maxVersion = TLS1_3_VERSION;
  auto browser = Connect(webPort, modern);
  ASSERT_NE(browser->conn, nullptr);
  EXPECT_EQ(std::string(SSL_get_version(browser->conn->ssl.get())), "TLSv1.3");
  EXPECT_NE(Connect(chatPort)->conn, nullptr);
}

// systemd's own launcher listens first and starts the server when the first
// client comes; that client is served, then a member logs in.
TEST(SocketActivation, StartedBySystemdSocketActivate) {
  if (access(kSocketActivate, X_OK) != 0) {
    GTEST_SKIP() << kSocketActivate << " is missing (scripts/deps.sh installs systemd)";
  }
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  // It takes no port 0: a port that was free a moment ago.
  const int port = LocalPort(ListenOn("127.0.0.1", 0).Get());
  const std::string p = std::to_string(port);
  TestServer server;
  server.wrapper = {kSocketActivate, "-l", "127.0.0.1:" + p, "-l", "[::1]:" + p};
  ASSERT_TRUE(server.Spawn({p}));
  ASSERT_NE(server.WaitFor("Listening on [::1]:" + p, 5000, true), kNone) << server.err;
  UniqueFd first = ConnectTcp("::1", static_cast<uint16_t>(port), Deadline::In(5000));
  ASSERT_TRUE(first.Valid());
  ASSERT_NE(server.WaitFor("[+] Server is working at " + p + "\n", 10000), kNone) << server.err;
  EXPECT_NE(
      server.WaitFor("[*] Connection from ::1, port " + std::to_string(LocalPort(first.Get()))),
      kNone);
  auto alice = Join(port, "alice");
  EXPECT_NE(server.WaitFor("[#] User alice online\n"), kNone) << server.out;
}

// The chat command as a user runs it; from a pipe, "hello" and the end.
struct ChatRun {
  std::vector<std::string> prefix;  // what runs chat, or nothing
  std::string host;
  int port;
  std::string name;
  std::string certs = TestCertsDir();
};

void RunChat(const ChatRun& run, int status, const std::string& says) {
  std::vector<std::string> argv = run.prefix;
  argv.insert(argv.end(), {ChatBinary(), "--ca", run.certs + "/ca.crt", run.host,
                           std::to_string(run.port), run.name});
  Proc chat;
  ASSERT_TRUE(chat.Spawn(argv));
  EXPECT_TRUE(chat.Send("hello\n"));
  chat.CloseInput();
  EXPECT_EQ(chat.WaitExit(), status) << chat.err;
  EXPECT_NE((chat.out + chat.err).find(says), kNone) << chat.out << chat.err;
}

// The server's certificate names ::1; the client checks that, in either
// form of the address.
TEST(ChatOverIpv6, CertificateChecksNameIpv6Addresses) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  TestServer named;
  ASSERT_TRUE(named.Start({"--listen", "::1", "0"})) << named.err;
  // The same CA, a certificate without ::1.
  TestServer unnamed;
  Proc make;
  ASSERT_TRUE(unnamed.Prepare());
  ASSERT_TRUE(make.Spawn({"/bin/sh", "-c",
                          "rm certs/server.* && \"$0\" certs localhost 127.0.0.1 >/dev/null",
                          std::string(SOURCE_DIR) + "/scripts/make-dev-certs.sh"},
                         unnamed.dir) &&
              make.WaitExit() == 0)
      << make.err;
  ASSERT_TRUE(unnamed.Start({"--listen", "::1", "0"})) << unnamed.err;
  const struct {
    const char* host;
    TestServer* server;
    int status;
    const char* says;
  } kCases[] = {
      {"::1", &named, 0, "<alice> hello\n"},
      {"[::1]", &named, 0, "<bob> hello\n"},
      {"::1", &unnamed, 4, "the server's certificate does not name ::1"},
  };
  const char* names[] = {"alice", "bob", "carol"};
  for (size_t i = 0; i < std::size(kCases); ++i) {
    SCOPED_TRACE(kCases[i].says);
    RunChat({{}, kCases[i].host, kCases[i].server->port, names[i]}, kCases[i].status,
            kCases[i].says);
  }
}

// A listener whose queue is full: the kernel drops further attempts, as a
// host that does not answer would.
struct Unanswering {
  UniqueFd listener;
  UniqueFd filler;  // the one connection the queue holds

  bool Open(const std::string& address, int port) {
    listener = ListenOn(address, port, 0);
    filler = ConnectTcp(address, static_cast<uint16_t>(port), Deadline::In(2000));
    if (!listener.Valid() || !filler.Valid()) return false;
    UniqueFd probe = ConnectTcp(address, static_cast<uint16_t>(port), Deadline::In(500));
    return !probe.Valid() && errno == ETIMEDOUT;
  }
};

// Where localhost is ::1 and 127.0.0.1 (a hosts file of chat's own, in a
// mount namespace), chat gets in through whichever address serves, even
// when the other one refuses or does not answer at all.
TEST(ChatOverIpv6, TriesEveryAddressOfTheName) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) here";
  TestServer files;  // only for its directory
  ASSERT_TRUE(files.Prepare());
  const std::string hosts = files.dir + "/hosts";
  Proc write;
  ASSERT_TRUE(write.Spawn({"/bin/sh", "-c",
                           "printf '::1 localhost\\n127.0.0.1 localhost\\n' >\"$0\"", hosts}) &&
              write.WaitExit() == 0);
  const std::vector<std::string> ownHosts = {"/usr/bin/unshare",
                                             "-m",
                                             "/bin/sh",
                                             "-c",
                                             "mount --bind \"$0\" /etc/hosts && exec \"$@\"",
                                             hosts};
  Proc probe;
  std::vector<std::string> probeArgv = ownHosts;
  probeArgv.push_back("/bin/true");
  if (!probe.Spawn(probeArgv) || probe.WaitExit() != 0) {
    GTEST_SKIP() << "no mount namespace here: " << probe.err;
  }
  const struct {
    const char* name;
    const char* serving;
    const char* other;
    bool otherAnswers;  // refuses at once; else never answers
  } kCases[] = {
      {"ipv6-refuses", "127.0.0.1", "::1", true},
      {"ipv6-silent", "127.0.0.1", "::1", false},
      {"ipv4-silent", "::1", "127.0.0.1", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    ASSERT_TRUE(server.Start({"--listen", c.serving, "0"})) << server.err;
    Unanswering hole;
    if (!c.otherAnswers) {
      ASSERT_TRUE(hole.Open(c.other, server.port));
    }
    RunChat({ownHosts, "localhost", server.port, c.name}, 0,
            "<" + std::string(c.name) + "> hello\n");
    EXPECT_NE(server.WaitFor("[*] Connection from " + std::string(c.serving) + ", port "), kNone);
  }
}

}  // namespace

}  // namespace saferoom
