// A private room's members on the real server: remove-member.sh revokes and
// the reload closes the removed member's connections on both ports while
// the others stay; a revoked certificate's handshake fails, and chat gives
// up on it with advice; a removed name can be added again; a device enrolled
// over the web port, the state surviving kill -9 at either step of the
// enrolment.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/WsClient.h"
#include "platform/Os.h"
#include "tests/support/DeviceKey.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kScripts = std::string(SOURCE_DIR) + "/scripts/";

// A private room with its web listener; `webPort` from its notice.
struct RoomServer : TestServer {
  int webPort = 0;
  std::string certs() { return dir + "/certs"; }
  bool StartRoom(const std::string& fault = "") {
    if (!fault.empty()) {
      setenv("LD_PRELOAD", FAULT_SHIM, 1);
      setenv("FAULT", fault.c_str(), 1);
    }
    const bool started = Start({"--require-client-cert", "--web", "0", "0"});
    unsetenv("LD_PRELOAD");
    unsetenv("FAULT");
    const size_t at =
        started ? WaitFor("[+] Web page at https://localhost:", 5000) : std::string::npos;
    webPort = at == std::string::npos ? 0 : std::atoi(out.c_str() + at);
    return webPort > 0;
  }
  // add-member.sh NAME, its certificate and key kept in DIR/kept/ (the
  // script's removal deletes the member's copies); the invitation token.
  Bytes Add(const std::string& name) {
    const std::string printed = RunScript({kScripts + "add-member.sh", "--dir", certs(), name});
    fs::create_directories(dir + "/kept");
    for (const char* ext : {".crt", ".key"}) {
      fs::copy_file(certs() + "/members/" + name + ext, dir + "/kept/" + name + ext,
                    fs::copy_options::overwrite_existing);
    }
    const size_t at = printed.find("#invite=");
    std::string b64 = at == std::string::npos ? "" : printed.substr(at + 8, 43);
    for (char& c : b64)
      c = c == '-' ? '+' : c == '_' ? '/' : c;
    b64 += "=";
    Bytes token(33);
    const int len = EVP_DecodeBlock(token.data(), reinterpret_cast<const uint8_t*>(b64.data()),
                                    static_cast<int>(b64.size()));
    EXPECT_EQ(len, 33) << printed;  // 32 bytes and the zero the padding stands for
    token.resize(kInviteTokenSize);
    return token;
  }
  void Remove(const std::string& name, bool reload = true) {
    std::vector<std::string> argv = {kScripts + "remove-member.sh", "--dir", certs()};
    if (reload) argv.insert(argv.end(), {"--pid", std::to_string(pid)});
    argv.push_back(name);
    RunScript(argv);
  }
  TlsClientConfig Tls(const std::string& name) {
    TlsClientConfig tls = TestTls();
    tls.certFile = dir + "/kept/" + name + ".crt";
    tls.keyFile = dir + "/kept/" + name + ".key";
    return tls;
  }
  ClientOptions Web(const std::string& name = "") {
    ClientOptions options;
    options.target.port = static_cast<uint16_t>(webPort);
    options.tls = name.empty() ? TestTls() : Tls(name);
    options.tls.maxVersion = TLS1_3_VERSION;
    return options;
  }
};

bool LogsIn(ChatClient& client, const std::string& name) {
  if (!client.Login(name)) return false;
  return WaitFrame(client,
                   [](const ReceivedFrame& f) { return f.type == FrameType::LoginAccepted; });
}

// True when the connection ends within a second once the frames already
// sent are read.
bool ClosedAfterWhatCame(ChatClient& client) {
  ReceivedFrame frame;
  for (;;) {
    const RecvStatus status = client.Receive(frame, Deadline::In(1000));
    if (status != RecvStatus::kFrame) return status == RecvStatus::kClosed;
  }
}

// A page's part in the device exchange: DeviceHello, the challenge, then
// `answer` made from it; the verdict frame.
template <typename Answer>
ReceivedFrame DeviceExchange(ChatClient& web, Answer answer) {
  const Frame hello =
      BuildFrame(FrameType::DeviceHello, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  EXPECT_TRUE(web.SendRaw(hello.data(), hello.size()));
  ReceivedFrame challenge = Next(web);
  EXPECT_EQ(challenge.type, FrameType::DeviceChallenge);
  challenge.payload.resize(kChallengeSize);
  const Frame reply = answer(challenge.payload.data());
  EXPECT_TRUE(web.SendRaw(reply.data(), reply.size()));
  return Next(web);
}

TEST(Members, RemovedMembersAreClosedOnBothPortsAndTheOthersStay) {
  RoomServer server;
  ASSERT_TRUE(server.Prepare());
  for (const char* name : {"alice", "bob", "carol", "dave"})
    server.Add(name);
  ASSERT_TRUE(server.StartRoom()) << server.err;
  auto alice = Connect(server.port, server.Tls("alice"));
  auto bob = Connect(server.port, server.Tls("bob"));
  ChatClient carol, dave;  // on the web port, with their certificates
  ASSERT_TRUE(ConnectWeb(carol, server.Web("carol")).Ok());
  ASSERT_TRUE(ConnectWeb(dave, server.Web("dave")).Ok());
  for (auto [client, name] : {std::pair{alice.get(), "alice"}, std::pair{bob.get(), "bob"},
                              std::pair{&carol, "carol"}, std::pair{&dave, "dave"}}) {
    ASSERT_TRUE(LogsIn(*client, name)) << name;
  }
  ASSERT_TRUE(WaitForList(*bob, {"dave", "carol", "bob", "alice"}));

  server.Remove("alice", false);
  server.Remove("carol");  // this one sends SIGHUP
  ASSERT_NE(server.WaitFor("[+] Certificates reloaded\n"), std::string::npos) << server.err;
  ASSERT_NE(server.WaitFor("[!] User alice offline\n"), std::string::npos);
  ASSERT_NE(server.WaitFor("[!] User carol offline\n"), std::string::npos);
  size_t closedLines = 0;
  for (const std::string& line : Lines(server.out)) {
    closedLines +=
        line.rfind("[-] Closed 127.0.0.1, port ", 0) == 0 &&
        line.find(": its certificate is revoked or no longer trusted") != std::string::npos;
  }
  EXPECT_EQ(closedLines, 2u) << server.out;
  // Closed by the reload itself: what was sent before, then the end.
  EXPECT_TRUE(ClosedAfterWhatCame(*alice));
  EXPECT_TRUE(ClosedAfterWhatCame(carol));

  // The others stay, and still hear each other across the ports.
  EXPECT_TRUE(WaitForList(*bob, {"dave", "bob"}));
  ASSERT_TRUE(bob->SendChat("still here"));
  EXPECT_TRUE(WaitFrame(dave, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.Text() == "still here";
  }));

  // A revoked certificate fails the handshake on both ports, saying so.
  ChatClient again;
  ClientOptions chatPort;
  chatPort.target.port = static_cast<uint16_t>(server.port);
  chatPort.tls = server.Tls("alice");
  const DialResult dialed = again.Connect(chatPort);
  EXPECT_NE(dialed.message.find("certificate revoked"), std::string::npos) << dialed.message;
  EXPECT_NE(dialed.advice.find("ask them for a new certificate"), std::string::npos)
      << dialed.advice;
  ChatClient webAgain;
  EXPECT_FALSE(ConnectWeb(webAgain, server.Web("carol")).Ok());

  // The name can be added again, with a new certificate.
  server.Add("alice");
  ASSERT_EQ(kill(server.pid, SIGHUP), 0);
  ASSERT_NE(server.WaitFor("[+] Certificates reloaded\n", 5000, false,
                           server.out.find("[+] Certificates reloaded\n") + 1),
            std::string::npos);
  auto back = Connect(server.port, server.Tls("alice"));
  EXPECT_TRUE(LogsIn(*back, "alice"));
  EXPECT_TRUE(WaitFrame(*bob, [](const ReceivedFrame& f) {
    Names names = f.Names();
    std::sort(names.begin(), names.end());
    return f.type == FrameType::UserList && names == Names{"alice", "bob", "dave"};
  }));
}

// Reconnecting could only fail the same way: chat stops, and says whom to
// ask for what.
TEST(Members, ChatGivesUpOnARevokedCertificateWithAdvice) {
  RoomServer server;
  ASSERT_TRUE(server.Prepare());
  server.Add("erin");
  ASSERT_TRUE(server.StartRoom()) << server.err;
  Proc chat;
  ASSERT_TRUE(chat.Spawn({ChatBinary(), "--reconnect", "--ca", server.certs() + "/ca.crt", "--cert",
                          server.dir + "/kept/erin.crt", "--key", server.dir + "/kept/erin.key",
                          "localhost", std::to_string(server.port), "erin"}));
  ASSERT_NE(chat.WaitFor("In the room (1): erin\n"), std::string::npos) << chat.err;
  server.Remove("erin");
  EXPECT_EQ(chat.WaitExit(15000), 4) << chat.err;
  EXPECT_NE(
      chat.err.find("chat: the server refused our certificate: certificate revoked; the room's "
                    "operator removed it: ask them for a new certificate, or for an "
                    "invitation link\n"),
      std::string::npos)
      << chat.err;
}

// kill -9 just before and just after the enrolment's device file is renamed
// into place: either way the state reads whole at the next start, and the
// invitation lets in exactly one device.
TEST(Members, EnrolmentSurvivesKillNineAtEitherStep) {
  RoomServer server;
  ASSERT_TRUE(server.Prepare());
  const Bytes token = server.Add("frank");
  const std::string devices = server.dir + "/state/devices/";
  DeviceKey key;
  // A sanitizer's runtime must be loaded before the shim: those builds enrol
  // without the kills, and check the rest.
  std::vector<const char*> faults = {"kill before device", "kill after device"};
  if (kSanitized) {
    faults.clear();
    ASSERT_TRUE(server.StartRoom()) << server.err;
    ChatClient web;
    ASSERT_TRUE(ConnectWeb(web, server.Web()).Ok());
    EXPECT_EQ(DeviceExchange(web, [&](const uint8_t* c) { return EnrolFrame(key, token, c); }).type,
              FrameType::DeviceAccepted);
    server.Stop();
    server.out.clear();
    server.err.clear();
  }
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(server.StartRoom(fault)) << server.err;
    ChatClient web;
    ASSERT_TRUE(ConnectWeb(web, server.Web()).Ok());
    const Frame hello =
        BuildFrame(FrameType::DeviceHello, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
    ASSERT_TRUE(web.SendRaw(hello.data(), hello.size()));
    ReceivedFrame challenge = Next(web);
    ASSERT_EQ(challenge.type, FrameType::DeviceChallenge);
    const Frame enrol = EnrolFrame(key, token, challenge.payload.data());
    ASSERT_TRUE(web.SendRaw(enrol.data(), enrol.size()));
    EXPECT_EQ(server.WaitExit(10000), 128 + SIGKILL);
    // No file half written, none left over but the device itself.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(devices))
      names.push_back(entry.path().filename());
    if (std::string(fault) == "kill before device") {
      EXPECT_EQ(names.size(), 1u);  // the temporary file, which the next start removes
      EXPECT_EQ(names[0].rfind(".tmp-", 0), 0u);
    } else {
      ASSERT_EQ(names, std::vector<std::string>{key.Id()});
    }
    server.out.clear();
    server.err.clear();
  }
  // The next start: the device the second run enrolled proves itself, the
  // invitation it used is gone, a broken file is skipped with a line.
  std::ofstream(devices + std::string(64, 'c')) << "saferoom device 1\nname x\n";
  ASSERT_TRUE(server.StartRoom()) << server.err;
  EXPECT_NE(server.WaitFor("State file state/devices/" + std::string(64, 'c') +
                               " skipped: no number for enrolled\n",
                           5000, true),
            std::string::npos)
      << server.err;
  for (const auto& entry : fs::directory_iterator(devices))
    EXPECT_NE(entry.path().filename().string().rfind(".tmp-", 0), 0u);
  ChatClient proven;
  ASSERT_TRUE(ConnectWeb(proven, server.Web()).Ok());
  ReceivedFrame verdict =
      DeviceExchange(proven, [&](const uint8_t* c) { return ProofFrame(key, c); });
  EXPECT_EQ(verdict.type, FrameType::DeviceAccepted);
  EXPECT_EQ(verdict.name, "frank");
  EXPECT_TRUE(LogsIn(proven, "frank"));
  ChatClient second;
  ASSERT_TRUE(ConnectWeb(second, server.Web()).Ok());
  DeviceKey other;
  verdict = DeviceExchange(second, [&](const uint8_t* c) { return EnrolFrame(other, token, c); });
  EXPECT_EQ(verdict.type, FrameType::DeviceRefused);
  EXPECT_EQ(verdict.payload.at(0), static_cast<uint8_t>(DeviceRefusal::kInvitationUnknown));

  // Removed: the device's connection closes at the reload, and it is refused.
  server.Remove("frank");
  ASSERT_NE(server.WaitFor(": its device was removed\n"), std::string::npos) << server.out;
  EXPECT_TRUE(ClosedAfterWhatCame(proven));
  ChatClient gone;
  ASSERT_TRUE(ConnectWeb(gone, server.Web()).Ok());
  verdict = DeviceExchange(gone, [&](const uint8_t* c) { return ProofFrame(key, c); });
  EXPECT_EQ(verdict.type, FrameType::DeviceRefused);
  EXPECT_EQ(verdict.payload.at(0), static_cast<uint8_t>(DeviceRefusal::kDeviceUnknown));
}

}  // namespace

}  // namespace saferoom
