// The library against the real server over TLS: bots in one room with the
// terminal client, and the bot of docs/clients.md run as it stands. The server runs on
// port 0 in a temporary directory with fresh certificates.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { ChatRoom } from '../lib/index.mjs';
import { tlsDialer } from '../lib/tls.mjs';
import { certDir, chatBin, Child, missingBinaries, repoRoot, startServer } from '../tools/server-process.mjs';

const skip = missingBinaries() || false; // a reason skips, false runs
let certs, server;

before(async () => {
  if (skip) return;
  certs = certDir();
  server = await startServer(certs.dir);
});

after(async () => {
  await server?.stop();
  certs?.remove();
});

// A bot that records what it sees, as lines, and can wait for one.
function bot(name) {
  const room = new ChatRoom({ name, dial: tlsDialer({ host: '127.0.0.1', port: server.port, ca: readFileSync(certs.ca) }) });
  const seen = [];
  const waiters = [];
  room.on('*', (e) => {
    const line = e.kind === 'message' ? `${e.isPrivate ? 'private ' : ''}${e.name}: ${e.text}`
      : e.kind === 'members' ? `members ${e.members.map((m) => m.name).join(',')}` : `${e.kind} ${e.name ?? e.outcome ?? e.line}`;
    seen.push(line);
    for (const w of waiters.splice(0)) w();
  });
  // Resolves once `line` has been seen; fails after `timeoutMs`.
  room.saw = (line, timeoutMs = 5000) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${name} never saw "${line}"; saw:\n${seen.join('\n')}`)), timeoutMs);
    const check = () => (seen.includes(line) ? (clearTimeout(timer), resolve()) : waiters.push(check));
    check();
  });
  room.seen = seen;
  return room;
}

test('two bots: login, member list, public and private both ways, a name in use, leaving', { skip }, async () => {
  const alice = bot('alice');
  const bob = bot('bob');
  alice.start();
  await alice.saw('members alice');
  bob.start();
  await bob.saw('members bob,alice'); // slot order: the first to join holds slot 4
  await alice.saw('joined bob');

  alice.say('hello bob');
  await bob.saw('alice: hello bob');
  bob.say('hi alice');
  await alice.saw('bob: hi alice');
  alice.sendTo('bob', 'a secret');
  await bob.saw('private alice: a secret');
  bob.sendTo('alice', 'kept');
  await alice.saw('private bob: kept');
  assert.ok(!alice.seen.includes('private alice: a secret'), 'a private message is not echoed to its sender');

  const twin = bot('alice');
  assert.deepEqual(await twin.start(), { outcome: 'nameInUse', reason: 'the name alice is in use' });

  assert.equal((await bob.leave()).outcome, 'ok');
  await alice.saw('left bob');
  assert.equal((await alice.leave()).outcome, 'ok');
});

test('a bot and the terminal client share the room', { skip }, async () => {
  const alice = bot('alice');
  alice.start();
  await alice.saw('members alice');
  const carol = new Child(chatBin, ['--ca', certs.ca, '127.0.0.1', String(server.port), 'carol']);
  await alice.saw('joined carol');
  carol.proc.stdin.write('hello from carol\n');
  await alice.saw('carol: hello from carol');
  alice.sendTo('carol', 'zoë says hi');
  await carol.waitFor(/^\*alice\* \(private\) zoë says hi$/);
  carol.proc.stdin.end(); // the client logs out at the end of its input
  await alice.saw('left carol');
  assert.equal(await carol.exited, 0);
  await alice.leave();
});

test("the documented bot runs as written and answers", { skip }, async () => {
  const file = path.join(repoRoot, 'web/examples/ping-bot.mjs');
  const page = readFileSync(path.join(repoRoot, 'docs/clients.md'), 'utf8');
  const section = page.slice(page.indexOf('## A bot in JavaScript'));
  const block = /```js\n([\s\S]*?)```/.exec(section);
  assert.ok(block, 'docs/clients.md shows the bot');
  assert.equal(block[1], readFileSync(file, 'utf8'), 'docs/clients.md shows web/examples/ping-bot.mjs as it is');

  const alice = bot('alice');
  alice.start();
  await alice.saw('members alice');
  const pingbot = new Child(process.execPath, [file, '127.0.0.1', String(server.port), certs.ca]);
  await alice.saw('joined pingbot');
  alice.say('!ping');
  await alice.saw('pingbot: pong');
  alice.sendTo('pingbot', '!ping');
  await alice.saw('private pingbot: pong');
  assert.equal(await pingbot.stop('SIGINT'), 0);
  assert.ok(pingbot.lines.includes('left the room: ok'), pingbot.lines.join('\n'));
  await alice.saw('left pingbot');
  await alice.leave();
});
