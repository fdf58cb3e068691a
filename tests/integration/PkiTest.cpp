// Certificates: the development set and what its CA may vouch for, chains
// from a root the client trusts, ECDSA keys, the private room, the web
// page's addresses, and reloading on SIGHUP.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/Net.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"
#include "tls/TlsClient.h"

namespace saferoom {

namespace fs = std::filesystem;

namespace {

const std::string kSource = SOURCE_DIR;

// Runs a program to its end: its exit status, with both streams in `out`.
int RunProgram(const std::vector<std::string>& argv, std::string& out) {
  Proc program;
  if (!program.Spawn(argv)) return -1;
  int status = program.WaitExit(30000);
  out = program.out + program.err;
  return status;
}

const std::string kMakeDevCerts = kSource + "/scripts/make-dev-certs.sh";
const std::string kAddMember = kSource + "/scripts/add-member.sh";

// A directory of the test's own, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/chatserver-pki-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `set`'s CA, server certificate and key become the server's.
void UseSet(TestServer& server, const std::string& set) {
  for (const char* file : {"ca.crt", "server.crt", "server.key"})
    fs::copy_file(set + "/" + file, server.dir + "/certs/" + file,
                  fs::copy_options::overwrite_existing);
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
    {"certificate from another CA", "other/members/chat-client", "alice", Outcome::kNoHandshake,
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
  ASSERT_TRUE(
      WaitFrame(*member, [](const ReceivedFrame& f) { return f.type == FrameType::UserList; }));
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

// The development set is a CA and the server's pair; members come from
// add-member.sh. A file that is there already stays as it was.
TEST(PkiDevelopmentSet, MakesNoClientCertificateAndReplacesNothing) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::ofstream(dir.path + "/client.crt") << "an operator's own\n";
  RunScript({kMakeDevCerts, dir.path});
  std::vector<std::string> made;
  for (const auto& entry : fs::directory_iterator(dir.path))
    made.push_back(entry.path().filename().string());
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"ca.crt", "ca.key", "client.crt", "server.crt",
                                            "server.key"}));
  EXPECT_EQ(ReadFile(dir.path + "/client.crt"), "an operator's own\n");
  const std::string server = ReadFile(dir.path + "/server.crt");
  EXPECT_NE(RunScript({kMakeDevCerts, dir.path}).find("kept " + dir.path + "/server.crt"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir.path + "/server.crt"), server);
}

struct VouchCase {
  const char* name;
  const char* altName;  // the certificate's subjectAltName, or "" for none
  const char* subject;
  const char* check;  // the verifier's name check
  const char* value;
  bool verifies;
};

// What a browser does with a server certificate from the CA: its name
// checked against the one asked for, and against the CA's constraints.
const VouchCase kVouchCases[] = {
    {"the server's name", "DNS:chat.example.org", "/CN=chat.example.org", "-verify_hostname",
     "chat.example.org", true},
    {"a name under it", "DNS:www.chat.example.org", "/CN=www.chat.example.org", "-verify_hostname",
     "www.chat.example.org", true},
    {"the server's address", "IP:198.51.100.7", "/CN=chat.example.org", "-verify_ip",
     "198.51.100.7", true},
    {"another site", "DNS:www.example.com", "/CN=www.example.com", "-verify_hostname",
     "www.example.com", false},
    {"a look-alike", "DNS:chat.example.org.example.com", "/CN=chat.example.org.example.com",
     "-verify_hostname", "chat.example.org.example.com", false},
    {"another site, in the CN only", "", "/CN=www.example.com", "-verify_hostname",
     "www.example.com", false},
    {"another address", "IP:198.51.100.8", "/CN=198.51.100.8", "-verify_ip", "198.51.100.8", false},
    {"another IPv6 address", "IP:2001:db8::8", "/CN=other", "-verify_ip", "2001:db8::8", false},
};

// The development CA that friends may install vouches for the server's own
// names, and still for members with any name (a CN that looks like a host
// name included), in openssl's own checks and in the server's handshake.
TEST(PkiNameConstraints, TheCaVouchesForTheServersNamesAndItsMembersOnly) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string set = dir.path + "/set";
  RunScript(
      {kMakeDevCerts, set, "localhost", "127.0.0.1", "::1", "chat.example.org", "198.51.100.7"});
  const std::string ca = set + "/ca.crt";
  std::string out;
  ASSERT_EQ(RunProgram({"/usr/bin/openssl", "verify", "-CAfile", ca, "-purpose", "sslserver",
                        "-verify_hostname", "localhost", set + "/server.crt"},
                       out),
            0)
      << out;

  // Each certificate signed with the CA's key, as whoever holds it could.
  const std::string sign = ". " + kSource + "/scripts/certs-lib.sh && work=$(mktemp -d) && " +
                           "sign site \"$1\" \"$2\" \"$3\" \"$4\" && cp \"$work/site.crt\" \"$5\"" +
                           " && rm -rf \"$work\"";
  for (const VouchCase& c : kVouchCases) {
    SCOPED_TRACE(c.name);
    std::string extensions =
        "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,"
        "keyEncipherment\nextendedKeyUsage=serverAuth";
    if (*c.altName != '\0') extensions += std::string("\nsubjectAltName=") + c.altName;
    const std::string site = dir.path + "/site.crt";
    ASSERT_EQ(RunProgram({"/bin/bash", "-c", sign, "sign", c.subject, extensions, ca,
                          set + "/ca.key", site},
                         out),
              0)
        << out;
    int status = RunProgram({"/usr/bin/openssl", "verify", "-CAfile", ca, "-purpose", "sslserver",
                             c.check, c.value, site},
                            out);
    EXPECT_EQ(status == 0, c.verifies) << out;
    if (!c.verifies && *c.altName != '\0' && std::string(c.check) == "-verify_hostname") {
      EXPECT_NE(out.find("permitted subtree violation"), std::string::npos) << out;
    }
  }

  const std::vector<std::string> members = {"alice", "j.doe", "bob smith", "Zo\xc3\xab",
                                            "a.b.c.example.com"};
  for (const std::string& name : members) {
    RunScript({kAddMember, "--dir", set, name});
    EXPECT_EQ(RunProgram({"/usr/bin/openssl", "verify", "-CAfile", ca, "-purpose", "sslclient",
                          set + "/members/" + name + ".crt"},
                         out),
              0)
        << name << ": " << out;
  }
  TestServer server;
  ASSERT_TRUE(server.Prepare());
  UseSet(server, set);
  ASSERT_TRUE(server.Start({"--require-client-cert", "--listen", "127.0.0.1", "0"})) << server.err;
  for (const std::string& name : members) {
    SCOPED_TRACE(name);
    TlsClientConfig tls = Trusting(ca);
    tls.certFile = set + "/members/" + name + ".crt";
    tls.keyFile = set + "/members/" + name + ".key";
    auto member = Connect(server.port, tls);
    ASSERT_TRUE(member->Login(name));
    EXPECT_EQ(Next(*member).type, FrameType::LoginAccepted) << server.err;
  }
}

// --lan names the machine too, as `hostname` and `hostname -I` say, and the
// CA vouches for each of those names.
TEST(PkiDevelopmentSet, LanNamesTheMachinesHostNameAndAddresses) {
  TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  RunScript({kMakeDevCerts, "--lan", dir.path});
  std::string host, addresses, out;
  ASSERT_EQ(RunProgram({"/bin/hostname"}, host), 0);
  ASSERT_EQ(RunProgram({"/bin/hostname", "-I"}, addresses), 0);
  std::vector<std::pair<std::string, std::string>> checks = {
      {"-verify_hostname", "localhost"}, {"-verify_ip", "127.0.0.1"}, {"-verify_ip", "::1"}};
  checks.push_back({"-verify_hostname", host.substr(0, host.find('\n'))});
  std::istringstream words(addresses);
  for (std::string address; words >> address;)
    checks.push_back({"-verify_ip", address});
  for (const auto& [check, value] : checks) {
    EXPECT_EQ(RunProgram({"/usr/bin/openssl", "verify", "-CAfile", dir.path + "/ca.crt", check,
                          value, dir.path + "/server.crt"},
                         out),
              0)
        << value << ": " << out;
  }
  // Not every address passes: the check can fail.
  EXPECT_NE(RunProgram({"/usr/bin/openssl", "verify", "-CAfile", dir.path + "/ca.crt", "-verify_ip",
                        "127.0.0.2", dir.path + "/server.crt"},
                       out),
            0);
}

struct NoticeCase {
  const char* name;
  std::vector<std::string> certNames;  // for make-dev-certs.sh
  bool fromSystemd;                    // the sockets passed, on any address
  std::vector<std::string> hosts;      // in the notices, in order
};

// The web notice names every address of the page that the certificate holds
// and the listener serves; the chat port's notice stays as it was.
TEST(PkiWebNotice, NamesEachAddressOfTheCertificateThatIsServed) {
  const std::vector<std::string> lan = {"localhost",        "127.0.0.1",    "::1",
                                        "chat.example.org", "198.51.100.7", "2001:db8::7"};
  const NoticeCase cases[] = {
      {"the listener on 127.0.0.1", lan, false, {"localhost", "chat.example.org"}},
      {"sockets from systemd",
       lan,
       true,
       {"localhost", "chat.example.org", "198.51.100.7", "[2001:db8::7]"}},
      {"addresses only", {"127.0.0.1", "198.51.100.7"}, false, {"127.0.0.1"}},
      {"addresses only, from systemd", {"::1", "198.51.100.7"}, true, {"[::1]", "198.51.100.7"}},
  };
  for (const NoticeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> argv = {kMakeDevCerts, dir.path + "/set"};
    argv.insert(argv.end(), c.certNames.begin(), c.certNames.end());
    RunScript(argv);
    TestServer server;
    ASSERT_TRUE(server.Prepare());
    UseSet(server, dir.path + "/set");
    UniqueFd chat, web;
    std::vector<std::string> args = {"--listen",     "127.0.0.1", "--web", "0",
                                     "--web-listen", "127.0.0.1", "0"};
    if (c.fromSystemd) {
      IpAddress loopback;
      const char* failedCall = nullptr;
      ASSERT_TRUE(ParseIpAddress("127.0.0.1", loopback));
      chat = ListenTcp(loopback, 0, 16, true, failedCall);
      web = ListenTcp(loopback, 0, 16, true, failedCall);
      ASSERT_TRUE(chat.Valid() && web.Valid());
      server.wrapper = {"/bin/sh", "-c",
                        "export LISTEN_PID=$$ LISTEN_FDS=2 LISTEN_FDNAMES=chat:web; "
                        "exec \"$0\" \"$@\""};
      server.passFds = {chat.Get(), web.Get()};
      args = {"--web", "0", "0"};
    }
    ASSERT_TRUE(server.Start(args)) << server.err;
    EXPECT_EQ(server.out.rfind("[+] Server is working at " + std::to_string(server.port) + "\n", 0),
              0u)
        << server.out;
    // A connection's notice comes after every start-up notice.
    UniqueFd probe =
        ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port), Deadline::In(5000));
    ASSERT_NE(server.WaitFor("[*] Connection from "), std::string::npos) << server.out;
    std::vector<std::string> shown;
    const std::string prefix = "[+] Web page at https://";
    std::string webPort;
    for (const std::string& line : Lines(server.out)) {
      if (line.rfind(prefix, 0) != 0) continue;
      const size_t colon = line.rfind(':');
      shown.push_back(line.substr(prefix.size(), colon - prefix.size()));
      EXPECT_TRUE(webPort.empty() || webPort == line.substr(colon)) << line;
      webPort = line.substr(colon);
    }
    EXPECT_EQ(shown, c.hosts) << server.out;
  }
}

}  // namespace

}  // namespace saferoom
