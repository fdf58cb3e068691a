// The client end of the web listener: the HTTP upgrade of GET /ws and
// WebSocket framing (wslay in client mode, frames masked), as a FrameStream
// for ChatClient. For chat-bench and the tests; the chat command does not
// use it.
#pragma once

#include <string>

#include "client/ChatClient.h"

namespace saferoom {

// Dials the web listener at options.target (TLS 1.2 or 1.3, the server
// verified as options.tls says), asks for the WebSocket with `origin` (empty:
// the page's own, https://HOST:PORT) and makes `client` speak through it.
DialResult ConnectWeb(ChatClient& client, const ClientOptions& options,
                      const std::string& origin = "");

// The request head ConnectWeb sends, for tests that send their own.
std::string WebSocketRequest(const std::string& hostPort, const std::string& origin);

}  // namespace saferoom
