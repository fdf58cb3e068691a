// The chat command's session, without sockets or a terminal: scripted frames,
// lines and time in; the requests and lines it makes out. The client vectors
// (tests/vectors/client.json: commands, mentions, sessions), which the
// JavaScript session reads too; the scripts only chat has (a terminal, exit
// statuses); name completion and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "client/ChatArgs.h"
#include "client/ChatSession.h"

namespace saferoom {

namespace {

using nlohmann::json;

// Payloads zero-filled to whole blocks, as the server sends them, so that
// the bytes counted for a reclaim are the same in both languages.
ReceivedFrame MakeFrame(uint32_t type, uint32_t scope = 0, const std::string& name = "",
                        std::string payload = "", uint32_t kind = 0) {
  payload.resize((payload.size() + 15) / 16 * 16, '\0');
  return {type, kind, scope, name, std::vector<uint8_t>(payload.begin(), payload.end())};
}

ReceivedFrame MemberList(const std::string& commaNames) {
  std::string payload;
  std::stringstream names(commaNames);
  for (std::string name; std::getline(names, name, ',');) {
    name.resize(kNameSize, '\0');
    payload += name;
  }
  return MakeFrame(FrameType::UserList, 0, "", payload);
}

// The history frames' numbers: u64s, little-endian.
std::string Le64s(std::initializer_list<uint64_t> words) {
  std::string out;
  for (uint64_t word : words)
    for (int i = 0; i < 8; ++i)
      out += static_cast<char>(word >> (8 * i));
  return out;
}

// Applies one step: the client vectors' (see their "about"), and "<in"
// (<ok, then the list alice,bob,bob smith), "<bad" (the driver found a
// malformed frame), "esc", "back" (the pause until the next dial, dial ok,
// <ok), "cert [CN]" (we present a certificate), "paste LINE".
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
    HandleFrame(s,
                MakeFrame(FrameType::HistoryItem, Scope::Public, from,
                          Le64s({b * 1000000, a}) + said + '\0', PayloadKind::Text),
                now);
  } else if (word == "<key") {
    const char fill = static_cast<char>(std::stoi(rest));
    HandleFrame(s, MakeFrame(FrameType::ReclaimKey, 0, "", std::string(kReclaimKeySize, fill)),
                now);
  } else if (word == "<reclaimed") {
    std::istringstream fields(rest);
    int next = 0;
    fields >> a >> b >> next;
    const std::string key(kReclaimKeySize, static_cast<char>(next));
    HandleFrame(s, MakeFrame(FrameType::Reclaimed, 0, "", Le64s({a, b}) + key), now);
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
  } else if (word == "quit") {
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

// What the session asked for and showed since the last call, one line each,
// as a terminal shows it: "send chat bob: hi", "send history since 5",
// "send key", "send reclaim alice", "show <bob> hi" ("show!" for an alert),
// "show earlier <bob> hi @SECONDS", "keep LINE" (back on the input line; a
// long one as "keep N bytes"), "exit 7: why".
void Collect(ChatSession& s, std::vector<std::string>& out) {
  static const char* const kKinds[] = {"login", "logout", "chat", "history", "key", "reclaim"};
  for (const Request& r : s.requests) {
    std::string line = std::string("send ") + kKinds[r.kind];
    if (r.kind == Request::kHistory) {
      line += " since " + std::to_string(r.since / 1000000);
    } else if (r.kind == Request::kReclaim) {
      line += " " + r.name;
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
  const char* mode;                // "term" (which reconnects and asks for history) or "pipe"
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
     {kInRoom, "/who", "/frob", "/nick", "/nick bob", "/msg alice me"},
     {"In the room (3)", "show In the room (3)", "unknown command /frob", "usage: /nick NAME", "/nick only picks a name",
      "send chat alice: me", "prompt alice> "}},
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
     {kInRoom, "/msg Bob x", "ok", "quit", "<chat alice ok", "<priv alice ", "<lost"},
     {"nobody named Bob", "send chat : ok", "send logout", "exit 8: 1 input line(s) not sent"}},
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
    {"reclaim with lines typed while away, and a history answer still due",
     "term",
     {kInRoom, "<key 7", "<lost", "+200", "while away", "+800", "dial ok", "<reclaimed 0 0 8"},
     {"send key", "send history since 0", "Held until back in the room: while away",
      "send reclaim alice", "send history since 0", "send chat : while away", "nothing was missed",
      "prompt alice> "}},
};

TEST(ChatSession, FollowsItsScripts) {
  for (const Script& script : kScripts) {
    SCOPED_TRACE(script.name);
    ChatSession s;
    s.name = "alice";
    s.terminal = s.reconnect = s.history = std::string(script.mode) == "term";
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

const json& ClientVectors() {
  static const json doc = [] {
    std::ifstream in(CLIENT_VECTORS_FILE);
    return json::parse(in, nullptr, /*allow_exceptions=*/false);
  }();
  return doc;
}

TEST(ChatUi, ParsesCommandsAndMentionsAsTheVectorsSay) {
  ASSERT_FALSE(ClientVectors().is_discarded()) << CLIENT_VECTORS_FILE;
  static const char* const kKinds[] = {"say",  "msg",     "who",   "nick",
                                       "quit", "help", "unknown", "badUse"};
  for (const json& v : ClientVectors()["commands"]) {
    SCOPED_TRACE(v["line"].get<std::string>());
    const Command c = ParseCommand(v["line"]);
    EXPECT_EQ(kKinds[c.kind], v["kind"]);
    EXPECT_EQ(c.text, v["text"]);
    if (v.contains("name")) {
      EXPECT_EQ(c.name, v["name"]);
    }
  }
  for (const json& v : ClientVectors()["mentions"]) {
    EXPECT_EQ(Mentions(v["text"], v["name"]), v["mentioned"].get<bool>()) << v["text"];
  }
}

// The session's requests and events in the vectors' words (see their
// "about"), from the step that made them on.
void Transcribe(ChatSession& s, std::vector<std::string>& out) {
  for (const Request& r : s.requests) {
    switch (r.kind) {
      case Request::kLogin:
        out.push_back("> login " + r.name);
        break;
      case Request::kLogout:
        out.push_back("> logout");
        break;
      case Request::kChat:
        out.push_back("> chat " + (r.name.empty() ? "-" : r.name) + " " + r.text);
        break;
      case Request::kHistory:
        out.push_back("> history " + std::to_string(r.since / 1000000));
        break;
      case Request::kReclaimKey:
        out.push_back("> key");
        break;
      case Request::kReclaim:
        out.push_back("> reclaim " + r.name + " with " +
                      std::to_string(static_cast<uint8_t>(r.text[0])) + " after " +
                      (r.since == kReclaimFresh ? "fresh" : std::to_string(r.since)));
        break;
    }
  }
  for (const ChatEvent& e : s.events) {
    std::string flags = e.isPrivate ? "private" : "";
    if (e.alert) flags += flags.empty() ? "alert" : ", alert";
    unsigned long count = 0;
    if (e.kind == ChatEvent::kMessage) {
      out.push_back((e.earlier ? "earlier " : "") + e.name + ": " + e.text +
                    (e.earlier ? " @" + std::to_string(e.at) : "") +
                    (flags.empty() ? "" : " (" + flags + ")"));
    } else if (e.kind == ChatEvent::kInfo && std::sscanf(e.text.c_str(), "--- %lu earlier", &count)) {
      out.push_back("history " + std::to_string(count));
    } else if (e.kind == ChatEvent::kStatus || e.kind == ChatEvent::kRefused) {
      const bool dial = e.text.rfind("Cannot ", 0) == 0;  // "next try in N s" is shared
      out.push_back((e.kind == ChatEvent::kStatus ? "status " : "refused ") +
                    (dial ? e.text.substr(e.text.rfind("; ") + 2) : e.text));
    }
  }
  s.requests.clear();
  s.events.clear();
}

TEST(ChatSession, FollowsTheSharedScripts) {
  const std::map<int, std::string> kOutcomes = {
      {ChatExit::kOk, "ok"}, {ChatExit::kLost, "lost"}, {ChatExit::kNoAnswer, "noAnswer"}, {ChatExit::kNameInUse, "nameInUse"}};
  ASSERT_FALSE(ClientVectors()["sessions"].empty());
  for (const json& v : ClientVectors()["sessions"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    ChatSession s;
    s.name = "alice";
    s.reconnect = v["options"].value("reconnect", false);
    s.history = v["options"].value("history", false);
    int64_t now = 1000;
    std::vector<std::string> got;
    bool started = false;
    for (const json& step : v["steps"]) {
      if (!started) {
        ASSERT_EQ(step, "dial ok");  // the driver's, before the session starts
        StartSession(s, now);
        started = true;
      } else {
        Step(s, step, now);
      }
      Transcribe(s, got);
      if (s.exitCode >= 0 && (got.empty() || got.back().rfind("done ", 0) != 0))
        got.push_back("done " + kOutcomes.at(s.exitCode) + ": " + s.failure);
    }
    EXPECT_EQ(got, v["transcript"].get<std::vector<std::string>>());
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
