// Support for the browser tests (browser.e2e.mjs, members.e2e.mjs): the
// server with its web listener, Chromium trusting exactly that server's key,
// pages with their console errors collected, the axe-core scan, screenshots.
// No tests here.
import assert from 'node:assert/strict';
import { createHash, X509Certificate } from 'node:crypto';
import { existsSync, mkdirSync, readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';
import { Child, missingBinaries, serverBin } from '../tools/server-process.mjs';

export const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
export const kWaitMs = 10000;
export const phone = { width: 360, height: 740 };
export const desktop = { width: 1280, height: 800 };
const shots = process.env.SAFEROOM_SCREENSHOTS;
const require = createRequire(import.meta.url);

// Why the test cannot run here, or false.
export async function whyNot() {
  if (missingBinaries()) return missingBinaries();
  if (!existsSync(chromium)) return `no Chromium at ${chromium} (scripts/web-deps.sh installs it)`;
  try {
    await import('puppeteer-core');
    require.resolve('axe-core');
  } catch {
    return 'puppeteer-core or axe-core is not installed (scripts/web-deps.sh runs npm ci in web/)';
  }
  return false;
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer().once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// A loopback relay in front of a port, for a network change: cut() ends the
// browser's end of every connection it carries and leaves the server's end
// open and unread, as a phone that moved to another network leaves it; new
// connections go through as before. close() ends it all.
export function startRelay(targetPort) {
  const lines = new Set();
  const stale = [];
  const relay = net.createServer((client) => {
    const upstream = net.connect(targetPort, '127.0.0.1');
    const line = { client, upstream, cut: false };
    lines.add(line);
    const end = () => {
      if (line.cut) return;
      lines.delete(line);
      client.destroy();
      upstream.destroy();
    };
    for (const socket of [client, upstream]) socket.on('error', end).on('close', end);
    client.pipe(upstream);
    upstream.pipe(client);
  });
  return new Promise((resolve, reject) => {
    relay.once('error', reject).listen(0, '127.0.0.1', () => resolve({
      port: relay.address().port,
      cut() {
        for (const line of lines) {
          line.cut = true;
          line.upstream.unpipe(line.client);
          line.client.unpipe(line.upstream);
          line.upstream.pause();
          stale.push(line.upstream);
          line.client.destroy();
        }
        lines.clear();
      },
      close() {
        for (const line of lines) {
          line.client.destroy();
          line.upstream.destroy();
        }
        for (const socket of stale) socket.destroy();
        relay.close();
      },
    }));
  });
}

// The server with its web listener.
export async function startWebServer(cwd, webPort, port, extra = []) {
  const server = new Child(serverBin, [...extra, '--web', String(webPort), String(port)], { cwd });
  try {
    await server.waitFor(/^\[\+\] Server is working at \d+$/, kWaitMs);
    const [, shownPort] = await server.waitFor(/^\[\+\] Web page at https:\/\/\S+:(\d+)\/$/, kWaitMs);
    assert.equal(Number(shownPort), webPort);
    return server;
  } catch (err) {
    await server.stop();
    throw err;
  }
}

// Chromium trusts exactly the server's key (the hash of its public key):
// the origin counts as secure, as service workers and installing want.
export async function launchChromium(certFile, profile) {
  const { default: puppeteer } = await import('puppeteer-core');
  const key = new X509Certificate(readFileSync(certFile)).publicKey.export({ type: 'spki', format: 'der' });
  const spki = createHash('sha256').update(key).digest('base64');
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`, `--ignore-certificate-errors-spki-list=${spki}`],
  });
}

// Console errors and dialogs of every page, but those `expected()` allows.
export class PageWatch {
  errors = [];
  dialogs = [];

  constructor(expected = () => false) {
    this.expected = expected;
  }

  watch(page, label) {
    page.on('console', (m) => {
      if (m.type() === 'error' && !this.expected(m.text())) this.errors.push(`${label}: ${m.text()}`);
    });
    page.on('pageerror', (e) => this.errors.push(`${label}: ${e.message}`));
    page.on('dialog', (d) => {
      this.dialogs.push(d.message());
      d.dismiss();
    });
    return page;
  }

  // A new page in `context`, watched, at `size`, loaded from `url`.
  async open(context, label, url, size) {
    const page = this.watch(await context.newPage(), label);
    await page.setViewport(size);
    await page.goto(url, { waitUntil: 'load', timeout: kWaitMs });
    return page;
  }
}

// The size and colour scheme, and a screenshot when SAFEROOM_SCREENSHOTS is set.
export async function look(page, size, dark, name) {
  await page.setViewport(size);
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: dark ? 'dark' : 'light' }]);
  if (!shots || !name) return;
  mkdirSync(shots, { recursive: true });
  await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
  await page.screenshot({ path: path.join(shots, `${name}.png`) });
}

const axeSource = () => readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

// The serious and critical findings of axe-core (WCAG 2.2 AA target size
// included), and every control smaller than 44 px either way (links inside
// a message's text are part of its sentence, and exempt).
export async function accessibilityProblems(page) {
  if (!(await page.evaluate(() => Boolean(globalThis.axe)))) await page.evaluate(axeSource());
  const found = await page.evaluate(async () => {
    const result = await globalThis.axe.run(document, { rules: { 'target-size': { enabled: true } } });
    return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .map((v) => `${v.id}: ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
  });
  const small = await page.$$eval('button, input, a, [tabindex]', (nodes) => nodes
    .filter((n) => n.getClientRects().length > 0 && !n.closest('.text'))
    .map((n) => [n.id || n.className || n.tagName, n.getBoundingClientRect()])
    .filter(([, r]) => r.width < 44 || r.height < 44)
    .map(([what, r]) => `${what}: ${Math.round(r.width)}x${Math.round(r.height)} px`));
  return [...found, ...small];
}
