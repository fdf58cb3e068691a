// The client session without sockets or timers: scripts of frames, typed
// lines and time in; the requests and events it makes out, one table row per
// script.
import assert from 'node:assert/strict';
import test from 'node:test';
import { ChatSession, FrameType, Mentions, Scope } from '../lib/index.mjs';

const enc = (s) => new TextEncoder().encode(s);
const str = (b) => new TextDecoder().decode(b);

function list(commaNames) {
  const names = commaNames ? commaNames.split(',') : [];
  const payload = new Uint8Array(20 * names.length + 16); // with a zero fill, as the server pads
  names.forEach((n, i) => payload.set(enc(n), 20 * i));
  return { type: FrameType.UserList, scope: 0, name: new Uint8Array(0), payload };
}

function chat(scope, from, text) {
  const payload = new Uint8Array(Math.ceil((enc(text).length + 1) / 16) * 16);
  payload.set(enc(text));
  return { type: FrameType.Chat, scope, name: enc(from), payload };
}

// The room's history: a kept text, and the end of an answer (times in s).
function item(from, ordinal, seconds, text) {
  const payload = new Uint8Array(16 + Math.ceil((enc(text).length + 1) / 16) * 16);
  const words = new DataView(payload.buffer);
  words.setBigUint64(0, BigInt(seconds) * 1000000n, true);
  words.setBigUint64(8, BigInt(ordinal), true);
  payload.set(enc(text), 16);
  return { type: FrameType.HistoryItem, kind: 1, scope: Scope.Public, name: enc(from), payload };
}

function end(run, seconds, ordinal) {
  const payload = new Uint8Array(32);
  const words = new DataView(payload.buffer);
  words.setBigUint64(0, BigInt(run), true);
  words.setBigUint64(8, BigInt(seconds) * 1000000n, true);
  words.setBigUint64(16, BigInt(ordinal), true);
  return { type: FrameType.HistoryEnd, scope: 0, name: new Uint8Array(0), payload };
}

// Applies one step: "<ok", "<inuse", "<list a,b", "<chat NAME TEXT", "<priv
// NAME TEXT", "<item NAME ORDINAL SECONDS TEXT", "<end RUN SECONDS ORDINAL",
// "<lost", "+MS" (time passes), "dial ok", "dial no", "wait" (no dial due),
// "now" (retry at once), "quit", "say TEXT", "to NAME TEXT", "rename NAME";
// anything else is a typed line.
function step(s, line, clock) {
  const [word, ...rest] = line.split(' ');
  const arg = rest.join(' ');
  const [from, ...words] = rest;
  const text = words.join(' ');
  const now = clock.now;
  if (word === '<ok') s.handleFrame({ type: FrameType.LoginAccepted, scope: 0, name: new Uint8Array(0), payload: new Uint8Array(0) }, now);
  else if (word === '<inuse') s.handleFrame({ type: FrameType.NameInUse, scope: 0, name: new Uint8Array(0), payload: new Uint8Array(0) }, now);
  else if (word === '<list') s.handleFrame(list(arg), now);
  else if (word === '<chat') s.handleFrame(chat(Scope.Public, from, text), now);
  else if (word === '<priv') s.handleFrame(chat(Scope.Private, from, text), now);
  else if (word === '<item') s.handleFrame(item(from, words[0], words[1], words.slice(2).join(' ')), now);
  else if (word === '<end') s.handleFrame(end(from, words[0], words[1]), now);
  else if (word === '<lost') s.handleLost('', now);
  else if (word[0] === '+') {
    clock.now += Number(word.slice(1));
    s.handleTick(clock.now);
  } else if (word === 'dial') {
    assert.ok(s.wantsDial(now), `a dial before its time, at ${now}`);
    s.handleDialed(arg === 'ok', 'refused', now);
  } else if (word === 'wait') assert.ok(!s.wantsDial(now), `a dial due early, at ${now}`);
  else if (word === 'now') s.retryNow(now);
  else if (word === 'quit') s.quit(now);
  else if (word === 'say') s.send(arg, null, now);
  else if (word === 'to') s.send(text, from, now);
  else if (word === 'rename') s.rename(arg, now);
  else s.handleLine(line, now);
}

function describe(e) {
  switch (e.kind) {
    case 'message': {
      const flags = [e.isPrivate && 'private', e.ours && 'ours', e.alert && 'alert'].filter(Boolean);
      if (e.earlier) return `earlier ${e.name}: ${e.text} @${e.at / 1000}${flags.length ? ` (${flags.join(', ')})` : ''}`;
      return `message ${e.name}: ${e.text}${flags.length ? ` (${flags.join(', ')})` : ''}`;
    }
    case 'history': return `history ${e.count}`;
    case 'sentPrivate': return `sent ${e.name}: ${e.text}`;
    case 'members': return `members ${e.members.map((m) => m.name).join(',')}`;
    case 'done': return `done ${e.outcome}${e.reason ? ' ' + e.reason : ''}`;
    case 'info': case 'refused': case 'status': return `${e.kind} ${e.line}`;
    default: return `${e.kind} ${e.name}`;
  }
}

// What the session did over a script, as lines: ">login NAME", ">chat TO
// TEXT" ("-" for everyone), ">logout", then its events, step by step.
function run(steps, options = {}) {
  const s = new ChatSession({ name: 'alice', ...options });
  const clock = { now: 1000 };
  const out = [];
  for (const line of steps) {
    step(s, line, clock);
    for (const r of s.requests.splice(0)) {
      out.push(r.kind === 'login' ? `>login ${str(r.name)}`
        : r.kind === 'logout' ? '>logout'
          : r.kind === 'history' ? `>history ${r.since / 1e6}` : `>chat ${str(r.to) || '-'} ${str(r.text)}`);
    }
    out.push(...s.events.splice(0).map(describe));
  }
  return out;
}

const inRoom = ['dial ok', '<ok', '<list alice,bob'];
const entered = ['>login alice', 'entered alice', 'members alice,bob'];
const reconnecting = { reconnect: true };
const backIn = ['>login alice', 'status Reconnected; logging in as alice.', 'entered alice', 'members alice,bob'];
const enteredAsking = ['>login alice', '>history 0', 'entered alice', 'members alice,bob'];

const cases = [
  // name, options, steps, what comes out
  ['login, then the list: in the room', {}, inRoom, entered],
  ['a list before LoginAccepted still starts the room', {}, ['dial ok', '<list bob,alice', '<ok'],
    ['>login alice', 'entered alice', 'members bob,alice']],
  ['later lists are joins and leaves', {}, [...inRoom, '<list carol,alice,bob', '<list carol,alice'],
    [...entered, 'joined carol', 'members carol,alice,bob', 'left bob', 'members carol,alice']],
  ['a name in use, then another', { interactive: true }, ['dial ok', '<inuse', 'say hi', 'rename bob', '<ok', '<list bob'],
    ['>login alice', 'nameInUse alice', 'refused not sent: pick a free name first', '>login bob',
      'info Logging in as bob...', 'entered bob', 'members bob']],
  ['a name in use ends a bot', {}, ['dial ok', '<inuse'], ['>login alice', 'done nameInUse the name alice is in use']],
  ['another name is refused unless ours is in use', { interactive: true },
    ['dial ok', 'rename bob', '<ok', '<list alice', 'rename bob', '/nick bob'],
    ['>login alice', 'refused still waiting for the answer to the login', 'entered alice', 'members alice',
      'refused you are in the room as alice; a new name is picked only while yours is in use',
      'refused you are in the room as alice; a new name is picked only while yours is in use']],
  ['a name longer than 20 bytes is refused', { interactive: true }, ['dial ok', '<inuse', 'rename ' + 'x'.repeat(21)],
    ['>login alice', 'nameInUse alice', 'refused a name is at most 20 bytes']],
  // The server would answer NameInUse, which would say nothing of why: the
  // name rules tell, before anything is dialled.
  ['a name no server takes ends a bot at once, with why', { name: 'alice ' }, ['wait'],
    ['done nameRefused the name alice\\x20 is no name a server takes: it ends with white space']],
  ['another name no server takes is refused with why', { interactive: true }, ['dial ok', '<inuse', 'rename bob\x1b'],
    ['>login alice', 'nameInUse alice', 'refused the name bob\\x1b is no name a server takes: it holds a control character']],
  ['public: ours comes back, a mention alerts, a longer word does not', {},
    [...inRoom, 'say hi', '<chat alice hi', '<chat bob hey Alice!', '<chat bob alicex', '<chat bob @alice:'],
    [...entered, '>chat - hi', 'message alice: hi (ours)', 'message bob: hey Alice! (alert)', 'message bob: alicex',
      'message bob: @alice: (alert)']],
  ['private both ways', {}, [...inRoom, 'to bob psst', '<priv bob back', 'to alice me'],
    [...entered, '>chat bob psst', 'sent bob: psst', 'message bob: back (private, alert)', '>chat alice me']],
  ['commands: /msg with a quoted name, //', {}, ['dial ok', '<ok', '<list alice,bob smith', '/msg "bob smith" hi there', '//etc'],
    ['>login alice', 'entered alice', 'members alice,bob smith', '>chat bob smith hi there', 'sent bob smith: hi there', '>chat - /etc']],
  ['refusals say why', {}, ['dial ok', 'say early', '<ok', 'to bob x', '<list alice,bob', 'to Bob x', '/msg bob', '/frob', 'say ' + 'y'.repeat(65536)],
    ['>login alice', 'refused not sent: not in the room', 'refused not sent: the member list has not come yet',
      'entered alice', 'members alice,bob', 'refused not sent: nobody named Bob is in the room (names are case-sensitive)',
      'refused usage: /msg NAME TEXT (put a NAME with spaces in "quotes")', 'refused unknown command /frob; /help lists the commands',
      'refused not sent: the text has 65536 bytes, at most 65535 fit in a message']],
  ['a NUL cannot travel in a text', {}, [...inRoom, 'say a\0b'], [...entered, 'refused not sent: the text holds a NUL byte']],
  ['/who', {}, [...inRoom, '/who'], [...entered, 'info In the room (2): alice, bob']],
  ['quit: logout once everything sent is back; the marker is not shown', {},
    [...inRoom, 'say hi', 'quit', 'say late', '<chat alice hi', '<priv alice ', '<lost'],
    [...entered, '>chat - hi', '>chat alice ', 'message alice: hi (ours)', '>logout', 'done ok']],
  ['quit: the marker lost on the way, logout anyway', {}, [...inRoom, 'quit', '+9999', '+1', '+2999', '+1'],
    [...entered, '>chat alice ', '>logout', 'status 1 message(s) not relayed back in time; leaving anyway', 'done ok']],
  ['quit with an empty name logs out at once: the marker would go to everyone', { name: '' },
    ['dial ok', '<ok', '<list ', 'quit'], ['>login ', 'entered ', 'members ', '>logout']],
  ['no answer to the login ends a bot', {}, ['dial ok', '+4999', '+1'],
    ['>login alice', 'done noAnswer no answer to the login within 5 s: the room is full (5 members) or not answering']],
  ['no answer to the login, reconnecting: tried again later', reconnecting, ['dial ok', '+5000', 'wait', '+1000', 'dial ok'],
    ['>login alice', 'members ', 'status Connection lost (no answer to the login within 5 s: the room is full (5 members) or not answering); reconnecting in 1 s',
      '>login alice', 'status Reconnected; logging in as alice.']],
  ['a lost connection ends a bot', {}, [...inRoom, '<lost'], [...entered, 'done lost connection lost']],
  ['no first connection ends a bot', {}, ['dial no'], ['done lost cannot connect: refused']],
  ['reconnecting backs off to 30 s and logs in again', reconnecting,
    [...inRoom, 'say hi', '<lost', 'say offline', 'wait', '+1000', 'dial no', '+1999', 'wait', '+1', 'dial no', '+4000', 'dial no',
      '+8000', 'dial no', '+16000', 'dial no', '+30000', 'dial no', 'now', 'dial ok', '<ok', '<list alice'],
    [...entered, '>chat - hi', 'refused 1 message(s) sent just before may not have reached the room', 'members ',
      'status Connection lost; reconnecting in 1 s', 'refused not sent: not in the room',
      'status Cannot connect (refused); next try in 2 s', 'status Cannot connect (refused); next try in 4 s',
      'status Cannot connect (refused); next try in 8 s', 'status Cannot connect (refused); next try in 16 s',
      'status Cannot connect (refused); next try in 30 s', 'status Cannot connect (refused); next try in 30 s',
      '>login alice', 'status Reconnected; logging in as alice.', 'entered alice', 'members alice']],
  // A connection lost within seconds of its login (a server that sends a
  // frame no client takes, say) keeps the pause growing; only one that
  // stayed 30 s starts it at 1 s again.
  ['reconnecting after short stays keeps backing off', reconnecting,
    [...inRoom, '<lost', '+1000', ...inRoom, '+2999', '<lost', '+1999', 'wait', '+1', ...inRoom,
      '<lost', '+4000', ...inRoom, '+30000', '<lost'],
    [...entered, 'members ', 'status Connection lost; reconnecting in 1 s', ...backIn,
      'members ', 'status Connection lost; reconnecting in 2 s', ...backIn,
      'members ', 'status Connection lost; reconnecting in 4 s', ...backIn,
      'members ', 'status Connection lost; reconnecting in 1 s']],
  ['quitting while offline ends at once', reconnecting, [...inRoom, '<lost', 'quit'],
    [...entered, 'members ', 'status Connection lost; reconnecting in 1 s', 'done lost connection lost']],
  // The room's history: live lines at once, the answer held until its end,
  // then shown with its own times; nothing after the end is taken.
  ['history: a late joiner sees what was said before', { history: true },
    [...inRoom, '<chat bob live', '<item bob 1 5 old one', '<item alice 2 6 mine', '<end 7 6 2', '<item bob 3 7 late'],
    [...enteredAsking, 'message bob: live', 'earlier bob: old one @5', 'earlier alice: mine @6 (ours)', 'history 2']],
  ['history across reconnects: nothing twice', { history: true, reconnect: true },
    [...inRoom, '<item bob 1 1 one', '<end 7 1 1', '<chat bob two', '<priv bob p', '<lost', 'now', 'dial ok', '<ok',
      '<chat bob live', '<item bob 2 2 two', '<item bob 3 3 gone', '<end 7 3 3', '<lost', 'now', 'dial ok', '<ok',
      '<item bob 4 4 live', '<item bob 5 5 gone2', '<end 7 5 5'],
    [...enteredAsking, 'earlier bob: one @1', 'history 1', 'message bob: two', 'message bob: p (private, alert)',
      'members ', 'status Connection lost; reconnecting in 1 s', '>login alice', 'status Reconnected; logging in as alice.',
      '>history 1', 'message bob: live', 'earlier bob: gone @3', 'history 1',
      'members ', 'status Connection lost; reconnecting in 2 s', '>login alice', 'status Reconnected; logging in as alice.',
      '>history 3', 'earlier bob: gone2 @5', 'history 1']],
  ['history of a restarted server: all of it is new', { history: true, reconnect: true },
    [...inRoom, '<end 7 3 3', '<chat bob x', '<lost', 'now', 'dial ok', '<ok', '<item bob 1 9 x', '<end 8 9 1'],
    [...enteredAsking, 'message bob: x', 'members ', 'status Connection lost; reconnecting in 1 s', '>login alice',
      'status Reconnected; logging in as alice.', '>history 3', 'earlier bob: x @9', 'history 1']],
  ['history lost on the way: what came live meanwhile is known by its content', { history: true, reconnect: true },
    [...inRoom, '<chat bob early', '<item bob 1 1 old', '<lost', 'now', 'dial ok', '<ok',
      '<item bob 1 1 old', '<item bob 2 2 early', '<item bob 3 3 missed', '<end 7 3 3'],
    [...enteredAsking, 'message bob: early', 'members ', 'status Connection lost; reconnecting in 1 s', '>login alice',
      'status Reconnected; logging in as alice.', '>history 0', 'earlier bob: old @1', 'earlier bob: missed @3', 'history 2']],
  ['no history unless asked for; a stray answer is ignored', {}, [...inRoom, '<item bob 1 1 old', '<end 7 1 1', '<chat bob hi'],
    [...entered, 'message bob: hi']],
];

test('session scripts', async (t) => {
  for (const [name, options, steps, want] of cases) {
    await t.test(name, () => assert.deepEqual(run(steps, options), want));
  }
});

test('a relayed text that fills its block has no NUL and is taken whole', () => {
  const s = new ChatSession({ name: 'alice' });
  const payload = enc('sixteen bytes!!!');
  s.handleFrame({ type: FrameType.Chat, scope: Scope.Public, name: enc('bob'), payload }, 0);
  assert.equal(s.events[0].text, 'sixteen bytes!!!');
});

test('mentions: a word, in any ASCII case', () => {
  const rows = [
    // text, name, mentioned
    ['hi bob', 'bob', true], ['Bob: hi', 'bob', true], ['@BOB!', 'bob', true], ['bobby', 'bob', false],
    ['xbob', 'bob', false], ['bob_x', 'bob', false], ['zoë?', 'zoë', true], ['zoëx', 'zoë', false],
    ['a -x- b', '-x-', true], ['a-x-b', '-x-', true], ['anything', '', false], ['bo', 'bob', false],
  ];
  for (const [text, name, mentioned] of rows) assert.equal(Mentions(enc(text), enc(name)), mentioned, `${text} / ${name}`);
});
