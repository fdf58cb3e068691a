// Escaping of client-chosen bytes before they reach a terminal.
// Called by the server's console notices and the chat client's output.
#include "protect/SafeText.h"

#include <utf8proc.h>

#include <cstddef>
#include <cstdint>

namespace saferoom {

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
// turns the direction of the text after it (Bidi_Control: U+061C, U+200E,
// U+200F, U+202A to U+202E, U+2066 to U+2069): a name could make a line read
// otherwise.
bool IsControl(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  if (s.size() == 2)
    return (byte(0) == 0xc2 && byte(1) <= 0x9f) || (byte(0) == 0xd8 && byte(1) == 0x9c);
  if (s.size() != 3 || byte(0) != 0xe2) return false;
  const uint8_t b1 = byte(1), b2 = byte(2);
  return (b1 == 0x80 && (b2 == 0x8e || b2 == 0x8f || (b2 >= 0xaa && b2 <= 0xae))) ||
         (b1 == 0x81 && b2 >= 0xa6 && b2 <= 0xa9);
}

// True when the character `s` (one ASCII byte or a valid sequence) is Unicode
// White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000.
bool IsWhiteSpace(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  switch (s.size()) {
    case 1:
      return (byte(0) >= 0x09 && byte(0) <= 0x0d) || byte(0) == 0x20;
    case 2:
      return byte(0) == 0xc2 && (byte(1) == 0x85 || byte(1) == 0xa0);
    case 3: {
      const uint32_t c = (uint32_t{byte(0)} << 16) | (uint32_t{byte(1)} << 8) | byte(2);
      return c == 0xe19a80 || (c >= 0xe28080 && c <= 0xe2808a) || c == 0xe280a8 || c == 0xe280a9 ||
             c == 0xe280af || c == 0xe2819f || c == 0xe38080;
    }
    default:
      return false;
  }
}

// The code point of the valid sequence `s`.
int32_t CodePoint(std::string_view s) {
  utf8proc_int32_t cp = -1;
  utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                   static_cast<utf8proc_ssize_t>(s.size()), &cp);
  return cp;
}

// True for a character that shows nothing and so could hide in a name:
// Default_Ignorable_Code_Point (U+200B, U+00AD, U+034F, U+3164, U+FEFF, ...)
// or a format character (Cf).
bool IsInvisible(std::string_view s) {
  // No ASCII character is one; bytes that are not UTF-8 are escaped anyway.
  if (s.size() < 2 || Utf8SequenceLength(s) != s.size()) return false;
  const utf8proc_property_t* p = utf8proc_get_property(CodePoint(s));
  return p->ignorable || p->category == UTF8PROC_CATEGORY_CF;
}

// The bytes of the character at the start of `s`: an ASCII byte, a valid
// sequence, or a byte that begins none (as SafeText steps over it).
size_t CharLength(std::string_view s) {
  if (static_cast<uint8_t>(s[0]) < 0x80) return 1;
  const size_t len = Utf8SequenceLength(s);
  return len == 0 ? 1 : len;
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

std::string SafeName(std::string_view raw) {
  // [head, tail) runs from the first character that is not white space to
  // the end of the last one; empty when there is none.
  size_t head = raw.size(), tail = raw.size();
  bool found = false;
  for (size_t i = 0, len = 0; i < raw.size(); i += len) {
    len = CharLength(raw.substr(i));
    if (IsWhiteSpace(raw.substr(i, len))) continue;
    if (!found) head = i;
    found = true;
    tail = i + len;
  }
  std::string out;
  for (size_t i = 0; i < head; ++i)
    AppendEscaped(out, static_cast<uint8_t>(raw[i]));
  // Invisible characters show as bytes, wherever they stand.
  size_t run = head;  // where the text not yet written starts
  for (size_t i = head, len = 0; i < tail; i += len) {
    len = CharLength(raw.substr(i));
    if (!IsInvisible(raw.substr(i, len))) continue;
    out += SafeText(raw.substr(run, i - run));
    for (size_t k = 0; k < len; ++k)
      AppendEscaped(out, static_cast<uint8_t>(raw[i + k]));
    run = i + len;
  }
  out += SafeText(raw.substr(run, tail - run));
  for (size_t i = tail; i < raw.size(); ++i)
    AppendEscaped(out, static_cast<uint8_t>(raw[i]));
  return out;
}

const char* NameFault(std::string_view name) {
  size_t first = 0, last = 0, count = 0;  // bytes of the first and last character
  for (size_t i = 0, len = 0; i < name.size(); i += len) {
    const auto b = static_cast<uint8_t>(name[i]);
    len = b < 0x80 ? 1 : Utf8SequenceLength(name.substr(i));
    if (len == 0) return "it is not valid UTF-8";
    if (b < 0x20 || b == 0x7f ||
        (len == 2 && b == 0xc2 && static_cast<uint8_t>(name[i + 1]) <= 0x9f))
      return "it holds a control character";
    if (IsInvisible(name.substr(i, len))) return "it holds an invisible character";
    if (count++ == 0) first = len;
    last = len;
  }
  if (count == 0) return nullptr;
  if (IsWhiteSpace(name.substr(0, first))) return "it begins with white space";
  if (IsWhiteSpace(name.substr(name.size() - last))) return "it ends with white space";
  return nullptr;
}

std::string_view WholeCharactersPrefix(std::string_view text, size_t maxBytes) {
  size_t end = 0;
  for (size_t i = 0, len = 0; i < text.size(); i += len) {
    len = CharLength(text.substr(i));
    if (i + len > maxBytes) break;
    end = i + len;
  }
  return text.substr(0, end);
}

}  // namespace saferoom
