// The terminal's input split into keys and bracketed pastes.
#include <gtest/gtest.h>

#include <clocale>

#include "client/TermInput.h"

namespace {

// Takes what `in` holds as LineEditor does: "keys ab|line one|rest tw",
// "esc" for a lone Esc (then dropped).
std::string Drain(TermInput& in) {
  std::string out;
  for (;;) {
    if (in.Pasting()) {
      std::vector<std::string> lines;
      std::string rest;
      bool ended = in.TakePaste(lines, rest);
      for (const std::string& line : lines)
        out += "|line " + line;
      if (!ended) return out;
      out += "|rest " + rest;
    }
    std::string keys;
    for (wchar_t key; in.TakeKey(key);) {
      char bytes[8];
      std::mbstate_t state = {};
      keys.append(bytes, std::wcrtomb(bytes, key, &state));
    }
    if (!keys.empty()) out += "|keys " + keys;
    if (in.LoneEscape()) {
      in.Clear();
      return out + "|esc";
    }
    if (!in.EnterPaste()) return out;
  }
}

TEST(TermInput, SplitsKeysAndPastedLines) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  const struct {
    std::vector<std::string> reads;
    const char* want;
  } kCases[] = {
      {{"ab\x1b[200~one\r\ntwo\nthr\x1b[201~c"}, "|keys ab|line one|line two|rest thr|keys c"},
      // Marks, CR LF and characters split across reads.
      {{"\x1b[20", "0~x\r", "\ny\x1b[2", "01~"}, "|line x|rest y"},
      {{"\xc3",
        "\xa9\x1b[200~\ta\x01"
        "b\x1b[201~"},
       "|keys \xc3\xa9|rest  ab"},
      {{"\x1b[A"}, "|keys \x1b[A"},
      // Esc alone is held back: it may begin a key or a paste mark.
      {{"a\x1b"}, "|keys a|esc"},
      {{"\x1b\x1b"}, "|keys \x1b|esc"},
      {{"\x1b[200~\x1b\x1b[201~"}, "|rest "},
      {{"\x03"}, "|keys \x03"},  // Ctrl-C is a key, for the editor
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.want);
    TermInput in;
    std::string got;
    for (const std::string& read : c.reads) {
      in.Append(read.data(), read.size());
      got += Drain(in);
    }
    EXPECT_EQ(got, c.want);
    EXPECT_TRUE(in.Empty());
  }
}

}  // namespace
