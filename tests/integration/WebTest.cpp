// The web listener through its sockets (what HTTP and the WebSocket say is
// WebHttpTest's): its TLS, the page and its files on one connection, a web
// member and a TLS member in one room, and the caps and the opening deadline
// counted together with the chat port's connections.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <string>
#include <vector>

#include "client/WsClient.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

// A server with its web listener; `webPort` from its start-up notice.
struct WebServer : TestServer {
  int webPort = 0;
  bool StartWeb(std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--web", "0", "0"});
    if (!Start(options)) return false;
    size_t at = WaitFor("[+] Web page at https://localhost:", 5000);
    webPort = at == std::string::npos ? 0 : std::atoi(out.c_str() + at);
    return webPort > 0;
  }
};

ClientOptions WebOptions(int port, const std::string& sourceIp = "",
                         const TlsClientConfig& tls = TestTls()) {
  ClientOptions options;
  options.target.host = "127.0.0.1";
  options.target.port = static_cast<uint16_t>(port);
  options.target.sourceIp = sourceIp;
  options.tls = tls;
  options.tls.maxVersion = TLS1_3_VERSION;
  return options;
}

// A TLS connection to the web port speaking raw HTTP.
std::unique_ptr<ChatClient> Dial(int webPort, const std::string& sourceIp = "") {
  auto client = std::make_unique<ChatClient>();
  client->Connect(WebOptions(webPort, sourceIp));
  return client;
}

bool Write(ChatClient& c, const std::string& bytes) {
  return c.conn &&
         TlsWrite(*c.conn, bytes.data(), bytes.size(), Deadline::In(5000)) == IoStatus::kDone;
}

// Everything the server sends until it closes, or until timeoutMs.
std::string ReadAll(ChatClient& c, int timeoutMs = 5000) {
  std::string got;
  char buf[16384];
  const Deadline deadline = Deadline::In(timeoutMs);
  for (ReadResult r;
       c.conn && (r = TlsRead(*c.conn, buf, sizeof buf, deadline)).status == IoStatus::kDone;)
    got.append(buf, r.bytes);
  return got;
}

// Reads one HTTP response: its head and its Content-Length body.
std::string ReadResponse(ChatClient& c) {
  std::string got;
  char byte;
  const Deadline deadline = Deadline::In(5000);
  while (got.find("\r\n\r\n") == std::string::npos &&
         TlsRead(*c.conn, &byte, 1, deadline).status == IoStatus::kDone)
    got += byte;
  const size_t length = got.find("Content-Length: ");
  size_t body = length == std::string::npos ? 0 : std::stoul(got.substr(length + 16));
  for (; body > 0 && TlsRead(*c.conn, &byte, 1, deadline).status == IoStatus::kDone; --body)
    got += byte;
  return got;
}

// A raw connection upgraded to a WebSocket; null when the upgrade failed.
std::unique_ptr<ChatClient> Upgraded(int webPort, const std::string& sourceIp = "") {
  auto c = Dial(webPort, sourceIp);
  const std::string hostPort = "127.0.0.1:" + std::to_string(webPort);
  if (!Write(*c, WebSocketRequest(hostPort, "https://" + hostPort)) ||
      ReadResponse(*c).rfind("HTTP/1.1 101 ", 0) != 0) {
    return nullptr;
  }
  return c;
}

// Served over TLS 1.3 without ALPN, never the chat port's RSA key exchange:
// requests one after another on a connection, until one asks to close; a
// WebSocket ends when its client closes it.
TEST(WebListener, PageOverModernTlsAndTheConnectionKeptOrClosed) {
  WebServer server;
  ASSERT_TRUE(server.StartWeb()) << server.err;
  auto client = Dial(server.webPort);
  ASSERT_TRUE(Write(*client, "GET /nope HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_EQ(ReadResponse(*client).rfind("HTTP/1.1 404", 0), 0u);
  ASSERT_TRUE(Write(*client, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
  const std::string page = ReadAll(*client);
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK", 0), 0u);
  EXPECT_NE(page.find("</html>"), std::string::npos);
  EXPECT_EQ(std::string(SSL_get_version(client->conn->ssl.get())), "TLSv1.3");
  const unsigned char* alpn = nullptr;
  unsigned alpnLen = 0;
  SSL_get0_alpn_selected(client->conn->ssl.get(), &alpn, &alpnLen);
  EXPECT_EQ(alpnLen, 0u);  // none asked for, none chosen
  ClientOptions options = WebOptions(server.webPort);
  options.tls.maxVersion = TLS1_2_VERSION;
  options.tls.ciphers = "AES128-SHA";
  EXPECT_FALSE(ChatClient().Connect(options).Ok()) << "RSA key exchange on the web port";
  // A WebSocket the client closes is answered and closed by the server.
  auto ws = Upgraded(server.webPort);
  ASSERT_NE(ws, nullptr);
  ASSERT_TRUE(Write(*ws, std::string("\x88\x80\0\0\0\0", 6)));  // close, masked, no payload
  const int64_t start = MonotonicMs();
  EXPECT_EQ(ReadAll(*ws).substr(0, 1), "\x88");
  EXPECT_LT(MonotonicMs() - start, 4000) << "ms until the server closed it";
  EXPECT_TRUE(server.Alive());
}

// A member in a browser and one on the chat port share one room and one
// member list, and hear each other, publicly and privately.
TEST(WebListener, WebAndTlsMembersChatBothWays) {
  WebServer server;
  ASSERT_TRUE(server.StartWeb()) << server.err;
  ChatClient web;
  ASSERT_TRUE(ConnectWeb(web, WebOptions(server.webPort)).Ok());
  ASSERT_TRUE(web.Login("web"));
  EXPECT_EQ(Next(web).type, FrameType::LoginAccepted);
  auto tls = Join(server.port, "tls");
  EXPECT_TRUE(WaitForList(web, {"tls", "web"}));
  ASSERT_TRUE(web.SendChat(std::string(3000, 'w')));  // several TLS records, one message
  ASSERT_TRUE(tls->SendChat("to web", "web"));
  EXPECT_TRUE(WaitFrame(*tls, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.name == "web" && f.Text() == std::string(3000, 'w');
  }));
  EXPECT_TRUE(WaitFrame(web, [](const ReceivedFrame& f) {
    return f.type == FrameType::Chat && f.name == "tls" && f.scope == Scope::Private &&
           f.Text() == "to web";
  }));
  ASSERT_TRUE(web.Logout());
  EXPECT_TRUE(WaitForList(*tls, {"tls"}));
  EXPECT_NE(server.WaitFor("[!] User web offline\n"), std::string::npos);
}

// In a private room anyone may load the page, but the room takes a browser
// only with a certificate from the room's CA (or an enrolled device, see
// MembersTest), under the name it holds only.
TEST(WebListener, PrivateRoomTakesBrowsersWithTheirCertificateOnly) {
  WebServer server;
  ASSERT_TRUE(server.StartWeb({"--require-client-cert"})) << server.err;
  ChatClient stranger;
  ASSERT_TRUE(ConnectWeb(stranger, WebOptions(server.webPort)).Ok());
  ASSERT_TRUE(stranger.Login("chat-client"));
  ReceivedFrame frame;
  EXPECT_EQ(stranger.Receive(frame, Deadline::In(5000)), RecvStatus::kClosed);
  EXPECT_EQ(server.out.find("[#] User"), std::string::npos);
  ChatClient foreign;
  EXPECT_FALSE(
      ConnectWeb(foreign, WebOptions(server.webPort, "", TestTls(TestCertsDir() + "/other"))).Ok());
  ChatClient member;
  ASSERT_TRUE(ConnectWeb(member, WebOptions(server.webPort, "", TestTls(TestCertsDir()))).Ok());
  ASSERT_TRUE(member.Login("someone-else"));
  EXPECT_EQ(Next(member).type, FrameType::NameInUse);
  ASSERT_TRUE(member.Login("chat-client"));  // the certificate's CN
  EXPECT_EQ(Next(member).type, FrameType::LoginAccepted);
}

// Web connections count under the chat port's caps, and the TLS handshake
// and the HTTP upgrade share one deadline however busy the client keeps it.
TEST(WebListener, CapsAndTheOpeningDeadlineCountWebConnectionsToo) {
  WebServer server;
  ASSERT_TRUE(server.StartWeb()) << server.err;
  const std::string from = "127.0.0.3";
  std::vector<std::unique_ptr<ChatClient>> held;
  for (int i = 0; i < 34; ++i) {
    held.push_back(Connect(server.port, TestTls(), from));
    ASSERT_TRUE(held.back()->conn) << i;
  }
  for (int i = 0; i < 6; ++i) {
    held.push_back(Upgraded(server.webPort, from));
    ASSERT_NE(held.back(), nullptr) << i;
  }
  EXPECT_EQ(Upgraded(server.webPort, from), nullptr);  // the 41st from one address
  EXPECT_FALSE(Connect(server.port, TestTls(), from)->conn);
  EXPECT_NE(Upgraded(server.webPort, "127.0.0.4"), nullptr);
  held.clear();

  // Files asked for one after another keep each wait short, but not the
  // whole opening: ten seconds after it came, the connection goes.
  const int64_t start = MonotonicMs();
  auto busy = Dial(server.webPort);
  const std::string get = "GET /app.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  int answered = 0;
  while (MonotonicMs() - start < 15000 && Write(*busy, get) &&
         ReadResponse(*busy).rfind("HTTP/1.1 200", 0) == 0) {
    ++answered;
    SleepMs(500);  // pacing a client, not waiting for a result
  }
  const int64_t closedAfter = MonotonicMs() - start;
  EXPECT_GE(answered, 5);
  EXPECT_GE(closedAfter, 9000);
  EXPECT_LE(closedAfter, 12000);
}

}  // namespace

}  // namespace saferoom
