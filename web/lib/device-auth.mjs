// The device extension of a private room's web port: a browser gets in with
// a device key of its own (ECDSA P-256, made and kept by WebCrypto), enrolled
// once with an invitation and proved on every connection by signing the
// server's challenge. The frames, the keys, and a dialer that runs the
// exchange before ChatRoom sees the connection. Used by the web app
// (app/device.js); see PROTOCOL.md, Extensions.
import { BuildFrame, DecodeFrame, FrameType, PayloadKind, Scope } from './frame.mjs';
import { FrameReader } from './frame-reader.mjs';

export const kChallengeSize = 32;
export const kInviteTokenSize = 32;
export const kPublicKeySize = 65; // the uncompressed point: 0x04, X, Y
export const kKeyIdSize = 32; // SHA-256 of the public key
export const kSignatureSize = 64; // r || s, as WebCrypto signs
// Signed before the challenge, so that a signature for one purpose never
// passes for the other.
export const kEnrolLabel = 'saferoom-enrol-1';
export const kProofLabel = 'saferoom-proof-1';

// DeviceAccepted: how the connection got in.
export const DeviceVia = Object.freeze({ Certificate: 1, Enrolled: 2, Proven: 3 });
// DeviceRefused: why not.
export const DeviceRefusal = Object.freeze({
  InvitationUnknown: 1, // used, expired or never made
  DeviceUnknown: 2, // removed from the room, or never enrolled
  BadSignature: 3,
  BadAnswer: 4,
  KeyTaken: 5, // the key is another member's
  Unavailable: 6, // the server could not read or write its state: try later
});

const encoder = new TextEncoder();
const subtle = () => globalThis.crypto.subtle;

const concat = (...parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
};

const verdictOf = (payload) => (payload[0] | payload[1] << 8 | payload[2] << 16 | payload[3] << 24) >>> 0;

export function DeviceHelloFrame(iv) {
  return BuildFrame(FrameType.DeviceHello, PayloadKind.Binary, null, null, Scope.None, iv);
}

export function DeviceEnrolFrame(token, publicKey, signature, iv) {
  return BuildFrame(FrameType.DeviceEnrol, PayloadKind.Binary, concat(token, publicKey, signature), null,
    Scope.None, iv);
}

export function DeviceProofFrame(keyId, signature, iv) {
  return BuildFrame(FrameType.DeviceProof, PayloadKind.Binary, concat(keyId, signature), null, Scope.None, iv);
}

// The bytes a device signs: the label, then the challenge.
export function SignedMessage(label, challenge) {
  return concat(encoder.encode(label), challenge);
}

// A new device key: the private half cannot be exported, not even by the
// page; `publicKey` is its 65-byte point and `keyId` that point's SHA-256.
export async function MakeDeviceKey() {
  const pair = await subtle().generateKey({ name: 'ECDSA', namedCurve: 'P-256' }, false, ['sign']);
  const publicKey = new Uint8Array(await subtle().exportKey('raw', pair.publicKey));
  return { privateKey: pair.privateKey, publicKey, keyId: await KeyIdOf(publicKey) };
}

export async function KeyIdOf(publicKey) {
  return new Uint8Array(await subtle().digest('SHA-256', publicKey));
}

export async function SignChallenge(privateKey, label, challenge) {
  return new Uint8Array(await subtle().sign({ name: 'ECDSA', hash: 'SHA-256' }, privateKey,
    SignedMessage(label, challenge)));
}

// The invitation token of a link's fragment (#invite=TOKEN, base64url), or
// null when there is none or it is no token.
export function InviteTokenOf(hash) {
  const match = /(?:^#|&)invite=([A-Za-z0-9_-]{43})(?:&|$)/.exec(hash ?? '');
  if (!match) return null;
  const b64 = match[1].replace(/-/g, '+').replace(/_/g, '/') + '=';
  const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
  return bytes.length === kInviteTokenSize ? bytes : null;
}

// A refusal by the server; `reason` is a DeviceRefusal.
export class DeviceRefusedError extends Error {
  constructor(reason) {
    super(`the room refused this device (${reason})`);
    this.reason = reason;
  }
}

// Connects with `dial` (a ChatRoom dialer) and runs the exchange: DeviceHello,
// then, when challenged, the frame `answer(challenge)` resolves with (null:
// nothing to answer with). Resolves with { name (bytes), via, transport,
// attach(onbytes, onclose) }: the connection, now the room's, whose bytes
// go where attach says. Rejects with DeviceRefusedError when refused
// (`refusal` null when the page had nothing to answer with and closed), or
// with an Error when the connection failed.
export function OpenDeviceExchange(dial, answer) {
  return new Promise((resolve, reject) => {
    const reader = new FrameReader();
    let transport = null;
    let settled = false;
    let room = null; // { onbytes, onclose } once attached
    const fail = (err) => {
      if (settled) return;
      settled = true;
      try {
        transport?.close();
      } catch {
        // Already gone.
      }
      reject(err);
    };
    const onframe = async (frame) => {
      if (frame.type === FrameType.DeviceChallenge && frame.payload.length >= kChallengeSize) {
        const reply = await answer(frame.payload.subarray(0, kChallengeSize));
        if (settled) return;
        if (!reply) fail(new DeviceRefusedError(null));
        else transport.send(reply);
      } else if (frame.type === FrameType.DeviceAccepted) {
        settled = true;
        resolve({
          name: frame.name,
          via: verdictOf(frame.payload),
          transport,
          attach: (onbytes, onclose) => (room = { onbytes, onclose }),
        });
      } else if (frame.type === FrameType.DeviceRefused) {
        fail(new DeviceRefusedError(verdictOf(frame.payload)));
      }
    };
    const onbytes = (bytes) => {
      if (room) {
        room.onbytes(bytes);
        return;
      }
      reader.push(bytes);
      for (let got = reader.next(); got !== FrameReader.NeedMore; got = reader.next()) {
        if (got === FrameReader.BadHeader) {
          fail(new Error('the server sent a frame header no server sends'));
          return;
        }
        onframe(DecodeFrame(got.header, got.payload)).catch(fail);
      }
    };
    const onclose = (why) => {
      if (room) room.onclose(why);
      else fail(new Error(why || 'the connection closed during the device check'));
    };
    Promise.resolve()
      .then(() => dial({ onbytes, onclose }))
      .then((t) => {
        transport = t;
        if (settled) t.close();
        else t.send(DeviceHelloFrame());
      }, fail);
  });
}

// A dialer for ChatRoom that runs the exchange on every connection it makes;
// `first`, an exchange already open (OpenDeviceExchange's result), serves
// the first dial. `onRefused(err)` hears each refusal before the dial fails
// with it.
export function deviceDialer(dial, answer, { first = null, onRefused = () => {} } = {}) {
  let spare = first;
  return async ({ onbytes, onclose }) => {
    let opened = spare;
    spare = null;
    if (!opened) {
      try {
        opened = await OpenDeviceExchange(dial, answer);
      } catch (err) {
        if (err instanceof DeviceRefusedError) onRefused(err);
        throw err;
      }
    }
    opened.attach(onbytes, onclose);
    return opened.transport;
  };
}
