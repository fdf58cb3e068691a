// The chat command's session logic: login, commands, the member list, the
// quit marker, deadlines and reconnecting.
#include "client/ChatSession.h"

#include <algorithm>

#include "protect/SafeText.h"

namespace saferoom {

namespace {

void SendHeld(ChatSession& s);

void Emit(ChatSession& s, ChatEvent::Kind kind, const std::string& text) {
  ChatEvent event;
  event.kind = kind;
  event.text = text;
  s.events.push_back(std::move(event));
}

void Send(ChatSession& s, Request::Kind kind, const std::string& name = "",
          const std::string& text = "") {
  s.requests.push_back(Request{kind, name, text});
}

void Finish(ChatSession& s, int code, const std::string& failure) {
  if (s.exitCode >= 0) return;
  if (!s.heldLines.empty()) {
    s.notSent += static_cast<int>(s.heldLines.size());
    Emit(s, ChatEvent::kRefused,
         std::to_string(s.heldLines.size()) + " line(s) held for the room not sent");
    s.heldLines.clear();
  }
  s.exitCode = code;
  s.failure = failure;
  if (code == ChatExit::kOk && s.notSent > 0 && !s.terminal) {
    s.exitCode = ChatExit::kNotSent;
    s.failure = std::to_string(s.notSent) + " input line(s) not sent, each said above";
  }
  s.phase = Phase::kDone;
}

// Keeps `v` to its last kHistoryMaxLength entries: the most earlier
// messages one answer holds, and the most live ones remembered while their
// place in the room's history is not known.
template <typename T>
void PushBounded(std::vector<T>& v, T value) {
  if (v.size() >= static_cast<size_t>(kHistoryMaxLength)) v.erase(v.begin());
  v.push_back(std::move(value));
}

// A Chat frame, remembered for a reclaim.
void SendChat(ChatSession& s, const std::string& to, const std::string& text) {
  Send(s, Request::kChat, to, text);
  ++s.sentChats;
  if (s.lastSent.size() >= kMaxResent) s.lastSent.erase(s.lastSent.begin());
  s.lastSent.push_back(HeldLine{text, to});
}

// A history answer starts afresh, as after a login.
void NewPlaceInHistory(ChatSession& s) {
  s.liveCount = 0;
  s.historyPlaced = false;
  s.liveHere.clear();
}

void Login(ChatSession& s, int64_t now) {
  NewPlaceInHistory(s);
  Send(s, Request::kLogin, s.name);
  s.phase = Phase::kLoggingIn;
  s.loginDeadline = now + kLoginAnswerMs;
}

// In place of a Login after a cut: the name back from the stale connection,
// and the rest of its stream.
void Reclaim(ChatSession& s, int64_t now) {
  s.requests.push_back(Request{Request::kReclaim, s.name, s.reclaimKey, s.awayReceived});
  s.reclaiming = true;
  s.phase = Phase::kLoggingIn;
  s.loginDeadline = now + kLoginAnswerMs;
}

void AskHistory(ChatSession& s) {
  // After a reconnect, from where the last answer left off.
  s.requests.push_back(Request{Request::kHistory, "", "", s.seen.known ? s.seen.time : 0});
  s.awaitingHistory = true;
  s.held.clear();
}

// What a lost connection leaves unknown: the echoes due, the place of an
// answer under way, the members.
void ForgetRoom(ChatSession& s, bool sayEchoes) {
  if (s.pendingEchoes > 0 && sayEchoes) {
    RefuseInput(s, std::to_string(s.pendingEchoes) +
                       " message(s) sent just before may not have reached the room");
  }
  s.pendingEchoes = 0;
  // An answer that never ended: its messages come again in the next one,
  // and what came live meanwhile can only be told by its content.
  s.awaitingHistory = false;
  s.held.clear();
  for (auto& live : s.liveHere)
    PushBounded(s.unplaced, std::move(live));
  s.liveHere.clear();
  s.members.clear();
  s.haveMembers = false;
  s.shownMembers = false;
}

void Leave(ChatSession& s, int64_t now) {
  if (s.phase == Phase::kLeaving) return;
  s.phase = Phase::kLeaving;
  s.echoDeadline = -1;
  s.closeDeadline = now + kCloseWaitMs;
  Send(s, Request::kLogout);
}

bool IsQuitMarker(const ChatSession& s, const ReceivedFrame& frame) {
  return frame.scope == Scope::Private && frame.name == s.name && frame.Text().empty();
}

void EnterRoom(ChatSession& s, int64_t now) {
  s.phase = Phase::kInRoom;
  s.loginDeadline = -1;
  s.wasInRoom = true;
  s.enteredAt = now;
  if (s.terminal) {
    Emit(s, ChatEvent::kInfo,
         "You are in the room as " + ShownName(s.name) + ". /help lists the commands.");
  }
  if (s.haveMembers) {
    Emit(s, ChatEvent::kMembers, FormatMembers(s.members));
    s.shownMembers = true;
  }
  // A key first, so that every chat after it counts for a reclaim.
  if (s.reconnect) Send(s, Request::kReclaimKey);
  if (s.history) AskHistory(s);
  SendHeld(s);
}

// The slot is this connection's again. Either the rest of the stale
// connection's stream follows, or (some of it is lost) a fresh start, as
// after a login; the chat lines the stale one did not bring go again.
void HandleReclaimed(ChatSession& s, const ReceivedFrame& frame, int64_t now) {
  if (s.phase != Phase::kLoggingIn || !s.reclaiming) return;
  const ReclaimedFields answer = ReadReclaimed(frame.payload.data(), frame.payload.size());
  s.reclaimKey.assign(reinterpret_cast<const char*>(answer.key), kReclaimKeySize);
  s.reclaiming = s.away = false;
  s.phase = Phase::kInRoom;
  s.loginDeadline = -1;
  s.enteredAt = now;
  if (answer.lost == 0) {
    Emit(s, ChatEvent::kStatus,
         "Back in the room as " + ShownName(s.name) + "; nothing was missed.");
    // A request the stale connection may not have brought.
    if (s.awaitingHistory) AskHistory(s);
  } else {
    // Its echoes were relayed, and may be among what is lost.
    ForgetRoom(s, false);
    NewPlaceInHistory(s);
    Emit(s, ChatEvent::kStatus,
         "Back in the room as " + ShownName(s.name) + "; " + std::to_string(answer.lost) +
             " bytes the room sent just before are lost");
    if (s.history) AskHistory(s);
  }
  const uint64_t notRelayed =
      s.awaySent > answer.chatsRelayed ? s.awaySent - answer.chatsRelayed : 0;
  const size_t again = static_cast<size_t>(std::min<uint64_t>(notRelayed, s.awayLastSent.size()));
  if (notRelayed > again) {
    RefuseInput(s, std::to_string(notRelayed - again) +
                       " message(s) sent before the connection failed did not reach the room");
  }
  for (size_t i = s.awayLastSent.size() - again; i < s.awayLastSent.size(); ++i) {
    const HeldLine& line = s.awayLastSent[i];
    SendChat(s, line.to, line.text);
    if (answer.lost > 0 && (line.to.empty() || line.to == s.name)) ++s.pendingEchoes;
  }
  s.awayLastSent.clear();
  SendHeld(s);
}

// A live public message: counted after the answer's boundary once that is
// known, remembered by content until then.
void NoteLive(ChatSession& s, const ChatEvent& event) {
  ++s.liveCount;
  if (s.historyPlaced) {
    ++s.seen.live;
  } else {
    PushBounded(s.liveHere, std::make_pair(event.name, event.text));
  }
}

void HandleHistoryItem(ChatSession& s, const ReceivedFrame& frame) {
  if (!s.awaitingHistory || frame.payload.size() < kHistoryItemPrefix) return;
  EarlierMessage m;
  m.time = LoadLe64(frame.payload.data());
  m.ordinal = LoadLe64(frame.payload.data() + 8);
  m.name = frame.name;
  const auto text = frame.payload.begin() + kHistoryItemPrefix;
  m.text = std::string(text, std::find(text, frame.payload.end(), uint8_t{0}));
  PushBounded(s.held, std::move(m));
}

// The answer is complete: shows what this client has not seen, set apart.
void HandleHistoryEnd(ChatSession& s, const ReceivedFrame& frame) {
  if (!s.awaitingHistory) return;
  uint8_t end[kHistoryEndSize] = {};
  std::copy_n(frame.payload.begin(), std::min(frame.payload.size(), sizeof end), end);
  const uint64_t run = LoadLe64(end);
  std::vector<EarlierMessage> shown;
  for (EarlierMessage& m : s.held) {
    // Within one server run, ordinals after the last boundary came live.
    const bool sawLive =
        s.seen.known && run == s.seen.run && m.ordinal <= s.seen.ordinal + s.seen.live;
    if (!sawLive) shown.push_back(std::move(m));
  }
  // What came live on a connection lost before its answer: one line each,
  // the latest of the same name and text.
  for (const auto& live : s.unplaced) {
    for (auto m = shown.rbegin(); m != shown.rend(); ++m) {
      if (m->name == live.first && m->text == live.second) {
        shown.erase(std::next(m).base());
        break;
      }
    }
  }
  for (const EarlierMessage& m : shown) {
    ChatEvent event;
    event.kind = ChatEvent::kMessage;
    event.name = m.name;
    event.text = m.text;
    event.earlier = true;
    event.at = static_cast<int64_t>(m.time / 1000000);
    s.events.push_back(std::move(event));
  }
  if (!shown.empty()) {
    Emit(s, ChatEvent::kInfo,
         "--- " + std::to_string(shown.size()) + " earlier message(s) above ---");
  }
  s.seen = SeenUpTo{true, run, LoadLe64(end + 8), LoadLe64(end + 16), s.liveCount};
  s.awaitingHistory = false;
  s.historyPlaced = true;
  s.held.clear();
  s.unplaced.clear();
  s.liveHere.clear();
}

// A private room answers a name other than the certificate's as one in use,
// and says why on its console only.
std::string NameRefusal(const ChatSession& s) {
  std::string why = "the name " + ShownName(s.name) + " is in use";
  if (!s.presentedCert || s.certName == s.name) return why;
  if (s.certName.empty())
    return why + ", or the room takes only a certificate's name, and yours has none";
  return why + ", or it is not the name in your certificate, " + ShownName(s.certName) +
         ", the only one a private room takes";
}

void HandleNameInUse(ChatSession& s) {
  if (s.phase != Phase::kLoggingIn) return;
  s.loginDeadline = -1;
  if (!s.terminal) {
    Finish(s, ChatExit::kNameInUse, NameRefusal(s));
    return;
  }
  s.phase = Phase::kNameRejected;
  Emit(s, ChatEvent::kInfo,
       "T" + NameRefusal(s).substr(1) + "; pick another with /nick NAME, or /quit.");
}

void HandleChat(ChatSession& s, const ReceivedFrame& frame, int64_t now) {
  // Names are unique in the room, so our name means our own message.
  const bool ours = frame.name == s.name;
  if (ours && s.pendingEchoes > 0) --s.pendingEchoes;
  if (!IsQuitMarker(s, frame)) {
    ChatEvent event;
    event.kind = ChatEvent::kMessage;
    event.name = frame.name;
    event.text = frame.Text();
    event.isPrivate = frame.scope == Scope::Private;
    event.alert = !ours && (event.isPrivate || Mentions(event.text, s.name));
    if (s.history && !event.isPrivate) NoteLive(s, event);
    s.events.push_back(std::move(event));
  }
  if (s.quitting && s.pendingEchoes == 0) Leave(s, now);
}

void HandleMembers(ChatSession& s, std::vector<std::string> names) {
  if (s.shownMembers) {
    std::vector<std::string> left, joined;
    MemberChanges(s.members, names, left, joined);
    for (const std::string& name : left)
      s.events.push_back(ChatEvent{ChatEvent::kLeft, name, "", false, false});
    for (const std::string& name : joined)
      s.events.push_back(ChatEvent{ChatEvent::kJoined, name, "", false, false});
  } else if (s.phase == Phase::kInRoom) {
    // The first list came after LoginAccepted; it is the starting point.
    Emit(s, ChatEvent::kMembers, FormatMembers(names));
    s.shownMembers = true;
  }
  s.members = std::move(names);
  s.haveMembers = true;
  SendHeld(s);
}

bool IsMember(const ChatSession& s, const std::string& name) {
  return std::find(s.members.begin(), s.members.end(), name) != s.members.end();
}

// A private message to someone else never comes back, so on a terminal it
// is shown as sent. `line` is what was typed, which goes back on the input
// line when it is too long.
void SendText(ChatSession& s, const std::string& text, const std::string& to,
              const std::string& line) {
  if (text.size() > kMaxTextLen) {
    std::string why = "not sent: the line has " + std::to_string(text.size()) + " bytes, at most " +
                      std::to_string(kMaxTextLen) + " fit in a message";
    if (!s.terminal) {
      RefuseInput(s, why);
      return;
    }
    RefuseInput(s, why + "; it is back on the input line, to cut");
    s.giveBack += (s.giveBack.empty() ? "" : " ") + line;
  } else if (s.phase == Phase::kNameRejected) {
    RefuseInput(s, "not sent: pick a free name with /nick NAME first");  // the line is for /nick
  } else if (s.terminal && (s.phase != Phase::kInRoom || !s.heldLines.empty())) {
    // Out of the room, or in it before the member list and the lines held
    // before it: in order, once in.
    if (s.heldLines.size() >= kMaxHeldLines) {
      RefuseInput(s, "not sent: " + std::to_string(kMaxHeldLines) +
                         " lines already wait for the room (Up brings it back)");
      return;
    }
    s.heldLines.push_back(HeldLine{text, to});
    Emit(s, ChatEvent::kInfo,
         "Held until back in the room: " +
             (to.empty() ? SafeText(text) : "-> *" + ShownName(to) + "* " + SafeText(text)));
  } else if (s.phase == Phase::kOffline) {
    RefuseInput(s, "not sent: the connection is lost");
  } else if (s.phase != Phase::kInRoom) {
    RefuseInput(s, "not sent: not in the room");
  } else if (!to.empty() && !s.haveMembers) {
    RefuseInput(s, "not sent: the member list has not come yet");
  } else if (!to.empty() && !IsMember(s, to)) {
    // The server compares names exactly and drops what matches nobody.
    RefuseInput(s, "not sent: nobody named " + ShownName(to) +
                       " is in the room (names are case-sensitive; /who lists them)");
  } else {
    SendChat(s, to, text);
    if (to.empty() || to == s.name) {
      ++s.pendingEchoes;
    } else if (s.terminal) {
      s.events.push_back(ChatEvent{ChatEvent::kSentPrivate, to, text, true, false});
    }
  }
}

// In the room with its member list: the lines typed while away go now.
void SendHeld(ChatSession& s) {
  if (s.phase != Phase::kInRoom || !s.haveMembers || s.heldLines.empty()) return;
  std::vector<HeldLine> lines;
  lines.swap(s.heldLines);
  for (const HeldLine& held : lines) {
    if (!held.to.empty() && !IsMember(s, held.to)) {
      RefuseInput(s, "not sent: nobody named " + ShownName(held.to) +
                         " is in the room now (Up brings it back)");
      continue;
    }
    SendText(s, held.text, held.to, held.text);
  }
}

void HandleNick(ChatSession& s, const std::string& name, int64_t now) {
  if (s.phase == Phase::kInRoom) {
    RefuseInput(s, "you are in the room as " + ShownName(s.name) +
                       "; /nick only picks a name while yours is in use");
  } else if (s.phase != Phase::kNameRejected) {
    RefuseInput(s, "still waiting for the answer to the login");
  } else if (name.size() > kNameSize) {
    RefuseInput(s, "a name is at most " + std::to_string(kNameSize) + " bytes");
  } else if (const char* fault = NameFault(name)) {
    RefuseInput(s, SafeName(name) + " is no name a server takes: " + fault);
  } else {
    s.name = name;
    Emit(s, ChatEvent::kInfo, "Logging in as " + ShownName(name) + "...");
    Login(s, now);
  }
}

// Waits for the next dial: after an outage, or on a terminal for a place in
// a full room. `code` and `reason` end it if it is given up; `status` leads
// the line that says when the next try is.
void GoOffline(ChatSession& s, int code, const std::string& reason, const std::string& status,
               int64_t now) {
  // With a key, the room as it was waits for the reclaim (also when the
  // connection for it is lost too).
  const bool reclaimable =
      s.reconnect && !s.reclaimKey.empty() && (s.phase == Phase::kInRoom || s.reclaiming);
  if (reclaimable && !s.away) {
    s.away = true;
    s.awayReceived = s.receivedBytes;
    s.awaySent = s.sentChats;
    s.awayLastSent.swap(s.lastSent);
  } else if (!reclaimable) {
    s.away = false;
    s.awayLastSent.clear();
    ForgetRoom(s, true);
  }
  s.reclaiming = false;
  s.loginDeadline = -1;
  s.phase = Phase::kOffline;
  s.offlineCode = code;
  s.lostReason = reason;
  const bool stayed = s.enteredAt >= 0 && now - s.enteredAt >= kStayedMs;
  s.retryDelayMs =
      s.retryDelayMs == 0 || stayed ? kRetryFirstMs : std::min(2 * s.retryDelayMs, kRetryMaxMs);
  s.enteredAt = -1;
  s.retryAt = now + s.retryDelayMs;
  Emit(s, ChatEvent::kStatus,
       status + " " + std::to_string(s.retryDelayMs / 1000) + " s" +
           (s.terminal ? ", Esc gives up" : ""));
}

}  // namespace

void StartSession(ChatSession& s, int64_t now) {
  Login(s, now);
}

void HandleFrame(ChatSession& s, const ReceivedFrame& frame, int64_t now) {
  s.receivedBytes += kHeaderSize + frame.payload.size();
  switch (frame.type) {
    case FrameType::LoginAccepted:
      if (s.phase == Phase::kLoggingIn && !s.reclaiming) EnterRoom(s, now);
      break;
    case FrameType::NameInUse:
      if (s.reclaiming) {
        // Not ours to take back (the server restarted, say): a login as
        // after any outage.
        s.reclaiming = s.away = false;
        s.reclaimKey.clear();
        s.awayLastSent.clear();
        ForgetRoom(s, true);
        Login(s, now);
      } else {
        HandleNameInUse(s);
      }
      break;
    case FrameType::Chat:
      HandleChat(s, frame, now);
      break;
    case FrameType::UserList:
      HandleMembers(s, frame.Names());
      break;
    case FrameType::HistoryItem:
      HandleHistoryItem(s, frame);
      break;
    case FrameType::HistoryEnd:
      HandleHistoryEnd(s, frame);
      break;
    case FrameType::ReclaimKey:
      // Only asked for when reconnecting, and only a member's.
      if (s.reconnect && s.phase == Phase::kInRoom && frame.payload.size() >= kReclaimKeySize)
        s.reclaimKey.assign(frame.payload.begin(), frame.payload.begin() + kReclaimKeySize);
      break;
    case FrameType::Reclaimed:
      HandleReclaimed(s, frame, now);
      break;
    default:
      break;  // nothing else is meant for clients
  }
}

void RefuseInput(ChatSession& s, const std::string& why) {
  ++s.notSent;
  Emit(s, ChatEvent::kRefused, why);
}

void HandleLine(ChatSession& s, std::string line, int64_t now, bool typed) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || s.quitting || s.exitCode >= 0) return;
  if (line.find('\0') != std::string::npos) {
    RefuseInput(s, "not sent: the line holds a NUL byte");
    return;
  }
  if (!typed) {
    SendText(s, line, "", line);
    return;
  }
  Command cmd = ParseCommand(line);
  switch (cmd.kind) {
    case Command::kSay:
      SendText(s, cmd.text, "", line);
      break;
    case Command::kMsg:
      if (cmd.name.size() > kNameSize) {
        RefuseInput(s, "not sent: names are at most " + std::to_string(kNameSize) + " bytes");
      } else {
        SendText(s, cmd.text, cmd.name, line);
      }
      break;
    case Command::kWho:
      Emit(s, ChatEvent::kInfo, s.haveMembers ? FormatMembers(s.members) : "No member list yet.");
      break;
    case Command::kNick:
      HandleNick(s, cmd.name, now);
      break;
    case Command::kQuit:
      RequestQuit(s, now);
      break;
    case Command::kHelp:
      for (const std::string& help : CommandHelp())
        Emit(s, ChatEvent::kInfo, help);
      break;
    case Command::kUnknown:
      RefuseInput(s, "unknown command " + SafeText(cmd.name) + "; /help lists the commands");
      break;
    case Command::kBadUse:
      RefuseInput(s, cmd.text);
      break;
  }
}

void RequestQuit(ChatSession& s, int64_t now) {
  if (s.quitting || s.exitCode >= 0) return;
  s.quitting = true;
  if (s.phase == Phase::kOffline) {
    Finish(s, s.offlineCode, s.lostReason);
  } else if (s.phase != Phase::kInRoom) {
    Leave(s, now);
  } else {
    // The server relays in order: once this is back, so is everything sent
    // before it, private messages to others included.
    SendChat(s, s.name, "");
    ++s.pendingEchoes;
    s.echoDeadline = now + kEchoWaitMs;
  }
}

void HandleTick(ChatSession& s, int64_t now) {
  if (s.exitCode >= 0) return;
  if (s.loginDeadline >= 0 && now >= s.loginDeadline) {
    s.loginDeadline = -1;
    const std::string why = "no answer to the login within " +
                            std::to_string(kLoginAnswerMs / 1000) + " s: the room is full (" +
                            std::to_string(kRoomSize) + " members) or not answering";
    // A server that does not answer a reclaim gets a plain login next.
    if (s.reclaiming) s.reclaimKey.clear();
    if (s.quitting || !s.reconnect) {
      Finish(s, ChatExit::kNoAnswer, why);
    } else if (s.wasInRoom) {
      HandleLost(s, why, now);  // after a reconnect, one more outage to wait out
    } else if (s.terminal) {
      // A person may rather wait for a place than start over.
      GoOffline(s, ChatExit::kNoAnswer, why, "N" + why.substr(1) + "; trying again in", now);
    } else {
      Finish(s, ChatExit::kNoAnswer, why);
    }
  }
  if (s.echoDeadline >= 0 && now >= s.echoDeadline) {
    Emit(s, ChatEvent::kStatus,
         std::to_string(s.pendingEchoes) + " message(s) not relayed back in time; leaving anyway");
    Leave(s, now);
  }
  if (s.closeDeadline >= 0 && now >= s.closeDeadline) {
    Finish(s, ChatExit::kOk, "");  // logged out; the close did not come in time
  }
}

void HandleLost(ChatSession& s, const std::string& why, int64_t now) {
  if (s.exitCode >= 0 || s.phase == Phase::kOffline) return;
  const std::string reason = "connection lost" + (why.empty() ? "" : ": " + why);
  if (s.phase == Phase::kLeaving) {
    Finish(s, ChatExit::kOk, "");
    return;
  }
  if (!s.reconnect || s.quitting) {
    Finish(s, ChatExit::kLost, reason);
    return;
  }
  GoOffline(s, ChatExit::kLost, reason,
            "Connection lost" + (why.empty() ? "" : " (" + why + ")") + "; reconnecting in", now);
}

bool WantsDial(const ChatSession& s, int64_t now) {
  return s.exitCode < 0 && s.phase == Phase::kOffline && now >= s.retryAt;
}

void HandleDialed(ChatSession& s, bool ok, const std::string& why, int64_t now) {
  if (s.exitCode >= 0 || s.phase != Phase::kOffline) return;
  if (ok) {
    s.retryAt = -1;
    s.receivedBytes = s.sentChats = 0;
    s.lastSent.clear();
    Emit(s, ChatEvent::kStatus, "Reconnected; logging in as " + ShownName(s.name) + ".");
    if (s.away) {
      Reclaim(s, now);
    } else {
      Login(s, now);
    }
    return;
  }
  s.retryDelayMs = std::min(s.retryDelayMs * 2, kRetryMaxMs);
  s.retryAt = now + s.retryDelayMs;
  Emit(
      s, ChatEvent::kStatus,
      "Cannot reconnect: " + why + "; next try in " + std::to_string(s.retryDelayMs / 1000) + " s");
}

void GiveUp(ChatSession& s) {
  if (s.phase == Phase::kOffline) Finish(s, s.offlineCode, s.lostReason);
}

int64_t NextDeadline(const ChatSession& s) {
  int64_t next = -1;
  for (int64_t at : {s.loginDeadline, s.echoDeadline, s.closeDeadline, s.retryAt}) {
    if (at >= 0 && (next < 0 || at < next)) next = at;
  }
  return next;
}

bool ReadsInput(const ChatSession& s) {
  return s.exitCode < 0 && s.phase == Phase::kInRoom && s.haveMembers && !s.quitting &&
         s.pendingEchoes < kEchoWindow;
}

std::string Prompt(const ChatSession& s, int64_t now) {
  if (s.phase == Phase::kOffline) {
    int64_t left = std::max<int64_t>(0, (s.retryAt - now + 999) / 1000);
    const std::string held =
        s.heldLines.empty() ? "" : ", " + std::to_string(s.heldLines.size()) + " line(s) held";
    return std::string(s.offlineCode == ChatExit::kNoAnswer ? "[trying again in "
                                                            : "[reconnecting in ") +
           std::to_string(left) + " s" + held + "; Esc gives up] > ";
  }
  return s.phase == Phase::kInRoom ? ShownName(s.name) + "> " : "> ";
}

}  // namespace saferoom
