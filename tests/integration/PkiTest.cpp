// Certificates beyond the development set: chains from a root the client
// trusts, ECDSA keys, the private room, and reloading on SIGHUP.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"
#include "tls/TlsClient.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = SOURCE_DIR;

// Runs a script of ours to its end; its standard output, or a test failure.
std::string RunScript(const std::vector<std::string>& argv) {
  Proc script;
  EXPECT_TRUE(script.Spawn(argv));
  EXPECT_EQ(script.WaitExit(30000), 0) << argv[0] << ": " << script.err;
  return script.out;
}

// Makes root.crt, and server.crt (leaf, intermediate) with server.key, in a
// directory: make-chain.sh DIR rsa|ec.
const std::string kMakeChain = kSource + "/tests/support/make-chain.sh";

TlsClientConfig Trusting(const std::string& caFile, const std::string& ciphers = "") {
  TlsClientConfig tls;
  tls.caFile = caFile;
  tls.ciphers = ciphers;
  return tls;
}

struct ChainCase {
  const char* name;
  const char* alg;
  bool forwardSecrecy;
  const char* clientCiphers;  // "": OpenSSL's default list
  int exitStatus;             // -1: it serves
  const char* cipher;         // what it negotiates, or what its error mentions
};

constexpr ChainCase kChainCases[] = {
    {"RSA", "rsa", false, "", -1, "AES128-SHA"},
    {"ECDSA without forward secrecy", "ec", false, "", 4, "AES128-SHA needs an RSA key"},
    {"ECDSA", "ec", true, "", -1, "ECDHE-ECDSA-AES128-GCM-SHA256"},
    // The client's own list puts AES256 first: the server's order wins.
    {"RSA with forward secrecy", "rsa", true, "", -1, "ECDHE-RSA-AES128-GCM-SHA256"},
    {"old client with forward secrecy", "rsa", true, "AES128-SHA", -1, "AES128-SHA"},
};

// The client trusts only the root, so the intermediate must come from the
// server.
TEST(PkiServerCertificate, ChainsAndKeyTypesServedAsTheOptionsAllow) {
  for (const ChainCase& c : kChainCases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    ASSERT_TRUE(server.Prepare());
    RunScript({kMakeChain, server.dir + "/certs", c.alg});
    std::vector<std::string> args = {"0"};
    if (c.forwardSecrecy) args.insert(args.begin(), "--forward-secrecy");
    if (c.exitStatus >= 0) {
      ASSERT_TRUE(server.Spawn(args));
      EXPECT_EQ(server.WaitExit(), c.exitStatus);
      EXPECT_NE(server.err.find(c.cipher), std::string::npos) << server.err;
      continue;
    }
    ASSERT_TRUE(server.Start(args)) << server.err;
    auto client = Connect(server.port, Trusting(server.dir + "/certs/root.crt", c.clientCiphers));
    ASSERT_NE(client->conn, nullptr);
    EXPECT_STREQ(SSL_get_version(client->conn->ssl.get()), "TLSv1.2");
    EXPECT_STREQ(SSL_get_cipher_name(client->conn->ssl.get()), c.cipher);
  }
}

enum class Outcome { kNoHandshake, kNameInUse, kAccepted };

struct MemberCase {
  const char* name;
  const char* cert;  // "": none; else a path under the test's certs/
  const char* login;
  Outcome outcome;
  const char* console;  // on standard output, or standard error when refused
};

const MemberCase kMemberCases[] = {
    {"no certificate", "", "alice", Outcome::kNoHandshake, "did not return a certificate"},
    {"certificate from another CA", "other/client", "alice", Outcome::kNoHandshake,
     "certificate verify failed"},
    {"another member's name", "members/alice", "bob", Outcome::kNameInUse,
     "Names other than the certificate's: refused 1 since the last line (latest: bob, its "
     "certificate is for alice)\n"},
    {"its own name", "members/alice", "alice", Outcome::kAccepted, "[#] User alice online\n"},
};

TEST(PkiPrivateRoom, OnlyMembersGetInUnderTheNameInTheirCertificate) {
  TestServer server;
  ASSERT_TRUE(server.Prepare());
  const std::string certs = server.dir + "/certs";
  std::string handOver = RunScript({kSource + "/scripts/add-member.sh", "--dir", certs, "alice"});
  // The installed client's name, and the build tree's.
  for (const char* client : {"\n  saferoom", "\n  build/bin/chat"}) {
    EXPECT_NE(handOver.find(std::string(client) +
                            " --cert alice.crt --key alice.key --ca ca.crt localhost 7000 alice"),
              std::string::npos)
        << handOver;
  }
  ASSERT_TRUE(server.Start({"--require-client-cert", "0"})) << server.err;

  for (const MemberCase& c : kMemberCases) {
    SCOPED_TRACE(c.name);
    TlsClientConfig tls = Trusting(certs + "/ca.crt");
    if (*c.cert != '\0') {
      tls.certFile = certs + "/" + c.cert + ".crt";
      tls.keyFile = certs + "/" + c.cert + ".key";
    }
    auto client = Connect(server.port, tls);
    bool connected = client->Login(c.login);
    if (c.outcome == Outcome::kNoHandshake) {
      // TLS 1.2: the server's verdict arrives after the client's handshake ends.
      ReceivedFrame frame;
      EXPECT_TRUE(!connected || client->Receive(frame, Deadline::In(5000)) != RecvStatus::kFrame);
      EXPECT_NE(server.WaitFor(c.console, 5000, true), std::string::npos) << server.err;
      continue;
    }
    ASSERT_TRUE(connected);
    bool accepted = c.outcome == Outcome::kAccepted;
    EXPECT_EQ(Next(*client).type, accepted ? FrameType::LoginAccepted : FrameType::NameInUse);
    EXPECT_NE(server.WaitFor(c.console, 5000, !accepted), std::string::npos)
        << server.out << server.err;
  }

  // A certificate from the CA without a subject CN can never log in, and in
  // a private room nothing it says reaches anyone, publicly or privately.
  Proc openssl;
  ASSERT_TRUE(openssl.Spawn({"/bin/sh", "-c",
                             "openssl req -new -newkey rsa:2048 -nodes -subj /O=nobody "
                             "-keyout nameless.key -out nameless.csr 2>/dev/null && "
                             "openssl x509 -req -in nameless.csr -CA ca.crt -CAkey ca.key "
                             "-days 1 -out nameless.crt 2>/dev/null"},
                            certs));
  ASSERT_EQ(openssl.WaitExit(), 0) << openssl.err;
  TlsClientConfig alice = Trusting(certs + "/ca.crt");
  alice.certFile = certs + "/members/alice.crt";
  alice.keyFile = certs + "/members/alice.key";
  auto member = Connect(server.port, alice);
  ASSERT_TRUE(member->Login("alice"));
  ASSERT_TRUE(WaitFrame(*member, [](const ReceivedFrame& f) { return f.type == FrameType::UserList; }));
  TlsClientConfig nameless = Trusting(certs + "/ca.crt");
  nameless.certFile = certs + "/nameless.crt";
  nameless.keyFile = certs + "/nameless.key";
  auto anonymous = Connect(server.port, nameless);
  ASSERT_TRUE(anonymous->Login(""));
  EXPECT_EQ(Next(*anonymous).type, FrameType::NameInUse);
  ASSERT_TRUE(anonymous->SendChat("I am nobody") && anonymous->SendChat("psst", "alice"));
  ASSERT_TRUE(member->SendChat("only members here"));
  // Chat is relayed in order: anything of the stranger's would come first.
  const ReceivedFrame heard = Next(*member);
  EXPECT_EQ(std::make_pair(heard.name, heard.Text()),
            std::make_pair(std::string("alice"), std::string("only members here")));
}

struct ReloadStep {
  const char* name;
  const char* pair;  // what becomes certs/server.{crt,key}
  const char* console;
  bool reloaded;
  const char* trusted;  // the CA that verifies the next client's server
};

// `pair`: a set of the test certificates ("/other", or "" for the first),
// "ec" a chain made by the test, or "broken": a certificate that is no PEM.
const ReloadStep kReloadSteps[] = {
    {"renewed", "/other", "[+] Certificates reloaded\n", true, "other/ca.crt"},
    {"broken", "broken",
     "Reload failed, the old certificates stay: certs/server.crt cannot be used", false,
     "other/ca.crt"},
    {"ECDSA without forward secrecy", "ec",
     "Reload failed, the old certificates stay: certs/server.key cannot serve", false,
     "other/ca.crt"},
    {"back to the first", "", "[+] Certificates reloaded\n", true, "ca.crt"},
};

TEST(PkiReload, SighupServesNewCertificatesAndKeepsTheOldOnFailure) {
  TestServer server;
  ASSERT_TRUE(server.Prepare());
  const std::string certs = server.dir + "/certs";
  RunScript({kMakeChain, server.dir + "/ec", "ec"});
  ASSERT_TRUE(server.Start()) << server.err;
  auto alice = Join(server.port, "alice");

  size_t outAt = 0;
  size_t errAt = 0;
  for (const ReloadStep& step : kReloadSteps) {
    SCOPED_TRACE(step.name);
    const std::string pair = step.pair;
    if (pair == "broken") {
      std::ofstream(certs + "/server.crt") << "-----BEGIN CERTIFICATE-----\n";
    } else {
      const std::string from = pair == "ec" ? server.dir + "/ec" : TestCertsDir() + pair;
      for (const char* ext : {".crt", ".key"})
        fs::copy_file(from + "/server" + ext, certs + "/server" + ext,
                      fs::copy_options::overwrite_existing);
    }
    ASSERT_EQ(kill(server.pid, SIGHUP), 0);
    size_t& at = step.reloaded ? outAt : errAt;
    at = server.WaitFor(step.console, 5000, !step.reloaded, at);
    ASSERT_NE(at, std::string::npos) << server.out << server.err;
    EXPECT_NE(Connect(server.port, Trusting(certs + "/" + step.trusted))->conn, nullptr);
  }
  // Two CAs in turn: a client of the wrong one must fail, or the test above
  // could not tell the certificates apart.
  EXPECT_EQ(Connect(server.port, Trusting(certs + "/other/ca.crt"))->conn, nullptr);

  // The member stayed in the room through all of it.
  ASSERT_TRUE(alice->SendChat("still here"));
  EXPECT_TRUE(WaitFrame(*alice, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.Text() == "still here";
  }));
}

}  // namespace
