// The chat command's session as a state machine: received frames, input
// lines and the time go in; requests to send and events to show come out.
// No sockets, no terminal, no clock of its own. Driven by ChatRun.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "client/ChatUi.h"

namespace saferoom {

// Exit statuses of the chat command, listed by --help.
namespace ChatExit {
constexpr int kOk = 0;
constexpr int kUsage = 2;      // bad usage, or unusable CA/certificate/key files
constexpr int kConnect = 3;    // the host name does not resolve, or no TCP connection
constexpr int kTls = 4;        // TLS handshake or certificate verification failed
constexpr int kNameInUse = 5;  // name in use, not on a terminal
constexpr int kNoAnswer = 6;   // no answer to the login: the room may be full
constexpr int kLost = 7;       // connection lost or broken by the server
constexpr int kNotSent = 8;    // from a pipe: some input lines were not sent
}  // namespace ChatExit

// A login gets its answer within this, or the room is taken to be full.
constexpr int kLoginAnswerMs = 5000;
// At the end, how long sent messages may take to come back.
constexpr int kEchoWaitMs = 10000;
// After Logout, how long the server may take to close the connection.
constexpr int kCloseWaitMs = 3000;
// Pipe input pauses while this many sent messages wait for their echo, so
// the server never has to write to us while we are blocked writing to it.
constexpr int kEchoWindow = 64;
// Reconnecting waits this long first, then twice as long each time, up to
// kRetryMaxMs. Only a connection that stayed in the room for kStayedMs
// starts it again at kRetryFirstMs: a server that drops us within seconds
// of every login (one that sends what no client takes) is not dialled every
// second.
constexpr int kRetryFirstMs = 1000;
constexpr int kRetryMaxMs = 30000;
constexpr int kStayedMs = 30000;

// Lines typed on a terminal while not in the room (reconnecting, or before
// the first login is answered) wait for it, at most this many.
constexpr size_t kMaxHeldLines = 100;
// The chat lines last sent on a connection that are remembered, to be sent
// again after a reclaim if the stale connection did not bring them to the
// room: more than a pipe has in flight (kEchoWindow) or a person types
// while a connection fails.
constexpr size_t kMaxResent = 100;

// A frame for the driver to send.
struct Request {
  enum Kind { kLogin, kLogout, kChat, kHistory, kReclaimKey, kReclaim };
  Kind kind = kChat;
  std::string name;    // kLogin, kReclaim: the name; kChat: the recipient, empty for everyone
  std::string text;    // kChat; kReclaim: the key
  uint64_t since = 0;  // kHistory: relayed after this (µs since the epoch), 0: all;
                       // kReclaim: the bytes of frames the stale connection brought
};

// A typed message waiting for the room: `text` to `to` (empty: everyone).
struct HeldLine {
  std::string text;
  std::string to;
};

// One message of the room's history (a HistoryItem), held until its answer ends.
struct EarlierMessage {
  uint64_t time = 0;  // when the room relayed it, µs since the epoch
  uint64_t ordinal = 0;
  std::string name;
  std::string text;
};

// How far this client has seen the room: up to the boundary of the last
// answer (the last message relayed before that login), then `live` public
// messages that came live after it.
struct SeenUpTo {
  bool known = false;
  uint64_t run = 0;  // the server run it holds for
  uint64_t time = 0;
  uint64_t ordinal = 0;
  uint64_t live = 0;
};

enum class Phase {
  kLoggingIn,     // the answer to a Login is due
  kNameRejected,  // the name was in use: a terminal picks another with /nick
  kInRoom,
  kLeaving,  // Logout sent: the server's close is due
  kOffline,  // the connection was lost (or a terminal waits for room): the next dial is at retryAt
  kDone,
};

struct ChatSession {
  bool terminal = false;   // a person at a terminal rather than a pipe
  bool reconnect = false;  // a lost connection is dialled again (always on a terminal)
  std::string name;        // the name asked for last: ours once in the room
  // We present a certificate; a private room takes only the name in it,
  // certName (its subject CN cut to kNameSize, empty when it has none).
  bool presentedCert = false;
  std::string certName;

  Phase phase = Phase::kLoggingIn;
  bool wasInRoom = false;  // since the start: a later silent login is a lost connection
  bool quitting = false;   // leave once everything sent is back
  int pendingEchoes = 0;   // sent messages the server sends back to us
  std::vector<std::string> members;
  bool haveMembers = false;
  bool shownMembers = false;  // later lists are shown as joins and leaves
  int notSent = 0;            // input lines refused (they decide the exit status of a pipe)
  std::string lostReason;
  int offlineCode = ChatExit::kLost;  // the exit status when it ends offline

  // Deadlines on the caller's clock, -1 when not running.
  int64_t loginDeadline = -1;  // the answer to Login
  int64_t echoDeadline = -1;   // the quit marker coming back
  int64_t closeDeadline = -1;  // the server closing after Logout
  int64_t retryAt = -1;        // the next dial, offline
  int retryDelayMs = 0;        // the last pause before a dial; 0 before the first
  int64_t enteredAt = -1;      // when this connection's login was accepted

  // The room's history: asked for after every login when `history` is set;
  // the answer is held until its end, then shown as earlier lines, less what
  // was seen live before a reconnect. Nothing waits for it: a server that
  // predates it never answers.
  bool history = false;
  bool awaitingHistory = false;  // asked on this connection, the end not here yet
  bool historyPlaced = false;    // this connection's answer ended: `seen` is its own
  uint64_t liveCount = 0;        // public messages on this connection since its login
  SeenUpTo seen;
  std::vector<EarlierMessage> held;
  // Public messages shown live while their place was unknown: before this
  // connection's answer (liveHere), and on connections lost before theirs
  // (unplaced, matched by name and text against the next answer).
  std::vector<std::pair<std::string, std::string>> liveHere;
  std::vector<std::pair<std::string, std::string>> unplaced;

  int exitCode = -1;  // >= 0 once finished
  std::string failure;

  // Typed while not in the room; sent in order once in it with its member
  // list (a /msg is checked against that list then).
  std::vector<HeldLine> heldLines;

  // Coming back after a cut, when reconnecting: the key the server gave
  // for this membership (empty: none), and what this connection brought
  // and sent, so that a reclaim goes on where the stale one broke off.
  std::string reclaimKey;
  uint64_t receivedBytes = 0;      // whole frames received on this connection
  uint64_t sentChats = 0;          // Chat frames sent on it since it entered the room
  std::vector<HeldLine> lastSent;  // the last kMaxResent of them, oldest first
  // Lost with a key: the room as it was (members, echoes due, the place in
  // the history) is kept until the reclaim is answered, with the stale
  // connection's counts.
  bool away = false;
  bool reclaiming = false;  // the Reclaim went out: its answer is due
  uint64_t awayReceived = 0;
  uint64_t awaySent = 0;
  std::vector<HeldLine> awayLastSent;

  std::vector<Request> requests;  // to send, oldest first; the driver takes them
  std::vector<ChatEvent> events;  // to show, oldest first; the front end takes them
  // On a terminal, a line refused for now (too long) to go back on the
  // input line rather than be lost; the front end takes it.
  std::string giveBack;
};

// The first Login.
void StartSession(ChatSession& s, int64_t now);
void HandleFrame(ChatSession& s, const ReceivedFrame& frame, int64_t now);
// One input line: a message or a command. A line that was pasted rather
// than typed (`typed` false) is a message even when it begins with /.
void HandleLine(ChatSession& s, std::string line, int64_t now, bool typed = true);
// A line the front end could not even read in whole: refused, with why.
void RefuseInput(ChatSession& s, const std::string& why);
// End of input, /quit or a stop signal: logs out once the room has
// everything sent before (an empty private message to ourselves comes back
// last). Offline, it ends at once.
void RequestQuit(ChatSession& s, int64_t now);
// The deadlines.
void HandleTick(ChatSession& s, int64_t now);
// The connection closed, broke or failed a write.
void HandleLost(ChatSession& s, const std::string& why, int64_t now);
// Offline and retryAt has come: the driver dials, then reports.
bool WantsDial(const ChatSession& s, int64_t now);
void HandleDialed(ChatSession& s, bool ok, const std::string& why, int64_t now);
// Esc while waiting to reconnect: stop and leave.
void GiveUp(ChatSession& s);

// The earliest running deadline, or -1.
int64_t NextDeadline(const ChatSession& s);
// Whether a pipe's next line may be handled now: in the room, the member
// list known (for /msg), fewer than kEchoWindow echoes outstanding.
bool ReadsInput(const ChatSession& s);
// "alice> " in the room, "> " while the name is not settled, a countdown
// (and the count of lines held) while offline.
std::string Prompt(const ChatSession& s, int64_t now);

}  // namespace saferoom
