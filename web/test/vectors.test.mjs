// The shared vectors (tests/vectors/protocol.json) against the library: SM4
// blocks from the standard and OpenSSL, CBC, whole frames as the C++ code
// builds them, and the escaping of names and texts. The C++ side reads the
// same file (tests/unit/VectorsTest.cpp).
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import test from 'node:test';
import {
  ApplyIvMask, BuildFrame, ChatFrame, DecodeFrame, DeviceEnrolFrame, DeviceHelloFrame, DeviceProofFrame, FrameKey,
  HistoryRequestFrame, kHeaderSize, KeyIdOf, kProofLabel, LoginFrame, LogoutFrame, NameFault, ParseHeader, ReadReclaimed,
  ReclaimFrame, ReclaimKeyRequestFrame, SafeText, ShownName, SignChallenge, SignedMessage, Sm4Cbc, Sm4CryptBlock,
  Sm4ExpandKey, Sm4ReverseKeys, UserListNames,
} from '../lib/index.mjs';

const vectors = JSON.parse(readFileSync(new URL('../../tests/vectors/protocol.json', import.meta.url)));
const bytes = (hex) => Uint8Array.from(Buffer.from(hex, 'hex'));
const hex = (b) => Buffer.from(b).toString('hex');

test('the frame key is the one in the vectors', () => {
  assert.equal(hex(FrameKey), vectors.frameKey);
});

test('SM4 blocks match their sources both ways, in place', () => {
  for (const v of vectors.sm4Blocks) {
    const rk = Sm4ExpandKey(bytes(v.key));
    const block = bytes(v.plain);
    for (let i = 0; i < v.times; i++) Sm4CryptBlock(rk, block, block);
    assert.equal(hex(block), v.cipher, v.name);
    Sm4ReverseKeys(rk);
    for (let i = 0; i < v.times; i++) Sm4CryptBlock(rk, block, block);
    assert.equal(hex(block), v.plain, `${v.name}, decrypted`);
  }
});

test('CBC matches its sources both ways, leaves the last block as IV, splits freely', () => {
  for (const v of vectors.cbc) {
    const rk = Sm4ExpandKey(bytes(v.key));
    const plain = bytes(v.plain);
    const cipher = new Uint8Array(plain.length);
    const iv = bytes(v.iv);
    Sm4Cbc(rk, 1, iv, plain, cipher);
    assert.equal(hex(cipher), v.cipher, v.name);
    assert.equal(hex(iv), v.cipher.slice(-32), `${v.name}: IV after`);
    // Two calls, cut after the first block, chain through the IV.
    const split = new Uint8Array(plain.length);
    const chain = bytes(v.iv);
    Sm4Cbc(rk, 1, chain, plain.subarray(0, 16), split.subarray(0, 16));
    Sm4Cbc(rk, 1, chain, plain.subarray(16), split.subarray(16));
    assert.equal(hex(split), v.cipher, `${v.name}: in two calls`);
    // In-place decryption gives the plaintext back and the last cipher block as IV.
    Sm4ReverseKeys(rk);
    const back = bytes(v.iv);
    Sm4Cbc(rk, 0, back, cipher, cipher);
    assert.equal(hex(cipher), v.plain, `${v.name}: decrypted in place`);
    assert.equal(hex(back), v.cipher.slice(-32), `${v.name}: IV after decryption`);
  }
});

test('frames are built byte for byte as the C++ code builds them, and read back', () => {
  for (const v of vectors.frames) {
    const built = BuildFrame(v.type, v.build.kind, bytes(v.build.data), bytes(v.nameField), v.scope, bytes(v.iv));
    if (v.build.markText) built[4] |= 1;
    assert.equal(hex(built), v.frame, v.name);
    const frame = bytes(v.frame);
    const header = ParseHeader(frame);
    assert.deepEqual([header.type, header.lengthWord, header.scope, hex(header.name)],
      [v.type, v.lengthWord, v.scope, v.nameField], v.name);
    assert.equal(hex(ApplyIvMask(header.iv.slice())), v.iv, `${v.name}: IV`);
    assert.equal(hex(DecodeFrame(header, frame.subarray(kHeaderSize)).payload), v.plaintext, `${v.name}: plaintext`);
    assert.equal(frame.length, kHeaderSize + (v.lengthWord >>> 2), `${v.name}: length`);
  }
});

test('the client requests make the frames of the vectors', () => {
  const enc = (s) => new TextEncoder().encode(s);
  const made = {
    login: (r, iv) => LoginFrame(enc(r.name), iv),
    logout: (r, iv) => LogoutFrame(iv),
    chat: (r, iv) => ChatFrame(enc(r.text), enc(r.to), iv),
    history: (r, iv) => HistoryRequestFrame(r.since, iv),
    reclaimKey: (r, iv) => ReclaimKeyRequestFrame(iv),
    reclaim: (r, iv) => ReclaimFrame(enc(r.name), bytes(r.key), r.received, iv),
    deviceHello: (r, iv) => DeviceHelloFrame(iv),
    deviceEnrol: (r, iv) => DeviceEnrolFrame(bytes(r.token), bytes(r.publicKey), bytes(r.signature), iv),
    deviceProof: (r, iv) => DeviceProofFrame(bytes(r.keyId), bytes(r.signature), iv),
  };
  const withRequests = vectors.frames.filter((v) => v.request);
  assert.ok(withRequests.length >= 6);
  for (const v of withRequests) {
    assert.equal(hex(made[v.request.kind](v.request, bytes(v.iv))), v.frame, v.name);
  }
});

test('a Reclaimed payload and the member list read as their vectors say', () => {
  const frame = (name) => bytes(vectors.frames.find((f) => f.name === name).plaintext);
  const v = vectors.frames.find((f) => f.name === 'reclaimed');
  const got = ReadReclaimed(frame('reclaimed'));
  assert.deepEqual([got.chatsRelayed, got.lost, hex(got.key)], [v.answer.chatsRelayed, v.answer.lost, v.answer.key]);
  assert.deepEqual(UserListNames(frame('user-list')).map((n) => Buffer.from(n).toString()), ['carol', 'bob', 'alice']);
});

test('escaping and the name rules: texts and names as the vectors show them', () => {
  for (const c of vectors.escaping) {
    const raw = bytes(c.raw);
    assert.equal(SafeText(raw), c.text, c.name);
    assert.equal(ShownName(raw), c.shownName, `${c.name} (as a name)`);
    assert.equal(NameFault(raw), c.nameFault, `${c.name} (the name rules)`);
  }
});

test('device signatures verify only as the vectors say, and ours verify too', async () => {
  const key = vectors.deviceKey;
  const point = bytes(key.publicKey);
  assert.equal(hex(await KeyIdOf(point)), key.keyId);
  const ecdsa = { name: 'ECDSA', namedCurve: 'P-256' };
  const verifier = await crypto.subtle.importKey('raw', point, ecdsa, false, ['verify']);
  const verify = (label, signature) => crypto.subtle.verify({ name: 'ECDSA', hash: 'SHA-256' }, verifier, signature,
    SignedMessage(label, bytes(key.challenge)));
  assert.ok(vectors.deviceSignatures.length >= 4);
  for (const v of vectors.deviceSignatures) {
    assert.equal(await verify(v.label, bytes(v.signature)), v.valid, v.name);
  }
  // The library's own signature, from the vectors' private scalar, is in
  // the same raw form the server verifies.
  const b64 = (h) => Buffer.from(h, 'hex').toString('base64url');
  const jwk = { kty: 'EC', crv: 'P-256', d: b64(key.privateScalar), x: b64(key.publicKey.slice(2, 66)), y: b64(key.publicKey.slice(66)) };
  const signer = await crypto.subtle.importKey('jwk', jwk, ecdsa, false, ['sign']);
  const ours = await SignChallenge(signer, kProofLabel, bytes(key.challenge));
  assert.equal(ours.length, 64);
  assert.ok(await verify(kProofLabel, ours));
});
