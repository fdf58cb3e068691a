// The device exchange on the page's side (lib/device-auth.mjs), against a
// scripted server: what it sends, what each verdict makes of the dial, the
// bytes after it going to the room, and the invitation link's token.
import assert from 'node:assert/strict';
import test from 'node:test';
import {
  BuildFrame, DecodeFrame, deviceDialer, DeviceProofFrame, DeviceRefusal, DeviceRefusedError, FrameReader, FrameType, InviteTokenOf,
  kProofLabel, MakeDeviceKey, OpenDeviceExchange, PayloadKind, Scope, SignChallenge, SignedMessage,
} from '../lib/index.mjs';

// A fault that leaves a promise unsettled fails the test, not the suite.
const bounded = { timeout: 5000 };
const le = (n) => Uint8Array.of(n & 255, n >> 8 & 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
const serverFrame = (type, payload, name = '') => {
  const field = new Uint8Array(20);
  field.set(new TextEncoder().encode(name));
  return BuildFrame(type, PayloadKind.Binary, payload, field, Scope.None);
};
const challenge = Uint8Array.from({ length: 32 }, (_, i) => i + 1);

// A server that answers DeviceHello with `onHello` and the client's answer
// with `onAnswer`; its frames reach the client in pieces of `split` bytes.
function scriptedDial({ onHello, onAnswer, split = 7 }) {
  const sent = [];
  let closed = false;
  const dial = ({ onbytes }) => {
    const reader = new FrameReader();
    const deliver = (bytes) => {
      for (let at = 0; at < bytes.length; at += split) onbytes(bytes.subarray(at, at + split));
    };
    dial.deliver = deliver;
    return Promise.resolve({
      send(bytes) {
        reader.push(bytes);
        for (let got = reader.next(); got !== FrameReader.NeedMore; got = reader.next()) {
          const frame = DecodeFrame(got.header, got.payload);
          sent.push(frame);
          const reply = frame.type === FrameType.DeviceHello ? onHello() : onAnswer(frame);
          if (reply) queueMicrotask(() => deliver(reply));
        }
      },
      close() {
        closed = true;
      },
    });
  };
  dial.sent = sent;
  dial.closed = () => closed;
  return dial;
}

test('a proof: hello, challenge, the signed answer, then the room has the connection', bounded, async () => {
  const key = await MakeDeviceKey();
  const dial = scriptedDial({
    onHello: () => serverFrame(FrameType.DeviceChallenge, challenge),
    onAnswer: () => serverFrame(FrameType.DeviceAccepted, le(3), 'alice'),
  });
  const answer = async (c) => DeviceProofFrame(key.keyId, await SignChallenge(key.privateKey, kProofLabel, c));
  const opened = await OpenDeviceExchange(dial, answer);
  assert.deepEqual([...opened.name], [...new TextEncoder().encode('alice')]);
  assert.equal(opened.via, 3);
  assert.deepEqual(dial.sent.map((f) => f.type), [FrameType.DeviceHello, FrameType.DeviceProof]);
  const proof = dial.sent[1].payload;
  assert.deepEqual([...proof.subarray(0, 32)], [...key.keyId]);
  const verifier = await crypto.subtle.importKey('raw', key.publicKey, { name: 'ECDSA', namedCurve: 'P-256' }, false, ['verify']);
  assert.ok(await crypto.subtle.verify({ name: 'ECDSA', hash: 'SHA-256' }, verifier, proof.subarray(32, 96),
    SignedMessage(kProofLabel, challenge)));
  // From here on the room reads the bytes.
  const got = [];
  opened.attach((b) => got.push(...b), () => {});
  dial.deliver(Uint8Array.of(1, 2, 3));
  assert.deepEqual(got, [1, 2, 3]);
});

test('each refusal rejects with its reason, closes, and is heard by the dialer', bounded, async () => {
  for (const reason of Object.values(DeviceRefusal)) {
    const dial = scriptedDial({
      onHello: () => serverFrame(FrameType.DeviceChallenge, challenge),
      onAnswer: () => serverFrame(FrameType.DeviceRefused, le(reason)),
    });
    const heard = [];
    const dialer = deviceDialer(dial, async () => serverFrame(FrameType.DeviceProof, new Uint8Array(96)),
      { onRefused: (err) => heard.push(err.reason) });
    await assert.rejects(dialer({ onbytes() {}, onclose() {} }),
      (err) => err instanceof DeviceRefusedError && err.reason === reason);
    assert.deepEqual(heard, [reason]);
    assert.ok(dial.closed(), `closed after refusal ${reason}`);
  }
});

test('nothing to answer with: the page closes and says so; a certificate needs no answer', bounded, async () => {
  const dial = scriptedDial({ onHello: () => serverFrame(FrameType.DeviceChallenge, challenge), onAnswer: () => null });
  await assert.rejects(OpenDeviceExchange(dial, async () => null), (err) => err instanceof DeviceRefusedError && err.reason === null);
  assert.ok(dial.closed());
  const member = scriptedDial({ onHello: () => serverFrame(FrameType.DeviceAccepted, le(1), 'dave'), onAnswer: () => null });
  const opened = await OpenDeviceExchange(member, async () => assert.fail('no challenge came'));
  assert.equal(opened.via, 1);
  assert.equal(new TextDecoder().decode(opened.name), 'dave');
});

test('the first dial takes the exchange already open, later ones run their own', bounded, async () => {
  let dials = 0;
  const inner = scriptedDial({
    onHello: () => serverFrame(FrameType.DeviceChallenge, challenge),
    onAnswer: () => serverFrame(FrameType.DeviceAccepted, le(3), 'alice'),
  });
  const counting = (callbacks) => {
    dials++;
    return inner(callbacks);
  };
  const answer = async () => serverFrame(FrameType.DeviceProof, new Uint8Array(96));
  const first = await OpenDeviceExchange(counting, answer);
  const dialer = deviceDialer(counting, answer, { first });
  assert.equal(await dialer({ onbytes() {}, onclose() {} }), first.transport);
  assert.equal(dials, 1);
  await dialer({ onbytes() {}, onclose() {} });
  assert.equal(dials, 2);
});

test('the invitation token comes from the link fragment only in its own form', () => {
  const token = 'YS74K9dcFqSyU4noF2ARMZDa9WUF6WVHgnYNIcp_IV0';
  const cases = [
    [`#invite=${token}`, true],
    [`#x=1&invite=${token}`, true],
    [`#invite=${token}x`, false], // 44 characters
    [`#invite=${token.slice(1)}`, false],
    [`#invite=${token.replace('_', '/')}`, false], // base64, not base64url
    ['', false],
    [null, false],
  ];
  for (const [hash, ok] of cases) assert.equal(InviteTokenOf(hash)?.length === 32, ok, String(hash));
  assert.equal(InviteTokenOf(`#invite=${token}`)[31], 0x5d);
});
