// ChatRoom over a fake transport: the frames it writes, what it makes of the
// bytes it gets in odd splits, and when it closes. No sockets, no waiting.
import assert from 'node:assert/strict';
import test from 'node:test';
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
          server.sent.push(f.type === FrameType.Login ? `login ${str(NameString(f.payload))}`
            : f.type === FrameType.Logout ? 'logout'
              : f.type === FrameType.HistoryRequest ? `history ${LoadLe64(f.payload, 0)}`
                : `chat ${str(f.name) || '-'} ${str(NameString(f.payload))}`);
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
  chat: (from, text, scope = Scope.Public) => BuildFrame(FrameType.Chat, 1, enc(text), field(from), scope),
  // A kept text: relay time and ordinal before it, built as binary, marked Text.
  item: (from, ordinal, timeUs, text) => {
    const payload = new Uint8Array(32);
    new DataView(payload.buffer).setBigUint64(0, BigInt(timeUs), true);
    new DataView(payload.buffer).setBigUint64(8, BigInt(ordinal), true);
    payload.set(enc(text), 16);
    const frame = BuildFrame(FrameType.HistoryItem, 0, payload, field(from), Scope.Public);
    frame[4] |= 1;
    return frame;
  },
  end: (run, timeUs, ordinal) => {
    const payload = new Uint8Array(32);
    [run, timeUs, ordinal].forEach((v, i) => new DataView(payload.buffer).setBigUint64(8 * i, BigInt(v), true));
    return BuildFrame(FrameType.HistoryEnd, 0, payload, null, 0);
  },
};

const settle = () => new Promise((resolve) => setImmediate(resolve));

async function enteredRoom(options = {}) {
  const server = fakeServer();
  const room = new ChatRoom({ name: 'alice', dial: server.dial, ...options });
  const events = [];
  room.on('*', (e) => events.push(e.kind === 'message' ? `${e.earlier ? 'earlier' : 'message'} ${e.name}: ${e.text}` : e.kind));
  room.start();
  await settle();
  // The reply and the list in one chunk, cut in an odd place.
  const bytes = Uint8Array.from([...replies.accepted(), ...replies.list('alice', 'bob')]);
  server.push(bytes.subarray(0, 50));
  server.push(bytes.subarray(50));
  return { server, room, events };
}

test('logs in, and takes the reply and the list however the bytes are cut', async () => {
  const { server, events } = await enteredRoom();
  assert.deepEqual(server.sent, ['login alice']);
  assert.deepEqual(events, ['entered', 'members']);
});

test('history: asked for after the login, the answer held to its end', async () => {
  const { server, events } = await enteredRoom({ history: true });
  assert.deepEqual(server.sent, ['login alice', 'history 0']);
  const answer = Uint8Array.from([...replies.item('bob', 1, 1700000000123456, 'before you came'), ...replies.end(9, 1700000000123456, 1)]);
  server.push(answer.subarray(0, 70));
  assert.deepEqual(events.slice(2), [], 'held until the end');
  server.push(answer.subarray(70));
  assert.deepEqual(events.slice(2), ['earlier bob: before you came', 'history']);
});

test('a listener may act on the room while it is handing out events', async () => {
  const server = fakeServer();
  const room = new ChatRoom({ name: 'alice', dial: server.dial });
  room.on('entered', () => room.sendTo('bob', 'welcome'));
  room.start();
  await settle();
  server.push(Uint8Array.from([...replies.accepted(), ...replies.list('alice', 'bob')]));
  assert.deepEqual(server.sent, ['login alice', 'chat bob welcome']);
});

test('leave: the marker, our echo, logout, then the server closes', async () => {
  const { server, room, events } = await enteredRoom();
  room.say('bye');
  const done = room.leave();
  server.push(replies.chat('alice', 'bye'));
  assert.deepEqual(server.sent.slice(1), ['chat - bye', 'chat alice ']);
  server.push(replies.chat('alice', '', Scope.Private));
  assert.deepEqual(server.sent.slice(3), ['logout']);
  server.hangUp('closed');
  assert.deepEqual(await done, { outcome: 'ok', reason: '' });
  assert.deepEqual(events.slice(2), ['message alice: bye', 'done']);
});

test('a header no server sends ends the connection', async () => {
  const { server, room } = await enteredRoom();
  const bad = new Uint8Array(48);
  bad[4] = 17 << 2; // a length that is not a multiple of 16
  server.push(bad);
  assert.equal(server.closed, true);
  assert.deepEqual(await room.done, { outcome: 'lost', reason: 'connection lost: the server sent a frame header no server sends' });
});

test('reconnecting: the old connection is closed and its late bytes ignored', async () => {
  const { server, room, events } = await enteredRoom({ reconnect: true });
  const oldPush = server.push;
  server.hangUp('reset');
  assert.equal(room.phase, 'offline');
  oldPush(replies.chat('bob', 'from the old connection'));
  room.retryNow();
  await settle();
  assert.equal(server.dials, 2);
  assert.deepEqual(server.sent, ['login alice', 'login alice']);
  assert.ok(!events.some((e) => e.includes('old connection')));
  room.leave();
  server.hangUp('closed');
  assert.equal((await room.done).outcome, 'ok');
});

test('a dial that fails ends a bot with its reason', async () => {
  const room = new ChatRoom({ name: 'alice', dial: async () => { throw new Error('refused'); } });
  assert.deepEqual(await room.start(), { outcome: 'lost', reason: 'cannot connect: refused' });
});

test('a name that cannot be asked for is refused at once', () => {
  assert.throws(() => new ChatRoom({ name: 'x'.repeat(21), dial: fakeServer().dial }), RangeError);
});

test('a name no server takes ends the room before a dial, refused with why', async () => {
  const server = fakeServer();
  const room = new ChatRoom({ name: 'alice\u2028', dial: server.dial });
  assert.deepEqual(await room.start(), {
    outcome: 'nameRefused', reason: 'the name alice\\xe2\\x80\\xa8 is no name a server takes: it ends with white space',
  });
  assert.equal(server.dials, 0);
});
