// The web listener's protocol ends without a socket: HTTP requests in and
// their responses (files, headers, 404, 405, a foreign origin, an oversized
// head), and the WebSocket framing (masking, fragments, pings, text and
// oversized messages, the closing handshake).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "protect/Frame.h"
#include "server/WebHttp.h"
#include "server/WsStream.h"

namespace saferoom {

namespace {

using Step = HttpExchange::Step;

std::string SourceFile(const std::string& path) {
  std::ifstream in(std::string(SOURCE_DIR) + "/" + path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(HttpExchange, FilesHeadersAndRefusals) {
  const std::string host = "Host: 127.0.0.1:7001\r\n";
  const std::string origin = "Origin: https://127.0.0.1:7001\r\n";
  const std::string upgrade =
      "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
      "dGhlIHNhbXBsZSBub25jZQ==\r\n";
  const struct {
    const char* name;
    std::string request;
    const char* status;  // the response's first line begins with it
    Step step;
  } kCases[] = {
      {"the page", "GET / HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK", Step::kRespond},
      {"a module", "GET /lib/frame.mjs?v=1 HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK",
       Step::kRespond},
      {"no body for HEAD", "HEAD /app.css HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK",
       Step::kRespond},
      {"asked to close", "GET /app.css HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n",
       "HTTP/1.1 200 OK", Step::kClose},
      {"another path", "GET /etc/passwd HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404",
       Step::kRespond},
      {"HEAD of another path", "HEAD /nope HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404",
       Step::kRespond},
      {"the path up", "GET /../server.key HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404",
       Step::kRespond},
      {"another method", "DELETE / HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 405", Step::kClose},
      {"a body", "POST / HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc", "HTTP/1.1 405",
       Step::kClose},
      {"a foreign origin",
       "GET /ws HTTP/1.1\r\n" + host + "Origin: https://evil.example\r\n" + upgrade +
           "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 403", Step::kClose},
      {"no origin", "GET /ws HTTP/1.1\r\n" + host + upgrade + "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 403", Step::kClose},
      {"no upgrade", "GET /ws HTTP/1.1\r\n" + host + origin + "\r\n", "HTTP/1.1 400", Step::kClose},
      {"an old WebSocket",
       "GET /ws HTTP/1.1\r\n" + host + origin + upgrade + "Sec-WebSocket-Version: 8\r\n\r\n",
       "HTTP/1.1 426", Step::kClose},
      {"the upgrade",
       "GET /ws HTTP/1.1\r\n" + host + origin + upgrade + "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 101", Step::kUpgrade},
      {"a head over 8 KiB",
       "GET / HTTP/1.1\r\n" + host + "X: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431",
       Step::kClose},
      {"garbage", std::string("\x16\x03\x01\x02\x00 not http\r\n\r\n"), "HTTP/1.1 400",
       Step::kClose},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    HttpExchange http;
    // In pieces, as reads bring it; a second request waits behind the first.
    const std::string next = "GET /nope HTTP/1.1\r\n" + host + "\r\n";
    std::string input, response;
    Step step = Step::kNeedMore;
    for (size_t at = 0; at < c.request.size() && step == Step::kNeedMore; at += 7) {
      input += c.request.substr(at, 7);
      if (at + 7 >= c.request.size()) input += next;
      step = http.Feed(input, response);
    }
    ASSERT_EQ(step, c.step);
    EXPECT_EQ(response.rfind(c.status, 0), 0u) << response.substr(0, 60);
    for (const char* header :
         {"Content-Security-Policy: default-src 'self'; ", "frame-ancestors 'none'",
          "X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n"})
      EXPECT_NE(response.find(header), std::string::npos) << header;
    EXPECT_EQ(response.find("unsafe-inline"), std::string::npos);
    if (c.step == Step::kUpgrade) {
      // RFC 6455's own example key and answer.
      EXPECT_NE(response.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
                std::string::npos);
    }
    if (c.request.rfind("HEAD", 0) == 0) {
      EXPECT_EQ(response.substr(response.size() - 4), "\r\n\r\n");
    }
    if (c.step != Step::kRespond) continue;
    // An open connection takes the next request.
    EXPECT_EQ(http.Feed(input, response), Step::kRespond);
    EXPECT_EQ(response.rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(input, "");
  }
  // The page is the file as it is in the tree, as a document of its type.
  HttpExchange http;
  std::string input = "GET / HTTP/1.1\r\n\r\n", page;
  ASSERT_EQ(http.Feed(input, page), Step::kRespond);
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(page.substr(page.find("\r\n\r\n") + 4), SourceFile("web/app/index.html"));
}

// One WebSocket frame as a client sends it (masked unless told otherwise).
std::string ClientFrame(uint8_t opcode, const std::string& payload, bool fin = true,
                        bool masked = true) {
  std::string f(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
  const uint8_t maskBit = masked ? 0x80 : 0;
  if (payload.size() < 126) {
    f += static_cast<char>(maskBit | payload.size());
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
std::vector<std::pair<int, std::string>> ServerFrames(const std::vector<uint8_t>& bytes) {
  std::vector<std::pair<int, std::string>> frames;
  for (size_t at = 0; at + 2 <= bytes.size();) {
    const int opcode = bytes[at] & 0x0f;
    uint64_t len = bytes[at + 1] & 0x7f;
    at += 2;
    const int extra = len == 126 ? 2 : len == 127 ? 8 : 0;
    if (extra > 0) {
      len = 0;
      for (int i = 0; i < extra; ++i)
        len = len << 8 | bytes[at + i];
      at += extra;
    }
    if (at + len > bytes.size()) break;
    frames.emplace_back(opcode, std::string(bytes.begin() + at, bytes.begin() + at + len));
    at += len;
  }
  return frames;
}

TEST(WsStream, FramingAndClosing) {
  // The stream split across a fragmented message with a ping inside and a
  // second message: message boundaries mean nothing, only the bytes count.
  const std::string login = std::string(40, 'L') + "rest";
  const std::string split = ClientFrame(2, login.substr(0, 10), false) + ClientFrame(9, "ping!") +
                            ClientFrame(0, login.substr(10, 30), true) +
                            ClientFrame(2, login.substr(40));
  const struct {
    const char* name;
    std::string frames;  // what the client sends after the split stream
    int closeCode;       // the close the server sends
  } kCases[] = {
      {"closing", ClientFrame(8, std::string("\x03\xe8", 2)), 1000},
      {"text", ClientFrame(1, "hello"), 1003},
      {"unmasked", ClientFrame(2, "x", true, false), 1002},
      // Refused from its header on: the rest is never read.
      {"oversized", ClientFrame(2, std::string(70000, 'a')).substr(0, 200), 1009},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    WsStream ws(kHeaderSize + kMaxPayload);
    std::vector<uint8_t> data;
    // A byte at a time, as the worst reads bring it.
    for (char byte : split)
      ws.Receive(reinterpret_cast<const uint8_t*>(&byte), 1, data);
    EXPECT_EQ(std::string(data.begin(), data.end()), login);
    EXPECT_FALSE(ws.Ended());
    const uint8_t ours[3] = {1, 2, 3};
    EXPECT_TRUE(ws.Send(ours, sizeof ours));
    auto frames = ServerFrames(ws.Outgoing());
    ws.Outgoing().clear();
    EXPECT_EQ(frames, (std::vector<std::pair<int, std::string>>{
                          {10, "ping!"}, {2, std::string("\1\2\3", 3)}}));
    ws.Receive(reinterpret_cast<const uint8_t*>(c.frames.data()), c.frames.size(), data);
    EXPECT_TRUE(ws.Ended());
    EXPECT_EQ(std::string(data.begin(), data.end()), login);
    frames = ServerFrames(ws.Outgoing());
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].first, 8);
    ASSERT_GE(frames[0].second.size(), 2u);
    EXPECT_EQ(static_cast<uint8_t>(frames[0].second[0]) << 8 |
                  static_cast<uint8_t>(frames[0].second[1]),
              c.closeCode);
    EXPECT_FALSE(ws.Send(ours, sizeof ours));
  }
}

}  // namespace

}  // namespace saferoom
