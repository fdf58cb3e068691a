// Makes the byte-level examples of PROTOCOL.md from the shared vectors, so
// that the document shows the bytes both implementations are tested on.
// `node web/tools/protocol-examples.mjs` prints them all; the doc test
// (web/test/protocol-doc.test.mjs) checks that PROTOCOL.md holds each one.
import { readFileSync } from 'node:fs';
import { ApplyIvMask, DecodeFrame, kHeaderSize, ParseHeader } from '../lib/frame.mjs';

export const vectors = JSON.parse(readFileSync(new URL('../../tests/vectors/protocol.json', import.meta.url)));

const bytes = (hex) => Uint8Array.from(Buffer.from(hex, 'hex'));
const spaced = (b) => [...b].map((x) => x.toString(16).padStart(2, '0')).join(' ');

// 16 bytes a line, with offsets, as xxd shows them without the text column.
function dump(b, indent) {
  const lines = [];
  for (let at = 0; at < b.length; at += 16) {
    lines.push(`${indent}${at.toString(16).padStart(4, '0')}  ${spaced(b.subarray(at, at + 16))}`);
  }
  return lines.length ? lines.join('\n') : `${indent}(none)`;
}

const printable = (b) => [...b].map((x) => (x >= 0x20 && x < 0x7f ? String.fromCharCode(x) : '.')).join('');

// One frame of the vectors as a fenced block: the whole frame, then its
// fields, the IV before masking and the decrypted payload.
export function exampleBlock(name) {
  const v = vectors.frames.find((f) => f.name === name);
  const frame = bytes(v.frame);
  const header = ParseHeader(frame);
  const plain = DecodeFrame(header, frame.subarray(kHeaderSize)).payload;
  const len = v.lengthWord >>> 2;
  return [
    '```',
    `${v.name}: ${v.about}`,
    `whole frame, ${frame.length} bytes:`,
    dump(frame, '  '),
    'fields:',
    `  FrameType   ${spaced(frame.subarray(0, 4))}   ${v.type}`,
    `  LengthWord  ${spaced(frame.subarray(4, 8))}   0x${v.lengthWord.toString(16).padStart(8, '0')} = ${len} << 2 | ${v.lengthWord & 3}`,
    `  Scope       ${spaced(frame.subarray(8, 12))}   ${v.scope}`,
    `  UserName    ${spaced(header.name)}   "${printable(header.name.subarray(0, header.name.indexOf(0) < 0 ? 20 : header.name.indexOf(0)))}"`,
    `  IV field    ${spaced(header.iv)}`,
    `  IV          ${spaced(ApplyIvMask(header.iv.slice()))}   (the field XOR IvMask)`,
    `payload, ${len} bytes, decrypted:`,
    dump(plain, '  '),
    '```',
  ].join('\n');
}

// IvMask as the 16 bytes that are XORed with the IV field.
export function ivMaskBlock() {
  return ['```', `IvMask  ${spaced(ApplyIvMask(new Uint8Array(16)))}`, '```'].join('\n');
}

// The examples in the order PROTOCOL.md shows them.
export const exampleNames = ['login', 'login-accepted', 'user-list', 'name-in-use', 'chat-public',
  'relayed-public', 'chat-private', 'relayed-private', 'chat-sixteen', 'relayed-sixteen', 'logout',
  'history-request', 'history-item', 'history-end', 'device-hello', 'device-challenge', 'device-enrol', 'device-proof',
  'device-accepted', 'device-refused', 'reclaim-key-request', 'reclaim-key', 'reclaim', 'reclaimed'];

if (process.argv[1] === new URL(import.meta.url).pathname) {
  console.log(ivMaskBlock());
  for (const name of exampleNames) console.log(`\n${exampleBlock(name)}`);
}
