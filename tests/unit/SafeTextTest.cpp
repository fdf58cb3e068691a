// WholeCharactersPrefix: a name cut to its field never ends in part of a
// character. (What SafeText, SafeName and NameFault make of every kind of
// byte is in the shared vectors, tests/vectors/protocol.json, which
// VectorsTest and the JavaScript tests read.)
#include <gtest/gtest.h>

#include <string>

#include "protect/SafeText.h"

namespace saferoom {

namespace {

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
