// The server binary from the outside: command line, certificate files,
// listener, TLS settings, hostile clients and the orderly stop.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"
#include "tls/TlsClient.h"

namespace saferoom {

namespace fs = std::filesystem;

namespace {

// A completed handshake with the server at 127.0.0.1:port; null when it
// fails.
TlsConnPtr Handshake(int port, const TlsClientConfig& tls = TestTls()) {
  return std::move(Connect(port, tls)->conn);
}

// True when the server ends the connection (end of stream or reset) within
// timeoutMs; whatever it sends first is read and dropped.
bool ClosedByServer(int fd, int timeoutMs) {
  const Deadline deadline = Deadline::In(timeoutMs);
  char buf[512];
  do {
    if (PollFd(fd, false, deadline) != PollResult::kReady) return false;
    if (RecvBytes(fd, buf, sizeof buf) <= 0) return true;
  } while (!deadline.Passed());
  return false;
}

struct StartCase {
  const char* name;
  const char* port;   // the one argument, or null for none
  const char* setup;  // a shell command run in the server's directory first, or null
  // What cannot be made to fail from outside fails in a preloaded library
  // (tests/support/FaultShim.cpp, which reads this as FAULT), or null.
  const char* fault;
  int status;  // exit(-2) and exit(-3) as a shell reads them
  const char* stdoutText;
  const char* stderrMention;  // part of the TLS error dump ("" for none)
};

const StartCase kStartCases[] = {
    {"no port", nullptr, nullptr, nullptr, 254, "Usage:\n\tserver.exe [port]\n",
     "Try 'server --help'.\n"},
    {"port too big", "65536", nullptr, nullptr, 253, "Invalid port.\n", ""},
    {"missing certificate", "0", "rm certs/server.crt", nullptr, 3, "",
     "cannot read certs/server.crt: No such file or directory; scripts/make-dev-certs.sh makes"},
    {"missing key", "0", "rm certs/server.key", nullptr, 4, "", "cannot read certs/server.key: "},
    // It loads, but into a slot with no certificate.
    {"key of another type", "0",
     "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out certs/server.key",
     nullptr, 5, "Private key does not match the certificate public key\n", ""},
    {"no cipher suite", "0", nullptr, "cipher list", 1, "",
     "none of the cipher suites is available\n"},
    // The first thread is ServerThread's.
    {"no SendMsg thread", "0", nullptr, "thread 2", 1, "", "SendMsg thread: "},
    {"no send queue writer", "0", nullptr, "thread 3", 1, "", "send queue thread: "},
    {"no console writer", "0", nullptr, "thread 4", 1, "", "console thread: "},
    {"no ServerThread", "0", nullptr, "thread 1", 1, "", "pthread_create: "},
};

TEST(ServerStartUp, FailuresHaveTheirStatusAndOutputAMissingCaIsNotOne) {
  for (const StartCase& c : kStartCases) {
    SCOPED_TRACE(c.name);
    if (c.fault != nullptr && kSanitized) continue;  // their runtimes must be loaded first
    TestServer server;
    Proc setup;
    ASSERT_TRUE(server.Prepare());
    ASSERT_TRUE(c.setup == nullptr ||
                (setup.Spawn({"/bin/sh", "-c", c.setup}, server.dir) && setup.WaitExit() == 0));
    if (c.fault != nullptr) {
      setenv("LD_PRELOAD", FAULT_SHIM, 1);
      setenv("FAULT", c.fault, 1);
    }
    bool spawned =
        server.Spawn(c.port ? std::vector<std::string>{c.port} : std::vector<std::string>{});
    unsetenv("LD_PRELOAD");
    unsetenv("FAULT");
    ASSERT_TRUE(spawned);
    EXPECT_EQ(server.WaitExit(), c.status);
    EXPECT_EQ(server.out, c.stdoutText);
    EXPECT_NE(server.err.find(c.stderrMention), std::string::npos) << server.err;
  }

  // Installed, it names itself as started, in the hint and before a
  // problem; the usage text stays as it always was.
  TestServer named;
  named.wrapper = {"/bin/bash", "-c", "exec -a saferoom-server \"$0\" \"$@\""};
  ASSERT_TRUE(named.Spawn({"--web", "70000", "0"}));
  EXPECT_EQ(named.WaitExit(), 254);
  EXPECT_EQ(named.out, "Usage:\n\tserver.exe [port]\n");
  EXPECT_EQ(named.err,
            "saferoom-server: --web: not a port: 70000\nTry 'saferoom-server --help'.\n");

  // Without ca.crt it still serves, but cannot verify a client certificate.
  TestServer server;
  ASSERT_TRUE(server.Prepare());
  ASSERT_TRUE(fs::remove(server.dir + "/certs/ca.crt"));
  ASSERT_TRUE(server.Start()) << server.err;
  EXPECT_NE(Handshake(server.port), nullptr);
  EXPECT_EQ(Handshake(server.port, TestTls(TestCertsDir())), nullptr);
  // A second server cannot take its port.
  TestServer second;
  ASSERT_TRUE(second.Spawn({std::to_string(server.port)}));
  EXPECT_EQ(second.WaitExit(), 1);
  EXPECT_EQ(second.err.rfind("bind: ", 0), 0u) << second.err;
  EXPECT_NE(second.err.find("\nCannot listen on port " + std::to_string(server.port) +
                            ": another program, or another server, holds it\n"),
            std::string::npos)
      << second.err;
  EXPECT_TRUE(server.Alive());
}

// Each refusal ends that connection only: a member connected all along keeps
// its session, and new clients still get in.
TEST(ServerTls, Tls12WithAes128ShaOnlyAndRefusalsLeaveOthersUp) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  // The client would prefer TLS 1.3 and stronger suites; the server decides.
  TlsClientConfig tls13 = TestTls();
  tls13.maxVersion = TLS1_3_VERSION;
  TlsConnPtr bystander = Handshake(server.port, tls13);
  ASSERT_NE(bystander, nullptr);
  EXPECT_STREQ(SSL_get_version(bystander->ssl.get()), "TLSv1.2");
  EXPECT_STREQ(SSL_get_cipher_name(bystander->ssl.get()), "AES128-SHA");
  EXPECT_EQ(SSL_get_verify_result(bystander->ssl.get()), X509_V_OK);

  tls13.minVersion = TLS1_3_VERSION;
  EXPECT_EQ(Handshake(server.port, tls13), nullptr);
  EXPECT_NE(server.WaitFor("unsupported protocol", 5000, true), std::string::npos) << server.err;
  // The operator learns who failed, before the dump.
  EXPECT_EQ(server.err.rfind("TLS handshake failed: 127.0.0.1, port ", 0), 0u) << server.err;

  EXPECT_NE(Handshake(server.port, TestTls(TestCertsDir())), nullptr);
  EXPECT_EQ(Handshake(server.port, TestTls(TestCertsDir() + "/other")), nullptr);
  EXPECT_NE(server.WaitFor("certificate verify failed", 5000, true), std::string::npos);

  UniqueFd fd = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(5000));
  const std::string garbage = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(SendBytes(fd.Get(), garbage.data(), garbage.size()), static_cast<long>(garbage.size()));
  EXPECT_TRUE(ClosedByServer(fd.Get(), 5000));
  EXPECT_NE(server.WaitFor("http request", 5000, true), std::string::npos) << server.err;
  // One that leaves halfway through its hello (a port scan) is no failure
  // to explain; the next one is, and comes alone.
  const std::string half = "\x16\x03\x01\x00\x40hello";
  UniqueFd leaver = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(5000));
  ASSERT_EQ(SendBytes(leaver.Get(), half.data(), half.size()), static_cast<long>(half.size()));
  leaver.Reset();
  const size_t before = server.err.size();
  EXPECT_EQ(Handshake(server.port, tls13), nullptr);
  const size_t at = server.WaitFor("unsupported protocol", 5000, true, before);
  ASSERT_NE(at, std::string::npos) << server.err;
  EXPECT_EQ(server.err.find("TLS handshake failed", before),
            server.err.rfind("TLS handshake failed", at))
      << server.err.substr(before);

  EXPECT_TRUE(server.Alive());
  EXPECT_NE(Handshake(server.port), nullptr);
  char byte;
  EXPECT_EQ(TlsRead(*bystander, &byte, 1, Deadline::In(200)).status,
            IoStatus::kTimeout);  // open, nothing to read
}

TEST(ServerHostileClients, StalledHandshakesClosedAfterTenSecondsInAll) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  const uint16_t port = static_cast<uint16_t>(server.port);
  UniqueFd fds[2] = {ConnectTcp("127.0.0.1", port, Deadline::In(5000)),
                     ConnectTcp("127.0.0.1", port, Deadline::In(5000))};
  ASSERT_TRUE(fds[0].Valid() && fds[1].Valid());
  int64_t start = MonotonicMs();
  // The first stays silent. The second sends a 512-byte handshake record a
  // byte every 100 ms: it would take far longer than 10 s, and every byte
  // would reset a per-read timeout.
  const std::string record = "\x16\x03\x01\x02\x00" + std::string(512, '\x01');
  int64_t closedAt[2] = {-1, -1};
  size_t sent = 0;
  while ((closedAt[0] < 0 || closedAt[1] < 0) && MonotonicMs() - start < 20000) {
    for (int i = 0; i < 2; ++i)
      if (closedAt[i] < 0 && ClosedByServer(fds[i].Get(), 50)) closedAt[i] = MonotonicMs() - start;
    if (closedAt[1] < 0 && SendBytes(fds[1].Get(), &record[sent], 1) == 1) ++sent;
  }
  for (int64_t closed : closedAt) {
    EXPECT_GE(closed, 9000);
    EXPECT_LE(closed, 13000);
  }
  EXPECT_NE(Handshake(server.port), nullptr);
}

// The stop waits for SendMsg even in the middle of a write to a member that
// does not read, which may take the whole send timeout.
TEST(ServerStop, SigtermAndSigintStopCleanlyEvenMidWrite) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    TestServer server;
    ASSERT_TRUE(server.Start()) << server.err;
    // An open session must not hold the stop up.
    TlsConnPtr open = Handshake(server.port);
    ASSERT_NE(open, nullptr);
    const bool midWrite = signal == SIGINT;
    std::unique_ptr<ChatClient> staller, sender;
    if (midWrite) {
      staller = Join(server.port, "staller");
      sender = Connect(server.port);
      for (int i = 0; i < 100; ++i)  // far more than the kernel buffers for the staller
        ASSERT_TRUE(sender->SendChat(std::string(65536, 'x'), "", PayloadKind::Binary));
    }

    int64_t start = MonotonicMs();
    kill(server.pid, signal);
    EXPECT_EQ(server.WaitExit(10000), 0) << server.err;
    EXPECT_LT(MonotonicMs() - start, midWrite ? 7000 : 4000);
    size_t stopped = server.out.rfind("[-] Server stopped.\n");
    EXPECT_LT(server.out.find("[-] SendMsg thread stop\n"), stopped) << server.out;
    EXPECT_EQ(stopped + 20, server.out.size()) << server.out;  // the last line
  }
}

}  // namespace

}  // namespace saferoom
