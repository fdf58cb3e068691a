// The device exchange of a private room's web port, on a state directory of
// the test's own and keys made here with OpenSSL: enrolment, proof, and the
// answers that must be refused (a wrong or replayed signature, another
// member's key, a used or expired invitation); the state files themselves.
#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "protect/Frame.h"
#include "room/Console.h"
#include "server/Admission.h"
#include "server/ConnectionGate.h"
#include "server/DeviceAuth.h"
#include "server/StateDir.h"
#include "tests/support/DeviceKey.h"
#include "tests/support/FakeLink.h"

namespace saferoom {

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kNow = 1767225600;  // 2026-01-01

// A state directory in a temporary directory, its lines on a pipe.
struct TempState {
  std::string root = [] {
    char dir[] = "/tmp/device-auth-XXXXXX";
    return std::string(mkdtemp(dir));
  }();
  int fds[2] = {-1, -1};
  std::unique_ptr<Console> console;
  std::thread writer;
  StateDir state;

  TempState() {
    EXPECT_EQ(pipe(fds), 0);
    console = std::make_unique<Console>(fds[1], fds[1]);
    writer = std::thread([this] { console->RunWriter(); });
    state.path = root + "/state";
  }
  ~TempState() {
    if (writer.joinable()) {
      console->CloseWith("");
      writer.join();
    }
    close(fds[0]);
    close(fds[1]);
    fs::remove_all(root);
  }
  bool Open() {
    std::string why;
    return OpenStateDir(state, *console, why);
  }
  // Writes an invitation for `name` as add-member.sh does; its token.
  Bytes Invite(const std::string& name, int64_t expires = kNow + 7 * 86400) {
    Bytes token(kInviteTokenSize);
    for (size_t i = 0; i < token.size(); ++i)
      token[i] = static_cast<uint8_t>(rand());
    Invitation invitation{name, kNow, expires};
    EXPECT_TRUE(WriteFileAtomic(state.path + "/invites", Sha256Hex(token.data(), token.size()),
                                FormatInvitation(invitation)));
    return token;
  }
  // What the console was told; it takes no more lines afterwards.
  std::string Lines() {
    console->CloseWith("");
    writer.join();
    std::string out;
    char buf[4096];
    for (;;) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(fds[0], &set);
      timeval none{0, 0};
      if (select(fds[0] + 1, &set, nullptr, nullptr, &none) <= 0) break;
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
};

FrameHeader Header(uint32_t type) {
  FrameHeader header;
  header.type = type;
  return header;
}

// One exchange: the client's frames in, the server's read back.
struct Exchange {
  explicit Exchange(TempState& t) : temp(t) {}
  TempState& temp;
  DeviceExchange exchange;
  std::vector<FrameHeader> heard;
  std::vector<Bytes> heardPlain;

  ExchangeStep Send(uint32_t type, const Bytes& plain = {}) {
    Frame out;
    const ExchangeStep step = OnExchangeFrame(exchange, temp.state, Header(type), plain, kNow, out);
    for (size_t at = 0; at + kHeaderSize <= out.size();) {
      const FrameHeader h = ParseHeader(out.data() + at);
      Bytes p;
      DecryptPayload(h, out.data() + at + kHeaderSize, PayloadLength(h.lengthWord), p);
      heard.push_back(h);
      heardPlain.push_back(p);
      at += kHeaderSize + PayloadLength(h.lengthWord);
    }
    return step;
  }
  // The challenge, after a DeviceHello.
  const uint8_t* Hello() {
    EXPECT_EQ(Send(FrameType::DeviceHello), ExchangeStep::kMore);
    EXPECT_EQ(heard.back().type, FrameType::DeviceChallenge);
    return exchange.challenge;
  }
  ExchangeStep Enrol(const Bytes& token, const DeviceKey& key, const Bytes* signature = nullptr) {
    Bytes plain = token;
    const Bytes point = key.PublicPoint();
    plain.insert(plain.end(), point.begin(), point.end());
    const Bytes sig = signature ? *signature : key.Sign(kEnrolLabel, exchange.challenge);
    plain.insert(plain.end(), sig.begin(), sig.end());
    return Send(FrameType::DeviceEnrol, plain);
  }
  ExchangeStep Prove(const Bytes& keyId, const Bytes& signature) {
    Bytes plain = keyId;
    plain.insert(plain.end(), signature.begin(), signature.end());
    return Send(FrameType::DeviceProof, plain);
  }
  // The verdict: DeviceAccepted's "how", or DeviceRefused's reason.
  uint32_t Verdict(uint32_t type) const {
    EXPECT_EQ(heard.back().type, type);
    const Bytes& p = heardPlain.back();
    return p.size() >= 4 ? p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24 : 0;
  }
};

uint32_t Code(DeviceRefusal r) {
  return static_cast<uint32_t>(r);
}
uint32_t Code(DeviceVia v) {
  return static_cast<uint32_t>(v);
}

TEST(DeviceExchange, EnrolsWithAnInvitationOnceThenProvesEveryVisit) {
  TempState temp;
  ASSERT_TRUE(temp.Open());
  const Bytes token = temp.Invite("alice");
  DeviceKey key;
  Exchange first(temp);
  first.Hello();
  EXPECT_EQ(first.Enrol(token, key), ExchangeStep::kAdmit);
  EXPECT_EQ(first.Verdict(FrameType::DeviceAccepted), Code(DeviceVia::kEnrolled));
  EXPECT_EQ(NameString(first.heard.back().name), "alice");
  EXPECT_EQ(first.exchange.name, "alice");
  EXPECT_EQ(first.exchange.keyId, key.Id());
  EXPECT_TRUE(DeviceStillEnrolled(temp.state, key.Id(), "alice"));
  std::vector<std::string> invites;
  ASSERT_TRUE(ListDirectory(temp.state.path + "/invites", invites));
  EXPECT_TRUE(invites.empty()) << "the invitation is used up";

  // The same link once more, from another device: used.
  Exchange again(temp);
  again.Hello();
  EXPECT_EQ(again.Enrol(token, DeviceKey()), ExchangeStep::kRefuse);
  EXPECT_EQ(again.Verdict(FrameType::DeviceRefused), Code(DeviceRefusal::kInvitationUnknown));

  Exchange visit(temp);
  const uint8_t* challenge = visit.Hello();
  EXPECT_EQ(visit.Prove(key.IdBytes(), key.Sign(kProofLabel, challenge)), ExchangeStep::kAdmit);
  EXPECT_EQ(visit.Verdict(FrameType::DeviceAccepted), Code(DeviceVia::kProven));
  EXPECT_EQ(visit.exchange.name, "alice");
}

// Each answer a device must not get in with, and the reason it is told.
TEST(DeviceExchange, RefusesWhatNoRightfulDeviceSends) {
  TempState temp;
  ASSERT_TRUE(temp.Open());
  DeviceKey alice, bob;
  for (auto [name, key] : {std::pair{"alice", &alice}, std::pair{"bob", &bob}}) {
    Exchange x(temp);
    x.Hello();
    ASSERT_EQ(x.Enrol(temp.Invite(name), *key), ExchangeStep::kAdmit);
  }
  // A proof signed for an earlier challenge: a recorded one, replayed.
  Exchange earlier(temp);
  const Bytes replayed = alice.Sign(kProofLabel, earlier.Hello());
  ASSERT_EQ(earlier.Prove(alice.IdBytes(), replayed), ExchangeStep::kAdmit);

  struct Case {
    const char* name;
    std::function<ExchangeStep(Exchange&)> answer;
    DeviceRefusal why;
  };
  const Case cases[] = {
      {"a replayed proof", [&](Exchange& x) { return x.Prove(alice.IdBytes(), replayed); },
       DeviceRefusal::kBadSignature},
      {"a signature with one bit flipped",
       [&](Exchange& x) {
         Bytes sig = alice.Sign(kProofLabel, x.exchange.challenge);
         sig[10] ^= 1;
         return x.Prove(alice.IdBytes(), sig);
       },
       DeviceRefusal::kBadSignature},
      {"bob's key id, signed with alice's key",
       [&](Exchange& x) {
         return x.Prove(bob.IdBytes(), alice.Sign(kProofLabel, x.exchange.challenge));
       },
       DeviceRefusal::kBadSignature},
      {"an enrolment's signature as a proof",
       [&](Exchange& x) {
         return x.Prove(alice.IdBytes(), alice.Sign(kEnrolLabel, x.exchange.challenge));
       },
       DeviceRefusal::kBadSignature},
      {"a key never enrolled",
       [&](Exchange& x) {
         DeviceKey stranger;
         return x.Prove(stranger.IdBytes(), stranger.Sign(kProofLabel, x.exchange.challenge));
       },
       DeviceRefusal::kDeviceUnknown},
      {"bob's key enrolled again for carol",
       [&](Exchange& x) { return x.Enrol(temp.Invite("carol"), bob); }, DeviceRefusal::kKeyTaken},
      {"an enrolment signed by another key",
       [&](Exchange& x) {
         const Bytes sig = bob.Sign(kEnrolLabel, x.exchange.challenge);
         return x.Enrol(temp.Invite("carol"), DeviceKey(), &sig);
       },
       DeviceRefusal::kBadSignature},
      {"an expired invitation",
       [&](Exchange& x) { return x.Enrol(temp.Invite("carol", kNow), DeviceKey()); },
       DeviceRefusal::kInvitationUnknown},
      {"a short proof", [&](Exchange& x) { return x.Send(FrameType::DeviceProof, Bytes(40)); },
       DeviceRefusal::kBadAnswer},
      {"a login instead of an answer",
       [&](Exchange& x) { return x.Send(FrameType::Login, Bytes(32)); }, DeviceRefusal::kBadAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x(temp);
    x.Hello();
    EXPECT_EQ(c.answer(x), ExchangeStep::kRefuse);
    EXPECT_EQ(x.Verdict(FrameType::DeviceRefused), Code(c.why));
    EXPECT_TRUE(x.exchange.name.empty());
  }
}

TEST(DeviceExchange, CertificateHoldersAreToldTheirNameAndStrangersNothing) {
  TempState temp;
  ASSERT_TRUE(temp.Open());
  Exchange member(temp);
  member.exchange.hasCertificate = true;
  member.exchange.certName = "dave";
  EXPECT_EQ(member.Send(FrameType::DeviceHello), ExchangeStep::kAdmit);
  EXPECT_EQ(member.Verdict(FrameType::DeviceAccepted), Code(DeviceVia::kCertificate));
  EXPECT_EQ(NameString(member.heard.back().name), "dave");
  // A client that did not ask and has no certificate never had a way in.
  Exchange stranger(temp);
  EXPECT_EQ(stranger.Send(FrameType::Login, Bytes(32)), ExchangeStep::kRefuse);
  EXPECT_TRUE(stranger.heard.empty());
}

TEST(StateDir, FilesReadBackAndBrokenOnesAreSkippedWithALine) {
  TempState temp;
  ASSERT_TRUE(temp.Open());
  DeviceKey key;
  Device device;
  device.name = "bob smith";
  device.publicKey = key.PublicPoint();
  device.enrolled = kNow;
  device.seen = kNow + 5;
  device.invite = std::string(64, 'a');
  Device back;
  std::string why;
  ASSERT_TRUE(ParseDevice(FormatDevice(device), back, why)) << why;
  EXPECT_EQ(back.name, "bob smith");
  EXPECT_EQ(back.publicKey, device.publicKey);
  EXPECT_EQ(back.seen, kNow + 5);

  const std::string devices = temp.state.path + "/devices/";
  const std::string text = FormatDevice(device);
  std::ofstream(devices + key.Id()) << text.substr(0, text.size() - 5);  // cut short
  std::ofstream(devices + "notes.txt") << "mine\n";
  std::ofstream(devices + ".tmp-abcdef") << "half";
  std::ofstream(devices + std::string(64, 'b')) << std::string(5000, 'x');
  EXPECT_FALSE(FindDevice(temp.state, key.Id(), back));
  ASSERT_TRUE(temp.Open());  // the next start
  const std::string lines = temp.Lines();
  EXPECT_NE(lines.find("State file " + devices + key.Id() +
                       " skipped: it does not end with a whole line"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(devices + "notes.txt skipped: not a state file"), std::string::npos)
      << lines;
  EXPECT_NE(lines.find(devices + std::string(64, 'b') + " skipped: longer than 4096 bytes"),
            std::string::npos)
      << lines;
  EXPECT_FALSE(PathExists(devices + ".tmp-abcdef"));
  EXPECT_TRUE(PathExists(devices + "notes.txt"));  // not ours to remove
}

// A crash after the device file and before the invitation went: the next
// start removes the used invitation, so the link cannot let in a second device.
TEST(StateDir, AnInvitationADeviceUsedIsRemovedAtTheNextStart) {
  TempState temp;
  ASSERT_TRUE(temp.Open());
  const Bytes token = temp.Invite("alice");
  const std::string hash = Sha256Hex(token.data(), token.size());
  DeviceKey key;
  Device device;
  device.name = "alice";
  device.publicKey = key.PublicPoint();
  device.invite = hash;
  ASSERT_TRUE(WriteFileAtomic(temp.state.path + "/devices", key.Id(), FormatDevice(device)));
  ASSERT_TRUE(temp.Open());
  EXPECT_FALSE(PathExists(temp.state.path + "/invites/" + hash));
}

// A connection admitted before a reload notes its admission only if the
// reload would have let it stay: a device removed while its proof was under
// way does not slip in after the reload's check.
TEST(Admission, AConnectionAdmittedBeforeAReloadIsCheckedAsItOpens) {
  TempState temp;
  ASSERT_TRUE(temp.Open());
  DeviceKey kept, removed;
  for (const DeviceKey* key : {&kept, &removed}) {
    Exchange x(temp);
    x.Hello();
    ASSERT_EQ(x.Enrol(temp.Invite("alice"), *key), ExchangeStep::kAdmit);
  }
  ConnectionGate gate(*temp.console);
  const auto admit = [&gate](const std::shared_ptr<FakeLink>& link) {
    RegisterLink(gate, AdmitConnection(gate, "127.0.0.1", "127.0.0.1, port 1"), link);
  };
  auto before = std::make_shared<FakeLink>(), during = std::make_shared<FakeLink>(),
       after = std::make_shared<FakeLink>();
  admit(before);
  admit(during);
  ASSERT_TRUE(NoteAdmission(gate, before.get(), nullptr, nullptr, removed.Id(), "alice"));
  ASSERT_TRUE(RemoveFileDurably(temp.state.path + "/devices", removed.Id()));
  X509_STORE* store = X509_STORE_new();
  EXPECT_EQ(CloseNoLongerAdmitted(gate, store, &temp.state, *temp.console), 1);
  X509_STORE_free(store);
  EXPECT_TRUE(before->shut);
  EXPECT_FALSE(NoteAdmission(gate, during.get(), nullptr, nullptr, removed.Id(), "alice"));
  EXPECT_TRUE(NoteAdmission(gate, during.get(), nullptr, nullptr, kept.Id(), "alice"));
  admit(after);
  EXPECT_TRUE(NoteAdmission(gate, after.get(), nullptr, nullptr, removed.Id(), "alice"))
      << "admitted after the reload: its own exchange decided";
  EXPECT_FALSE(during->shut);
}

}  // namespace

}  // namespace saferoom
