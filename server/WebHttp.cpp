// HTTP requests of the web listener: the app's files, 404, 405, and the
// upgrade of GET /ws to WebSocket for the page's own origin only.
#include "server/WebHttp.h"

#include <openssl/evp.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <optional>

#include "server/WebAssets.h"

namespace saferoom {

namespace http = boost::beast::http;

namespace {

// Every response says what the page may do: only its own scripts, styles,
// images and WebSocket, never in a frame of another site.
constexpr char kCommonHeaders[] =
    "Content-Security-Policy: default-src 'self'; connect-src 'self'; img-src 'self'; "
    "style-src 'self'; script-src 'self'; object-src 'none'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

std::string Lower(boost::beast::string_view text) {
  std::string out(text.data(), text.size());
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string Response(const char* status, std::string_view contentType, std::string_view body,
                     bool withBody, bool close, const std::string& extra = "") {
  std::string r = std::string("HTTP/1.1 ") + status + "\r\n" + kCommonHeaders + extra;
  if (!contentType.empty()) r += "Content-Type: " + std::string(contentType) + "\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (close) r += "Connection: close\r\n";
  r += "\r\n";
  if (withBody) r.append(body.data(), body.size());
  return r;
}

using Request = http::request<http::empty_body>;

HttpExchange::Step Upgrade(const Request& req, std::string& response) {
  // A page elsewhere may not open a connection on a visitor's behalf: the
  // browser names the page's origin, which must be this server's own.
  const auto host = req.find(http::field::host);
  const auto origin = req.find(http::field::origin);
  if (host == req.end() || origin == req.end() ||
      Lower(origin->value()) != "https://" + Lower(host->value())) {
    response = Response("403 Forbidden", "text/plain", "403 other origin\n", true, true);
    return HttpExchange::Step::kClose;
  }
  const auto key = req.find(http::field::sec_websocket_key);
  if (!boost::beast::websocket::is_upgrade(req) || key == req.end() || key->value().size() != 24) {
    response =
        Response("400 Bad Request", "text/plain", "400 not a WebSocket request\n", true, true);
    return HttpExchange::Step::kClose;
  }
  const auto version = req.find(http::field::sec_websocket_version);
  if (version == req.end() || version->value() != "13") {
    response = Response("426 Upgrade Required", "text/plain", "426 WebSocket version 13\n", true,
                        true, "Sec-WebSocket-Version: 13\r\n");
    return HttpExchange::Step::kClose;
  }
  response = std::string("HTTP/1.1 101 Switching Protocols\r\n") + kCommonHeaders +
             "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
             WebSocketAccept(std::string_view(key->value().data(), key->value().size())) +
             "\r\n\r\n";
  return HttpExchange::Step::kUpgrade;
}

HttpExchange::Step Answer(const Request& req, bool privateRoom, std::string& response) {
  const bool head = req.method() == http::verb::head;
  if (req.method() != http::verb::get && !head) {
    response = Response("405 Method Not Allowed", "text/plain", "405 method not allowed\n", true,
                        true, "Allow: GET, HEAD\r\n");
    return HttpExchange::Step::kClose;
  }
  std::string_view target(req.target().data(), req.target().size());
  target = target.substr(0, target.find_first_of("?#"));
  if (target == "/ws") return Upgrade(req, response);
  const bool close = !req.keep_alive();
  const WebAsset* asset = FindWebAsset(target);
  if (target == "/room.json") {
    // What kind of room the page is in: it changes with the server's options.
    response = Response("200 OK", "application/json",
                        privateRoom ? "{\"private\":true}\n" : "{\"private\":false}\n", !head,
                        close, "Cache-Control: no-store\r\n");
  } else if (asset == nullptr) {
    response = Response("404 Not Found", "text/plain", "404 not found\n", !head, close);
  } else {
    const std::string_view body(reinterpret_cast<const char*>(asset->data), asset->size);
    // The page and its scripts change with the server: asked for again each
    // time, never taken from a stale cache.
    response = Response("200 OK", ContentTypeFor(asset->path), body, !head, close,
                        "Cache-Control: no-cache\r\n");
  }
  return close ? HttpExchange::Step::kClose : HttpExchange::Step::kRespond;
}

}  // namespace

struct HttpExchange::Parser {
  std::optional<http::request_parser<http::empty_body>> p;
};

HttpExchange::HttpExchange(bool privateRoom)
    : parser_(std::make_unique<Parser>()), privateRoom_(privateRoom) {}
HttpExchange::~HttpExchange() = default;

HttpExchange::Step HttpExchange::Feed(std::string& input, std::string& response) {
  response.clear();
  auto& p = parser_->p;
  if (!p) {
    p.emplace();
    p->header_limit(kMaxRequestHead);
    p->body_limit(0);  // no request this server takes has a body
  }
  boost::system::error_code ec;
  const size_t used = p->put(boost::asio::buffer(input.data(), input.size()), ec);
  input.erase(0, used);
  if (ec == http::error::need_more) {
    if (input.size() <= kMaxRequestHead) return Step::kNeedMore;
    ec = http::error::header_limit;
  }
  if (ec) {
    const bool tooLong = ec == http::error::header_limit;
    // A body is refused before its head is done; the method is known by then.
    const http::verb method = p->get().method();
    const bool otherMethod =
        method != http::verb::unknown && method != http::verb::get && method != http::verb::head;
    response = tooLong ? Response("431 Request Header Fields Too Large", "text/plain",
                                  "431 request head too long\n", true, true)
               : otherMethod
                   ? Response("405 Method Not Allowed", "text/plain", "405 method not allowed\n",
                              true, true, "Allow: GET, HEAD\r\n")
                   : Response("400 Bad Request", "text/plain", "400 bad request\n", true, true);
    return Step::kClose;
  }
  if (!p->is_done()) return Step::kNeedMore;
  const Request req = p->release();
  p.reset();
  return Answer(req, privateRoom_, response);
}

std::string WebSocketAccept(std::string_view key) {
  static const char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const std::string joined = std::string(key) + kGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  EVP_Digest(joined.data(), joined.size(), digest, &digestLen, EVP_sha1(), nullptr);
  unsigned char text[64];
  const int textLen = EVP_EncodeBlock(text, digest, static_cast<int>(digestLen));
  return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(textLen));
}

}  // namespace saferoom
