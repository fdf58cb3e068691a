// The web listener from a scripted client: the HTTP surface (files, headers,
// 404, 405, a foreign origin, an oversized head), the WebSocket (masking,
// fragments, pings, text and oversized messages, the closing handshake), a
// web member and a TLS member in one room, and the caps and the opening
// deadline counted together with the chat port's connections.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/WsClient.h"
#include "platform/Os.h"
#include "tests/support/FakeLink.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

using Bytes = std::vector<uint8_t>;

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

// Reads one HTTP response: its head, and a Content-Length body unless it
// answers HEAD.
std::string ReadResponse(ChatClient& c, bool withBody = true) {
  std::string got;
  char byte;
  const Deadline deadline = Deadline::In(5000);
  while (got.find("\r\n\r\n") == std::string::npos &&
         TlsRead(*c.conn, &byte, 1, deadline).status == IoStatus::kDone)
    got += byte;
  const size_t length = got.find("Content-Length: ");
  size_t body = length == std::string::npos || !withBody ? 0 : std::stoul(got.substr(length + 16));
  for (; body > 0 && TlsRead(*c.conn, &byte, 1, deadline).status == IoStatus::kDone; --body)
    got += byte;
  return got;
}

std::string SourceFile(const std::string& path) {
  std::ifstream in(std::string(SOURCE_DIR) + "/" + path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One WebSocket frame as a client sends it (masked unless told otherwise).
std::string ClientFrame(uint8_t opcode, const std::string& payload, bool fin = true,
                        bool masked = true) {
  std::string f;
  f += static_cast<char>((fin ? 0x80 : 0) | opcode);
  const uint8_t maskBit = masked ? 0x80 : 0;
  if (payload.size() < 126) {
    f += static_cast<char>(maskBit | payload.size());
  } else if (payload.size() < 65536) {
    f += static_cast<char>(maskBit | 126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xff);
  } else {
    f += static_cast<char>(maskBit | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      f += static_cast<char>((static_cast<uint64_t>(payload.size()) >> shift) & 0xff);
  }
  const char mask[4] = {0x12, 0x34, 0x56, 0x78};
  if (masked) f.append(mask, 4);
  for (size_t i = 0; i < payload.size(); ++i)
    f += masked ? static_cast<char>(payload[i] ^ mask[i % 4]) : payload[i];
  return f;
}

// The opcode and payload of each server frame in `bytes` (never masked).
std::vector<std::pair<int, std::string>> ServerFrames(const std::string& bytes) {
  std::vector<std::pair<int, std::string>> frames;
  for (size_t at = 0; at + 2 <= bytes.size();) {
    const int opcode = static_cast<uint8_t>(bytes[at]) & 0x0f;
    uint64_t len = static_cast<uint8_t>(bytes[at + 1]) & 0x7f;
    at += 2;
    const int extra = len == 126 ? 2 : len == 127 ? 8 : 0;
    if (extra > 0) {
      len = 0;
      for (int i = 0; i < extra; ++i)
        len = len << 8 | static_cast<uint8_t>(bytes[at + i]);
      at += extra;
    }
    if (at + len > bytes.size()) break;
    frames.emplace_back(opcode, bytes.substr(at, len));
    at += len;
  }
  return frames;
}

// The status code of the close frame among `frames`, or -1.
int CloseCode(const std::vector<std::pair<int, std::string>>& frames) {
  for (const auto& [opcode, payload] : frames)
    if (opcode == 8 && payload.size() >= 2)
      return static_cast<uint8_t>(payload[0]) << 8 | static_cast<uint8_t>(payload[1]);
  return -1;
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

std::string LoginFrameBytes(const std::string& name) {
  uint8_t field[kNameSize] = {};
  name.copy(reinterpret_cast<char*>(field), kNameSize);
  Frame f = BuildFrame(FrameType::Login, 0, field, kNameSize, nullptr, 0);
  return std::string(f.begin(), f.end());
}

struct HttpCase {
  const char* name;
  std::string request;
  const char* status;  // the response's first line begins with it
  bool closes;         // the server closes after answering
};

TEST(WebListener, HttpFilesHeadersAndRefusals) {
  WebServer server;
  ASSERT_TRUE(server.StartWeb()) << server.err;
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.webPort) + "\r\n";
  const std::string upgrade =
      "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
      "dGhlIHNhbXBsZSBub25jZQ==\r\n";
  const HttpCase cases[] = {
      {"the page", "GET / HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK", false},
      {"a module", "GET /lib/frame.mjs?v=1 HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK", false},
      {"no body for HEAD", "HEAD /app.css HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK", false},
      {"another path", "GET /etc/passwd HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404", false},
      {"the path up", "GET /../server.key HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404", false},
      {"another method", "DELETE / HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 405", true},
      {"a body", "POST / HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc", "HTTP/1.1 405",
       true},
      {"a foreign origin",
       "GET /ws HTTP/1.1\r\n" + host + "Origin: https://evil.example\r\n" + upgrade +
           "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 403", true},
      {"no origin", "GET /ws HTTP/1.1\r\n" + host + upgrade + "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 403", true},
      {"no upgrade",
       "GET /ws HTTP/1.1\r\n" + host +
           "Origin: https://127.0.0.1:" + std::to_string(server.webPort) + "\r\n\r\n",
       "HTTP/1.1 400", true},
      {"an old WebSocket",
       "GET /ws HTTP/1.1\r\n" + host + "Origin: https://127.0.0.1:" +
           std::to_string(server.webPort) + "\r\n" + upgrade + "Sec-WebSocket-Version: 8\r\n\r\n",
       "HTTP/1.1 426", true},
      {"a head over 8 KiB",
       "GET / HTTP/1.1\r\n" + host + "X: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431",
       true},
      {"garbage", std::string("\x16\x03\x01\x02\x00 not http\r\n\r\n"), "HTTP/1.1 400", true},
  };
  for (const HttpCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Dial(server.webPort);
    ASSERT_TRUE(Write(*client, c.request));
    const std::string response = ReadResponse(*client, c.request.rfind("HEAD", 0) != 0);
    EXPECT_EQ(response.rfind(c.status, 0), 0u) << response.substr(0, 60);
    for (const char* header :
         {"Content-Security-Policy: default-src 'self'; ", "frame-ancestors 'none'",
          "X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n"})
      EXPECT_NE(response.find(header), std::string::npos) << header;
    EXPECT_EQ(response.find("unsafe-inline"), std::string::npos);
    // A closed connection says so at once; an open one takes the next request.
    if (c.closes) {
      EXPECT_EQ(ReadAll(*client), "");
    } else {
      ASSERT_TRUE(Write(*client, "GET /nope HTTP/1.1\r\n" + host + "\r\n"));
      EXPECT_EQ(ReadResponse(*client).rfind("HTTP/1.1 404", 0), 0u);
    }
  }
  // The page is the file as it is in the tree, as a document of its type.
  auto client = Dial(server.webPort);
  ASSERT_TRUE(Write(*client, "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n"));
  const std::string page = ReadAll(*client);
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(page.substr(page.find("\r\n\r\n") + 4), SourceFile("web/app/index.html"));
  // Modern TLS only, and the protocol named.
  EXPECT_EQ(std::string(SSL_get_version(client->conn->ssl.get())), "TLSv1.3");
  const unsigned char* alpn = nullptr;
  unsigned alpnLen = 0;
  auto h2 = std::make_unique<ChatClient>();
  ClientOptions options = WebOptions(server.webPort);
  ASSERT_TRUE(h2->Connect(options).Ok());
  SSL_get0_alpn_selected(h2->conn->ssl.get(), &alpn, &alpnLen);
  EXPECT_EQ(alpnLen, 0u);  // none asked for, none chosen
  options.tls.maxVersion = TLS1_2_VERSION;
  options.tls.ciphers = "AES128-SHA";
  EXPECT_FALSE(ChatClient().Connect(options).Ok()) << "RSA key exchange on the web port";
  EXPECT_TRUE(server.Alive());
}

struct WsCase {
  const char* name;    // also the member's name
  std::string frames;  // what the client sends after its login
  int closeCode;       // the close the server sends
};

TEST(WebListener, WebSocketFramingAndClosing) {
  WebServer server;
  ASSERT_TRUE(server.StartWeb()) << server.err;
  // The login split across a fragmented message and a second message:
  // message boundaries mean nothing, only the byte stream counts.
  const auto split = [](const std::string& login) {
    return ClientFrame(2, login.substr(0, 10), false) + ClientFrame(9, "ping!") +
           ClientFrame(0, login.substr(10, 30), true) + ClientFrame(2, login.substr(40));
  };
  const WsCase cases[] = {
      {"closing", ClientFrame(8, std::string("\x03\xe8", 2)), 1000},
      {"text", ClientFrame(1, "hello"), 1003},
      {"unmasked", ClientFrame(2, "x", true, false), 1002},
      // Refused from its header on: the rest is never read.
      {"oversized", ClientFrame(2, std::string(70000, 'a')).substr(0, 200), 1009},
  };
  for (const WsCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Upgraded(server.webPort);
    ASSERT_NE(client, nullptr);
    // The ping is answered with its payload, the login with LoginAccepted
    // and the member list, in binary messages (however many: their
    // boundaries mean nothing).
    ASSERT_TRUE(Write(*client, split(LoginFrameBytes(c.name))));
    std::string got, stream;
    std::vector<uint32_t> types;
    char buf[4096];
    const auto complete = [&] {
      stream.clear();
      for (const auto& m : ServerFrames(got))
        if (m.first == 2) stream += m.second;
      types.clear();
      WalkFrames(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                 [&](const FrameHeader& h, const uint8_t*) {
                   types.push_back(h.type);
                   return true;
                 });
      return types.size() >= 2;
    };
    for (ReadResult r;
         !complete() && (r = TlsRead(*client->conn, buf, sizeof buf, Deadline::In(5000))).status ==
                            IoStatus::kDone;)
      got.append(buf, r.bytes);
    ASSERT_FALSE(ServerFrames(got).empty());
    EXPECT_EQ(ServerFrames(got)[0], std::make_pair(10, std::string("ping!")));
    EXPECT_EQ(types, (std::vector<uint32_t>{FrameType::LoginAccepted, FrameType::UserList}));
    // Then the end: a close with its code, and the connection goes.
    ASSERT_TRUE(Write(*client, c.frames));
    EXPECT_EQ(CloseCode(ServerFrames(ReadAll(*client))), c.closeCode);
    EXPECT_NE(server.WaitFor("[!] User " + std::string(c.name) + " offline\n"), std::string::npos);
  }
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
