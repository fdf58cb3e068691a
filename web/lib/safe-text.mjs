// Makes client-chosen bytes safe to show: the same escaping as the console's
// (protect/SafeText), plus the name rules. Used by the web app and by anyone
// printing names or texts; pure.

const encoder = new TextEncoder();

const toBytes = (raw) => (typeof raw === 'string' ? encoder.encode(raw) : raw);

// Length of the well-formed UTF-8 sequence at `at` (lead byte at least 0x80),
// or 0 when there is none. The ranges of the second byte keep out overlong
// forms, surrogates and code points above U+10FFFF.
function sequenceLength(b, at) {
  const lead = b[at];
  let len = 0, lo = 0x80, hi = 0xbf; // allowed range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    len = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    len = 3;
    if (lead === 0xe0) lo = 0xa0; // overlong
    if (lead === 0xed) hi = 0x9f; // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    len = 4;
    if (lead === 0xf0) lo = 0x90; // overlong
    if (lead === 0xf4) hi = 0x8f; // above U+10FFFF
  } else {
    return 0; // continuation byte, C0/C1 (overlong two-byte) or F5..FF
  }
  if (b.length - at < len || b[at + 1] < lo || b[at + 1] > hi) return 0;
  for (let i = 2; i < len; i++) if (b[at + i] < 0x80 || b[at + i] > 0xbf) return 0;
  return len;
}

function decode(b, at, len) {
  if (len === 1) return b[at];
  let cp = b[at] & (0xff >> (len + 1));
  for (let i = 1; i < len; i++) cp = (cp << 6) | (b[at + i] & 0x3f);
  return cp;
}

// C0 controls, DEL and C1 controls (some terminals act on them as on ESC [),
// and the Unicode Bidi_Control set: a mark that turns the direction of the
// text after it could make a line read otherwise.
function isControl(cp) {
  return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp === 0x061c || cp === 0x200e ||
    cp === 0x200f || (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// A character that shows nothing and so could hide in a name: the Unicode
// Default_Ignorable_Code_Point set (assigned ones: U+200B, U+00AD, U+034F,
// U+3164, U+FEFF, ...) and the format characters (Cf), as the console has
// them from utf8proc.
const invisible = /^(?:(?=\p{Default_Ignorable_Code_Point})\P{Cn}|\p{Cf})$/u;
function isInvisible(cp) {
  return cp >= 0x80 && invisible.test(String.fromCodePoint(cp));
}

// True for one character (a string of one code point) that is invisible.
export function IsInvisible(char) {
  return char.length > 0 && isInvisible(char.codePointAt(0));
}

// The Unicode White_Space property.
function isWhiteSpace(cp) {
  return (cp >= 0x09 && cp <= 0x0d) || cp === 0x20 || cp === 0x85 || cp === 0xa0 ||
    cp === 0x1680 || (cp >= 0x2000 && cp <= 0x200a) || cp === 0x2028 || cp === 0x2029 ||
    cp === 0x202f || cp === 0x205f || cp === 0x3000;
}

// The bytes cut into characters: { at, len, cp }, cp -1 for a byte that
// starts no valid sequence (only that byte: what follows may be valid).
function characters(b) {
  const out = [];
  for (let at = 0; at < b.length;) {
    const len = b[at] < 0x80 ? 1 : sequenceLength(b, at);
    out.push({ at, len: len || 1, cp: len ? decode(b, at, len) : -1 });
    at += len || 1;
  }
  return out;
}

const hex = (byte) => '\\x' + byte.toString(16).padStart(2, '0');

function render(b, chars, escapedIf) {
  let out = '';
  chars.forEach((c, i) => {
    if (c.cp < 0 || escapedIf(c, i)) {
      for (let i = 0; i < c.len; i++) out += hex(b[c.at + i]);
    } else {
      out += String.fromCodePoint(c.cp);
    }
  });
  return out;
}

// Text as shown: valid UTF-8 passes; controls, Bidi_Control marks and bytes
// that are not valid UTF-8 become \xNN, one per byte, lowercase hex. A
// backslash passes as it is, so the result is for reading, not reversing.
// `raw` is a Uint8Array or a string (taken as its UTF-8 bytes).
export function SafeText(raw) {
  const b = toBytes(raw);
  return render(b, characters(b), (c) => isControl(c.cp));
}

// A member name as shown: as SafeText, and also invisible characters
// wherever they stand and each White_Space character at the start or end of
// the name escaped ("alice " shows as "alice\x20"), so that two names that
// look alike can be told apart; "(anonymous)" when empty.
export function ShownName(raw) {
  const b = toBytes(raw);
  if (b.length === 0) return '(anonymous)';
  const chars = characters(b);
  let first = 0, last = chars.length - 1;
  while (first < chars.length && isWhiteSpace(chars[first].cp)) first++;
  while (last >= first && isWhiteSpace(chars[last].cp)) last--;
  return render(b, chars,
    (c, i) => isControl(c.cp) || isInvisible(c.cp) || i < first || i > last);
}
