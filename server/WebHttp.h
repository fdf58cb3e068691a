// The web listener's HTTP/1.1 side, before a connection turns into a
// WebSocket: request heads in (parsed by Boost.Beast's push parser),
// responses out, no I/O. Used by WebLink; fuzzed on its own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace saferoom {

// A request head may not be longer: it closes the connection.
constexpr size_t kMaxRequestHead = 8 * 1024;

class HttpExchange {
 public:
  // `privateRoom`: the page is told so at /room.json, to show what lets a
  // browser in (an invitation) instead of a login form it cannot use.
  explicit HttpExchange(bool privateRoom = false);
  ~HttpExchange();

  enum class Step {
    kNeedMore,  // no whole request head yet
    kRespond,   // write `response`, then read the next request
    kClose,     // write `response` (if any), then close
    kUpgrade,   // write `response` (101), then speak WebSocket
  };

  // Takes bytes the client sent from the front of `input` as far as it
  // parses them (one request at most) and says what to do next.
  Step Feed(std::string& input, std::string& response);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  bool privateRoom_;
};

// The value of Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
std::string WebSocketAccept(std::string_view key);

}  // namespace saferoom
