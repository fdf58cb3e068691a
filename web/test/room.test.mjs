// ChatRoom over a fake transport: the frames it writes, what it makes of the
// bytes it gets in odd splits, and when it closes. No sockets, no waiting.
// (What the session makes of each frame is session.test.mjs's.)
import assert from 'node:assert/strict';
import test, { after } from 'node:test';
import {
  BuildFrame, ChatRoom, DecodeFrame, FrameReader, FrameType, LoadLe64, NameString, Scope,
} from '../lib/index.mjs';

const enc = (s) => new TextEncoder().encode(s);
const str = (b) => new TextDecoder().decode(b);
const field = (s) => {
  const f = new Uint8Array(20);
  f.set(enc(s));
  return f;
};

// What a request frame says, in the words of the tests below.
const said = {
  [FrameType.Login]: (f) => `login ${str(NameString(f.payload))}`,
  [FrameType.Logout]: () => 'logout',
  [FrameType.HistoryRequest]: (f) => `history ${LoadLe64(f.payload, 0)}`,
  [FrameType.ReclaimKeyRequest]: () => 'key',
  [FrameType.Reclaim]: (f) => `reclaim ${str(NameString(f.payload.subarray(0, 20)))} with ${f.payload[32]} after ${new DataView(f.payload.buffer, f.payload.byteOffset).getBigUint64(24, true)}`,
  [FrameType.Chat]: (f) => `chat ${str(f.name) || '-'} ${str(NameString(f.payload))}`,
};

// The server's side of one connection: what the room wrote, decoded, and a
// way to send it bytes.
function fakeServer() {
  const server = { sent: [], closed: false, dials: 0 };
  const reader = new FrameReader();
  server.dial = async ({ onbytes, onclose }) => {
    server.dials++;
    server.push = onbytes;
    server.hangUp = onclose;
    return {
      send(bytes) {
        reader.push(bytes);
        for (let got = reader.next(); got !== FrameReader.NeedMore; got = reader.next()) {
          const f = DecodeFrame(got.header, got.payload);
          server.sent.push(said[f.type](f));
        }
      },
      close() {
        server.closed = true;
      },
    };
  };
  return server;
}

const replies = {
  accepted: () => BuildFrame(FrameType.LoginAccepted, 0, null, null, 0),
  list: (...names) => BuildFrame(FrameType.UserList, 0, Uint8Array.from(names.flatMap((n) => [...field(n)])), null, 0),
  chat: (from, text) => BuildFrame(FrameType.Chat, 1, enc(text), field(from), Scope.Public),
  reclaimed: (fill) => BuildFrame(FrameType.Reclaimed, 0, new Uint8Array(48).fill(fill, 16), null, 0),
};
const inRoom = () => Uint8Array.from([...replies.accepted(), ...replies.list('alice', 'bob')]);

// A fault that leaves a promise unsettled fails the test, not the suite;
// the rooms a failed test left dialling or waiting leave, so that the
// process ends (one in the room has no timer running).
const bounded = { timeout: 5000 };
const rooms = [];
const newRoom = (options) => rooms[rooms.push(new ChatRoom({ name: 'alice', ...options })) - 1];
after(() => rooms.filter((room) => room.phase !== 'inRoom').forEach((room) => room.leave()));
const settle = () => new Promise((resolve) => setImmediate(resolve));

async function enteredRoom(options = {}) {
  const server = fakeServer();
  const room = newRoom({ dial: server.dial, ...options });
  const events = [];
  room.on('*', (e) => events.push(e.kind === 'message' ? `message ${e.name}: ${e.text}` : e.kind));
  room.start();
  await settle();
  // The reply and the list in one chunk, cut in an odd place.
  const bytes = inRoom();
  server.push(bytes.subarray(0, 50));
  server.push(bytes.subarray(50));
  return { server, room, events };
}

test('logs in, asks for the history, and takes the reply and the list however the bytes are cut', bounded, async () => {
  const { server, events } = await enteredRoom({ history: true });
  assert.deepEqual(server.sent, ['login alice', 'history 0']);
  assert.deepEqual(events, ['entered', 'members']);
});

test('a listener may act on the room while it is handing out events', bounded, async () => {
  const server = fakeServer();
  const room = newRoom({ dial: server.dial });
  room.on('entered', () => room.sendTo('bob', 'welcome'));
  room.start();
  await settle();
  server.push(inRoom());
  assert.deepEqual(server.sent, ['login alice', 'chat bob welcome']);
});

test('a header no server sends ends the connection', bounded, async () => {
  const { server, room } = await enteredRoom();
  const bad = new Uint8Array(48);
  bad[4] = 17 << 2; // a length that is not a multiple of 16
  server.push(bad);
  assert.equal(server.closed, true);
  assert.deepEqual(await room.done, { outcome: 'lost', reason: 'connection lost: the server sent a frame header no server sends' });
});

test('reconnecting: the old connection is closed and its late bytes ignored', bounded, async () => {
  const { server, room, events } = await enteredRoom({ reconnect: true });
  const oldPush = server.push;
  oldPush(replies.chat('bob', 'live'));
  server.hangUp('reset');
  assert.equal(room.phase, 'offline');
  oldPush(replies.chat('bob', 'from the old connection'));
  room.retryNow();
  await settle();
  assert.equal(server.dials, 2);
  assert.deepEqual(server.sent, ['login alice', 'key', 'login alice']); // no key came: a login
  assert.deepEqual(events.filter((e) => e.startsWith('message')), ['message bob: live']);
  // Not in the room yet: leaving is a Logout at once.
  const done = room.leave();
  assert.equal(server.sent.at(-1), 'logout');
  server.hangUp('closed');
  assert.deepEqual(await done, { outcome: 'ok', reason: '' });
  assert.equal(events.at(-1), 'done');
});

test('a key kept from before (a reloaded page): the first dial reclaims, keeping nothing', bounded, async () => {
  const server = fakeServer();
  const room = newRoom({ dial: server.dial, reconnect: true, reclaimKey: new Uint8Array(32).fill(5) });
  const events = [];
  room.on('*', (e) => events.push(e.kind === 'key' ? `key ${e.key[0]}` : e.kind));
  room.start();
  await settle();
  assert.deepEqual(server.sent, [`reclaim alice with 5 after ${2n ** 64n - 1n}`]);
  server.push(Uint8Array.from([...replies.reclaimed(6), ...replies.list('alice', 'bob')]));
  assert.deepEqual(events, ['key 6', 'entered', 'members']);
  assert.equal(server.sent.length, 1, 'no key asked for: it came with the answer');
  room.leave();
  server.hangUp('closed');
  await room.done;
});

test('a dial that fails ends a bot with its reason', bounded, async () => {
  const room = newRoom({ dial: async () => { throw new Error('refused'); } });
  assert.deepEqual(await room.start(), { outcome: 'lost', reason: 'cannot connect: refused' });
});

test('a name that cannot be asked for throws; one no server takes ends the room before a dial', bounded, async () => {
  assert.throws(() => new ChatRoom({ name: 'x'.repeat(21), dial: fakeServer().dial }), RangeError);
  const server = fakeServer();
  assert.deepEqual(await new ChatRoom({ name: 'alice\u2028', dial: server.dial }).start(), {
    outcome: 'nameRefused', reason: 'the name alice\\xe2\\x80\\xa8 is no name a server takes: it ends with white space',
  });
  assert.equal(server.dials, 0);
});
