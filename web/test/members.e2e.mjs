// A private room's members from a phone, end to end in headless Chromium at
// phone size: the invitation link add-member.sh prints lets the page in as
// the member, a reload comes back without it, the link used again and an
// expired one are refused in the page's words, a visit without one is told
// what lets one in, and remove-member.sh takes the device out at once while
// the terminal member stays. Screenshots go to $SAFEROOM_SCREENSHOTS when
// it is set. Skips, saying why, where Chromium or the npm packages are
// missing (scripts/web-deps.sh installs them).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import test from 'node:test';
import { certDir, chatBin, Child, repoRoot, serverBin } from '../tools/server-process.mjs';
import { freePort, kWaitMs, launchChromium, look, PageWatch, whyNot } from './browser-support.mjs';

const phone = { width: 360, height: 740, isMobile: true, hasTouch: true, deviceScaleFactor: 2 };

const script = (name, args) => execFileSync(path.join(repoRoot, `scripts/${name}.sh`), args, { encoding: 'utf8' });

// add-member.sh's invitation link for NAME (the printed one).
function invite(certs, webPort, name) {
  const out = script('add-member', ['--dir', certs, '--host', '127.0.0.1', '--web-port', String(webPort), name]);
  const link = /^ {2}(https:\/\/\S+#invite=\S+)$/m.exec(out);
  assert.ok(link, out);
  assert.ok(out.includes('█'), 'the QR code is printed');
  assert.ok(existsSync(path.join(certs, 'members', `${name}-invite.png`)));
  return link[1];
}

test('invited from a phone with one link, removed with one command', { timeout: 180000 }, async (t) => {
  const why = await whyNot();
  if (why) return t.skip(why);
  const room = certDir();
  const certs = path.join(room.dir, 'certs');
  const [webPort, port] = [await freePort(), await freePort()];
  const aliceLink = invite(certs, webPort, 'alice');
  script('add-member', ['--dir', certs, 'bob']);
  const server = new Child(serverBin, ['--require-client-cert', '--web', String(webPort), String(port)],
    { cwd: room.dir });
  const profile = mkdtempSync(path.join(tmpdir(), 'saferoom-chromium-'));
  let browser = null;
  let bob = null;
  const watch = new PageWatch((text) => /WebSocket/.test(text));
  try {
    await server.waitFor(/^\[\+\] Web page at /, kWaitMs);
    browser = await launchChromium(path.join(certs, 'server.crt'), profile);
    // A phone of its own for each: storage (and so device keys) apart.
    const openPhone = async (label, url) => watch.open(await browser.createBrowserContext(), label, url, phone);
    const shot = (page, name) => look(page, phone, false, name);
    const inRoomAs = (page, name) => page.waitForFunction(
      (want) => !document.getElementById('room').hidden && document.getElementById('status').textContent === `You are ${want}`
        && !document.getElementById('private')?.checkVisibility(), { timeout: kWaitMs }, name);
    const says = (page, words) => page.waitForFunction(
      (want) => {
        const screen = document.getElementById('private');
        return screen && !screen.hidden && screen.textContent.includes(want);
      }, { timeout: kWaitMs }, words);
    const saw = (page, text) => page.waitForFunction(
      (want) => [...document.querySelectorAll('#messages .text')].some((l) => l.textContent === want), { timeout: kWaitMs }, text);

    // bob, on the terminal with his certificate.
    bob = new Child(chatBin, ['--ca', path.join(certs, 'ca.crt'), '--cert', path.join(certs, 'members/bob.crt'),
      '--key', path.join(certs, 'members/bob.key'), '127.0.0.1', String(port), 'bob']);
    await bob.waitFor(/^In the room \(1\): bob$/, kWaitMs);

    // One tap on the link: in the room as alice, and the token is out of the address.
    const alice = await openPhone('alice', aliceLink);
    await inRoomAs(alice, 'alice');
    assert.ok(!alice.url().includes('invite'), alice.url());
    await bob.waitFor(/^alice joined$/, kWaitMs);
    bob.proc.stdin.write('welcome, alice\n');
    await saw(alice, 'welcome, alice');
    await shot(alice, 'phone-invited');
    // A reload proves the device key: still alice, without the link.
    await alice.reload({ waitUntil: 'load' });
    await inRoomAs(alice, 'alice');
    await bob.waitFor(/^alice joined$/, kWaitMs, bob.lines.findIndex((l) => l === 'alice left') + 1);

    // The used link opened again on her own phone: refused, and her key stays.
    // (the page is open already: the address changes only in its fragment)
    await alice.evaluate((link) => (location.href = link), aliceLink);
    await says(alice, 'This invitation was used or has expired.');
    await alice.goto(`https://127.0.0.1:${webPort}/`, { waitUntil: 'load' });
    await inRoomAs(alice, 'alice');

    // The link a second time, on another phone: used.
    const again = await openPhone('again', aliceLink);
    await says(again, 'This invitation was used or has expired.');
    await shot(again, 'phone-invitation-used');
    // An expired invitation: its file says it ran out a minute ago.
    const carolLink = invite(certs, webPort, 'carol');
    const invites = path.join(room.dir, 'state/invites');
    for (const f of readdirSync(invites)) {
      const file = path.join(invites, f);
      const text = readFileSync(file, 'utf8');
      if (text.includes('\nname carol\n')) {
        writeFileSync(file, text.replace(/\nexpires \d+\n/, `\nexpires ${Math.floor(Date.now() / 1000) - 60}\n`));
      }
    }
    const late = await openPhone('late', carolLink);
    await says(late, 'This invitation was used or has expired.');
    // No link at all: the page says what lets one in, and offers no login.
    const stranger = await openPhone('stranger', `https://127.0.0.1:${webPort}/`);
    await says(stranger, 'This room is private.');
    await says(stranger, 'An invitation link');
    assert.equal(await stranger.$eval('#login', (e) => e.inert || e.hidden), true);
    await shot(stranger, 'phone-private');

    // One command removes alice: her page is out at once and says so; bob stays.
    const removed = script('remove-member', ['--dir', certs, '--pid', String(server.proc.pid), 'alice']);
    assert.match(removed, /alice: 1 certificate\(s\) revoked, 1 device\(s\) and invitation\(s\) forgotten/);
    await server.waitFor(/^\[-\] Closed 127\.0\.0\.1, port \d+: its device was removed$/, kWaitMs);
    await says(alice, 'This device was removed from the room.');
    await shot(alice, 'phone-removed');
    await bob.waitFor(/^alice left$/, kWaitMs, bob.lines.length - 3);
    bob.proc.stdin.write('still here\n');
    await bob.waitFor(/^<bob> still here$/, kWaitMs);
    // And a reload does not bring her back.
    await alice.reload({ waitUntil: 'load' });
    await says(alice, 'This device was removed from the room.');
    assert.deepEqual(watch.errors, []);
    assert.deepEqual(watch.dialogs, []);
  } finally {
    await browser?.close();
    await bob?.stop();
    await server.stop();
    rmSync(profile, { recursive: true, force: true });
    room.remove();
  }
});
