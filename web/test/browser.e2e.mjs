// The web app end to end in headless Chromium: `server --web WEBPORT PORT`
// in a temporary directory, two pages and one terminal client in one room;
// login, the member list, public and private both ways, a name in use, a
// hostile name shown as text, a server restart the pages come back from, no
// console errors. Screenshots at phone and desktop size go to
// $SAFEROOM_SCREENSHOTS when it is set. Skips, saying why, until the server
// takes --web (and where Chromium or puppeteer-core is missing: run
// scripts/web-deps.sh).
import assert from 'node:assert/strict';
import { createHash, X509Certificate } from 'node:crypto';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import test from 'node:test';
import { certDir, chatBin, Child, missingBinaries, serverBin } from '../tools/server-process.mjs';

const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const shots = process.env.SAFEROOM_SCREENSHOTS;
const kWaitMs = 10000;
const kReconnectMs = 45000; // backoff 1, 2, 4, 8, 16 s covers a slow restart
const hostile = '<b>x</b>&amp;'; // markup and an entity, 13 bytes
const hostileShown = hostile;
const hostileText = '<img src=x onerror=alert(1)>';

async function whyNot() {
  if (missingBinaries()) return missingBinaries();
  if (!existsSync(chromium)) return `no Chromium at ${chromium} (scripts/web-deps.sh installs it)`;
  try {
    await import('puppeteer-core');
  } catch {
    return 'puppeteer-core is not installed (scripts/web-deps.sh runs npm ci in web/)';
  }
  return false;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer().once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// The server with its web listener; null when it does not take --web.
async function startWebServer(cwd, webPort, port) {
  const server = new Child(serverBin, ['--web', String(webPort), String(port)], { cwd });
  try {
    await server.waitFor(/^\[\+\] Server is working at \d+$/, kWaitMs);
    const [, shownPort] = await server.waitFor(/^\[\+\] Web page at https:\/\/\S+:(\d+)\/$/, kWaitMs);
    assert.equal(Number(shownPort), webPort);
    return server;
  } catch (err) {
    await server.stop();
    if (server.exitCode !== 0 && server.lines.some((l) => /usage|unknown|unrecognized|--web/i.test(l))) return null;
    throw err;
  }
}

// Chromium trusts exactly the server's key: the hash of its public key.
function spkiHash(certFile) {
  const key = new X509Certificate(readFileSync(certFile)).publicKey.export({ type: 'spki', format: 'der' });
  return createHash('sha256').update(key).digest('base64');
}

test('the web app in a room with a page, another page and the terminal client', { timeout: 240000 }, async (t) => {
  const why = await whyNot();
  if (why) return t.skip(why);
  const { default: puppeteer } = await import('puppeteer-core');
  const certs = certDir();
  const [webPort, port] = [await freePort(), await freePort()];
  let server = await startWebServer(certs.dir, webPort, port);
  if (!server) {
    certs.remove();
    return t.skip(`${serverBin} does not take --web yet: the browser test waits for the server's web listener`);
  }
  const profile = mkdtempSync(path.join(tmpdir(), 'saferoom-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`, `--ignore-certificate-errors-spki-list=${spkiHash(path.join(certs.dir, 'certs/server.crt'))}`],
  });
  const url = `https://127.0.0.1:${webPort}/`;
  const errors = [];
  let outage = false; // while the server is down, failed WebSocket dials are expected
  const dialogs = [];
  let carol = null;

  async function openPage(label) {
    const context = await browser.createBrowserContext(); // storage of its own
    const page = await context.newPage();
    page.on('console', (m) => {
      const expected = outage && /WebSocket connection to .* failed|ERR_CONNECTION_REFUSED/.test(m.text());
      if (m.type() === 'error' && !expected) errors.push(`${label}: ${m.text()}`);
    });
    page.on('pageerror', (e) => errors.push(`${label}: ${e.message}`));
    page.on('dialog', (d) => {
      dialogs.push(d.message());
      d.dismiss();
    });
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(url, { waitUntil: 'load', timeout: kWaitMs });
    return page;
  }

  async function logIn(page, name) {
    await page.$eval('#login-name', (input) => (input.value = ''));
    await page.type('#login-name', name);
    await page.click('#login-button');
  }

  const inRoom = (page) => page.waitForSelector('#room:not([hidden])', { timeout: kWaitMs });
  const lines = (page) => page.$$eval('#messages .line', (ls) => ls.map((l) => l.textContent));
  const members = (page) => page.$$eval('#member-list li', (ls) => ls.map((l) => l.textContent));
  // A line whose text part reads `text`, with `selector` matching the line.
  const saw = (page, text, selector = '.line', timeout = kWaitMs) => page.waitForFunction(
    (sel, want) => [...document.querySelectorAll(`#messages ${sel}`)].some((l) => l.querySelector('.text')?.textContent === want),
    { timeout }, selector, text);
  const send = async (page, text) => {
    await page.type('#line', text);
    await page.keyboard.press('Enter');
  };
  // The size and colour scheme change either way: what follows a shot
  // (the phone's members button) needs them.
  const shot = async (page, name, width, height, dark) => {
    await page.setViewport({ width, height });
    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: dark ? 'dark' : 'light' }]);
    if (!shots) return;
    mkdirSync(shots, { recursive: true });
    await page.screenshot({ path: path.join(shots, `${name}.png`) });
  };

  try {
    const alice = await openPage('alice');
    await logIn(alice, 'alice');
    await inRoom(alice);
    const bob = await openPage('bob');
    await logIn(bob, 'bob');
    await inRoom(bob);
    await saw(alice, 'bob joined');
    carol = new Child(chatBin, ['--reconnect', '--ca', certs.ca, '127.0.0.1', String(port), 'carol']);
    await saw(alice, 'carol joined');
    await saw(bob, 'carol joined');
    assert.deepEqual((await members(alice)).sort(), ['alice (you)', 'bob', 'carol']);

    // Public, both ways between the pages and the terminal.
    await send(alice, 'hello everyone');
    await saw(bob, 'hello everyone', '.msg.public');
    await saw(alice, 'hello everyone', '.msg.own');
    await carol.waitFor(/^<alice> hello everyone$/, kWaitMs);
    carol.proc.stdin.write('hi from the terminal\n');
    await saw(alice, 'hi from the terminal', '.msg.public');
    await saw(bob, 'hi from the terminal', '.msg.public');

    // Private: a click on a member, /msg from the terminal, a click on a sender.
    await alice.evaluate(() => [...document.querySelectorAll('#member-list button')].find((b) => b.textContent === 'carol').click());
    await send(alice, 'for carol only');
    await carol.waitFor(/^\*alice\* \(private\) for carol only$/, kWaitMs);
    await saw(alice, 'for carol only', '.msg.sent');
    carol.proc.stdin.write('/msg bob psst bob\n');
    await saw(bob, 'psst bob', '.msg.private');
    await bob.evaluate(() => [...document.querySelectorAll('#messages button.who')].find((b) => b.textContent === 'alice').click());
    await send(bob, 'back to alice');
    await saw(alice, 'back to alice', '.msg.private');
    await alice.click('#target-clear');
    await send(alice, 'public again');
    await saw(bob, 'public again', '.msg.public');
    assert.ok(!(await lines(bob)).some((l) => l.includes('for carol only')), 'bob never saw the private message to carol');
    assert.ok(!(await lines(alice)).some((l) => l.includes('psst bob')), 'alice never saw the private message to bob');

    // A name in use asks for another; a hostile one is shown as text.
    const third = await openPage('third');
    await logIn(third, 'alice');
    await third.waitForFunction(() => document.getElementById('login-note').textContent.includes('is in use'), { timeout: kWaitMs });
    await logIn(third, hostile);
    await inRoom(third);
    await saw(alice, `${hostileShown} joined`);
    await send(third, hostileText);
    await saw(alice, hostileText, '.msg.public');
    for (const page of [alice, bob, third]) {
      assert.equal(await page.$$eval('#messages b, #messages img, #member-list b, #member-list img', (e) => e.length), 0);
    }
    assert.ok((await members(alice)).includes(hostileShown));

    await shot(alice, 'desktop-light', 1280, 800, false);
    await shot(alice, 'desktop-dark', 1280, 800, true);
    await shot(bob, 'phone-light', 360, 740, false);
    await bob.click('#members-toggle');
    await shot(bob, 'phone-members-dark', 360, 740, true);
    await bob.click('#members-toggle');

    // A restart: the pages log in again, and the line being typed stays.
    await alice.type('#line', 'typed while away');
    outage = true;
    await server.stop();
    await alice.waitForFunction(() => document.getElementById('status').textContent.startsWith('Offline'), { timeout: kWaitMs });
    await shot(alice, 'phone-offline-light', 360, 740, false);
    server = await startWebServer(certs.dir, webPort, port);
    for (const page of [alice, bob, third]) {
      await page.waitForFunction(() => /^You are /.test(document.getElementById('status').textContent), { timeout: kReconnectMs });
    }
    outage = false;
    assert.equal(await alice.$eval('#line', (input) => input.value), 'typed while away');
    await alice.waitForFunction(() => document.querySelectorAll('#member-list li').length >= 2, { timeout: kWaitMs });
    await alice.keyboard.press('Enter');
    await saw(bob, 'typed while away', '.msg.public');

    assert.deepEqual(dialogs, [], 'no script ran from a name or text');
    assert.deepEqual(errors, [], 'no console errors');
  } catch (err) {
    // What the server said is most of the diagnosis.
    err.message += `\nthe server's last lines:\n${server?.lines.slice(-40).join('\n')}`;
    throw err;
  } finally {
    carol?.proc.stdin.end();
    await carol?.stop();
    await browser.close();
    await server?.stop();
    certs.remove();
    rmSync(profile, { recursive: true, force: true });
  }
});
