// The chat command's session, without sockets or a terminal: scripted frames,
// lines and time in; the requests and lines it makes out. Also its command
// parsing, name completion and command line.
#include <gtest/gtest.h>

#include <sstream>

#include "client/ChatArgs.h"
#include "client/ChatSession.h"

namespace saferoom {

namespace {

ReceivedFrame MakeFrame(uint32_t type, uint32_t scope = 0, const std::string& name = "",
                        const std::string& payload = "", uint32_t kind = 0) {
  return {type, kind, scope, name, std::vector<uint8_t>(payload.begin(), payload.end())};
}

ReceivedFrame MemberList(const std::string& commaNames) {
  ReceivedFrame f = MakeFrame(FrameType::UserList);
  std::stringstream names(commaNames);
  for (std::string name; std::getline(names, name, ',');) {
    name.resize(kNameSize, '\0');
    f.payload.insert(f.payload.end(), name.begin(), name.end());
  }
  return f;
}

// The history frames' numbers: u64s, little-endian.
std::string Le64s(std::initializer_list<uint64_t> words) {
  std::string out;
  for (uint64_t word : words)
    for (int i = 0; i < 8; ++i)
      out += static_cast<char>(word >> (8 * i));
  return out;
}

// Applies one step. "<ok", "<inuse", "<list a,b", "<in" (both: kInRoom),
// "<chat NAME TEXT", "<priv NAME TEXT", "<item NAME ORDINAL SECONDS TEXT" (a
// kept message), "<end RUN SECONDS ORDINAL" (an answer's end), "<key C" (a
// reclaim key of 32 C), "<reclaimed CHATS LOST C" (the answer to a reclaim,
// the next key of 32 C), "<lost",
// "<bad" (the driver found a malformed frame), "+MS" (time passes), "dial
// ok", "dial no", "esc", "wait" (no dial due yet), "back" (the pause until
// the next dial, dial ok, <ok), "eof", "cert [CN]" (we present a
// certificate), "paste LINE"; anything else is a typed line.
void Step(ChatSession& s, const std::string& step, int64_t& now) {
  std::string word = step.substr(0, step.find(' '));
  std::string rest = step.size() > word.size() ? step.substr(word.size() + 1) : "";
  std::string from = rest.substr(0, rest.find(' '));
  std::string text = rest.size() > from.size() ? rest.substr(from.size() + 1) : "";
  std::istringstream numbers(text);
  uint64_t a = 0, b = 0;
  if (word == "<item" && numbers >> a >> b) {
    std::string said;
    std::getline(numbers >> std::ws, said);
    said.resize((said.size() + 16) / 16 * 16, '\0');  // with its NUL, as relayed
    HandleFrame(s,
                MakeFrame(FrameType::HistoryItem, Scope::Public, from,
                          Le64s({b * 1000000, a}) + said, PayloadKind::Text),
                now);
  } else if (word == "<key") {
    HandleFrame(s, MakeFrame(FrameType::ReclaimKey, 0, "", std::string(kReclaimKeySize, rest[0])),
                now);
  } else if (word == "<reclaimed") {
    std::istringstream fields(rest);
    char next = 0;
    fields >> a >> b >> next;
    HandleFrame(
        s,
        MakeFrame(FrameType::Reclaimed, 0, "", Le64s({a, b}) + std::string(kReclaimKeySize, next)),
        now);
  } else if (word == "<end" && numbers >> a >> b) {
    HandleFrame(
        s, MakeFrame(FrameType::HistoryEnd, 0, "", Le64s({std::stoull(from), a * 1000000, b, 0})),
        now);
  } else if (word == "<ok" || word == "<in") {
    HandleFrame(s, MakeFrame(FrameType::LoginAccepted), now);
    if (word == "<in") HandleFrame(s, MemberList("alice,bob,bob smith"), now);
  } else if (word == "back") {
    Step(s, "+" + std::to_string(std::max<int64_t>(0, s.retryAt - now)), now);
    for (const char* again : {"dial ok", "<ok"})
      Step(s, again, now);
  } else if (word == "<inuse") {
    HandleFrame(s, MakeFrame(FrameType::NameInUse), now);
  } else if (word == "<list") {
    HandleFrame(s, MemberList(rest), now);
  } else if (word == "<chat" || word == "<priv") {
    uint32_t scope = word == "<chat" ? Scope::Public : Scope::Private;
    HandleFrame(s, MakeFrame(FrameType::Chat, scope, from, text + '\0'), now);
  } else if (word == "<lost") {
    HandleLost(s, "", now);
  } else if (word == "<bad") {
    HandleLost(s, "the server sent a malformed frame", now);
  } else if (word[0] == '+') {
    now += std::stoll(word.substr(1));
    HandleTick(s, now);
  } else if (word == "dial") {
    EXPECT_TRUE(WantsDial(s, now)) << "a dial before its time, at " << now;
    HandleDialed(s, rest == "ok", "refused", now);
  } else if (word == "wait") {
    EXPECT_FALSE(WantsDial(s, now)) << "a dial due early, at " << now;
  } else if (word == "esc") {
    GiveUp(s);
  } else if (word == "eof") {
    RequestQuit(s, now);
  } else if (word == "cert") {
    s.presentedCert = true;
    s.certName = rest;
  } else if (word == "paste") {
    HandleLine(s, rest, now, false);
  } else {
    HandleLine(s, step, now);
  }
}

// What the session asked for and showed since the last call, one line each:
// "send chat bob: hi", "send history since 5", "send key", "send reclaim
// alice with k after 236" (the key's first byte, the bytes received),
// "show <bob> hi" ("show!" for
// an alert), "show earlier <bob> hi @SECONDS", "keep LINE" (back on the input
// line; a long one as "keep N bytes"), "exit 7: why".
void Collect(ChatSession& s, std::vector<std::string>& out) {
  static const char* const kKinds[] = {"login", "logout", "chat", "history", "key", "reclaim"};
  for (const Request& r : s.requests) {
    std::string line = std::string("send ") + kKinds[r.kind];
    if (r.kind == Request::kHistory) {
      line += " since " + std::to_string(r.since / 1000000);
    } else if (r.kind == Request::kReclaim) {
      line += " " + r.name + " with " + r.text.substr(0, 1) + " after " + std::to_string(r.since);
      EXPECT_EQ(r.text, std::string(kReclaimKeySize, r.text[0]));
    } else if (r.kind != Request::kReclaimKey) {
      line += " " + r.name + ": " + r.text;
    }
    out.push_back(line);
  }
  for (const ChatEvent& e : s.events) {
    const std::string shown = FormatEvent(e, TextStyle());
    out.push_back(e.earlier ? "show earlier " + shown + " @" + std::to_string(e.at)
                            : (e.alert ? "show! " : "show ") + shown);
  }
  if (!s.giveBack.empty()) {
    const std::string& kept = s.giveBack;
    out.push_back("keep " + (kept.size() > 100 ? std::to_string(kept.size()) + " bytes" : kept));
  }
  s.requests.clear();
  s.events.clear();
  s.giveBack.clear();
}

struct Script {
  const char* name;
  const char* mode;                // "term" (which reconnects and asks for history), "pipe"
                                   // with --reconnect and --history or not
  std::vector<std::string> steps;  // after the first Login
  // Substrings of the transcript's lines, in order; "!x": no line holds x.
  std::vector<std::string> expect;
};

constexpr const char* kInRoom = "<in";

const Script kScripts[] = {
    {"/msg",
     "term",
     {kInRoom, "hi", "/msg bob  see  you", "/msg \"bob smith\" yo", "/msg Bob x", "/msg nobody x",
      "/msg bob"},
     {"send login alice", "You are in the room as alice", "In the room (3): alice, bob, bob smith",
      "send chat : hi", "send chat bob: see  you", "show -> *bob* see  you",
      "send chat bob smith: yo", "nobody named Bob is in the room", "nobody named nobody",
      "usage: /msg NAME TEXT", "prompt alice> ", "!send chat Bob", "!send chat nobody"}},
    // The first "In the room" is the join's, the second /who's.
    {"other commands",
     "term",
     {kInRoom, "/who", "//slash", " /msg x", "/frob", "/nick", "/nick bob", "/msg alice me"},
     {"In the room (3)", "show In the room (3)", "send chat : /slash", "send chat :  /msg x",
      "unknown command /frob", "usage: /nick NAME", "/nick only picks a name",
      "send chat alice: me", "prompt alice> "}},
    // The quit marker is an empty private message to ourselves: the room
    // has everything sent before once it is back. It is never shown.
    {"quit waits for the marker",
     "pipe",
     {kInRoom, "/msg bob last", "hi", "eof", "/msg bob late", "<chat alice hi", "<priv alice ",
      "+2999", "<lost"},
     {"send chat bob: last", "send chat : hi", "send chat alice: ", "show <alice> hi",
      "send logout", "exit 0", "!late", "!(private)"}},
    // What others send is shown with control characters escaped, and white
    // space at a name's ends shows.
    {"members, alerts, escapes",
     "term",
     {kInRoom, "<list alice,bob smith,carol,e\x1b[2Jv,carol ", "<chat bob hey ALICE!",
      "<chat bob malice", "<priv bob psst", "<chat alice alice here",
      "<chat e\x1b[2Jv \x07\x1b]0;t\x07"},
     {"show bob left", "show carol joined", "show e\\x1b[2Jv joined", "show carol\\x20 joined",
      "show! <bob> hey ALICE!", "show <bob> malice", "show! *bob* (private) psst",
      "show <alice> alice here", "show <e\\x1b[2Jv> \\x07\\x1b]0;t\\x07", "!\x1b", "!\x07"}},
    {"name in use, from a pipe",
     "pipe",
     {"<inuse"},
     {"exit 5: the name alice is in use", "!certificate"}},
    // A private room refuses other names than the certificate's as in use.
    {"name not the certificate's, from a pipe",
     "pipe",
     {"cert carol", "<inuse"},
     {"exit 5: the name alice is in use, or it is not the name in your certificate, carol, the "
      "only one a private room takes"}},
    {"name is the certificate's", "term", {"cert alice", "<inuse"}, {"!certificate"}},
    {"certificate without a name",
     "term",
     {"cert", "<inuse"},
     {"The name alice is in use, or the room takes only a certificate's name, and yours has none; "
      "pick another"}},
    {"name in use, on a terminal",
     "term",
     {"<inuse", "hello", "/nick  bob smith ", "<ok"},
     {"The name alice is in use", "pick a free name with /nick", "send login bob smith",
      "You are in the room as bob smith", "prompt bob smith> ", "!keep"}},
    {"no answer to the login, from a pipe",
     "pipe",
     {"+4999", "+1"},
     {"exit 6: no answer to the login within 5 s: the room is full (5 members)"}},
    // A terminal waits for a place, dialling again after a growing pause;
    // Esc ends that as exit 6.
    {"a full room, on a terminal",
     "term",
     {"+5000", "hi", "wait", "+1000", "dial ok", "+5000", "+200", "esc"},
     {"No answer to the login within 5 s: the room is full (5 members) or not answering; trying "
      "again in 1 s, Esc gives up",
      "Held until back in the room: hi", "!keep", "send login alice", "trying again in 2 s",
      "1 line(s) held for the room not sent", "exit 6: no answer to the login"}},
    {"pipe lines refused, the rest sent",
     "pipe",
     {kInRoom, "/msg Bob x", "ok", "eof", "<chat alice ok", "<priv alice ", "<lost"},
     {"nobody named Bob", "send chat : ok", "send logout", "exit 8: 1 input line(s) not sent"}},
    {"lost from a pipe",
     "pipe",
     {kInRoom, "<lost"},
     {"show In the room (3): alice, bob, bob smith", "exit 7: connection lost"}},
    // Pasted lines are text, commands only when typed; on a terminal a line
    // refused goes back on the input line.
    {"pasted lines",
     "term",
     {kInRoom, "paste see this path:", "paste /usr/bin/env", "paste /quit", "paste //x",
      "paste " + std::string(kMaxTextLen + 1, 'y'), "/msg bob typed"},
     {"send chat : see this path:", "send chat : /usr/bin/env", "send chat : /quit",
      "send chat : //x", "at most 65535 fit in a message; it is back on the input line",
      "keep 65536 bytes", "send chat bob: typed", "prompt alice> "}},
    {"too long from a pipe",
     "pipe",
     {kInRoom, std::string(kMaxTextLen + 1, 'y')},
     {"at most 65535 fit in a message", "!keep", "!input line"}},
    // 1 s, then doubling up to 30 s; the same name again once back.
    {"reconnect",
     "pipe --reconnect",
     {kInRoom,   "hi",     "<lost",   "+999",  "wait",    "+1",     "dial no", "+1999",
      "wait",    "+1",     "dial no", "+4000", "dial no", "+8000",  "dial no", "+16000",
      "dial no", "+29999", "wait",    "+1",    "dial no", "+30000", "dial ok", "<ok"},
     {"may not have reached the room", "reconnecting in 1 s", "next try in 2 s", "next try in 4 s",
      "next try in 8 s", "next try in 16 s", "next try in 30 s", "next try in 30 s",
      "send login alice", "prompt alice> "}},
    // A connection lost within seconds of its login (a server that sends
    // what no client takes, say) does not reset the pause: it keeps
    // doubling, and only a connection that stayed 30 s starts it at 1 s.
    {"reconnect after short stays",
     "pipe --reconnect --history",
     {kInRoom,   "<bad",  "+1000",  "dial ok", kInRoom, "+2999",  "<bad",
      "+1999",   "wait",  "+1",     "dial ok", kInRoom, "<lost",  "+4000",
      "dial ok", kInRoom, "+30000", "<bad",    "+1000", "dial ok"},
     {"Connection lost (the server sent a malformed frame); reconnecting in 1 s",
      "send login alice", "reconnecting in 2 s", "send login alice", "reconnecting in 4 s",
      "send login alice",
      "Connection lost (the server sent a malformed frame); reconnecting in 1 s",
      "send login alice"}},
    // Typing goes on while reconnecting; Esc gives up.
    {"Esc stops reconnecting",
     "term",
     {kInRoom, "<lost", "+500", "a draft", "esc"},
     {"reconnecting in 1 s, Esc gives up", "Held until back in the room: a draft",
      "1 line(s) held for the room not sent", "exit 7: connection lost", "!keep"}},
    // Lines typed while the connection is down go, in order, once back in
    // the room with its member list (a /msg is checked against that list
    // then); nothing stays on the input line for new typing to join.
    {"lines typed while reconnecting",
     "term",
     {kInRoom, "<lost", "first", "/msg bob second", "/msg carol gone", "+1000", "dial ok", "third",
      "<ok", "fourth", "<list alice,bob", "fifth"},
     {"Held until back in the room: first", "Held until back in the room: -> *bob* second",
      "Held until back in the room: -> *carol* gone", "send login alice",
      "Held until back in the room: third", "Held until back in the room: fourth",
      "send chat : first", "send chat bob: second", "send chat : third", "send chat : fourth",
      "show -> *bob* second", "not sent: nobody named carol is in the room now (Up brings it back)",
      "send chat : fifth", "!keep", "!send chat carol", "prompt alice> "}},
    {"countdown", "term", {kInRoom, "<lost", "+200"}, {"prompt [reconnecting in 1 s; Esc gives"}},
    {"countdown with lines held",
     "term",
     {kInRoom, "<lost", "+200", "x", "y"},
     {"prompt [reconnecting in 1 s, 2 line(s) held; Esc gives"}},
    // Live lines show at once; the answer is held until its end, then shown
    // with its own times, then a separator. Nothing after the end is taken.
    {"history for a late joiner",
     "term",
     {kInRoom, "<chat bob live", "<item bob 1 5 old one", "<item carol 2 6 old two", "<end 7 6 2",
      "<item bob 3 7 late"},
     {"send login alice", "send history since 0", "show <bob> live",
      "show earlier <bob> old one @5", "show earlier <carol> old two @6",
      "show --- 2 earlier message(s) above ---", "!late", "prompt alice> "}},
    // Three answers: the first up to `one`; the second holds `two`, seen
    // live before the drop; the third holds only what was seen live: nothing
    // is shown twice.
    {"history across reconnects",
     "pipe --reconnect --history",
     {kInRoom, "<item bob 1 1 one", "<end 7 1 1", "<chat bob two", "<priv bob p", "<lost", "back",
      "<chat bob live", "<item bob 2 2 two", "<item bob 3 3 gone1", "<item bob 4 4 gone2",
      "<end 7 4 4", "<lost", "back", "<item bob 5 5 live", "<item bob 6 6 gone3", "<end 7 6 6"},
     {"send history since 0", "show earlier <bob> one @1", "--- 1 earlier", "show <bob> two",
      "send history since 1", "show <bob> live", "show earlier <bob> gone1 @3",
      "show earlier <bob> gone2 @4", "--- 2 earlier", "send history since 4",
      "show earlier <bob> gone3 @6", "!earlier <bob> two", "!earlier <bob> live",
      "!earlier <bob> p"}},
    {"history of a restarted server: all of it is new",
     "term",
     {kInRoom, "<end 7 3 3", "<chat bob x", "<lost", "back", "<item bob 1 9 x", "<end 8 9 1"},
     {"send history since 3", "show earlier <bob> x @9"}},
    // Lost before the end came: what was shown live meanwhile is known by
    // its name and text only.
    {"history lost on the way",
     "pipe --reconnect --history",
     {kInRoom, "<chat bob early", "<item bob 1 1 old", "<lost", "back", "<item bob 1 1 old",
      "<item bob 2 2 early", "<item bob 3 3 missed", "<end 7 3 3"},
     {"send history since 0", "show <bob> early", "send history since 0",
      "show earlier <bob> old @1", "show earlier <bob> missed @3", "--- 2 earlier",
      "!earlier <bob> early"}},
    // A pipe without --history asks nothing and takes no answer; a server
    // without history answers an empty end; one that predates it, nothing.
    {"no history asked",
     "pipe",
     {kInRoom, "<item bob 1 1 old", "<end 7 1 1", "<chat bob hi"},
     {"show <bob> hi", "!send history", "!old", "!earlier"}},
    {"history from servers without it",
     "term",
     {kInRoom, "<end 0 0 0", "<lost", "back", "hi"},
     {"send history since 0", "send history since 0", "send chat : hi", "!earlier",
      "prompt alice> "}},
    // Coming back after a cut with a key: the name is reclaimed, with the
    // count of bytes received (the login's answer and list, 48 + 108, the
    // key, 80, bob's line, 48 + 3). Of the two lines sent, the room
    // relayed one: the other goes again, before what was typed meanwhile.
    // The room's view stays: no new member list, no line twice.
    {"reclaim after a cut: the rest follows",
     "pipe --reconnect",
     {kInRoom, "<key k", "hi", "/msg bob psst", "<chat bob yo", "<lost", "+1000", "dial ok",
      "<reclaimed 1 0 n", "<list alice,bob,bob smith", "later", "<lost", "+2000", "dial ok"},
     {"send login alice", "send key", "send chat : hi", "send chat bob: psst",
      "Connection lost; reconnecting in 1 s", "send reclaim alice with k after 287",
      "send chat bob: psst", "Back in the room as alice; nothing was missed.", "send chat : later",
      "send reclaim alice with n after 204", "!may not have reached", "!send login alice\n",
      "!show In the room (3): alice, bob, bob smith\n  show In"}},
    {"reclaim with lines typed while away, and a history answer still due",
     "term",
     {kInRoom, "<key k", "<lost", "+200", "while away", "+800", "dial ok", "<reclaimed 0 0 n"},
     {"send key", "send history since 0", "Held until back in the room: while away",
      "send reclaim alice", "send history since 0", "send chat : while away", "nothing was missed",
      "prompt alice> "}},
    // Lost in part: a fresh start, as after a login (the history asked
    // again, the member list shown anew); what the room did not relay goes
    // again all the same.
    {"reclaim that lost part of the stream",
     "term",
     {kInRoom, "<key k", "<end 7 3 3", "one", "two", "<lost", "+1000", "dial ok",
      "<reclaimed 1 500 n", "<list alice,bob", "<item bob 4 4 missed", "<end 7 4 4"},
     {"send reclaim alice", "send history since 3", "send chat : two",
      "show Back in the room as alice; 500 bytes the room sent just before are lost",
      "show In the room (2): alice, bob", "show earlier <bob> missed @4", "!may not have reached",
      "!send chat : one\n  show"}},
    // Refused (the server restarted, say): a login, as after any outage.
    {"reclaim refused",
     "pipe --reconnect",
     {kInRoom, "<key k", "hi", "<lost", "+1000", "dial ok", "<inuse", "<in"},
     {"send reclaim alice with k after", "send login alice",
      "1 message(s) sent just before may not have reached the room",
      "show In the room (3): alice, bob, bob smith", "prompt alice> "}},
    // Lost again before the answer: the same reclaim next time; no answer
    // at all within 5 s: the key is dropped, and a login comes next.
    {"reclaim unanswered",
     "pipe --reconnect",
     {kInRoom, "<key k", "<lost", "+1000", "dial ok", "<lost", "+2000", "dial ok", "+5000", "+4000",
      "dial ok"},
     {"send reclaim alice with k after 236", "send reclaim alice with k after 236",
      "no answer to the login within 5 s", "send login alice",
      "!send reclaim alice with k after 0"}},
    // Only when reconnecting, and never without a key: then nothing new.
    {"no key asked without --reconnect",
     "pipe",
     {kInRoom, "<key k", "<lost"},
     {"!send key", "exit 7: connection lost"}},
    {"no key given",
     "pipe --reconnect",
     {kInRoom, "<lost", "+1000", "dial ok"},
     {"send login alice", "!send reclaim"}},
};

TEST(ChatSession, FollowsItsScripts) {
  for (const Script& script : kScripts) {
    SCOPED_TRACE(script.name);
    ChatSession s;
    s.name = "alice";
    const std::string mode = script.mode;
    s.terminal = mode == "term";
    s.reconnect = s.terminal || mode.find("--reconnect") != std::string::npos;
    s.history = s.terminal || mode.find("--history") != std::string::npos;
    int64_t now = 1000;
    std::vector<std::string> got;
    StartSession(s, now);
    for (const std::string& step : script.steps) {
      Step(s, step, now);
      Collect(s, got);
    }
    if (s.exitCode >= 0) got.push_back("exit " + std::to_string(s.exitCode) + ": " + s.failure);
    got.push_back("prompt " + Prompt(s, now));
    std::string all;
    for (const std::string& line : got)
      all += "\n  " + line;
    size_t at = 0;
    for (const std::string& want : script.expect) {
      if (want[0] == '!') {
        EXPECT_EQ(all.find(want.substr(1)), std::string::npos) << all;
        continue;
      }
      while (at < got.size() && got[at].find(want) == std::string::npos)
        ++at;
      ASSERT_LT(at, got.size()) << "missing, or out of order: " << want << all;
      ++at;
    }
  }
}

// A reclaim that finds more lines not relayed than the client remembers
// sends those it has, and says how many did not reach the room.
TEST(ChatSession, ReclaimSendsAgainWhatItRemembers) {
  ChatSession s;
  s.name = "alice";
  s.reconnect = true;
  StartSession(s, 0);
  HandleFrame(s, MakeFrame(FrameType::LoginAccepted), 0);
  HandleFrame(s, MemberList("alice,bob"), 0);
  HandleFrame(s, MakeFrame(FrameType::ReclaimKey, 0, "", std::string(kReclaimKeySize, 'k')), 0);
  const size_t sent = kMaxResent + 5;
  for (size_t i = 0; i < sent; ++i)
    HandleLine(s, "/msg bob m" + std::to_string(i), 0);
  HandleLost(s, "", 0);
  HandleDialed(s, true, "", 1000);
  s.requests.clear();
  s.events.clear();
  HandleFrame(s, MakeFrame(FrameType::Reclaimed, 0, "", Le64s({2, 0}) + std::string(32, 'n')),
              1000);
  ASSERT_EQ(s.requests.size(), kMaxResent);
  EXPECT_EQ(s.requests.front().text, "m5");
  EXPECT_EQ(s.requests.back().text, "m" + std::to_string(sent - 1));
  ASSERT_FALSE(s.events.empty());
  EXPECT_EQ(s.events.back().text,
            "3 message(s) sent before the connection failed did not reach the room");
}

TEST(ChatSession, PipeInputWaitsForTheRoomAndTheEchoWindow) {
  ChatSession s;
  s.name = "alice";
  StartSession(s, 0);
  HandleFrame(s, MakeFrame(FrameType::LoginAccepted), 0);
  EXPECT_FALSE(ReadsInput(s)) << "a /msg would be refused before the member list";
  HandleFrame(s, MemberList("alice"), 0);
  for (int i = 0; i < kEchoWindow; ++i) {
    ASSERT_TRUE(ReadsInput(s)) << i;
    HandleLine(s, "m", 0);
  }
  EXPECT_FALSE(ReadsInput(s));
  HandleFrame(s, MakeFrame(FrameType::Chat, Scope::Public, "alice", std::string("m", 2)), 0);
  EXPECT_TRUE(ReadsInput(s));
}

TEST(ChatSession, HoldsABoundedNumberOfLinesWhileAway) {
  ChatSession s;
  s.name = "alice";
  s.terminal = s.reconnect = true;
  StartSession(s, 0);
  HandleLost(s, "", 0);
  for (size_t i = 0; i <= kMaxHeldLines; ++i)
    HandleLine(s, "line " + std::to_string(i), 0);
  EXPECT_EQ(s.heldLines.size(), kMaxHeldLines);
  ASSERT_FALSE(s.events.empty());
  EXPECT_NE(s.events.back().text.find("lines already wait for the room"), std::string::npos)
      << s.events.back().text;
}

TEST(ChatUi, CompletesMemberNames) {
  const std::vector<std::string> members = {"alice", "bob",    "bobby",       "Bert",       "bo b",
                                            "bob ",  "\x1b[x", "z\xc3\xa9ta", "z\xc3\xa8tb"};
  constexpr struct {
    const char* before;
    size_t from;
    const char* insert;
    const char* choices;
  } kCases[] = {
      {"hi al", 3, "", ""},  // our own name is not offered
      {"hi BOBB", 3, "bobby ", ""},
      {"/msg B", 5, "", "Bert bo b bob bobby"},  // never "bob ", which would show escaped
      {"/msg bo", 5, "", "bo b bob bobby"},
      {"/msg bo ", 5, "\"bo b\" ", ""},  // no "bo": the name goes on
      {"/msg Bo b", 5, "\"bo b\" ", ""},
      {"/msg bob h", 9, "", ""},  // "bob", then a word
      {"/msg \"bo ", 5, "\"bo b\" ", ""},
      {"/msg \"bo", 5, "", "bo b bob bobby"},
      {"/msg bob hi bobb", 12, "bobby ", ""},
      // Inside a line too, a name may go on past a space.
      {"hi bo b", 3, "bo b ", ""},
      {"hi Bo ", 3, "bo b ", ""},
      {"so bo b and  bobb", 13, "bobby ", ""},
      {"hi bob h", 0, "", ""},
      {"z", 0, "", "z\xc3\xa8tb z\xc3\xa9ta"},  // never half a character
      {"\x1b", 0, "", ""},
      {"", 0, "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.before);
    Completion got = CompleteName(c.before, members, "alice");
    std::string choices;
    for (const std::string& name : got.choices)
      choices += (choices.empty() ? "" : " ") + name;
    EXPECT_EQ(got.insert, c.insert);
    if (!got.insert.empty()) {
      EXPECT_EQ(got.from, c.from);
    }
    EXPECT_EQ(choices, c.choices);
  }
}

TEST(ChatArgs, ReadsTheCommandLine) {
  const struct {
    std::vector<std::string> argv;
    bool caExists;
    ChatArgsOutcome outcome;
    const char* caOrProblem;
  } kCases[] = {
      {{"h", "1", "n"}, true, ChatArgsOutcome::kRun, kDefaultCaFile},
      {{"h", "1", "n"}, false, ChatArgsOutcome::kRun, ""},  // the system's CAs
      {{"h", "1", "n", "--ca=x.crt", "--reconnect"}, true, ChatArgsOutcome::kRun, "x.crt"},
      {{"--ca", "x", "--insecure", "h", "1", "n"}, true, ChatArgsOutcome::kUsage, "contradict"},
      {{"--insecure=1", "h", "1", "n"}, true, ChatArgsOutcome::kUsage, "takes no value"},
      {{"h", "1", "n", "--cert"}, true, ChatArgsOutcome::kUsage, "--cert needs a FILE"},
      {{"h", "1", "alice "}, true, ChatArgsOutcome::kUsage, "alice\\x20 is no name a server takes"},
      {{"--", "h", "1", "-n"}, true, ChatArgsOutcome::kRun, kDefaultCaFile},
      {{"h", "65536", "n"}, true, ChatArgsOutcome::kUsage, "PORT"},
      {{"--help", "--bogus"}, true, ChatArgsOutcome::kUsage, "unknown option --bogus"},
      {{"h", "1", "n", "-h"}, true, ChatArgsOutcome::kHelp, ""},
      {{"-V", "h", "1", "n"}, true, ChatArgsOutcome::kVersion, ""},
      {{"-x", "h", "1", "n"}, true, ChatArgsOutcome::kUsage, "unknown option -x"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> words = {"chat"};
    words.insert(words.end(), c.argv.begin(), c.argv.end());
    SCOPED_TRACE(words[1] + " " + words.back());
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(w.data());
    ChatArgs args;
    std::string problem;
    ASSERT_EQ(ParseChatArgs(static_cast<int>(argv.size()), argv.data(), args, problem, c.caExists),
              c.outcome)
        << problem;
    if (c.outcome == ChatArgsOutcome::kRun) {
      EXPECT_EQ(args.options.tls.caFile, c.caOrProblem);
    } else {
      EXPECT_NE(problem.find(c.caOrProblem), std::string::npos) << problem;
    }
  }
  // Installed, it is saferoom.
  EXPECT_EQ(ChatHelp("saferoom").rfind("Usage: saferoom [OPTIONS] HOST PORT NAME\n", 0), 0u);
}

}  // namespace

}  // namespace saferoom
