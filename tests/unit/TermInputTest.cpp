// The terminal's input split into keys and bracketed pastes, and the input
// line laid out by grapheme clusters.
#include <gtest/gtest.h>

#include <clocale>

#include "client/LineLayout.h"
#include "client/TermInput.h"

namespace saferoom {

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

// A family emoji: man, ZWJ, woman, ZWJ, girl.
const std::wstring kFamily = L"\U0001F468\u200D\U0001F469\u200D\U0001F467";

TEST(LineLayout, KeepsClustersWhole) {
  const std::wstring text = L"a" + kFamily + L"be\u0301";
  const struct {
    size_t at, start, end;
  } kCases[] = {
      {0, 0, 0}, {1, 1, 1}, {2, 1, 6}, {5, 1, 6}, {6, 6, 6}, {8, 7, 9}, {9, 9, 9}, {99, 9, 9},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.at);
    EXPECT_EQ(ClusterStart(text, c.at), c.start);
    EXPECT_EQ(ClusterEnd(text, c.at), c.end);
  }
}

TEST(LineLayout, RowsCellsAndTheCursor) {
  const std::string family =
      "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
  const struct {
    const char* prompt;
    std::wstring text;
    size_t cursor;
    int cols;
    std::string rows;  // joined by |
    int cursorRow;
    std::string beforeCursor;
  } kCases[] = {
      {"> ", L"abcdef", 6, 4, "> ab|cdef|", 2, ""},  // after a full row: the next
      {"> ", L"abcdef", 2, 4, "> ab|cdef", 1, ""},
      {"> ", L"abcdef", 1, 4, "> ab|cdef", 0, "> a"},
      // A wide character that does not fit goes to the next row, whole.
      {"> ", L"\u4e00\u4e8c\u4e09", 1, 5, "> \xe4\xb8\x80|\xe4\xba\x8c\xe4\xb8\x89", 1, ""},
      // The family takes 6 cells here (three people where not joined); a
      // cursor inside it stands before it.
      {"", L"a" + kFamily + L"b", 3, 7, "a" + family + "|b", 0, "a"},
      {"", L"a" + kFamily + L"b", 7, 7, "a" + family + "|b", 1, "b"},
      // What would act on the terminal shows escaped, in as many cells.
      {"", L"a\x1b[2J\u202eb", 7, 80, "a\\x1b[2J\\xe2\\x80\\xaeb", 0, "a\\x1b[2J\\xe2\\x80\\xaeb"},
      {"", L"\u2764\ufe0f!", 2, 2, "\xe2\x9d\xa4\xef\xb8\x8f|!", 1, ""},  // an emoji selector: 2
      {"", L"e\u0301x", 2, 1, "e\xcc\x81|x", 1, ""},  // the accent takes no cell
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.rows << " at " << c.cols);
    const LineLayout got = LayOutLine(c.prompt, c.text, c.cursor, c.cols);
    std::string rows;
    for (const std::string& row : got.rows)
      rows += (rows.empty() && &row == &got.rows.front() ? "" : "|") + row;
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(got.cursorRow, c.cursorRow);
    EXPECT_EQ(got.beforeCursor, c.beforeCursor);
  }
}

// Drawn at one width, where the cursor is once the terminal has another.
TEST(LineLayout, FollowsTheCursorThroughAResize) {
  const std::wstring ascii = L"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const std::wstring wide(40, L'\u4e00');
  const struct {
    std::wstring text;
    size_t cursor;
    int drawnAt, nowAt;
    int row;
  } kCases[] = {
      {ascii, 62, 60, 80, 1},  // wider: the rows stay
      {ascii, 62, 60, 25, 3},  // narrower: 60 cells in three rows, then the cursor's
      {ascii, 2, 60, 25, 0},  {ascii, 30, 60, 25, 1}, {wide, 40, 60, 80, 1},
      {wide, 40, 60, 25, 4},  // 7 + 26 x 2 in three rows (9, 12, 5), then 14 x 2 in two
      {wide, 40, 25, 60, 3},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message()
                 << c.cursor << " drawn at " << c.drawnAt << ", now " << c.nowAt);
    EXPECT_EQ(CursorRowAt(LayOutLine("alice> ", c.text, c.cursor, c.drawnAt), c.nowAt), c.row);
  }
}

}  // namespace

}  // namespace saferoom
