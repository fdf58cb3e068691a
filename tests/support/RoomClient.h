// Library clients of a test server on loopback, and the bounded waits tests
// need on them. For the integration tests.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/ChatClient.h"

using Names = std::vector<std::string>;

// Verifying the server against the test CA; with `certDir`, presenting the
// member certificate of that set (TestMember).
TlsClientConfig TestTls(const std::string& certDir = "");
// Connected to 127.0.0.1:port (from `sourceIp`, when given) with `tls`. Never
// null: unconnected (conn null, every request fails) on failure.
std::unique_ptr<ChatClient> Connect(int port, const TlsClientConfig& tls = TestTls(),
                                    const std::string& sourceIp = "");
// Connect and log in; LoginAccepted and the member list after it are read.
// A test failure when they do not come.
std::unique_ptr<ChatClient> Join(int port, const std::string& name);
// The next frame within timeoutMs; a test failure and type ~0u when none came.
ReceivedFrame Next(ChatClient& client, int timeoutMs = 5000);
// Skips frames until `match` takes one; false at the end or on timeout.
bool WaitFrame(ChatClient& client, const std::function<bool(const ReceivedFrame&)>& match,
               int timeoutMs = 5000);
bool WaitForList(ChatClient& client, const Names& want, int timeoutMs = 10000);
// Reads until `total` chats came, or none for 20 s, counting them by sender
// in `heard`; clears `inOrder` when a sender's number (see Numbered) is not
// its count so far.
void CountChats(ChatClient& client, uint32_t total, std::map<std::string, uint32_t>& heard,
                std::atomic<bool>& inOrder);
// `size` (at least 4) bytes starting with `seq`, for order checks.
std::string Numbered(uint32_t seq, size_t size);
uint32_t SeqOf(const ReceivedFrame& frame);
