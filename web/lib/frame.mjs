// The chat frame: 48-byte header plus SM4-CBC payload under FrameKey. Builds
// the frames a client sends and reads the ones it receives; used by the
// session driver (room.mjs), the tests and the protocol document's examples.
// Names follow protect/Frame of the C++ tree.
import { Sm4Cbc, Sm4ExpandKey, Sm4ReverseKeys } from './sm4.mjs';

export const kHeaderSize = 48;
export const kNameSize = 20;
// The largest payload the server reads; a header asking for more ends the
// connection.
export const kMaxPayload = 65536;
// A text travels with its NUL, so this is the longest that fits one frame.
export const kMaxTextLen = kMaxPayload - 1;

// Requests and replies share numbers.
export const FrameType = Object.freeze({
  Login: 0, // client -> server
  LoginAccepted: 0, // server -> client
  Logout: 1, // client -> server
  NameInUse: 1, // server -> client
  Chat: 2, // both ways
  UserList: 4, // server -> client
  // The history extension, far from the original codes: peers that predate
  // it ignore them (and never send them).
  HistoryRequest: 16, // client -> server
  HistoryItem: 16, // server -> client: one kept message
  HistoryEnd: 17, // server -> client: the answer is complete
  // The reclaim extension: a member that asked holds a key, with which a new
  // connection of its own takes its name back from its stale one.
  ReclaimKeyRequest: 18, // client -> server: a key for this membership
  ReclaimKey: 18, // server -> client: the key
  Reclaim: 19, // client -> server: in place of a Login
  Reclaimed: 19, // server -> client: the name is this connection's now
  // The device extension (lib/device-auth.mjs): a private room's web port
  // only, before the room sees the connection; each code has one direction.
  DeviceHello: 32, // client -> server
  DeviceChallenge: 33, // server -> client
  DeviceEnrol: 34, // client -> server
  DeviceProof: 35, // client -> server
  DeviceAccepted: 36, // server -> client
  DeviceRefused: 37, // server -> client
});

// The history extension's payloads: u64 little-endian words, times in µs
// since the Unix epoch. HistoryRequest: since (0: all), 8 zero bytes.
// HistoryItem: relay time, ordinal, then the message as the live Chat carried
// it. HistoryEnd: run id, boundary time and ordinal, 8 zero bytes.
export const kHistoryRequestSize = 16;
export const kHistoryItemPrefix = 16;
export const kHistoryEndSize = 32;

// The reclaim extension's payloads (u64 little-endian numbers). ReclaimKey:
// the key alone. Reclaim: the name (20 bytes), 4 zero bytes, `received` (the
// bytes of whole frames the stale connection brought, or kReclaimFresh for
// none kept), then the key. Reclaimed: the stale connection's Chat frames
// relayed, the bytes written to it after `received` that do not follow (0:
// what follows is the rest of its stream), then the next key.
export const kReclaimKeySize = 32;
export const kReclaimSize = 64;
export const kReclaimedSize = 48;
export const kReclaimFresh = 2n ** 64n - 1n;

// The low two bits of LengthWord.
export const PayloadKind = Object.freeze({ Binary: 0, Text: 1 });

export const Scope = Object.freeze({ None: 0, Public: 1, Private: 2 });

export const IvMaskStep = 4020763;
export const FrameKey = new TextEncoder().encode('Quill7_meadow_Rx');

const kNameOffset = 12;
const kIvOffset = 32;

// The key never changes: both schedules are made once.
const encryptKeys = Sm4ExpandKey(FrameKey);
const decryptKeys = Sm4ReverseKeys(Sm4ExpandKey(FrameKey));

const loadLe = (p, at) => (p[at] | (p[at + 1] << 8) | (p[at + 2] << 16) | (p[at + 3] << 24)) >>> 0;

function storeLe(p, at, v) {
  p[at] = v;
  p[at + 1] = v >>> 8;
  p[at + 2] = v >>> 16;
  p[at + 3] = v >>> 24;
}

// XORs a 16-byte IV with IvMask, in place; masking and unmasking are the same.
export function ApplyIvMask(iv) {
  for (let k = 1; k <= 4; k++) {
    const at = 4 * (k - 1);
    storeLe(iv, at, loadLe(iv, at) ^ Math.imul(k, IvMaskStep));
  }
  return iv;
}

// 16 fresh bytes from the platform's cryptographic generator (browser and
// Node alike).
export function RandomIv() {
  return globalThis.crypto.getRandomValues(new Uint8Array(16));
}

// BuildFrame makes one frame as a Uint8Array. kind 1 (Text) shortens `data`
// to the string before its first NUL; the plaintext is zero-filled to a
// multiple of 16 and encrypted under `iv` (fresh random bytes unless a test
// gives them). `name` (up to 20 bytes) goes in only on Chat and HistoryItem
// frames. Null when
// the payload would exceed what LengthWord can say.
export function BuildFrame(type, kind, data, name, scope, iv = RandomIv()) {
  let bytes = data ?? new Uint8Array(0);
  if ((kind & 3) === PayloadKind.Text) {
    const nul = bytes.indexOf(0);
    if (nul >= 0) bytes = bytes.subarray(0, nul);
  }
  const padded = Math.ceil(bytes.length / 16) * 16;
  if (padded > 0x3fffffff) return null; // LengthWord keeps 30 bits of length
  const frame = new Uint8Array(kHeaderSize + padded); // zeroed: name field and fill
  const payload = frame.subarray(kHeaderSize);
  if (bytes.length > 0) {
    payload.set(bytes);
    Sm4Cbc(encryptKeys, 1, iv.slice(), payload, payload); // a copy: Sm4Cbc moves its IV
  }
  storeLe(frame, 0, type);
  storeLe(frame, 4, ((padded << 2) ^ (kind & 3)) >>> 0);
  storeLe(frame, 8, scope);
  const named = type === FrameType.Chat || type === FrameType.HistoryItem || type === FrameType.DeviceAccepted;
  if (named && name) frame.set(name.subarray(0, kNameSize), kNameOffset);
  frame.set(iv, kIvOffset);
  ApplyIvMask(frame.subarray(kIvOffset, kIvOffset + 16));
  return frame;
}

// The requests a client sends. Names and texts are UTF-8 bytes.
export function LoginFrame(name, iv) {
  const field = new Uint8Array(kNameSize);
  field.set(name.subarray(0, kNameSize));
  return BuildFrame(FrameType.Login, PayloadKind.Binary, field, null, Scope.None, iv);
}

export function LogoutFrame(iv) {
  return BuildFrame(FrameType.Logout, PayloadKind.Binary, null, null, Scope.None, iv);
}

// A public text when `to` is empty, else private to `to`. Built as binary with
// the NUL counted and then marked Text, so that every text payload carries
// its NUL, even one whose length is a multiple of 16 (as the chat command
// does).
export function ChatFrame(text, to, iv) {
  const withNul = new Uint8Array(text.length + 1);
  withNul.set(text);
  const recipient = to && to.length > 0 ? to : null;
  const frame = BuildFrame(FrameType.Chat, PayloadKind.Binary, withNul, recipient,
    recipient ? Scope.Private : Scope.Public, iv);
  if (frame) frame[4] |= PayloadKind.Text;
  return frame;
}

// Asks for the kept messages relayed after `since` (µs since the epoch, a
// Number or BigInt; 0: all). A server that predates it ignores it.
export function HistoryRequestFrame(since, iv) {
  const payload = new Uint8Array(kHistoryRequestSize);
  new DataView(payload.buffer).setBigUint64(0, BigInt(since), true);
  return BuildFrame(FrameType.HistoryRequest, PayloadKind.Binary, payload, null, Scope.None, iv);
}

// Asks for a key to reclaim the name with after a cut; a server that
// predates it ignores it.
export function ReclaimKeyRequestFrame(iv) {
  return BuildFrame(FrameType.ReclaimKeyRequest, PayloadKind.Binary, null, null, Scope.None, iv);
}

// In place of a Login: `name` back from our own stale connection with its
// `key`, and `received`, the bytes of frames it brought (a Number or BigInt;
// kReclaimFresh: none kept).
export function ReclaimFrame(name, key, received, iv) {
  const payload = new Uint8Array(kReclaimSize);
  payload.set(name.subarray(0, kNameSize));
  new DataView(payload.buffer).setBigUint64(24, BigInt(received), true);
  payload.set(key.subarray(0, kReclaimKeySize), 32);
  const frame = BuildFrame(FrameType.Reclaim, PayloadKind.Binary, payload, null, Scope.None, iv);
  payload.fill(0);
  return frame;
}

// A Reclaimed payload: { chatsRelayed, lost, key } (counts as Numbers;
// zero-filled when short).
export function ReadReclaimed(payload) {
  const fields = new Uint8Array(kReclaimedSize);
  fields.set(payload.subarray(0, kReclaimedSize));
  return { chatsRelayed: LoadLe64(fields, 0), lost: LoadLe64(fields, 8), key: fields.slice(16) };
}

// The u64 little-endian word at `at` as a Number (exact below 2^53: times in
// µs until the year 2255).
export function LoadLe64(bytes, at) {
  return loadLe(bytes, at) + loadLe(bytes, at + 4) * 2 ** 32;
}

// The 48 header bytes at the start of `bytes`. `name` is the raw 20-byte
// field; `iv` is as on the wire, still masked.
export function ParseHeader(bytes) {
  return {
    type: loadLe(bytes, 0),
    lengthWord: loadLe(bytes, 4),
    scope: loadLe(bytes, 8),
    name: bytes.slice(kNameOffset, kNameOffset + kNameSize),
    iv: bytes.slice(kIvOffset, kIvOffset + 16),
  };
}

export const PayloadLength = (lengthWord) => lengthWord >>> 2;
export const KindOf = (lengthWord) => lengthWord & 3;

// True when a reader may go on to read the payload: its length is a multiple
// of 16 and at most kMaxPayload, as the server requires of its peers too.
export function HeaderAcceptable(header) {
  const payloadLen = PayloadLength(header.lengthWord);
  return payloadLen % 16 === 0 && payloadLen <= kMaxPayload;
}

// The plaintext of a payload, zero fill included.
export function DecryptPayload(header, cipher) {
  const plain = new Uint8Array(cipher.length);
  Sm4Cbc(decryptKeys, 0, ApplyIvMask(header.iv.slice()), cipher, plain);
  return plain;
}

// The bytes before the first NUL, at most all of them: a name field or a
// text payload.
export function NameString(field) {
  const nul = field.indexOf(0);
  return field.slice(0, nul < 0 ? field.length : nul);
}

// A received frame, decrypted: { type, kind, scope, name, payload } with
// `name` the header's name up to its NUL and `payload` with its zero fill.
export function DecodeFrame(header, cipher) {
  return {
    type: header.type,
    kind: KindOf(header.lengthWord),
    scope: header.scope,
    name: NameString(header.name),
    payload: DecryptPayload(header, cipher),
  };
}

// The names of a UserList payload, in order. The zero fill after the last
// name is shorter than a name, so it never counts as one; an empty member
// name is a whole zero field and does.
export function UserListNames(payload) {
  const names = [];
  for (let at = 0; at + kNameSize <= payload.length; at += kNameSize) {
    names.push(NameString(payload.subarray(at, at + kNameSize)));
  }
  return names;
}
