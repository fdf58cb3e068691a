// Makes client-chosen bytes safe to print on a terminal. Used by the server's
// console notices and by the chat client.
#pragma once

#include <string>
#include <string_view>

// Printable ASCII and valid UTF-8 (non-control) characters pass as they are;
// C0 controls, DEL, C1 controls (also when UTF-8 encoded), the marks that
// change the direction of text (U+200E/F, U+202A..E, U+2066..9) and bytes
// that are not valid UTF-8 become \xNN, one per byte, NN in lowercase hex. A backslash
// passes unchanged, so the result is for reading, not for reversing.
std::string SafeText(std::string_view raw);
