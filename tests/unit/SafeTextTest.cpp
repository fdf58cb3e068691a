// SafeText: what a client can put in a name or message must not reach the
// terminal as a control sequence, while ordinary UTF-8 text passes untouched.
// SafeName: the same, and white space at a name's ends shows.
#include <gtest/gtest.h>

#include <string>

#include "protect/SafeText.h"

namespace {

struct Case {
  const char* name;
  std::string_view raw;
  const char* safe;
  const char* asName = nullptr;  // SafeName's, when it differs from SafeText's
};

using namespace std::string_view_literals;

constexpr Case kCases[] = {
    {"printable ascii", "Hi, Bob! ~{}", "Hi, Bob! ~{}"},
    {"backslash passes", "a\\x41", "a\\x41"},
    {"escape sequence", "\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"},
    {"C0 controls and DEL", "a\r\n\tb\x7f", "a\\x0d\\x0a\\x09b\\x7f"},
    {"embedded NUL", "a\0b"sv, "a\\x00b"},
    {"C1 CSI as UTF-8",
     "\xc2\x9b"
     "31m",
     "\\xc2\\x9b31m"},
    {"C1 first and last", "\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},
    {"raw C1 byte", "\x9b", "\\x9b"},
    {"no-break space passes", "\xc2\xa0", "\xc2\xa0", "\\xc2\\xa0"},
    {"accents, euro, emoji pass", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
     "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
    {"largest code point passes", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
    {"overlong two bytes", "\xc0\xaf", "\\xc0\\xaf"},
    {"overlong three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
    {"overlong four bytes", "\xf0\x80\x80\xaf", "\\xf0\\x80\\x80\\xaf"},
    {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
    {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
    {"F5 and up", "\xf5\xff", "\\xf5\\xff"},
    {"truncated at the end", "ok\xf0\x9f\x98", "ok\\xf0\\x9f\\x98"},
    {"truncated, then text", "\xe2\x82x", "\\xe2\\x82x"},
    {"truncated, then valid", "\xe2\xc3\xa9", "\\xe2\xc3\xa9"},
    {"stray continuation", "a\x80z", "a\\x80z"},
    // Marks that would make the rest of a line read right to left.
    {"LRM and RLM", "\xe2\x80\x8e\xe2\x80\x8f", "\\xe2\\x80\\x8e\\xe2\\x80\\x8f"},
    {"embeddings and overrides first and last", "a\xe2\x80\xaa\xe2\x80\xaez",
     "a\\xe2\\x80\\xaa\\xe2\\x80\\xaez"},
    {"isolates first and last", "\xe2\x81\xa6\xe2\x81\xa9", "\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
    {"arabic letter mark", "x\xd8\x9cy", "x\\xd8\\x9cy"},
    {"its neighbours pass", "\xd8\x9b\xd8\x9d", "\xd8\x9b\xd8\x9d"},
    {"neighbours pass", "\xe2\x80\x8d\xe2\x80\x90\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
     "\xe2\x80\x8d\xe2\x80\x90\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
    // White space at a name's ends shows as its bytes; inside, it stays.
    {"trailing space", "alice ", "alice ", "alice\\x20"},
    {"only spaces", "  ", "  ", "\\x20\\x20"},
    {"tab and space around", "\tbo b \x0b", "\\x09bo b \\x0b", "\\x09bo b\\x20\\x0b"},
    {"ideographic space, NEL, NNBSP", "\xe3\x80\x80x\xc2\x85y\xe2\x80\xaf",
     "\xe3\x80\x80x\\xc2\\x85y\xe2\x80\xaf", "\\xe3\\x80\\x80x\\xc2\\x85y\\xe2\\x80\\xaf"},
    {"ogham, en quad, hair space", "\xe1\x9a\x80\xe2\x80\x80z\xe2\x80\x8a",
     "\xe1\x9a\x80\xe2\x80\x80z\xe2\x80\x8a", "\\xe1\\x9a\\x80\\xe2\\x80\\x80z\\xe2\\x80\\x8a"},
    {"separators, math space", "\xe2\x80\xa8\xe2\x81\x9fq\xe2\x80\xa9",
     "\xe2\x80\xa8\xe2\x81\x9fq\xe2\x80\xa9", "\\xe2\\x80\\xa8\\xe2\\x81\\x9fq\\xe2\\x80\\xa9"},
    // Not White_Space: a zero width space, an invalid byte.
    {"zero width space stays", "\xe2\x80\x8bz", "\xe2\x80\x8bz"},
    {"invalid byte at the end", "a \xff", "a \\xff"},
};

TEST(SafeText, EscapesControlsAndInvalidUtf8Only) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SafeText(c.raw), c.safe);
    EXPECT_EQ(SafeName(c.raw), c.asName ? c.asName : c.safe);
  }
}

}  // namespace
