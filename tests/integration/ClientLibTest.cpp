// The client library against the real server: why a connection fails, and
// texts of every awkward length arriving whole.
#include <gtest/gtest.h>

#include <string>

#include "client/ChatClient.h"
#include "platform/Os.h"
#include "tests/support/TestServer.h"

namespace {

ClientOptions Options(int port, const std::string& host = "127.0.0.1") {
  ClientOptions options;
  options.host = host;
  options.port = static_cast<uint16_t>(port);
  options.caFile = TestCertsDir() + "/ca.crt";
  return options;
}

ConnectError ConnectWith(const ClientOptions& options) {
  ChatClient client;
  ConnectError error = ConnectError::kNone;
  std::string message;
  bool ok = client.Connect(options, error, message);
  EXPECT_EQ(ok, error == ConnectError::kNone) << message;
  return error;
}

bool NextChat(ChatClient& client, ReceivedFrame& frame) {
  while (client.Receive(frame, 5000) == RecvStatus::kFrame) {
    if (frame.type == FrameType::Chat) return true;
  }
  return false;
}

class ClientLib : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()) << server.err; }
  TestServer server;
};

}  // namespace

TEST_F(ClientLib, ConnectSaysWhyItFailed) {
  EXPECT_EQ(ConnectWith(Options(server.port)), ConnectError::kNone);
  EXPECT_EQ(ConnectWith(Options(server.port, "localhost")), ConnectError::kNone);

  ClientOptions foreign = Options(server.port);
  foreign.caFile = TestCertsDir() + "/other/ca.crt";
  EXPECT_EQ(ConnectWith(foreign), ConnectError::kVerify);
  // A loopback address the certificate does not name.
  EXPECT_EQ(ConnectWith(Options(server.port, "127.0.0.2")), ConnectError::kVerify);
  ClientOptions unchecked = Options(server.port, "127.0.0.2");
  unchecked.verify = false;
  EXPECT_EQ(ConnectWith(unchecked), ConnectError::kNone);

  ClientOptions missing = Options(server.port);
  missing.caFile = TestCertsDir() + "/no-such-ca.crt";
  EXPECT_EQ(ConnectWith(missing), ConnectError::kSetup);
  ClientOptions withCert = Options(server.port);
  withCert.certFile = TestCertsDir() + "/client.crt";
  withCert.keyFile = TestCertsDir() + "/client.key";
  EXPECT_EQ(ConnectWith(withCert), ConnectError::kNone);
  withCert.keyFile = TestCertsDir() + "/server.key";
  EXPECT_EQ(ConnectWith(withCert), ConnectError::kSetup);

  int port = server.port;
  server.Stop();
  EXPECT_EQ(ConnectWith(Options(port)), ConnectError::kConnect);
}

TEST_F(ClientLib, TextsOfEveryLengthArriveWhole) {
  ChatClient alice, bob;
  ConnectError error;
  std::string message;
  ASSERT_TRUE(alice.Connect(Options(server.port), error, message)) << message;
  ASSERT_TRUE(bob.Connect(Options(server.port), error, message)) << message;
  ASSERT_TRUE(alice.Login("alice"));
  ASSERT_TRUE(bob.Login("bob"));
  ASSERT_NE(server.WaitFor("bob online"), std::string::npos);
  ASSERT_NE(server.WaitFor("alice online"), std::string::npos);

  // Around the 16-byte blocks, and the longest text a frame may carry.
  for (size_t len : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{32}, kMaxTextLen}) {
    SCOPED_TRACE(len);
    std::string text(len, static_cast<char>('a' + len % 26));
    ASSERT_TRUE(alice.SendChat(text));
    ReceivedFrame frame;
    ASSERT_TRUE(NextChat(bob, frame));
    EXPECT_EQ(frame.Text(), text);
    EXPECT_EQ(frame.name, "alice");
    EXPECT_EQ(frame.kind, PayloadKind::Text);
  }
  ASSERT_TRUE(bob.SendChat("to me", "bob"));
  ReceivedFrame frame;
  ASSERT_TRUE(NextChat(bob, frame));
  EXPECT_EQ(frame.scope, Scope::Private);
  EXPECT_EQ(frame.Text(), "to me");

  int64_t started = MonotonicMs();
  EXPECT_EQ(bob.Receive(frame, 300), RecvStatus::kTimeout);
  EXPECT_GE(MonotonicMs() - started, 250);
}
