// What a message's text shows on the page, and its links. Pure; used by
// view.js and the tests.
import { SafeText } from './lib/safe-text.mjs';

// The implicit direction marks LRM, RLM and ALM, as UTF-8. They steer only
// neutral characters (spaces, digits, punctuation) and cannot move a letter,
// and the page isolates each message (dir=auto, unicode-bidi: isolate), so
// they are shown as the writer meant them: a right-to-left text then reads
// naturally. Embeddings, overrides and isolates can make letters read in
// another order, so they stay escaped, as do controls and invalid bytes.
const kMarks = [[0xe2, 0x80, 0x8e, '\u200e'], [0xe2, 0x80, 0x8f, '\u200f'], [0xd8, 0x9c, '\u061c']];

// The mark that starts at `at`, or null. Such bytes always start a
// character of their own: neither 0xe2 nor 0xd8 can continue another.
function markAt(bytes, at) {
  return kMarks.find((m) => m.length - 1 <= bytes.length - at &&
    m.slice(0, -1).every((b, i) => bytes[at + i] === b)) ?? null;
}

// The text as SafeText shows it, but with the three marks as themselves.
export function MessageText(bytes) {
  let out = '';
  let from = 0;
  for (let at = 0; at < bytes.length;) {
    const mark = markAt(bytes, at);
    if (!mark) {
      ++at;
      continue;
    }
    out += SafeText(bytes.subarray(from, at)) + mark[mark.length - 1];
    at += mark.length - 1;
    from = at;
  }
  return out + SafeText(bytes.subarray(from));
}

// An http(s) address up to white space, a quote, an angle bracket or a
// backslash (where an escaped byte such as \x1b begins).
const kAddress = /\bhttps?:\/\/[^\s"'<>\\]+/gi;
// Punctuation that ends a sentence rather than an address.
const kTrailing = /[.,;:!?]+$/;

// An address ends before a closing bracket it did not open: "(see
// https://example.org/a)" links to /a, ".../Foo_(bar)" keeps its own.
function trimAddress(address) {
  for (;;) {
    const before = address;
    address = address.replace(kTrailing, '');
    const last = address[address.length - 1];
    const open = { ')': '(', ']': '[', '}': '{' }[last];
    if (open && address.split(open).length <= address.split(last).length - 1) address = address.slice(0, -1);
    if (address === before) return address;
  }
}

// The shown text cut into parts: { text } and { text, href } for each
// http(s) address in it. Nothing else becomes a link.
export function LinkParts(text) {
  const parts = [];
  let from = 0;
  for (const match of text.matchAll(kAddress)) {
    const address = trimAddress(match[0]);
    let url = null;
    try {
      url = new URL(address);
    } catch {
      continue; // no address after all: it stays text
    }
    if (!url.hostname) continue;
    if (match.index > from) parts.push({ text: text.slice(from, match.index) });
    parts.push({ text: address, href: url.href });
    from = match.index + address.length;
  }
  if (from < text.length) parts.push({ text: text.slice(from) });
  return parts;
}
