// The stream reader: a stream of several frames cut at every pair of points,
// or fed a byte at a time, gives the same whole frames; a header no sound
// peer sends stops it.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import test from 'node:test';
import { BuildFrame, FrameReader, FrameType, kMaxPayload, Scope } from '../lib/index.mjs';

const vectors = JSON.parse(readFileSync(new URL('../../tests/vectors/protocol.json', import.meta.url)));
const bytes = (hex) => Uint8Array.from(Buffer.from(hex, 'hex'));
const hex = (b) => Buffer.from(b).toString('hex');

// Every frame of the vectors back to back: empty payloads, one block, several.
const frames = vectors.frames.map((v) => bytes(v.frame));
const stream = Uint8Array.from(frames.flatMap((f) => [...f]));
const want = frames.map(hex);

// The frame as it was on the wire: header fields and payload laid out again.
function frameBytes({ header, payload }) {
  const f = new Uint8Array(48 + payload.length);
  const dv = new DataView(f.buffer);
  dv.setUint32(0, header.type, true);
  dv.setUint32(4, header.lengthWord, true);
  dv.setUint32(8, header.scope, true);
  f.set(header.name, 12);
  f.set(header.iv, 32);
  f.set(payload, 48);
  return f;
}

// What the reader hands out for `chunks`, as whole frames again, and the
// bytes it still holds.
function readAll(chunks) {
  const reader = new FrameReader();
  const out = [];
  for (const chunk of chunks) {
    reader.push(chunk);
    for (let got = reader.next(); got !== FrameReader.NeedMore; got = reader.next()) {
      assert.notEqual(got, FrameReader.BadHeader);
      out.push(hex(frameBytes(got)));
    }
  }
  return [out, reader.pending];
}

test('a stream cut twice, at every pair of points over its first frames, reads the same', () => {
  // The first three frames and the start of the fourth: every pair of cuts
  // over them stays quick, and they cross every kind of boundary.
  const part = stream.slice(0, frames[0].length + frames[1].length + frames[2].length + 20);
  for (let a = 0; a <= part.length; a++) {
    for (let b = a; b <= part.length; b++) {
      assert.deepEqual(readAll([part.slice(0, a), part.slice(a, b), part.slice(b)]), [want.slice(0, 3), 20], `cuts at ${a} and ${b}`);
    }
  }
});

test('the whole stream a byte at a time, and all at once, gives every frame once, in order', () => {
  assert.deepEqual(readAll([...stream].map((b) => Uint8Array.of(b))), [want, 0]);
  assert.deepEqual(readAll([stream]), [want, 0]);
});

test('the reader keeps its own copy: a reused chunk buffer changes nothing', () => {
  const reader = new FrameReader();
  const chunk = stream.slice(0, 30);
  reader.push(chunk);
  chunk.fill(0xff);
  reader.push(stream.slice(30, frames[0].length));
  assert.equal(hex(frameBytes(reader.next())), want[0]);
});

test('headers no sound peer sends stop the stream; the largest payload passes', () => {
  const header = (lengthWord) => {
    const h = new Uint8Array(48);
    new DataView(h.buffer).setUint32(4, lengthWord, true);
    return h;
  };
  const cases = [
    // name, LengthWord, bad
    ['the largest payload', kMaxPayload << 2, false],
    ['the largest payload, kind bits set', (kMaxPayload << 2) | 3, false],
    ['one block over the largest', (kMaxPayload + 16) << 2, true],
    ['not a multiple of 16', 17 << 2, true],
    ['the highest LengthWord', 0xffffffff, true],
  ];
  for (const [name, lengthWord, bad] of cases) {
    const reader = new FrameReader();
    reader.push(frames[0]); // a sound frame first: it still comes out
    reader.push(header(lengthWord));
    assert.equal(hex(frameBytes(reader.next())), want[0], name);
    const got = reader.next();
    assert.equal(got === FrameReader.BadHeader, bad, name);
    if (bad) {
      reader.push(frames[0]);
      assert.equal(reader.next(), FrameReader.BadHeader, `${name}: stays bad`);
    } else {
      assert.equal(got, FrameReader.NeedMore, `${name}: waits for the payload`);
    }
  }
});

// Behind the end of a part frame, so that the buffer both moves its rest to
// the front and grows.
test('a payload of the largest size arrives whole after many small chunks', () => {
  const big = BuildFrame(FrameType.Chat, 0, new Uint8Array(kMaxPayload).fill(7), null, Scope.Public);
  const tail = Uint8Array.from([...stream.subarray(-10), ...big]);
  const chunks = [stream.subarray(0, -10)];
  for (let at = 0; at < tail.length; at += 1000) chunks.push(tail.subarray(at, at + 1000));
  assert.deepEqual(readAll(chunks), [[...want, hex(big)], 0]);
});
