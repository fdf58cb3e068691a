// What a hostile server can send to the chat command: frames in TLS records
// of the input's sizes, read by ChatClient::Receive through the real TLS read
// path, handled by the ChatSession, with lines typed in between, and drawn as
// both front ends draw them. Every line shown must be safe on a terminal (the
// coloured one is the plain one plus escapes of our own), and the session's
// state sound.
// Input: a byte of settings (terminal, reconnect, our name, how much time
// passes between frames), a byte seeding what is typed, one seeding the
// record sizes, one seeding the read sizes (low bit: a close notification at
// the end), then the server's stream.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/ChatClient.h"
#include "client/ChatSession.h"
#include "client/ChatUi.h"
#include "fuzz/TlsPair.h"
#include "protect/SafeText.h"

namespace saferoom {

namespace {

constexpr size_t kMaxInput = 64 * 1024;
const char* const kOurNames[] = {"alice", "", "a name of twenty byt", "al ice"};

bool Safe(const std::string& shown) {
  return SafeText(shown) == shown;
}

// `coloured` without the SGR sequences (ESC [ digits and ; m) of our own.
std::string WithoutColour(const std::string& coloured) {
  std::string plain;
  for (size_t i = 0; i < coloured.size(); ++i) {
    if (coloured.compare(i, 2, "\x1b[") == 0) {
      size_t end = coloured.find_first_not_of("0123456789;", i + 2);
      if (end != std::string::npos && coloured[end] == 'm') {
        i = end;
        continue;
      }
    }
    plain += coloured[i];
  }
  return plain;
}

// Draws what the session says, as the pipe (plain) and the terminal
// (colours, highlights, completion) would, and checks the session.
void Show(ChatSession& s, int64_t now) {
  const TextStyle terminal{true, true};
  for (const ChatEvent& e : s.events) {
    const std::string plain = FormatEvent(e, TextStyle());
    if (!Safe(plain) || WithoutColour(FormatEvent(e, terminal)) != plain) abort();
  }
  s.events.clear();
  s.requests.clear();  // the driver would send them
  if (!Safe(Prompt(s, now)) || !Safe(FormatMembers(s.members))) abort();
  for (size_t i = 0; i < s.members.size() && i < 8; ++i) {
    const std::string& m = s.members[i];
    const Completion c = CompleteName("/msg " + m.substr(0, 1), s.members, s.name);
    if (!Safe(c.insert)) abort();
    for (const std::string& choice : c.choices)
      if (!Safe(choice)) abort();
  }
  if (s.pendingEchoes < 0 || (s.exitCode >= 0) != (s.phase == Phase::kDone)) abort();
}

// Now and then the person at the keyboard types something.
void Type(ChatSession& s, Splits& typing, int64_t now) {
  const size_t pick = typing.Size(64);
  const std::string member = s.members.empty() ? "bob" : s.members[pick % s.members.size()];
  const std::string lines[] = {"hello " + s.name, "/msg \"" + member + "\" hi", "/who",
                               "/nick " + member};
  if (pick % 8 < 4) {
    HandleLine(s, lines[pick % 8], now);
  } else if (pick % 8 == 4 && pick > 60) {
    RequestQuit(s, now);
  }
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > kMaxInput) return 0;
  const uint8_t settings = data[0];
  Splits typing(data[1]);
  Splits records(data[2]);
  Splits reads(data[3] >> 1);
  const bool closeNotify = (data[3] & 1) != 0;
  data += 4;
  size -= 4;

  TlsPair pair;
  if (!MakeTlsPair(pair)) abort();
  SendRecords(*pair.server, pair.clientSide, data, size, records, reads, closeNotify);
  ChatClient client;
  client.conn = std::move(pair.client);

  ChatSession s;
  s.terminal = (settings & 1) != 0;
  s.reconnect = s.terminal || (settings & 2) != 0;
  s.name = kOurNames[(settings >> 2) & 3];
  // 0 to 10.5 s between frames: past the login and echo deadlines too.
  const int64_t step = (settings >> 4) * 700;
  int64_t now = 1000;
  StartSession(s, now);
  Show(s, now);
  ReceivedFrame frame;
  RecvStatus status;
  while ((status = client.Receive(frame, Deadline::Never())) == RecvStatus::kFrame) {
    HandleFrame(s, frame, now);
    Show(s, now);
    Type(s, typing, now);
    now += step;
    HandleTick(s, now);
    Show(s, now);
  }
  HandleLost(s, status == RecvStatus::kBadFrame ? "the server sent a malformed frame" : "", now);
  Show(s, now);
  HandleLine(s, "/who", now);
  RequestQuit(s, now);
  HandleTick(s, now + 60000);
  Show(s, now + 60000);
  return 0;
}
