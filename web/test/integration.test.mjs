// The library against the real server over TLS: the bot of docs/clients.md
// run as it stands, in a room with a bot of the test's own. (The pages, the
// terminal client and more bots share a room in browser.e2e.mjs.) The server
// runs on port 0 in a temporary directory with fresh certificates.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { ChatRoom } from '../lib/index.mjs';
import { tlsDialer } from '../lib/tls.mjs';
import { certDir, Child, missingBinaries, repoRoot, startServer } from '../tools/server-process.mjs';

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
    seen.push(e.kind === 'message' ? `${e.isPrivate ? 'private ' : ''}${e.name}: ${e.text}`
      : e.kind === 'members' ? `members ${e.members.map((m) => m.name).join(',')}` : `${e.kind} ${e.name ?? e.outcome ?? e.line}`);
    for (const w of waiters.splice(0)) w();
  });
  // Resolves once `line` has been seen; fails after `timeoutMs`.
  room.saw = (line, timeoutMs = 5000) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${name} never saw "${line}"; saw:\n${seen.join('\n')}`)), timeoutMs);
    const check = () => (seen.includes(line) ? (clearTimeout(timer), resolve()) : waiters.push(check));
    check();
  });
  return room;
}

test('the documented bot runs as written and answers, in public and in private', { skip }, async () => {
  const file = path.join(repoRoot, 'web/examples/ping-bot.mjs');
  const page = readFileSync(path.join(repoRoot, 'docs/clients.md'), 'utf8');
  const block = /```js\n([\s\S]*?)```/.exec(page.slice(page.indexOf('## A bot in JavaScript')));
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
  assert.equal((await alice.leave()).outcome, 'ok');
});
