// An IRC client as much as a load member needs: registration, a channel,
// PRIVMSG both ways with long texts cut into pieces, PING answered.
#include "bench/IrcMember.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <utility>
#include <vector>

#include "platform/Net.h"
#include "tls/TlsClient.h"
#include "tls/TlsConn.h"

namespace saferoom {

namespace {

constexpr int kJoinMs = 5000;
constexpr int kQuitMs = 2000;
constexpr size_t kReadChunk = 16384;
// The first byte of every piece of a text: more to come, or the last.
constexpr char kMore = '+';
constexpr char kLast = '=';

// One line from the server: ":PREFIX COMMAND PARAMS... :TRAILING".
struct IrcLine {
  std::string nick;  // of the prefix, up to '!'
  std::string command;
  std::vector<std::string> params;  // the middle ones; params[0] is the target
  std::string text;                 // the trailing one

  const std::string& Target() const {
    static const std::string kNone;
    return params.empty() ? kNone : params[0];
  }
  // Whether the line is about `what`: a parameter after the target, or
  // inside the trailing text ("+F" of a MODE line).
  bool About(const std::string& what) const {
    for (size_t i = 1; i < params.size(); ++i)
      if (params[i] == what) return true;
    return text.find(what) != std::string::npos;
  }
};

IrcLine ParseLine(const std::string& line) {
  IrcLine parsed;
  size_t at = 0;
  if (!line.empty() && line[0] == ':') {
    size_t space = line.find(' ');
    parsed.nick = line.substr(1, std::min(line.find('!'), space) - 1);
    at = space == std::string::npos ? line.size() : space + 1;
  }
  size_t trailing = line.find(" :", at);
  if (trailing != std::string::npos) parsed.text = line.substr(trailing + 2);
  size_t middleEnd = trailing == std::string::npos ? line.size() : trailing;
  while (at < middleEnd) {
    size_t space = std::min(line.find(' ', at), middleEnd);
    if (space > at) {
      std::string word = line.substr(at, space - at);
      if (parsed.command.empty()) {
        parsed.command = std::move(word);
      } else {
        parsed.params.push_back(std::move(word));
      }
    }
    at = space + 1;
  }
  return parsed;
}

class IrcMember : public MemberConn {
 public:
  IrcMember(std::string nick, std::string channel)
      : nick_(std::move(nick)), channel_(std::move(channel)) {}

  SslCtxPtr ctx;
  TlsConnPtr conn;

  bool Write(const std::string& lines) {
    return TlsWrite(*conn, lines.data(), lines.size(), Deadline::In(kSendBudgetMs)) ==
           IoStatus::kDone;
  }

  // Each line in a TLS record of its own, as IRC clients write them: a
  // server that reads less than a record at a time may otherwise keep the
  // rest in its TLS buffer, unseen by its poll, until more comes.
  bool Send(const std::string& text, const std::string& to, uint32_t) override {
    const std::string& target = to.empty() ? channel_ : to;
    std::string line;
    for (size_t at = 0; at < text.size() || at == 0; at += kIrcPieceLen) {
      bool last = at + kIrcPieceLen >= text.size();
      line = "PRIVMSG " + target + " :" + (last ? kLast : kMore);
      line.append(text, at, kIrcPieceLen);
      line += "\r\n";
      if (!Write(line)) return false;
    }
    return true;
  }

  // The next line, waiting until `deadline`; PINGs are answered on the way.
  RecvStatus NextLine(IrcLine& line, Deadline deadline) {
    for (;;) {
      size_t end = in_.find("\r\n", start_);
      if (end != std::string::npos) {
        line = ParseLine(in_.substr(start_, end - start_));
        start_ = end + 2;
        if (line.command == "PING") {
          const std::string& token = line.text.empty() ? line.Target() : line.text;
          if (!Write("PONG :" + token + "\r\n")) return RecvStatus::kClosed;
          continue;
        }
        return RecvStatus::kFrame;
      }
      in_.erase(0, start_);
      start_ = 0;
      size_t have = in_.size();
      in_.resize(have + kReadChunk);
      ReadResult read = TlsRead(*conn, &in_[have], kReadChunk, deadline);
      in_.resize(have + (read.status == IoStatus::kDone ? read.bytes : 0));
      if (read.status == IoStatus::kTimeout) return RecvStatus::kTimeout;
      if (read.status != IoStatus::kDone) return RecvStatus::kClosed;
    }
  }

  RecvStatus Next(Heard& heard, Deadline deadline) override {
    IrcLine line;
    for (;;) {
      RecvStatus status = NextLine(line, deadline);
      if (status != RecvStatus::kFrame) return status;
      if (line.command != "PRIVMSG") continue;
      uint32_t scope = line.Target() == nick_ ? Scope::Private : Scope::Public;
      std::string& partial = partial_[line.nick + (scope == Scope::Private ? "\1" : "")];
      char mark = line.text.empty() ? '\0' : line.text[0];
      if (mark == kMore) {
        partial.append(line.text, 1, std::string::npos);
        continue;
      }
      // A line with no mark is no text of ours: it goes on whole, as foreign.
      std::string text = mark == kLast ? partial + line.text.substr(1) : line.text;
      partial.clear();
      heard.from = line.nick;
      heard.scope = scope;
      heard.text.assign(text.begin(), text.end());
      return status;
    }
  }

  // Waits for the server to close the connection, so that the nick is
  // free again for the next run.
  void Leave() override {
    if (!Write("QUIT :done\r\n")) return;
    const Deadline deadline = Deadline::In(kQuitMs);
    IrcLine line;
    while (NextLine(line, deadline) == RecvStatus::kFrame) {
    }
  }

  // Sends `request` and reads until a line with `command` (about `about`,
  // when given) comes; false with `error` on a numeric of `failures`, an
  // ERROR line, the end or the deadline.
  bool Await(const std::string& request, const std::string& command, const std::string& about,
             std::initializer_list<const char*> failures, Deadline deadline, std::string& error) {
    if (!request.empty() && !Write(request)) {
      error = "cannot write to the IRC server";
      return false;
    }
    IrcLine line;
    for (;;) {
      RecvStatus status = NextLine(line, deadline);
      if (status == RecvStatus::kTimeout) {
        error = "no " + command + " from the IRC server for " + nick_;
        return false;
      }
      if (status != RecvStatus::kFrame) {
        error = "the IRC server closed the connection of " + nick_;
        return false;
      }
      if (line.command == "ERROR") {
        error = "the IRC server said: " + line.text;
        return false;
      }
      for (const char* failure : failures) {
        if (line.command == failure) {
          error = "the IRC server refused " + nick_ + ": " + line.command + " " + line.text;
          return false;
        }
      }
      if (line.command == command && (about.empty() || line.About(about))) return true;
    }
  }

 private:
  const std::string nick_;
  const std::string channel_;
  std::string in_;  // read, from start_ on not yet handed out
  size_t start_ = 0;
  std::map<std::string, std::string> partial_;  // pieces so far, by sender and scope
};

}  // namespace

std::unique_ptr<MemberConn> JoinIrcMember(const IrcTarget& target, const std::string& nick,
                                          std::string& error) {
  auto member = std::make_unique<IrcMember>(nick, target.channel);
  ClientOptions clientOptions = MakeClientOptions(target.server);
  member->ctx = NewClientContext(clientOptions.tls, error);
  if (!member->ctx) return nullptr;
  DialResult dialled = DialTls(member->ctx.get(), clientOptions.target, member->conn);
  if (!dialled.Ok()) {
    error = dialled.message;
    return nullptr;
  }
  // IRC sends a sender no copy of its texts, so nothing carries the
  // server's acknowledgements back at once: with Nagle a sender's next text
  // would wait for a delayed ACK (up to 40 ms). The chat frames' echo does
  // not meet that wait; here the client must not either.
  SetNoDelay(member->conn->fd.Get());
  const Deadline deadline = Deadline::In(kJoinMs);
  // 001: welcome; 432/433: a nick refused or in use.
  if (!member->Await("NICK " + nick + "\r\nUSER " + nick + " 0 * :chat-bench\r\n", "001", "",
                     {"432", "433", "436"}, deadline, error)) {
    return nullptr;
  }
  if (!target.oper.empty()) {
    size_t colon = target.oper.find(':');
    std::string name = target.oper.substr(0, colon);
    std::string password = colon == std::string::npos ? "" : target.oper.substr(colon + 1);
    // 381: an operator now; then the server confirms the mode with a MODE line.
    if (!member->Await("OPER " + name + " " + password + "\r\n", "381", "", {"464", "491"},
                       deadline, error) ||
        !member->Await("MODE " + nick + " +F\r\n", "MODE", "F", {"472", "481", "501", "502"},
                       deadline, error)) {
      return nullptr;
    }
  }
  // 366: the end of the channel's names, once joined.
  if (!member->Await("JOIN " + target.channel + "\r\n", "366", target.channel,
                     {"403", "405", "471", "473", "474", "475"}, deadline, error)) {
    return nullptr;
  }
  return member;
}

}  // namespace saferoom
