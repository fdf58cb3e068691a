// SafeText: what a client can put in a name or message must not reach the
// terminal as a control sequence, while ordinary UTF-8 text passes untouched.
// SafeName: the same, and white space at a name's ends shows.
#include <gtest/gtest.h>

#include <string>

#include "protect/SafeText.h"

namespace saferoom {

namespace {

struct Case {
  const char* name;
  char fault;  // NameFault's: 0 taken, or c(ontrol), i(nvisible), u(tf-8), b(egins with), e(nds
               // with)
  std::string_view raw;
  const char* safe;
  const char* asName = nullptr;  // SafeName's, when it differs from SafeText's
};

using namespace std::string_view_literals;

constexpr Case kCases[] = {
    {"printable ascii", 0, "Hi, Bob! ~{}", "Hi, Bob! ~{}"},
    {"backslash passes", 0, "a\\x41", "a\\x41"},
    {"escape sequence", 'c', "\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"},
    {"C0 controls and DEL", 'c', "a\r\n\tb\x7f", "a\\x0d\\x0a\\x09b\\x7f"},
    {"embedded NUL", 'c', "a\0b"sv, "a\\x00b"},
    {"C1 CSI as UTF-8", 'c',
     "\xc2\x9b"
     "31m",
     "\\xc2\\x9b31m"},
    {"C1 first and last", 'c', "\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},
    {"raw C1 byte", 'u', "\x9b", "\\x9b"},
    {"no-break space passes", 'b', "\xc2\xa0", "\xc2\xa0", "\\xc2\\xa0"},
    {"accents, euro, emoji pass", 0, "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
     "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
    {"largest code point passes", 0, "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
    {"overlong two bytes", 'u', "\xc0\xaf", "\\xc0\\xaf"},
    {"overlong three bytes", 'u', "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
    {"overlong four bytes", 'u', "\xf0\x80\x80\xaf", "\\xf0\\x80\\x80\\xaf"},
    {"surrogate", 'u', "\xed\xa0\x80", "\\xed\\xa0\\x80"},
    {"above U+10FFFF", 'u', "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
    {"F5 and up", 'u', "\xf5\xff", "\\xf5\\xff"},
    {"truncated at the end", 'u', "ok\xf0\x9f\x98", "ok\\xf0\\x9f\\x98"},
    {"truncated, then text", 'u', "\xe2\x82x", "\\xe2\\x82x"},
    {"truncated, then valid", 'u', "\xe2\xc3\xa9", "\\xe2\xc3\xa9"},
    {"stray continuation", 'u', "a\x80z", "a\\x80z"},
    // Marks that would make the rest of a line read right to left.
    {"LRM and RLM", 'i', "\xe2\x80\x8e\xe2\x80\x8f", "\\xe2\\x80\\x8e\\xe2\\x80\\x8f"},
    {"embeddings and overrides first and last", 'i', "a\xe2\x80\xaa\xe2\x80\xaez",
     "a\\xe2\\x80\\xaa\\xe2\\x80\\xaez"},
    {"isolates first and last", 'i', "\xe2\x81\xa6\xe2\x81\xa9", "\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
    {"arabic letter mark", 'i', "x\xd8\x9cy", "x\\xd8\\x9cy"},
    {"its neighbours pass", 0, "\xd8\x9b\xd8\x9d", "\xd8\x9b\xd8\x9d"},
    // Passing in a text, a joiner and a deprecated format mark (U+206A)
    // show in a name; U+2065 is unassigned, and passes.
    {"neighbours pass in a text", 'i',
     "\xe2\x80\x8d\xe2\x80\x90\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
     "\xe2\x80\x8d\xe2\x80\x90\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
     "\\xe2\\x80\\x8d\xe2\x80\x90\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\\xe2\\x81\\xaa"},
    // White space at a name's ends shows as its bytes; inside, it stays.
    {"trailing space", 'e', "alice ", "alice ", "alice\\x20"},
    {"only spaces", 'b', "  ", "  ", "\\x20\\x20"},
    {"tab and space around", 'c', "\tbo b \x0b", "\\x09bo b \\x0b", "\\x09bo b\\x20\\x0b"},
    {"ideographic space, NEL, NNBSP", 'c', "\xe3\x80\x80x\xc2\x85y\xe2\x80\xaf",
     "\xe3\x80\x80x\\xc2\\x85y\xe2\x80\xaf", "\\xe3\\x80\\x80x\\xc2\\x85y\\xe2\\x80\\xaf"},
    {"ogham, en quad, hair space", 'b', "\xe1\x9a\x80\xe2\x80\x80z\xe2\x80\x8a",
     "\xe1\x9a\x80\xe2\x80\x80z\xe2\x80\x8a", "\\xe1\\x9a\\x80\\xe2\\x80\\x80z\\xe2\\x80\\x8a"},
    {"separators, math space", 'b', "\xe2\x80\xa8\xe2\x81\x9fq\xe2\x80\xa9",
     "\xe2\x80\xa8\xe2\x81\x9fq\xe2\x80\xa9", "\\xe2\\x80\\xa8\\xe2\\x81\\x9fq\\xe2\\x80\\xa9"},
    // Invisible, not White_Space: shown wherever they stand in a name.
    {"zero width space", 'i', "\xe2\x80\x8bz", "\xe2\x80\x8bz", "\\xe2\\x80\\x8bz"},
    {"Hangul filler, soft hyphen", 'i',
     "\xe3\x85\xa4"
     "a\xc2\xad",
     "\xe3\x85\xa4"
     "a\xc2\xad",
     "\\xe3\\x85\\xa4a\\xc2\\xad"},
    {"invalid byte at the end", 'u', "a \xff", "a \\xff"},
};

// The first word of each reason NameFault gives.
char FaultCode(const char* fault) {
  if (fault == nullptr) return 0;
  const std::string f = fault;
  if (f.find("control") != std::string::npos) return 'c';
  if (f.find("UTF-8") != std::string::npos) return 'u';
  if (f.find("invisible") != std::string::npos) return 'i';
  return f.find("begins") != std::string::npos ? 'b' : 'e';
}

TEST(SafeText, EscapesControlsAndInvalidUtf8OnlyAndRefusesLookAlikeNames) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SafeText(c.raw), c.safe);
    EXPECT_EQ(SafeName(c.raw), c.asName ? c.asName : c.safe);
    EXPECT_EQ(FaultCode(NameFault(c.raw)), c.fault);
  }
  EXPECT_EQ(NameFault(""), nullptr);  // the empty name stays a name
}

TEST(SafeText, CutsNamesAtWholeCharacters) {
  const struct {
    std::string_view text;
    size_t max;
    std::string_view prefix;
  } kCuts[] = {
      {"alice", 20, "alice"},
      {"aaaaaaaaaaaaaaaaaa\xc3\xa9x", 20, "aaaaaaaaaaaaaaaaaa\xc3\xa9"},
      {"aaaaaaaaaaaaaaaaaaa\xc3\xa9", 20, "aaaaaaaaaaaaaaaaaaa"},  // not half of it
      {"aaaaaaaaaaaaaaaaa\xf0\x9f\x98\x80", 20, "aaaaaaaaaaaaaaaaa"},
      {"\xff\xfe", 1, "\xff"},  // a byte that begins nothing is one
  };
  for (const auto& c : kCuts)
    EXPECT_EQ(WholeCharactersPrefix(c.text, c.max), c.prefix) << c.text;
}

}  // namespace

}  // namespace saferoom
