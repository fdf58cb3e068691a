// The chat command's session after the TLS connection is up: login, the
// terminal or pipe loop, logout. Called by chat_main.
#pragma once

#include <string>

#include "client/ChatClient.h"

// Exit statuses of the chat command, also listed by --help.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;      // bad usage, or unusable CA/certificate/key files
constexpr int kExitConnect = 3;    // TCP connection failed
constexpr int kExitTls = 4;        // TLS handshake or certificate verification failed
constexpr int kExitNameInUse = 5;  // name in use, not on a terminal
constexpr int kExitNoAnswer = 6;   // no answer to the login: the room may be full
constexpr int kExitLost = 7;       // connection lost or broken by the server

// A login gets its answer within this, or the room is taken to be full.
constexpr int kLoginAnswerMs = 5000;

// Logs in as `name` and runs until the user leaves or the connection ends.
// With `terminal`, a line editor on standard input; otherwise each input line
// is a message or command. Either way it logs out only once the server has
// relayed everything sent (an empty private message to itself marks the end). Returns an exit
// status; `failure` gets the one line to print on standard error when it is not kExitOk.
int RunChat(ChatClient& client, const std::string& name, bool terminal, std::string& failure);
