// Makes client-chosen bytes safe to print on a terminal. Used by the server's
// console notices and by the chat client.
#pragma once

#include <string>
#include <string_view>

namespace saferoom {

// Printable ASCII and valid UTF-8 (non-control) characters pass as they are;
// C0 controls, DEL, C1 controls (also when UTF-8 encoded), the marks that
// change the direction of text (Unicode's Bidi_Control set: U+061C, U+200E/F,
// U+202A..E, U+2066..9) and bytes that are not valid UTF-8 become \xNN, one
// per byte, NN in lowercase hex. A backslash passes unchanged, so the result
// is for reading, not for reversing.
std::string SafeText(std::string_view raw);

// A member name as every client shows it, so that "alice " cannot pass for
// "alice": invisible characters (Unicode's Default_Ignorable_Code_Point set
// and the format characters, Cf: U+200B, U+00AD, U+FEFF, U+3164, ...) become
// their UTF-8 bytes as \xNN wherever they stand, and each Unicode
// White_Space character in the run at the start or at
// the end becomes its UTF-8 bytes as \xNN (as above), white space inside
// stays, the rest goes through SafeText. "alice " shows as "alice\x20".
std::string SafeName(std::string_view raw);

// Why the server refuses `name` as a member's name, or null when it takes
// it: control characters (C0, DEL, C1), invisible characters (as SafeName
// escapes them), white space at either end and bytes that are not UTF-8
// would let one name pass for another. The empty name is taken.
const char* NameFault(std::string_view name);

// The longest start of `text` of at most `maxBytes` that does not cut a UTF-8
// character in two (a certificate's name cut to the 20 bytes of a name).
std::string_view WholeCharactersPrefix(std::string_view text, size_t maxBytes);

}  // namespace saferoom
