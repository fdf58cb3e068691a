// Test support: the real server (or a stand-in given by SAFEROOM_SERVER) in
// a temporary directory with fresh development certificates, its console
// lines awaited with deadlines, stopped by its PID. Used by the integration
// and browser tests.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

export const repoRoot = path.resolve(new URL('../..', import.meta.url).pathname);
export const serverBin = process.env.SAFEROOM_SERVER ?? path.join(repoRoot, 'build/bin/server');
export const chatBin = process.env.SAFEROOM_CHAT ?? path.join(repoRoot, 'build/bin/chat');

// Why the tests against the real binaries cannot run here, or ''.
export function missingBinaries() {
  const missing = [serverBin, chatBin].filter((f) => !existsSync(f));
  return missing.length ? `not built: ${missing.join(', ')} (cmake --build build --target server chat)` : '';
}

// A temporary directory holding certs/ (a CA, a server certificate for
// localhost and 127.0.0.1); remove() deletes it.
export function certDir() {
  const dir = mkdtempSync(path.join(tmpdir(), 'saferoom-web-'));
  execFileSync(path.join(repoRoot, 'scripts/make-dev-certs.sh'), [path.join(dir, 'certs')], { stdio: 'ignore' });
  return { dir, ca: path.join(dir, 'certs/ca.crt'), remove: () => rmSync(dir, { recursive: true, force: true }) };
}

// A child process whose output is read line by line.
export class Child {
  constructor(file, args, options = {}) {
    this.lines = [];
    this.waiters = [];
    this.exited = new Promise((resolve) => {
      this.proc = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
      this.proc.on('exit', (code, signal) => {
        this.exitCode = code;
        this.signal = signal;
        this.#wake();
        resolve(code);
      });
      this.proc.on('error', (err) => {
        this.error = err;
        this.#wake();
        resolve(null);
      });
    });
    for (const stream of [this.proc.stdout, this.proc.stderr]) {
      let partial = '';
      stream.setEncoding('utf8');
      stream.on('data', (text) => {
        const parts = (partial + text).split('\n');
        partial = parts.pop();
        this.lines.push(...parts);
        this.#wake();
      });
    }
  }

  #wake() {
    for (const w of this.waiters.splice(0)) w();
  }

  // The first line matching `pattern` (a RegExp; its match is returned), at
  // most `timeoutMs` after the call; rejects on timeout or exit.
  waitFor(pattern, timeoutMs = 10000, from = 0) {
    return new Promise((resolve, reject) => {
      let timer = null;
      const settled = () => {
        const line = this.lines.slice(from).find((l) => pattern.test(l));
        if (line !== undefined) resolve(pattern.exec(line));
        else if (this.exitCode !== undefined || this.error) {
          reject(new Error(`exited (${this.exitCode ?? this.error.message}) before ${pattern}:\n${this.lines.join('\n')}`));
        } else return false;
        clearTimeout(timer);
        return true;
      };
      if (settled()) return;
      const waiter = () => settled() || this.waiters.push(waiter);
      this.waiters.push(waiter);
      timer = setTimeout(() => {
        this.waiters = this.waiters.filter((w) => w !== waiter);
        reject(new Error(`no ${pattern} within ${timeoutMs} ms:\n${this.lines.join('\n')}`));
      }, timeoutMs);
    });
  }

  // Stops it by its PID: `signal` first, SIGKILL if it is still there after
  // `timeoutMs`. Resolves with the exit code.
  async stop(signal = 'SIGTERM', timeoutMs = 5000) {
    if (this.exitCode === undefined && !this.error) {
      process.kill(this.proc.pid, signal);
      const timer = setTimeout(() => process.kill(this.proc.pid, 'SIGKILL'), timeoutMs);
      await this.exited;
      clearTimeout(timer);
    }
    return this.exitCode;
  }
}

// The server in `cwd` with `args` (the port last); resolves once it says
// "[+] Server is working at N", with its port.
export async function startServer(cwd, args = ['0'], timeoutMs = 10000) {
  const server = new Child(serverBin, args, { cwd });
  const [, port] = await server.waitFor(/^\[\+\] Server is working at (\d+)$/, timeoutMs);
  server.port = Number(port);
  return server;
}
