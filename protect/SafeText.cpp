// Escaping of client-chosen bytes before they reach a terminal.
// Called by the server's console notices and the chat client's output.
#include "protect/SafeText.h"

#include <cstddef>
#include <cstdint>

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s` (lead byte at
// least 0x80), or 0 when there is none. The ranges of the second byte keep out
// overlong forms, surrogates and code points above U+10FFFF.
size_t Utf8SequenceLength(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(0);
  size_t len = 0;
  uint8_t lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    len = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    len = 3;
    if (lead == 0xe0) lo = 0xa0;  // overlong
    if (lead == 0xed) hi = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    len = 4;
    if (lead == 0xf0) lo = 0x90;  // overlong
    if (lead == 0xf4) hi = 0x8f;  // above U+10FFFF
  } else {
    return 0;  // continuation byte, C0/C1 (overlong two-byte) or F5..FF
  }
  if (s.size() < len || byte(1) < lo || byte(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return len;
}

// True for the valid sequence `s` when it encodes a C1 control (U+0080 to
// U+009F: some terminals act on them as on ESC [ and friends) or a mark that
// turns the direction of the text after it (U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069): a name could make a line read otherwise.
bool IsControl(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  if (s.size() == 2) return byte(0) == 0xc2 && byte(1) <= 0x9f;
  if (s.size() != 3 || byte(0) != 0xe2) return false;
  const uint8_t b1 = byte(1), b2 = byte(2);
  return (b1 == 0x80 && (b2 == 0x8e || b2 == 0x8f || (b2 >= 0xaa && b2 <= 0xae))) ||
         (b1 == 0x81 && b2 >= 0xa6 && b2 <= 0xa9);
}

void AppendEscaped(std::string& out, uint8_t b) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[b >> 4];
  out += kHex[b & 0xf];
}

}  // namespace

std::string SafeText(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  size_t i = 0;
  while (i < raw.size()) {
    const auto b = static_cast<uint8_t>(raw[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7f) {
        AppendEscaped(out, b);
      } else {
        out += static_cast<char>(b);
      }
      ++i;
      continue;
    }
    const size_t len = Utf8SequenceLength(raw.substr(i));
    if (len == 0) {
      // Only the lead byte: what follows may start a valid sequence.
      AppendEscaped(out, b);
      ++i;
    } else if (IsControl(raw.substr(i, len))) {
      for (size_t k = 0; k < len; ++k)
        AppendEscaped(out, static_cast<uint8_t>(raw[i + k]));
      i += len;
    } else {
      out.append(raw.substr(i, len));
      i += len;
    }
  }
  return out;
}
