// The client's session as a state machine: received frames, typed lines and
// the time go in; requests to send and events to show come out. No sockets,
// no timers, no clock of its own (the terminal client's ChatSession, in
// JavaScript). Driven by room.mjs; the web app and bots read its events.
import { CommandHelp, Mentions, ParseCommand } from './commands.mjs';
import {
  FrameType, kHistoryEndSize, kHistoryItemPrefix, kMaxTextLen, kNameSize, LoadLe64, NameString, Scope,
  UserListNames,
} from './frame.mjs';
import { IsInvisible, SafeText, ShownName } from './safe-text.mjs';

// A login gets its answer within this, or the room is taken to be full.
export const kLoginAnswerMs = 5000;
// When leaving, how long what we sent may take to come back.
export const kEchoWaitMs = 10000;
// After Logout, how long the server may take to close the connection.
export const kCloseWaitMs = 3000;
// Reconnecting waits this long first, then twice as long each time, up to
// kRetryMaxMs. Only a connection that stayed in the room for kStayedMs
// starts it again at kRetryFirstMs: a server that drops us within seconds
// of every login (one that sends what no client takes) is not dialled every
// second.
export const kRetryFirstMs = 1000;
export const kRetryMaxMs = 30000;
export const kStayedMs = 30000;
// The server's member table holds this many names.
export const kRoomSize = 5;
// The most earlier messages held for one answer (the most a server keeps),
// and the most live ones remembered while their place in the room's history
// is not known.
export const kMaxEarlier = 1000;

export const Phase = Object.freeze({
  Connecting: 'connecting', // the first dial is due
  LoggingIn: 'loggingIn', // the answer to a Login is due
  NameRejected: 'nameRejected', // the name was in use: a person picks another
  InRoom: 'inRoom',
  Leaving: 'leaving', // Logout sent: the server's close is due
  Offline: 'offline', // the connection was lost: the next dial is at retryAt
  Done: 'done',
});

// How a session ended.
export const Outcome = Object.freeze({
  Ok: 'ok', // logged out
  NameInUse: 'nameInUse', // and nobody to pick another
  NameRefused: 'nameRefused', // no server takes it (CheckName says why); nothing was dialled
  NoAnswer: 'noAnswer', // the room is full or not answering
  Lost: 'lost', // no connection, or it was lost without reconnecting
});

const encoder = new TextEncoder();
const decoder = new TextDecoder(); // invalid bytes become U+FFFD: names for code, not display

export const toBytes = (x) => (typeof x === 'string' ? encoder.encode(x) : x ?? new Uint8Array(0));

export const sameBytes = (a, b) => a.length === b.length && a.every((v, i) => v === b[i]);

// A name or text for listeners: the exact bytes (for display escaping and
// for addressing a member) and the text they spell (for code).
const named = (bytes) => ({ name: decoder.decode(bytes), nameBytes: bytes });
const texted = (bytes) => ({ text: decoder.decode(bytes), textBytes: bytes });

// Why no server takes `name` as a member's name, or '' when it does: the
// server's name rules (protect/SafeText's NameFault, in the same words),
// under which one name could pass for another. The server refuses such a
// name as one in use, which would say nothing of why.
export function NameFault(name) {
  const bytes = toBytes(name);
  // Byte by byte, so that the first fault is the one named, as the server does.
  const decoder = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });
  let text = '';
  try {
    for (let at = 0; at <= bytes.length; at++) {
      const got = at < bytes.length ? decoder.decode(bytes.subarray(at, at + 1), { stream: true }) : decoder.decode();
      if (/[\0-\x1f\x7f-\x9f]/.test(got)) return 'it holds a control character';
      if (IsInvisible(got)) return 'it holds an invisible character';
      text += got;
    }
  } catch {
    return 'it is not valid UTF-8';
  }
  if (/^\p{White_Space}/u.test(text)) return 'it begins with white space';
  if (/\p{White_Space}$/u.test(text)) return 'it ends with white space';
  return '';
}

// Why `name` cannot be sent in a Login at all, or ''.
function encodingFault(bytes) {
  if (bytes.length > kNameSize) return `a name is at most ${kNameSize} bytes`;
  if (bytes.includes(0)) return 'a name cannot hold a NUL byte';
  return '';
}

const refusal = (bytes, fault) => `the name ${ShownName(bytes)} is no name a server takes: ${fault}`;

// Why `name` cannot be asked for, or '' when it can; without `rules`, only
// what a Login cannot carry.
export function CheckName(name, rules = true) {
  const bytes = toBytes(name);
  const fault = rules ? NameFault(bytes) : '';
  return encodingFault(bytes) || (fault && refusal(bytes, fault));
}

// "In the room (2): alice, bob".
export function FormatMembers(members) {
  return `In the room (${members.length}):` +
    members.map((m, i) => (i === 0 ? ' ' : ', ') + ShownName(m)).join('');
}

// Appends, keeping the last kMaxEarlier.
function pushBounded(list, value) {
  if (list.length >= kMaxEarlier) list.shift();
  list.push(value);
}

// Names in `before` and not in `after`, and the reverse; each copy counts.
function memberChanges(before, after) {
  const left = [...before];
  const joined = [];
  for (const name of after) {
    const at = left.findIndex((m) => sameBytes(m, name));
    if (at >= 0) left.splice(at, 1);
    else joined.push(name);
  }
  return { left, joined };
}

export class ChatSession {
  // interactive: a person can pick another name when theirs is in use (else
  // the session ends). reconnect: a lost connection, or a room that does not
  // answer, is tried again with growing pauses. history: after every login,
  // ask for what the room said before (shown as 'message' events marked
  // `earlier`, then one 'history' event).
  constructor({ name, interactive = false, reconnect = false, history = false }) {
    this.name = toBytes(name); // the name asked for last: ours once in the room
    this.interactive = interactive;
    this.reconnect = reconnect;
    // The room's history: the answer is held until its end, then shown, less
    // what was seen live before a reconnect. Nothing waits for it: a server
    // that predates it never answers.
    this.history = history;
    this.awaitingHistory = false; // asked on this connection, the end not here yet
    this.historyPlaced = false; // this connection's answer ended: `seen` is its own
    this.liveCount = 0; // public messages on this connection since its login
    // How far we have seen the room: up to the last answer's boundary, then
    // `live` public messages after it.
    this.seen = { known: false, run: 0, time: 0, ordinal: 0, live: 0 };
    this.held = [];
    // Public messages shown live while their place was unknown: before this
    // connection's answer, and on connections lost before theirs (matched by
    // name and text against the next answer).
    this.liveHere = [];
    this.unplaced = [];
    this.phase = Phase.Connecting;
    this.wasInRoom = false;
    this.quitting = false; // leave once everything sent is back
    this.pendingEchoes = 0; // sent messages the server sends back to us
    this.members = []; // names as bytes, in the server's order
    this.haveMembers = false;
    this.shownMembers = false; // later lists are reported as joins and leaves
    this.lostReason = '';
    // Deadlines on the caller's clock (ms), -1 when not running.
    this.loginDeadline = -1;
    this.echoDeadline = -1;
    this.closeDeadline = -1;
    this.retryAt = -1;
    this.retryDelayMs = 0; // the last pause before a dial; 0 before the first
    this.enteredAt = -1; // when this connection's login was accepted
    this.outcome = null; // an Outcome once Done
    this.failure = '';
    this.requests = []; // to send, oldest first; the driver takes them
    this.events = []; // to show, oldest first; the front end takes them
    this.now = 0; // the time of the latest input, stamped on events
    const fault = NameFault(this.name);
    if (fault) this.#finish(Outcome.NameRefused, refusal(this.name, fault));
  }

  // --- inputs -------------------------------------------------------------

  // The driver connected (ok) or could not (why).
  handleDialed(ok, why, now) {
    this.now = now;
    if (this.phase !== Phase.Connecting && this.phase !== Phase.Offline) return;
    if (ok) {
      if (this.phase === Phase.Offline) this.#status(`Reconnected; logging in as ${ShownName(this.name)}.`);
      this.retryAt = -1;
      this.#login(now);
      return;
    }
    const reason = `cannot connect${why ? ': ' + why : ''}`;
    if (!this.reconnect) {
      this.#finish(Outcome.Lost, reason);
      return;
    }
    this.phase = Phase.Offline;
    this.lostReason = reason;
    this.retryDelayMs = this.retryDelayMs ? Math.min(2 * this.retryDelayMs, kRetryMaxMs) : kRetryFirstMs;
    this.retryAt = now + this.retryDelayMs;
    this.#status(`Cannot connect${why ? ' (' + why + ')' : ''}; next try in ${this.retryDelayMs / 1000} s`);
  }

  // One decoded frame ({ type, scope, name, payload }, as DecodeFrame makes).
  handleFrame(frame, now) {
    this.now = now;
    if (this.phase === Phase.Done) return;
    switch (frame.type) {
      case FrameType.LoginAccepted:
        if (this.phase === Phase.LoggingIn) this.#enterRoom();
        break;
      case FrameType.NameInUse:
        this.#nameInUse();
        break;
      case FrameType.Chat:
        this.#chat(frame, now);
        break;
      case FrameType.UserList:
        this.#memberList(UserListNames(frame.payload));
        break;
      case FrameType.HistoryItem:
        this.#historyItem(frame);
        break;
      case FrameType.HistoryEnd:
        this.#historyEnd(frame);
        break;
      default:
        break; // nothing else is meant for clients
    }
  }

  // A message to everyone (no `to`) or to one member, by name or its bytes.
  // True when it went out; otherwise a 'refused' event says why (nothing for
  // an empty text).
  send(text, to, now) {
    this.now = now;
    const textBytes = toBytes(text);
    const recipient = toBytes(to);
    if (textBytes.length === 0 || this.quitting || this.phase === Phase.Done) return false;
    if (this.phase !== Phase.InRoom) {
      return this.#refuse(this.phase === Phase.NameRejected
        ? 'not sent: pick a free name first' : 'not sent: not in the room');
    }
    if (textBytes.length > kMaxTextLen) {
      return this.#refuse(`not sent: the text has ${textBytes.length} bytes, at most ${kMaxTextLen} fit in a message`);
    }
    if (textBytes.includes(0)) return this.#refuse('not sent: the text holds a NUL byte');
    if (recipient.length > 0 && !this.haveMembers) {
      return this.#refuse('not sent: the member list has not come yet');
    }
    if (recipient.length > 0 && !this.members.some((m) => sameBytes(m, recipient))) {
      // The server compares names exactly and drops what matches nobody.
      return this.#refuse(`not sent: nobody named ${ShownName(recipient)} is in the room (names are case-sensitive)`);
    }
    this.requests.push({ kind: 'chat', to: recipient, text: textBytes });
    if (recipient.length === 0 || sameBytes(recipient, this.name)) {
      ++this.pendingEchoes;
    } else {
      // A private message to someone else never comes back.
      this.#event('sentPrivate', { ...named(recipient), ...texted(textBytes) });
    }
    return true;
  }

  // One typed line: a message or a command. True when it was taken (the
  // front end may clear its input); false when refused, with the reason as
  // an event, so the text can stay for the user to mend.
  handleLine(line, now) {
    this.now = now;
    line = line.replace(/\r$/, '');
    if (!line || this.quitting || this.phase === Phase.Done) return false;
    const cmd = ParseCommand(line);
    switch (cmd.kind) {
      case 'say':
        return this.send(cmd.text, null, now);
      case 'msg':
        if (encoder.encode(cmd.name).length > kNameSize) {
          return this.#refuse(`not sent: names are at most ${kNameSize} bytes`);
        }
        return this.send(cmd.text, cmd.name, now);
      case 'who':
        this.#info(this.haveMembers ? FormatMembers(this.members) : 'No member list yet.');
        return true;
      case 'nick':
        return this.rename(cmd.name, now);
      case 'quit':
        this.quit(now);
        return true;
      case 'help':
        CommandHelp.forEach((help) => this.#info(help));
        return true;
      case 'unknown':
        return this.#refuse(`unknown command ${SafeText(cmd.name)}; /help lists the commands`);
      default:
        return this.#refuse(cmd.text);
    }
  }

  // Another name, while ours is in use. True when the Login went out.
  rename(name, now) {
    this.now = now;
    const bytes = toBytes(name);
    if (this.phase === Phase.InRoom) {
      return this.#refuse(`you are in the room as ${ShownName(this.name)}; a new name is picked only while yours is in use`);
    }
    if (this.phase !== Phase.NameRejected) return this.#refuse('still waiting for the answer to the login');
    const why = CheckName(bytes);
    if (why) return this.#refuse(why);
    this.name = bytes;
    this.#info(`Logging in as ${ShownName(bytes)}...`);
    this.#login(now);
    return true;
  }

  // Logs out once the room has relayed everything sent before (an empty
  // private message to ourselves comes back last: the server relays in
  // order). Offline, it ends at once.
  quit(now) {
    this.now = now;
    if (this.quitting || this.phase === Phase.Done) return;
    this.quitting = true;
    if (this.phase === Phase.Offline || this.phase === Phase.Connecting) {
      this.#finish(this.phase === Phase.Offline ? Outcome.Lost : Outcome.Ok, this.lostReason);
    } else if (this.phase !== Phase.InRoom || this.name.length === 0) {
      // With an empty name the marker would go to everyone: an empty
      // recipient means a public message.
      this.#leave(now);
    } else {
      this.requests.push({ kind: 'chat', to: this.name, text: new Uint8Array(0) });
      ++this.pendingEchoes;
      this.echoDeadline = now + kEchoWaitMs;
    }
  }

  // The deadlines: call when nextDeadline() has come.
  handleTick(now) {
    this.now = now;
    if (this.phase === Phase.Done) return;
    if (this.loginDeadline >= 0 && now >= this.loginDeadline) {
      this.loginDeadline = -1;
      const why = `no answer to the login within ${kLoginAnswerMs / 1000} s: ` +
        `the room is full (${kRoomSize} members) or not answering`;
      // A person waits for a place; a full room is one more outage to wait out.
      if (this.reconnect && !this.quitting) this.handleLost(why, now);
      else this.#finish(Outcome.NoAnswer, why);
    }
    if (this.echoDeadline >= 0 && now >= this.echoDeadline) {
      this.#status(`${this.pendingEchoes} message(s) not relayed back in time; leaving anyway`);
      this.#leave(now);
    }
    if (this.closeDeadline >= 0 && now >= this.closeDeadline) {
      this.#finish(Outcome.Ok, ''); // logged out; the close did not come in time
    }
  }

  // The connection closed, broke, or brought bytes that are no frames.
  handleLost(why, now) {
    this.now = now;
    if (this.phase === Phase.Done || this.phase === Phase.Offline || this.phase === Phase.Connecting) return;
    this.lostReason = `connection lost${why ? ': ' + why : ''}`;
    if (this.phase === Phase.Leaving) {
      this.#finish(Outcome.Ok, '');
      return;
    }
    if (!this.reconnect || this.quitting) {
      this.#finish(Outcome.Lost, this.lostReason);
      return;
    }
    if (this.pendingEchoes > 0) {
      this.#refuse(`${this.pendingEchoes} message(s) sent just before may not have reached the room`);
    }
    this.pendingEchoes = 0;
    // An answer that never ended: its messages come again in the next one,
    // and what came live meanwhile can only be told by its content.
    this.awaitingHistory = false;
    this.held = [];
    this.liveHere.forEach((live) => pushBounded(this.unplaced, live));
    this.liveHere = [];
    this.members = [];
    this.haveMembers = false;
    this.shownMembers = false;
    this.loginDeadline = -1;
    this.phase = Phase.Offline;
    const stayed = this.enteredAt >= 0 && now - this.enteredAt >= kStayedMs;
    this.retryDelayMs = !this.retryDelayMs || stayed ? kRetryFirstMs : Math.min(2 * this.retryDelayMs, kRetryMaxMs);
    this.enteredAt = -1;
    this.retryAt = now + this.retryDelayMs;
    this.#event('members', { members: [] });
    this.#status(`Connection lost${why ? ' (' + why + ')' : ''}; reconnecting in ${this.retryDelayMs / 1000} s`);
  }

  // Offline: dial at once rather than at retryAt.
  retryNow(now) {
    if (this.phase === Phase.Offline) this.retryAt = now;
  }

  // --- what the driver asks -----------------------------------------------

  wantsDial(now) {
    return this.phase === Phase.Connecting || (this.phase === Phase.Offline && now >= this.retryAt);
  }

  // The earliest running deadline, or -1.
  nextDeadline() {
    const running = [this.loginDeadline, this.echoDeadline, this.closeDeadline, this.retryAt]
      .filter((at) => at >= 0);
    return running.length ? Math.min(...running) : -1;
  }

  // True while the transport should stay open.
  get connected() {
    return this.phase === Phase.LoggingIn || this.phase === Phase.NameRejected ||
      this.phase === Phase.InRoom || this.phase === Phase.Leaving;
  }

  // --- inside -------------------------------------------------------------

  #event(kind, fields = {}) {
    this.events.push({ kind, at: this.now, ...fields });
  }

  #info(line) {
    this.#event('info', { line });
  }

  #status(line) {
    this.#event('status', { line });
  }

  #refuse(line) {
    this.#event('refused', { line });
    return false;
  }

  #finish(outcome, failure) {
    if (this.phase === Phase.Done) return;
    this.outcome = outcome;
    this.failure = failure;
    this.phase = Phase.Done;
    this.loginDeadline = this.echoDeadline = this.closeDeadline = this.retryAt = -1;
    this.#event('done', { outcome, reason: failure });
  }

  #login(now) {
    this.liveCount = 0;
    this.historyPlaced = false;
    this.liveHere = [];
    this.requests.push({ kind: 'login', name: this.name });
    this.phase = Phase.LoggingIn;
    this.loginDeadline = now + kLoginAnswerMs;
  }

  #leave(now) {
    if (this.phase === Phase.Leaving) return;
    this.phase = Phase.Leaving;
    this.echoDeadline = -1;
    this.closeDeadline = now + kCloseWaitMs;
    this.requests.push({ kind: 'logout' });
  }

  #enterRoom() {
    this.phase = Phase.InRoom;
    this.loginDeadline = -1;
    this.wasInRoom = true;
    this.enteredAt = this.now;
    // A list may have come first (another member joined meanwhile).
    if (this.haveMembers) this.#showFirstList();
    if (this.history) {
      // After a reconnect, from where the last answer left off.
      this.requests.push({ kind: 'history', since: this.seen.known ? this.seen.time : 0 });
      this.awaitingHistory = true;
      this.held = [];
    }
  }

  #historyItem(frame) {
    if (!this.awaitingHistory || frame.payload.length < kHistoryItemPrefix) return;
    pushBounded(this.held, {
      time: LoadLe64(frame.payload, 0),
      ordinal: LoadLe64(frame.payload, 8),
      name: frame.name,
      text: NameString(frame.payload.subarray(kHistoryItemPrefix)),
    });
  }

  // The answer is complete: shows what we have not seen, set apart.
  #historyEnd(frame) {
    if (!this.awaitingHistory) return;
    const end = new Uint8Array(kHistoryEndSize);
    end.set(frame.payload.subarray(0, kHistoryEndSize));
    const run = LoadLe64(end, 0);
    const seen = this.seen;
    // Within one server run, ordinals after the last boundary came live.
    const shown = this.held.filter((m) => !(seen.known && run === seen.run && m.ordinal <= seen.ordinal + seen.live));
    // What came live on a connection lost before its answer: one line each,
    // the latest of the same name and text.
    for (const live of this.unplaced) {
      const at = shown.findLastIndex((m) => sameBytes(m.name, live.name) && sameBytes(m.text, live.text));
      if (at >= 0) shown.splice(at, 1);
    }
    for (const m of shown) {
      const ours = sameBytes(m.name, this.name);
      this.#event('message', {
        ...named(m.name), ...texted(m.text), isPrivate: false, ours, alert: false, earlier: true,
        at: Math.floor(m.time / 1000),
      });
    }
    if (shown.length > 0) this.#event('history', { count: shown.length });
    this.seen = { known: true, run, time: LoadLe64(end, 8), ordinal: LoadLe64(end, 16), live: this.liveCount };
    this.awaitingHistory = false;
    this.historyPlaced = true;
    this.held = [];
    this.unplaced = [];
    this.liveHere = [];
  }

  // A live public message: counted after the answer's boundary once that is
  // known, remembered by content until then.
  #noteLive(name, text) {
    ++this.liveCount;
    if (this.historyPlaced) ++this.seen.live;
    else pushBounded(this.liveHere, { name, text });
  }

  // 'entered' waits for the member list (the server sends one right after
  // LoginAccepted), so that a listener can address members at once.
  #showFirstList() {
    this.shownMembers = true;
    this.#event('entered', named(this.name));
    this.#event('members', { members: this.members.map(named) });
  }

  #nameInUse() {
    if (this.phase !== Phase.LoggingIn) return;
    this.loginDeadline = -1;
    if (!this.interactive) {
      this.#finish(Outcome.NameInUse, `the name ${ShownName(this.name)} is in use`);
      return;
    }
    this.phase = Phase.NameRejected;
    this.#event('nameInUse', named(this.name));
  }

  #chat(frame, now) {
    // Names are unique in the room, so our name means our own message.
    const ours = sameBytes(frame.name, this.name);
    const isPrivate = frame.scope === Scope.Private;
    const text = NameString(frame.payload);
    if (ours && this.pendingEchoes > 0) --this.pendingEchoes;
    const quitMarker = ours && isPrivate && text.length === 0;
    if (!quitMarker) {
      if (this.history && !isPrivate) this.#noteLive(frame.name, text);
      const alert = !ours && (isPrivate || Mentions(text, this.name));
      this.#event('message', { ...named(frame.name), ...texted(text), isPrivate, ours, alert });
    }
    if (this.quitting && this.pendingEchoes === 0) this.#leave(now);
  }

  #memberList(names) {
    if (this.shownMembers) {
      const { left, joined } = memberChanges(this.members, names);
      left.forEach((name) => this.#event('left', named(name)));
      joined.forEach((name) => this.#event('joined', named(name)));
    }
    this.members = names;
    this.haveMembers = true;
    if (this.phase !== Phase.InRoom) return;
    if (this.shownMembers) this.#event('members', { members: names.map(named) });
    else this.#showFirstList();
  }
}
