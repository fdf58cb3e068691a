// ChatRoom: a ChatSession driven over a transport, with timers and
// reconnecting, and its events handed to listeners. Used by the web app and
// by bots; the transports are websocket.mjs (browser) and tls.mjs (Node).
//
// A dialer is a function ({ onbytes, onclose }) => Promise<{ send, close }>:
// it connects, then calls onbytes(Uint8Array) for every chunk that arrives
// (in any split) and onclose(why) once when the connection ends by itself;
// send(Uint8Array) writes bytes, close() ends it without calling onclose.
// It rejects with an Error when it cannot connect.
import { ChatFrame, DecodeFrame, HistoryRequestFrame, LoginFrame, LogoutFrame } from './frame.mjs';
import { FrameReader } from './frame-reader.mjs';
import { ChatSession, CheckName, Phase } from './session.mjs';

export class ChatRoom {
  #session;
  #dial;
  #clock;
  #transport = null;
  #generation = 0; // callbacks of an older connection are ignored
  #dialing = false;
  #timer = null;
  #pumping = false;
  #listeners = new Map();
  #resolveDone;

  // name: the name to log in with (string or UTF-8 bytes, at most 20
  // bytes; a RangeError otherwise). One that no server takes ends the room
  // at once, outcome 'nameRefused'. interactive, reconnect and history: as
  // ChatSession takes them. clock: ms, for tests.
  constructor({ name, dial, interactive = false, reconnect = false, history = false, clock = () => Date.now() }) {
    const why = CheckName(name ?? '', false);
    if (why) throw new RangeError(why);
    this.#session = new ChatSession({ name, interactive, reconnect, history });
    this.#dial = dial;
    this.#clock = clock;
    // Resolves with { outcome, reason } when the session is over.
    this.done = new Promise((resolve) => (this.#resolveDone = resolve));
  }

  // Listens to one kind of event ('message', 'joined', 'left', 'members',
  // 'entered', 'nameInUse', 'sentPrivate', 'history', 'info', 'refused',
  // 'status', 'done'), or to all with '*'. Returns the room, for chaining.
  on(kind, listener) {
    if (!this.#listeners.has(kind)) this.#listeners.set(kind, []);
    this.#listeners.get(kind).push(listener);
    return this;
  }

  // Connects and logs in; returns `done`.
  start() {
    this.#pump();
    return this.done;
  }

  // Each returns true when the request went out (see ChatSession).
  say(text) {
    return this.#act((s, now) => s.send(text, null, now));
  }

  sendTo(to, text) {
    return this.#act((s, now) => s.send(text, to, now));
  }

  type(line) {
    return this.#act((s, now) => s.handleLine(line, now));
  }

  rename(name) {
    return this.#act((s, now) => s.rename(name, now));
  }

  // Logs out after what was sent is relayed; returns `done`.
  leave() {
    this.#act((s, now) => s.quit(now));
    return this.done;
  }

  retryNow() {
    this.#act((s, now) => s.retryNow(now));
  }

  // Read-only views of the session.
  get phase() {
    return this.#session.phase;
  }

  get name() {
    return this.#session.name;
  }

  get members() {
    return this.#session.members;
  }

  get retryAt() {
    return this.#session.retryAt;
  }

  #act(step) {
    const result = step(this.#session, this.#clock());
    this.#pump();
    return result;
  }

  // Carries out what the session asks for after every input: requests out,
  // the connection opened or closed, events to listeners, the next timer.
  // Listeners may act on the room; that only sets the loop going again.
  #pump() {
    if (this.#pumping) return;
    this.#pumping = true;
    const s = this.#session;
    try {
      while (s.requests.length > 0 || s.events.length > 0 || this.#needsDial() || this.#needsClose()) {
        for (const request of s.requests.splice(0)) this.#send(request);
        if (this.#needsClose()) this.#closeTransport();
        if (this.#needsDial()) this.#startDial();
        for (const event of s.events.splice(0)) this.#emit(event);
      }
    } finally {
      this.#pumping = false;
    }
    this.#schedule();
    if (s.phase === Phase.Done) this.#resolveDone({ outcome: s.outcome, reason: s.failure });
  }

  #needsDial() {
    return !this.#dialing && this.#session.wantsDial(this.#clock());
  }

  #needsClose() {
    return this.#transport !== null && !this.#session.connected;
  }

  #send(request) {
    if (!this.#transport) return; // nothing is asked for while not connected
    const frame = request.kind === 'login' ? LoginFrame(request.name)
      : request.kind === 'logout' ? LogoutFrame()
        : request.kind === 'history' ? HistoryRequestFrame(request.since) : ChatFrame(request.text, request.to);
    try {
      this.#transport.send(frame);
    } catch (err) {
      this.#lost(`a write failed: ${err.message}`);
    }
  }

  #closeTransport() {
    ++this.#generation;
    const transport = this.#transport;
    this.#transport = null;
    try {
      transport.close();
    } catch {
      // Already gone: nothing more to end.
    }
  }

  #startDial() {
    this.#dialing = true;
    const generation = ++this.#generation;
    const current = () => generation === this.#generation;
    const reader = new FrameReader();
    const onbytes = (bytes) => current() && this.#received(reader, bytes);
    const onclose = (why) => current() && this.#lost(why);
    const dialed = (transport, why) => {
      this.#dialing = false;
      if (transport && (!current() || this.#session.phase === Phase.Done)) {
        transport.close(); // it closed while the dial ended, or nobody wants it now
        transport = null;
        why = 'the connection closed at once';
      }
      if (transport) {
        this.#transport = transport;
      }
      this.#session.handleDialed(Boolean(transport), why, this.#clock());
      this.#pump();
    };
    Promise.resolve()
      .then(() => this.#dial({ onbytes, onclose }))
      .then((transport) => dialed(transport, ''), (err) => dialed(null, err?.message ?? String(err)));
  }

  #received(reader, bytes) {
    reader.push(bytes);
    for (;;) {
      const got = reader.next();
      if (got === FrameReader.NeedMore) break;
      if (got === FrameReader.BadHeader) {
        // The stream cannot be cut any further: this connection is over.
        this.#lost('the server sent a frame header no server sends');
        return;
      }
      this.#session.handleFrame(DecodeFrame(got.header, got.payload), this.#clock());
    }
    this.#pump();
  }

  #lost(why) {
    if (this.#transport) this.#closeTransport();
    else ++this.#generation;
    this.#session.handleLost(why, this.#clock());
    this.#pump();
  }

  #schedule() {
    clearTimeout(this.#timer);
    this.#timer = null;
    const at = this.#session.nextDeadline();
    if (at < 0) return;
    this.#timer = setTimeout(() => {
      this.#timer = null;
      this.#session.handleTick(this.#clock());
      this.#pump();
    }, Math.max(0, at - this.#clock()));
  }

  #emit(event) {
    for (const kind of [event.kind, '*']) {
      for (const listener of this.#listeners.get(kind) ?? []) {
        try {
          listener(event);
        } catch (err) {
          // A listener's fault is its own: reported, and the room goes on.
          setTimeout(() => {
            throw err;
          });
        }
      }
    }
  }
}
