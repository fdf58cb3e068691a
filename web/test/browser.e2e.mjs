// The web app end to end in headless Chromium, phone size (360x740) first,
// desktop (1280x800) too: `server --history 50 --web WEBPORT PORT` in a
// temporary directory, pages, a bot and the terminal client in one room.
// Installing (no installability errors, a manifest without errors, its
// icons as big as they say), the service worker in control after a reload
// and the app opening from it with the server down, a notification through
// the worker and the unread count while hidden, the login screen's name
// size, room-full and server-down states, login, public and private both
// ways, refused commands, links, right-to-left text, hostile names and
// texts, 2,000 arriving messages (the time they take is printed), the
// list's bound, a server restart, /quit, a network change (through a relay
// that leaves the server's end of the connection open) and reloads, and
// axe-core's scan, light and dark, at both sizes. Screenshots go to $SAFEROOM_SCREENSHOTS when it is
// set. Skips, saying why, where Chromium, puppeteer-core or axe-core is
// missing (scripts/web-deps.sh).
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import test from 'node:test';
import { ChatRoom } from '../lib/index.mjs';
import { tlsDialer } from '../lib/tls.mjs';
import { certDir, chatBin, Child } from '../tools/server-process.mjs';
import {
  accessibilityProblems, desktop, freePort, kWaitMs, launchChromium, look, PageWatch, phone, startRelay, startWebServer,
  whyNot,
} from './browser-support.mjs';

const kReconnectMs = 45000; // backoff 1, 2, 4, 8, 16 s covers a slow restart
const kFlood = 2000;
const kFloodBoundMs = 3000; // generous: the page took 10.5 s before batching; a loaded 2-core machine varies
const kBackMs = 5000; // after a network change, back in the room within this (the first retry is after 1 s)
const kMaxLines = 1000;
// Markup and an entity, 13 bytes: a name the server takes (invisible marks
// it refuses), which must show as text.
const hostile = '<b>x</b>&amp;';
const hostileText = '<img src=x onerror=alert(1)>';
const hebrewName = '\u05d3\u05d5\u05d3'; // a right-to-left name
const rtlText = '\u05e9\u05dc\u05d5\u05dd \u05dc\u05db\u05d5\u05dd\u200f!'; // with RLM, a mark that stays
const linkText = 'see https://example.org/a?b=1. and \u202egnp.exe';

test('the web app: installed, offline, notified, in a room with pages, a bot and the terminal client', { timeout: 240000 }, async (t) => {
  const why = await whyNot();
  if (why) return t.skip(why);
  const certs = certDir();
  const [webPort, port] = [await freePort(), await freePort()];
  const serverArgs = ['--history', '50'];
  let server = await startWebServer(certs.dir, webPort, port, serverArgs);
  const profile = mkdtempSync(path.join(tmpdir(), 'saferoom-chromium-'));
  const browser = await launchChromium(path.join(certs.dir, 'certs/server.crt'), profile);
  const origin = `https://127.0.0.1:${webPort}`;
  const url = `${origin}/`;
  let outage = false; // while the server is down, failed connections are expected
  const watch = new PageWatch((text) => outage && /WebSocket connection to .* failed|ERR_CONNECTION_REFUSED/.test(text));
  let carol = null;
  let bot = null;
  let dave = null; // opened with the server down, closed to free a place
  let relay = null; // the phone's network, which the test changes

  // A page in a context of its own (its own storage), or in the default
  // one, where the app can be installed (Chromium installs nothing from an
  // incognito-like context).
  const openPage = async (label, { own = true, at = url } = {}) =>
    watch.open(own ? await browser.createBrowserContext() : browser.defaultBrowserContext(), label, at, phone);

  async function logIn(page, name) {
    await page.$eval('#login-name', (input) => (input.value = ''));
    await page.type('#login-name', name);
    await page.click('#login-button');
  }

  // Polled: a page behind another gets no animation frames.
  const until = (page, fn, ...args) => page.waitForFunction(fn, { timeout: kWaitMs, polling: 100 }, ...args);
  const inRoom = (page) => until(page, () => !document.getElementById('room').hidden);
  const lineTexts = (page) => page.$$eval('#messages .line', (ls) => ls.map((l) => l.textContent));
  const members = (page) => page.$$eval('#member-list li', (ls) => ls.map((l) => l.textContent));
  // A line whose text part reads `text`, with `selector` matching the line.
  const saw = (page, text, selector = '.line') => until(page,
    (sel, want) => [...document.querySelectorAll(`#messages ${sel}`)].some((l) => l.querySelector('.text')?.textContent === want),
    selector, text);
  const noteSays = (page, pattern) => until(page, (p) => new RegExp(p).test(document.getElementById('login-note').textContent), pattern.source);
  const send = async (page, text) => {
    await page.type('#line', text);
    await page.keyboard.press('Enter');
  };
  const pick = (page, name) => page.evaluate((n) => [...document.querySelectorAll('#member-list button')].find((b) => b.textContent === n).click(), name);
  // A step of its own in the output; the first that fails ends the test.
  const step = async (name, fn) => {
    let failure = null;
    await t.test(name, () => fn().catch((err) => {
      failure = err;
      throw err;
    }));
    if (failure) throw new Error(`stopped at: ${name}`);
  };
  const a11y = async (page, where) => assert.deepEqual(await accessibilityProblems(page), [], `accessibility: ${where}`);

  try {
    await browser.defaultBrowserContext().overridePermissions(origin, ['notifications']);
    const alice = await openPage('alice', { own: false });
    const cdp = await alice.createCDPSession();

    await step('installable, at phone and desktop size, with icons as big as the manifest says', async () => {
      for (const size of [phone, desktop]) {
        await alice.setViewport(size);
        assert.deepEqual((await cdp.send('Page.getInstallabilityErrors')).installabilityErrors, [], `${size.width} px`);
      }
      const manifest = await cdp.send('Page.getAppManifest');
      assert.deepEqual(manifest.errors, [], 'the manifest parses without errors');
      const fields = JSON.parse(manifest.data);
      assert.equal(fields.display, 'standalone');
      for (const key of ['name', 'short_name', 'id', 'start_url', 'scope', 'theme_color', 'background_color']) assert.ok(fields[key], key);
      assert.ok(fields.icons.some((i) => i.purpose === 'maskable'), 'a maskable icon');
      const icons = [...fields.icons.filter((i) => i.type === 'image/png'),
        { src: await alice.$eval('link[rel=apple-touch-icon]', (l) => l.href), sizes: '180x180' }];
      const sizes = await alice.evaluate((list) => Promise.all(list.map(async (i) => {
        const image = await createImageBitmap(await (await fetch(i.src)).blob());
        return `${image.width}x${image.height}`;
      })), icons);
      assert.deepEqual(sizes, icons.map((i) => i.sizes));
      assert.ok(await alice.$eval('meta[name=theme-color]', (m) => m.content), 'theme-color');
      await alice.setViewport(phone);
    });

    await step('the service worker controls the page after a reload', async () => {
      await alice.evaluate(() => navigator.serviceWorker.ready);
      await alice.reload({ waitUntil: 'load' });
      assert.ok(await alice.evaluate(() => navigator.serviceWorker.controller?.scriptURL), 'controlled');
    });

    await step('the list: history outside the log, the oldest lines cut, empty blocks gone', async () => {
      const shapes = await alice.evaluate(async () => {
        const { MessageList } = await import('/message-list.js');
        const box = document.body.appendChild(document.createElement('div'));
        const list = new MessageList(box, 4);
        const shape = () => [...box.children].map((b) => `${b.getAttribute('role') ?? 'plain'}:${[...b.children].map((l) => l.textContent)}`);
        const steps = [
          // lines as "text" (live) or "text*" (from the history)
          ['h1*', 'h2*'], ['a'], ['m1*', 'b'], ['c', 'd', 'e'],
        ].map((lines) => {
          for (const l of lines) list.add(() => Object.assign(document.createElement('div'), { textContent: l.replace('*', '') }), l.endsWith('*'));
          list.flush();
          return shape();
        });
        box.remove();
        return steps;
      });
      assert.deepEqual(shapes, [
        ['plain:h1,h2', 'log:'], // the history goes before the empty live block
        ['plain:h1,h2', 'log:a'],
        ['plain:h2', 'plain:a', 'plain:m1', 'log:b'], // what was missed while away: the live block ends there
        ['log:b,c,d,e'],
      ]);
    });

    const bob = await openPage('bob');
    await step('the login screen counts the name in bytes as it is typed', async () => {
      await bob.type('#login-name', '\u00e9'.repeat(11));
      assert.equal(await bob.$eval('#name-size', (p) => p.textContent), '22 of 20 bytes: 2 too many (é takes 2, most emoji 4)');
      assert.ok(await bob.$eval('#login-button', (b) => b.disabled), 'too long: the button is off');
      await a11y(bob, 'login, name too long');
      await look(bob, phone, false, 'phone-login-light');
      await bob.$eval('#login-name', (input) => (input.value = ''));
      await bob.type('#login-name', '\u00e9'.repeat(10));
      assert.equal(await bob.$eval('#name-size', (p) => p.textContent), '20 of 20 bytes');
    });

    await step('entering: the button is off and looks it; history before, live after', async () => {
      await logIn(bob, 'bob');
      const [off, on] = await bob.$eval('#login-button', (b) => [b.disabled, getComputedStyle(b).backgroundColor]);
      assert.ok(off, 'disabled while entering');
      assert.notEqual(on, await alice.$eval('#login-button', (b) => getComputedStyle(b).backgroundColor), 'looks disabled');
      await inRoom(bob);
      await send(bob, 'said before alice came');
      await saw(bob, 'said before alice came', '.msg.own');
      await logIn(alice, 'alice');
      await inRoom(alice);
      await saw(alice, 'said before alice came', '.msg.earlier');
      await saw(bob, 'alice joined');
      await send(bob, 'said after');
      await saw(alice, 'said after', '.msg.public');
      // New lines are read out; the history is not, being outside the log.
      const where = await alice.$$eval('#messages .text', (ts) => ts.map((t) => [t.textContent, Boolean(t.closest('[role=log]'))]));
      assert.deepEqual(where.filter(([text]) => /said|earlier/.test(text)),
        [['said before alice came', false], ['1 earlier message above', false], ['said after', true]]);
      assert.equal(await alice.$$eval('#messages [role=log]', (l) => l.length), 1);
    });

    carol = new Child(chatBin, ['--reconnect', '--ca', certs.ca, '127.0.0.1', String(port), 'carol']);
    await saw(alice, 'carol joined');

    await step('public and private, both ways; private mode stays on until ended', async () => {
      assert.deepEqual((await members(alice)).sort(), ['alice (you)', 'bob', 'carol']);
      await send(alice, 'hello everyone');
      await saw(bob, 'hello everyone', '.msg.public');
      await saw(alice, 'hello everyone', '.msg.own');
      await carol.waitFor(/^<alice> hello everyone$/, kWaitMs);
      carol.proc.stdin.write('hi from the terminal\n');
      await saw(alice, 'hi from the terminal', '.msg.public');
      await alice.click('#members-toggle');
      await pick(alice, 'carol');
      assert.equal(await alice.$eval('#room', (r) => r.classList.contains('show-members')), false, 'the list folds away');
      await send(alice, 'for carol only');
      await carol.waitFor(/^\*alice\* \(private\) for carol only$/, kWaitMs);
      await saw(alice, 'for carol only', '.msg.sent');
      assert.deepEqual(await alice.$eval('#compose', (f) => [f.classList.contains('private'), f.querySelector('#line').placeholder]),
        [true, 'Only carol will see this'], 'still private after a send');
      await look(alice, phone, true, 'phone-private-dark');
      carol.proc.stdin.write('/msg alice back to alice\n');
      await saw(alice, 'back to alice', '.msg.private');
      await alice.click('#target-clear');
      await send(alice, 'public again');
      await saw(bob, 'public again', '.msg.public');
      assert.ok(!(await lineTexts(bob)).some((l) => l.includes('for carol only')), 'bob never saw the private message to carol');
    });

    await step('a refused command is shown as such, and leaves the box clear', async () => {
      await send(alice, '/msg nobody hi');
      await saw(alice, 'not sent: nobody named nobody is in the room (names are case-sensitive)', '.notice.refused');
      assert.equal(await alice.$eval('#line', (input) => input.value), '');
      await alice.keyboard.press('ArrowUp');
      assert.equal(await alice.$eval('#line', (input) => input.value), '/msg nobody hi', 'Up brings it back');
      await alice.$eval('#line', (input) => (input.value = ''));
    });

    const third = await openPage('third');
    await step('a name in use asks for another; a hostile one is shown as text', async () => {
      await logIn(third, 'alice');
      await noteSays(third, /^The name alice is in use\. Pick another\.$/);
      await logIn(third, hostile);
      await inRoom(third);
      await saw(alice, `${hostile} joined`);
      await send(third, hostileText);
      await saw(alice, hostileText, '.msg.public');
      for (const page of [alice, bob, third]) {
        assert.equal(await page.$$eval('#messages b, #messages img, #member-list b, #member-list img', (e) => e.length), 0);
      }
      assert.ok((await members(alice)).includes(hostile));
    });

    await step('links, and right-to-left text kept within its own message', async () => {
      bot = new ChatRoom({ name: hebrewName, dial: tlsDialer({ host: '127.0.0.1', port, ca: readFileSync(certs.ca) }) });
      bot.start();
      await saw(alice, `${hebrewName} joined`);
      bot.say(rtlText);
      bot.say(linkText);
      await saw(alice, rtlText, '.msg.public');
      await saw(alice, 'see https://example.org/a?b=1. and \\xe2\\x80\\xaegnp.exe', '.msg.public');
      const link = await alice.$$eval('#messages .text a', (as) => as.map((a) => [a.textContent, a.href, a.rel, a.target]));
      assert.deepEqual(link, [['https://example.org/a?b=1', 'https://example.org/a?b=1', 'noopener noreferrer', '_blank']]);
      assert.deepEqual(await alice.$$eval('#messages .msg .text *', (e) => [...new Set(e.map((n) => n.tagName))]), ['A']);
      // Time, name and text stay in that order, left to right, though name
      // and text are both right-to-left.
      const boxes = await alice.evaluate((text) => {
        const line = [...document.querySelectorAll('#messages .msg')].find((l) => l.querySelector('.text').textContent === text);
        return ['.time', '.who', '.text'].map((s) => line.querySelector(s).getBoundingClientRect()).map((r) => [r.left, r.right]);
      }, rtlText);
      assert.ok(boxes[0][1] <= boxes[1][0] && boxes[1][1] <= boxes[2][0], `in order: ${JSON.stringify(boxes)}`);
      await bot.leave();
      bot = null;
    });

    await step('the page, its list and the member list pass axe, light and dark, phone and desktop', async () => {
      assert.equal(await alice.$$eval('#messages button, #messages input, #messages [tabindex]', (e) => e.length), 0,
        'one Tab stop for the list, the links in it aside');
      // size, dark, the member list shown (on a phone it covers the room), screenshot
      for (const [size, dark, list, name] of [[phone, false, false, 'phone-room-light'], [phone, true, true, 'phone-members-dark'],
        [desktop, false, false, 'desktop-light'], [desktop, true, false, 'desktop-dark']]) {
        if (list) await alice.click('#members-toggle');
        await look(alice, size, dark, name);
        await a11y(alice, name);
        if (list) await alice.click('#members-toggle');
      }
      await look(alice, phone, false);
    });

    await step('hidden: the unread count in the title, a notification through the worker', async () => {
      const cover = await alice.browserContext().newPage(); // in front: alice's tab is hidden
      await cover.bringToFront();
      await until(alice, () => document.hidden);
      carol.proc.stdin.write('/msg alice psst alice\n');
      await send(bob, 'while alice is away');
      await until(alice, () => document.title === '(2) saferoom');
      const shown = await alice.evaluate(async () => {
        const registration = await navigator.serviceWorker.ready;
        for (let i = 0; i < 100 && (await registration.getNotifications()).length < 2; i++) await new Promise((r) => setTimeout(r, 100));
        return (await registration.getNotifications()).map((n) => [n.title, n.body]).sort();
      });
      assert.deepEqual(shown, [['Private message from carol', 'psst alice'], ['bob mentioned you', 'while alice is away']]);
      await alice.bringToFront();
      await cover.close();
      await until(alice, () => document.title === 'saferoom');
    });

    await step('a restart: offline words that fit, the app from the worker, back in the room', async () => {
      await alice.type('#line', 'typed while away');
      outage = true;
      await server.stop();
      await until(alice, () => document.getElementById('status').textContent === 'Offline.');
      await look(alice, phone, false, 'phone-offline-light');
      assert.equal(await alice.$eval('#retry', (b) => b.hidden), false, 'a retry');
      const bar = await alice.$eval('.bar', (b) => [b.getBoundingClientRect().height, b.scrollWidth <= b.clientWidth]);
      assert.ok(bar[0] < 56 && bar[1], `the bar fits one line at 360 px: ${bar}`);
      const notices = await alice.$$eval('#messages .notice .text', (ns) => ns.map((n) => n.textContent));
      assert.deepEqual(notices.filter((l) => /WebSocket|1006/.test(l)), [], 'plain words');
      assert.equal(notices.at(-1), 'Connection lost.');
      await a11y(alice, 'phone, offline');
      // With the server down, the app opens from the worker's copies.
      dave = await openPage('dave', { own: false });
      assert.ok(await dave.evaluate(() => navigator.serviceWorker.controller !== null));
      assert.equal(await dave.$eval('#login-name', (i) => i.value), 'alice', 'the name remembered');
      await logIn(dave, 'dave');
      await noteSays(dave, /^The server cannot be reached\.$/);
      assert.match(await dave.$eval('#login-wait', (s) => s.textContent), /^Trying again (in \d+ s|now)\.$/);
      assert.equal(await dave.$eval('#login-stop', (b) => b.hidden), false, 'a way to stop');
      await look(dave, phone, false, 'phone-login-offline-light');
      server = await startWebServer(certs.dir, webPort, port, serverArgs);
      for (const page of [alice, bob, third, dave]) {
        await page.waitForFunction(() => /^You are /.test(document.getElementById('status').textContent), { timeout: kReconnectMs, polling: 100 });
      }
      outage = false;
      await saw(alice, 'Back in the room.', '.notice');
      assert.equal(await alice.$eval('#line', (input) => input.value), 'typed while away');
      await until(alice, () => document.querySelectorAll('#member-list li').length >= 4);
      await alice.keyboard.press('Enter');
      await saw(bob, 'typed while away', '.msg.public');
    });

    await step('a full room: the reason in sight, then in once a place is free; /quit back to the login', async () => {
      const erin = await openPage('erin');
      await logIn(erin, 'erin');
      await noteSays(erin, /^No answer: the room is full \(5 members\) or the server is busy\.$/);
      await look(erin, phone, false, 'phone-login-full-light');
      await a11y(erin, 'login, room full, light');
      await look(erin, phone, true);
      await a11y(erin, 'login, room full, dark');
      await dave.close();
      await erin.waitForFunction(() => !document.getElementById('room').hidden, { timeout: 15000, polling: 100 });
      await send(erin, '/quit');
      await noteSays(erin, /^You left the room\.$/);
      assert.equal(await erin.$eval('#login-button', (b) => [b.textContent, b.disabled].join()), 'Enter the room,false');
    });

    await step(`${kFlood} arriving messages, shown at once, the list bounded`, async () => {
      // When the first of them is in the list, and when the last is drawn.
      await alice.evaluate((last) => {
        window.floodShown = new Promise((resolve) => {
          let first = 0;
          const texts = () => [...document.querySelectorAll('#messages .text')].map((n) => n.textContent);
          new MutationObserver((_, observer) => {
            const now = texts();
            first ||= now.some((text) => /^flood \d+$/.test(text)) && Date.now();
            if (!now.includes(last)) return;
            observer.disconnect();
            requestAnimationFrame(() => resolve([first, Date.now()]));
          }).observe(document.getElementById('messages'), { childList: true, subtree: true });
        });
      }, `flood ${kFlood - 1}`);
      bot = new ChatRoom({ name: 'flood', dial: tlsDialer({ host: '127.0.0.1', port, ca: readFileSync(certs.ca) }) });
      bot.start();
      await saw(alice, 'flood joined');
      const sentAt = Date.now();
      for (let i = 0; i < kFlood; i++) bot.say(`flood ${i}`);
      const [firstAt, shownAt] = await alice.evaluate(() => window.floodShown);
      const ms = shownAt - sentAt;
      t.diagnostic(`${kFlood} messages from the bot's first send to the page showing the last: ${ms} ms ` +
        `(the first in the list after ${firstAt - sentAt} ms)`);
      assert.ok(ms < kFloodBoundMs, `${ms} ms`);
      const texts = await alice.$$eval('#messages .line', (ls) => ls.map((l) => l.querySelector('.text')?.textContent));
      assert.equal(texts.length, kMaxLines, 'the list keeps its last 1,000 lines');
      assert.deepEqual([texts[0], texts.at(-1)], [`flood ${kFlood - kMaxLines}`, `flood ${kFlood - 1}`]);
      const [bottom, end] = await alice.$eval('#messages', (m) => [m.getBoundingClientRect().bottom, m.querySelector('.line:last-child').getBoundingClientRect().bottom]);
      assert.ok(end <= bottom + 1, 'the newest line is in view');
      await bot.leave();
      bot = null;
    });

    let pat = null;
    const serverSaid = (from, pattern) => server.lines.slice(from).filter((l) => pattern.test(l));
    await step('a network change: back in the room under the same name within 5 s, what was sent meanwhile delivered', async () => {
      // The phone reaches the page through its "network", a relay.
      relay = await startRelay(webPort);
      pat = await openPage('pat', { at: `https://127.0.0.1:${relay.port}/` });
      await logIn(pat, 'pat');
      await inRoom(pat);
      await saw(alice, 'pat joined');
      await send(pat, 'before the move');
      await saw(alice, 'before the move', '.msg.public');
      const from = server.lines.length;
      // The old network is gone; the server keeps its end of the connection.
      outage = true;
      relay.cut();
      const cutAt = Date.now();
      await pick(alice, 'pat');
      await send(alice, 'sent while you moved');
      await saw(alice, 'sent while you moved', '.msg.sent');
      await alice.click('#target-clear');
      await pat.waitForFunction(() => [...document.querySelectorAll('#messages .notice .text')].some((n) => n.textContent === 'Back in the room.'),
        { timeout: kBackMs, polling: 100 });
      t.diagnostic(`back in the room ${Date.now() - cutAt} ms after the network changed`);
      assert.equal(await pat.$eval('#status', (e) => e.textContent), 'You are pat');
      await saw(pat, 'sent while you moved', '.msg.private');
      const patSaw = await lineTexts(pat);
      assert.deepEqual(['sent while you moved', 'before the move'].map((m) => patSaw.filter((l) => l.includes(m)).length), [1, 1], 'each once');
      assert.deepEqual(serverSaid(from, /User pat/), [], 'the room never saw pat leave');
      const seen = (await lineTexts(alice)).filter((l) => /pat (left|joined)$/.test(l));
      assert.equal(seen.length, 1, `nor did alice: ${seen}`);
      await look(pat, phone, false, 'phone-back-light');
      await a11y(pat, 'phone, back after a network change');
      outage = false;
    });

    await step('a reload goes back in without a tap, also while the server still holds the name; not after /quit', async () => {
      await pat.reload({ waitUntil: 'load' });
      await inRoom(pat);
      await until(pat, () => document.getElementById('status').textContent === 'You are pat');
      assert.ok((await members(pat)).includes('pat (you)'));
      // The network lost, then a reload: the server has not seen the old
      // connection end, and the key the tab kept takes the name back.
      const from = server.lines.length;
      outage = true;
      relay.cut();
      await pat.reload({ waitUntil: 'load' });
      await inRoom(pat);
      await until(pat, () => document.getElementById('status').textContent === 'You are pat');
      assert.deepEqual(serverSaid(from, /User pat/), [], 'taken back, not logged in again');
      await saw(pat, 'before the move', '.msg.earlier');
      await look(pat, phone, false, 'phone-reloaded-light');
      outage = false;
      await send(pat, '/quit');
      await noteSays(pat, /^You left the room\.$/);
      await pat.reload({ waitUntil: 'load' });
      await new Promise((resolve) => setTimeout(resolve, 1500));
      assert.deepEqual(await pat.$eval('#room', (r) => r.hidden), true, 'left: the reload shows the login screen');
      assert.equal(await pat.$eval('#login-name', (i) => i.value), 'pat', 'with the name');
      await pat.close();
    });

    assert.deepEqual(watch.dialogs, [], 'no script ran from a name or text');
    assert.deepEqual(watch.errors, [], 'no console errors');
  } catch (err) {
    // What the server said is most of the diagnosis.
    err.message += `\nconsole errors:\n${watch.errors.join('\n')}\nthe server's last lines:\n${server?.lines.slice(-40).join('\n')}`;
    throw err;
  } finally {
    relay?.close();
    bot?.leave();
    carol?.proc.stdin.end();
    await carol?.stop();
    await browser.close();
    await server?.stop();
    certs.remove();
    rmSync(profile, { recursive: true, force: true });
  }
});
