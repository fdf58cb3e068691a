// The client session without sockets or timers: the client vectors
// (tests/vectors/client.json: commands, mentions, sessions, which chat's
// tests read too), then the scripts of what only this library does, one
// table row per script.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import test from 'node:test';
import { ChatSession, FrameType, Mentions, ParseCommand, Scope } from '../lib/index.mjs';

const vectors = JSON.parse(readFileSync(new URL('../../tests/vectors/client.json', import.meta.url)));
const enc = (s) => new TextEncoder().encode(s);
const str = (b) => new TextDecoder().decode(b);

// Payloads zero-filled to whole blocks, as the server sends them.
const blocks = (n) => Math.ceil(n / 16) * 16;
const frame = (type, payload = new Uint8Array(0), name = '', scope = 0) => ({ type, scope, name: enc(name), payload });
const le64s = (...values) => {
  const b = new Uint8Array(8 * values.length);
  values.forEach((v, i) => new DataView(b.buffer).setBigUint64(8 * i, BigInt(v), true));
  return b;
};
const withText = (prefix, text) => {
  const b = new Uint8Array(blocks(prefix.length + enc(text).length + 1));
  b.set(prefix);
  b.set(enc(text), prefix.length);
  return b;
};

// Applies one step: the vectors' (see their sessionsAbout), and "say
// TEXT", "to NAME TEXT", "rename NAME".
function step(s, line, clock) {
  const [word, ...rest] = line.split(' ');
  const arg = rest.join(' ');
  const [from, ...more] = rest;
  const now = clock.now;
  if (word === '<ok') s.handleFrame(frame(FrameType.LoginAccepted), now);
  else if (word === '<inuse') s.handleFrame(frame(FrameType.NameInUse), now);
  else if (word === '<list') {
    const names = arg ? arg.split(',') : [];
    const payload = new Uint8Array(blocks(20 * names.length));
    names.forEach((n, i) => payload.set(enc(n), 20 * i));
    s.handleFrame(frame(FrameType.UserList, payload), now);
  } else if (word === '<chat' || word === '<priv') {
    s.handleFrame(frame(FrameType.Chat, withText([], more.join(' ')), from, word === '<chat' ? Scope.Public : Scope.Private), now);
  } else if (word === '<item') {
    const prefix = le64s(BigInt(more[1]) * 1000000n, more[0]);
    s.handleFrame(frame(FrameType.HistoryItem, withText(prefix, more.slice(2).join(' ')), from, Scope.Public), now);
  } else if (word === '<end') s.handleFrame(frame(FrameType.HistoryEnd, le64s(from, BigInt(more[0]) * 1000000n, more[1], 0)), now);
  else if (word === '<key') s.handleFrame(frame(FrameType.ReclaimKey, new Uint8Array(32).fill(Number(arg))), now);
  else if (word === '<reclaimed') {
    const payload = new Uint8Array(48).fill(Number(more[1]));
    payload.set(le64s(from, more[0]));
    s.handleFrame(frame(FrameType.Reclaimed, payload), now);
  } else if (word === '<lost') s.handleLost('', now);
  else if (word[0] === '+') {
    clock.now += Number(word.slice(1));
    s.handleTick(clock.now);
  } else if (word === 'dial') {
    assert.ok(s.wantsDial(now), `a dial before its time, at ${now}`);
    s.handleDialed(arg === 'ok', 'refused', now);
  } else if (word === 'wait') assert.ok(!s.wantsDial(now), `a dial due early, at ${now}`);
  else if (word === 'quit') s.quit(now);
  else if (word === 'say') s.send(arg, null, now);
  else if (word === 'to') s.send(more.join(' '), from, now);
  else if (word === 'rename') s.rename(arg, now);
  else s.handleLine(line, now);
}

const kShared = ['message', 'history', 'status', 'refused', 'done'];

// An event in the vectors' words; the kinds they do not speak of (and the
// `ours` flag) for this library's own scripts only.
function describe(e, ownFlags) {
  switch (e.kind) {
    case 'message': {
      const flags = [e.isPrivate && 'private', ownFlags && e.ours && 'ours', e.alert && 'alert'].filter(Boolean);
      return `${e.earlier ? 'earlier ' : ''}${e.name}: ${e.text}${e.earlier ? ` @${e.at / 1000}` : ''}${flags.length ? ` (${flags.join(', ')})` : ''}`;
    }
    case 'history': return `history ${e.count}`;
    // A failed dial's words are each client's own up to "next try".
    case 'status': return `status ${e.line.startsWith('Cannot ') ? e.line.slice(e.line.lastIndexOf('; ') + 2) : e.line}`;
    case 'refused': case 'info': return `${e.kind} ${e.line}`;
    case 'done': return `done ${e.outcome}: ${e.reason}`;
    case 'sentPrivate': return `sent ${e.name}: ${e.text}`;
    case 'members': return `members ${e.members.map((m) => m.name).join(',')}`;
    case 'key': return `key ${e.key ? e.key[0] : 'dropped'}`;
    case 'missed': return `missed ${e.bytes}`;
    default: return `${e.kind} ${e.name}`;
  }
}

function request(r) {
  switch (r.kind) {
    case 'login': return `> login ${str(r.name)}`;
    case 'logout': return '> logout';
    case 'history': return `> history ${r.since / 1e6}`;
    case 'reclaimKey': return '> key';
    case 'reclaim': return `> reclaim ${str(r.name)} with ${r.key[0]} after ${r.received === 2n ** 64n - 1n ? 'fresh' : r.received}`;
    default: return `> chat ${str(r.to) || '-'} ${str(r.text)}`;
  }
}

// What the session sent and showed over a script, step by step; `shared`:
// only what the vectors speak of.
function run(steps, options = {}, shared = false) {
  const s = new ChatSession({ name: 'alice', ...options });
  const clock = { now: 1000 };
  const out = [];
  for (const line of steps) {
    step(s, line, clock);
    out.push(...s.requests.splice(0).map(request));
    out.push(...s.events.splice(0).filter((e) => !shared || kShared.includes(e.kind)).map((e) => describe(e, !shared)));
  }
  return out;
}

test('typed lines as the client vectors say', () => {
  for (const v of vectors.commands) {
    const got = ParseCommand(v.line);
    assert.deepEqual([got.kind, got.text], [v.kind, v.text], v.line);
    if ('name' in v) assert.equal(got.name, v.name, v.line);
  }
  for (const v of vectors.mentions) assert.equal(Mentions(enc(v.text), enc(v.name)), v.mentioned, `${v.text} / ${v.name}`);
});

test('the client vectors\' sessions', async (t) => {
  assert.ok(vectors.sessions.length > 0);
  for (const v of vectors.sessions) {
    await t.test(v.name, () => assert.deepEqual(run(v.steps, v.options, true), v.transcript));
  }
});

const inRoom = ['dial ok', '<ok', '<list alice,bob'];
const entered = ['> login alice', 'entered alice', 'members alice,bob'];

const cases = [
  // name, options, steps, what comes out
  ['a list before LoginAccepted still starts the room', {}, ['dial ok', '<list bob,alice', '<ok'],
    ['> login alice', 'entered alice', 'members bob,alice']],
  ['later lists are joins and leaves', {}, [...inRoom, '<list carol,alice,bob', '<list carol,alice'],
    [...entered, 'joined carol', 'members carol,alice,bob', 'left bob', 'members carol,alice']],
  ['a name in use, then another', { interactive: true }, ['dial ok', '<inuse', 'say hi', 'rename bob', '<ok', '<list bob'],
    ['> login alice', 'nameInUse alice', 'refused not sent: pick a free name first', '> login bob',
      'info Logging in as bob...', 'entered bob', 'members bob']],
  ['a name in use ends a bot', {}, ['dial ok', '<inuse'], ['> login alice', 'done nameInUse: the name alice is in use']],
  ['another name is refused unless ours is in use', { interactive: true },
    ['dial ok', 'rename bob', '<ok', '<list alice', 'rename bob', '/nick bob'],
    ['> login alice', 'refused still waiting for the answer to the login', 'entered alice', 'members alice',
      'refused you are in the room as alice; a new name is picked only while yours is in use',
      'refused you are in the room as alice; a new name is picked only while yours is in use']],
  ['a name longer than 20 bytes is refused', { interactive: true }, ['dial ok', '<inuse', 'rename ' + 'x'.repeat(21)],
    ['> login alice', 'nameInUse alice', 'refused a name is at most 20 bytes']],
  // The server would answer NameInUse, which would say nothing of why: the
  // name rules tell, before anything is dialled.
  ['a name no server takes ends a bot at once, with why', { name: 'alice ' }, ['wait'],
    ['done nameRefused: the name alice\\x20 is no name a server takes: it ends with white space']],
  ['another name no server takes is refused with why', { interactive: true }, ['dial ok', '<inuse', 'rename bob\x1b'],
    ['> login alice', 'nameInUse alice', 'refused the name bob\\x1b is no name a server takes: it holds a control character']],
  ['public: ours comes back, a mention alerts, a longer word does not', {},
    [...inRoom, 'say hi', '<chat alice hi', '<chat bob hey Alice!', '<chat bob alicex', '<chat bob @alice:'],
    [...entered, '> chat - hi', 'alice: hi (ours)', 'bob: hey Alice! (alert)', 'bob: alicex', 'bob: @alice: (alert)']],
  ['private both ways, a name with a space quoted', {},
    [...inRoom, 'to bob psst', '<priv bob back', 'to alice me', '<list alice,bob smith', '/msg "bob smith" hi there'],
    [...entered, '> chat bob psst', 'sent bob: psst', 'bob: back (private, alert)', '> chat alice me',
      'left bob', 'joined bob smith', 'members alice,bob smith', '> chat bob smith hi there', 'sent bob smith: hi there']],
  ['refusals say why', {}, ['dial ok', 'say early', '<ok', 'to bob x', '<list alice,bob', 'to Bob x', '/msg bob', '/frob', 'say ' + 'y'.repeat(65536)],
    ['> login alice', 'refused not sent: not in the room', 'refused not sent: the member list has not come yet',
      'entered alice', 'members alice,bob', 'refused not sent: nobody named Bob is in the room (names are case-sensitive)',
      'refused usage: /msg NAME TEXT (put a NAME with spaces in "quotes")', 'refused unknown command /frob; /help lists the commands',
      'refused not sent: the text has 65536 bytes, at most 65535 fit in a message']],
  ['a NUL cannot travel in a text', {}, [...inRoom, 'say a\0b'], [...entered, 'refused not sent: the text holds a NUL byte']],
  ['/who', {}, [...inRoom, '/who'], [...entered, 'info In the room (2): alice, bob']],
  ['quit with an empty name logs out at once: the marker would go to everyone', { name: '' },
    ['dial ok', '<ok', '<list ', 'quit'], ['> login ', 'entered ', 'members ', '> logout']],
  ['no first connection ends a bot', {}, ['dial no'], ['done lost: cannot connect: refused']],
  // A page reloaded with the key it kept: the slot back at once, fresh.
  ['a kept key reclaims at the first dial, keeping nothing', { reconnect: true, history: true, reclaimKey: new Uint8Array(32).fill(5) },
    ['dial ok', '<reclaimed 0 0 6', '<list alice,bob'],
    ['> reclaim alice with 5 after fresh', '> history 0', 'key 6', 'entered alice', 'members alice,bob']],
  ['a kept key refused: a login', { reconnect: true, reclaimKey: new Uint8Array(32).fill(5) },
    ['dial ok', '<inuse', ...inRoom.slice(1)],
    ['> reclaim alice with 5 after fresh', '> login alice', 'key dropped', '> key', 'entered alice', 'members alice,bob']],
];

test('session scripts', async (t) => {
  for (const [name, options, steps, want] of cases) {
    await t.test(name, () => assert.deepEqual(run(steps, options), want));
  }
});

test('a relayed text that fills its block has no NUL and is taken whole', () => {
  const s = new ChatSession({ name: 'alice' });
  s.handleFrame(frame(FrameType.Chat, enc('sixteen bytes!!!'), 'bob', Scope.Public), 0);
  assert.equal(s.events[0].text, 'sixteen bytes!!!');
});
