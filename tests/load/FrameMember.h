// Load clients of the room's own protocol: where the server is, source
// addresses for many connections, a login, and a MemberConn over the chat
// frames (straight over TLS, or over the web listener's WebSocket). Used by
// chat-bench's modes and the soak.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/ChatClient.h"
#include "tests/load/StampedRun.h"

namespace saferoom {

// The server a run talks to, and how it is verified.
struct LoadTarget {
  std::string host = "127.0.0.1";
  int port = 0;
  bool insecure = false;
  std::string caFile = "certs/ca.crt";
  bool web = false;  // the port is a web listener's: members join over WebSocket
};

// Client options for one connection of the run, from the system's source
// address.
ClientOptions MakeClientOptions(const LoadTarget& target);

// The source address for the n-th of many connections (counted from 0). A
// server may cap the connections from one address, and on Linux every
// address of 127.0.0.0/8 is local: to a loopback server they come from
// 127.0.0.2, .3, ... in turn, 8 connections each. Elsewhere empty (the
// system picks).
std::string SpreadSource(const std::string& host, int64_t n);
// MakeClientOptions for the n-th of many connections.
ClientOptions SpreadClientOptions(const LoadTarget& target, int64_t n);

// Connects (over a WebSocket when `web`), logs in as `name` and waits for
// LoginAccepted, passing over member lists, for at most timeoutMs. False
// with `error` (one line) otherwise.
bool JoinRoom(ChatClient& client, const ClientOptions& clientOptions, const std::string& name,
              std::string& error, int timeoutMs = 5000, bool web = false);

// A member of `target`'s room over the chat frames, logged in as `name`;
// null with `error`.
std::unique_ptr<MemberConn> JoinFrameMember(const LoadTarget& target, const std::string& name,
                                            std::string& error);

}  // namespace saferoom
