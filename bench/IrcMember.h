// chat-bench --irc: members of an IRC server over TLS, so that the load that
// measures our server also measures what a user might run instead. Each
// member registers with NICK and USER, joins one channel and sends PRIVMSG
// to the channel (public) or to a nick (private). Called by chat-bench's
// load and idle modes through MemberJoinFor.
#pragma once

#include <memory>
#include <string>

#include "tests/load/FrameMember.h"
#include "tests/load/StampedRun.h"

namespace saferoom {

// An IRC line holds at most 512 bytes, the sender's prefix that the server
// puts in front included: a longer text goes as several PRIVMSGs of this
// many bytes at most, each but the last marked as continued, and the member
// that gets them puts the text together again. A delivery is the whole text.
constexpr size_t kIrcPieceLen = 400;

struct IrcTarget {
  LoadTarget server;  // TLS as for our own port; `web` is not used
  std::string channel = "#room";
  // "NAME:PASSWORD": the member becomes an IRC operator and sets user mode
  // +F, which exempts it from the server's flood throttling. Empty: neither.
  std::string oper;
};

// Dials, registers as `nick`, (with `oper`) takes mode +F, and joins the
// channel, within 5 s; null with `error` (one line) otherwise.
std::unique_ptr<MemberConn> JoinIrcMember(const IrcTarget& target, const std::string& nick,
                                          std::string& error);

}  // namespace saferoom
