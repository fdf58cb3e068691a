// The web app's entry: the login screen, the room view and the message box,
// wired to a ChatRoom over the page's WebSocket. The session logic is the
// library's (lib/session.mjs); this file shows what it says. enter() starts
// a try at the room; showScreen() is the one place that decides what the
// page shows.
import { ChatRoom } from './lib/room.mjs';
import { CheckName, Phase, sameBytes } from './lib/session.mjs';
import { ShownName } from './lib/safe-text.mjs';
import { kNameSize } from './lib/frame.mjs';
import { pageWebSocketUrl, webSocketDialer } from './lib/websocket.mjs';
import { LineHistory } from './line-history.js';
import { MessageList } from './message-list.js';
import { askPermission, noteArrival, registerWorker } from './notify.js';
import { enterPrivateRoom } from './device.js';
import { Cause, ConnectionWords } from './status-words.js';
import { earlierEndLine, messageLine, noticeLine, renderMembers } from './view.js';

const kNameKey = 'saferoom.name';
// This tab's place in the room, in sessionStorage: it outlives a reload
// (and a tab the browser restores) but not the tab, and no other tab sees
// it, so that a reload goes back in while a second tab does not push the
// first one out; the user's leaving clears it.
const kInRoomKey = 'saferoom.inRoom'; // the name this tab is in the room under
const kReclaimKey = 'saferoom.reclaimKey'; // the key that takes it back from a stale connection, in hex
const kDialMs = 10000; // a dial that hangs (a network that drops packets) fails after this, as chat's does
const $ = (id) => document.getElementById(id);

const ui = {
  login: $('login'), loginForm: $('login-form'), loginName: $('login-name'), nameSize: $('name-size'),
  loginNote: $('login-note'), loginWait: $('login-wait'), loginButton: $('login-button'), loginStop: $('login-stop'),
  room: $('room'), status: $('status'), wait: $('wait'), retry: $('retry'), membersToggle: $('members-toggle'),
  memberCount: $('member-count'), messages: $('messages'), memberList: $('member-list'), compose: $('compose'),
  line: $('line'), target: $('target'), targetName: $('target-name'), targetClear: $('target-clear'),
};

const messages = new MessageList(ui.messages);
const history = new LineHistory();
const encoder = new TextEncoder();

let room = null; // the current try at the room; null before the first and after leaving
let entered = false; // that try has been in the room: the room's view is showing
let link = 'none'; // what the page's dialer saw last: 'failed', 'open', or 'closed' by the server
let cause = Cause.Unreachable; // why the last try failed, taken from `link` when it did
let failed = false; // a try to enter failed: the reason stays in sight while it tries again
let loginNote = null; // { text, trouble }: a word for the login screen that no phase says
let members = [];
let target = null; // the member a click chose to write to privately, as bytes
let lastPhase = null;
let shownScreen = null;
let ticker = null;

function savedName() {
  try {
    return localStorage.getItem(kNameKey) ?? '';
  } catch {
    return ''; // storage may be off; the name is then typed each time
  }
}

function saveName(name) {
  try {
    localStorage.setItem(kNameKey, name);
  } catch {
    // Not remembered, nothing else lost.
  }
}

function tabGet(key) {
  try {
    return sessionStorage.getItem(key);
  } catch {
    return null;
  }
}

function tabSet(key, value) {
  try {
    if (value === null) sessionStorage.removeItem(key);
    else sessionStorage.setItem(key, value);
  } catch {
    // Not kept: a reload then shows the login screen.
  }
}

const toHex = (bytes) => [...bytes].map((b) => b.toString(16).padStart(2, '0')).join('');
const fromHex = (hex) => (/^([0-9a-f]{2})+$/.test(hex ?? '') ? Uint8Array.from(hex.match(/../g), (h) => parseInt(h, 16)) : null);

function leftTheRoom() {
  tabSet(kInRoomKey, null);
  tabSet(kReclaimKey, null);
}

// The page's WebSocket with a deadline, noting what became of it: the
// session sees a lost connection either way, the words tell them apart.
function watchedDialer(dial) {
  return ({ onbytes, onclose }) => new Promise((resolve, reject) => {
    let late = false;
    const timer = setTimeout(() => {
      late = true;
      link = 'failed';
      reject(new Error(`no connection within ${kDialMs / 1000} s`));
    }, kDialMs);
    const closed = (why) => {
      link = 'closed';
      onclose(why);
    };
    dial({ onbytes, onclose: closed }).then((transport) => {
      clearTimeout(timer);
      if (late) return transport.close();
      link = 'open';
      resolve(transport);
    }, (err) => {
      clearTimeout(timer);
      if (late) return;
      link = 'failed';
      reject(err);
    });
  });
}

// Offline: why. A connection that is still open was closed by the session
// itself, for want of an answer to its login: the room is full.
function offlineCause() {
  return link === 'failed' ? Cause.Unreachable : link === 'closed' ? Cause.Lost : Cause.NoAnswer;
}

// A new try at the room under `name`, over `dial` (device.js gives its own
// in a private room); one that is still waiting ends. Returns the try. The
// key this tab kept takes the name back at once, after a reload, from a
// connection the server has not seen end.
function enter(name, dial = webSocketDialer(pageWebSocketUrl())) {
  const old = room;
  const reclaimKey = tabGet(kInRoomKey) === name ? fromHex(tabGet(kReclaimKey)) : null;
  const attempt = new ChatRoom({
    name, dial: watchedDialer(dial), interactive: true, reconnect: true, history: true, reclaimKey,
  });
  room = attempt;
  entered = false;
  failed = false;
  lastPhase = null;
  old?.leave();
  attempt.on('*', (event) => room === attempt && onEvent(event));
  attempt.start();
  return attempt;
}

function stopTrying() {
  const old = room;
  room = null;
  leftTheRoom();
  old?.leave();
}

const pageNotice = (line, tone) => {
  const event = { kind: 'status', at: Date.now(), line };
  messages.add(() => noticeLine(event, tone));
};

function onEvent(event) {
  switch (event.kind) {
    case 'entered':
      if (entered) pageNotice('Back in the room.');
      entered = true;
      saveName(ui.loginName.value);
      tabSet(kInRoomKey, ui.loginName.value);
      break;
    case 'key':
      tabSet(kReclaimKey, event.key ? toHex(event.key) : null);
      break;
    case 'missed':
      pageNotice('Some of what was sent to you as the connection failed is lost.', 'trouble');
      break;
    case 'members':
      members = event.members;
      renderMembers(ui.memberList, members, room.name, target, setTarget);
      break;
    case 'message':
    case 'sentPrivate':
      messages.add(() => messageLine(event), event.earlier);
      if (event.kind === 'message') noteArrival(event);
      break;
    case 'history':
      messages.add(() => earlierEndLine(event), true);
      break;
    case 'refused':
      if (entered) messages.add(() => noticeLine(event, 'refused'));
      else loginNote = { text: event.line, trouble: true };
      break;
    case 'done':
      room = null;
      leftTheRoom();
      entered = false;
      members = [];
      setTarget(null);
      loginNote = { text: 'You left the room.', trouble: false };
      break;
    case 'joined':
    case 'left':
    case 'info':
      messages.add(() => noticeLine(event));
      break;
    default: // 'status', 'nameInUse': the phase says it in the page's words
  }
  showScreen();
}

// A lost connection is said once in the list; coming back, by 'entered'.
function notePhase(phase) {
  if (phase === Phase.Offline) cause = offlineCause();
  if (phase === lastPhase) return;
  if (phase === Phase.Offline && !entered) failed = true;
  if (lastPhase === Phase.InRoom && (phase === Phase.Offline || phase === Phase.LoggingIn)) {
    pageNotice('Connection lost.', 'trouble');
  }
  lastPhase = phase;
}

function secondsLeft() {
  return Math.max(0, Math.ceil((room.retryAt - Date.now()) / 1000));
}

// The one place that decides what the page shows: the room while a try has
// been in it (unless its name was taken meanwhile), else the login screen;
// and the words for the connection, counting down while offline.
function showScreen() {
  const phase = room?.phase ?? null;
  const inRoom = Boolean(room) && entered && phase !== Phase.NameRejected;
  if (room) notePhase(phase);
  const words = room
    ? ConnectionWords({ phase, entered, failed, cause, name: ShownName(room.name), seconds: secondsLeft() }) : null;
  ui.login.hidden = inRoom;
  ui.room.hidden = !inRoom;
  if (inRoom) showBar(words);
  else showLogin(words);
  const screen = inRoom ? 'room' : 'login';
  if (screen !== shownScreen) {
    shownScreen = screen;
    if (inRoom) ui.line.focus();
    else ui.loginName.focus();
  }
  const ticking = phase === Phase.Offline;
  if (ticking && !ticker) ticker = setInterval(showScreen, 1000);
  if (!ticking && ticker) {
    clearInterval(ticker);
    ticker = null;
  }
}

const setText = (node, text) => node.textContent !== text && (node.textContent = text);

function showBar(words) {
  setText(ui.status, words.text);
  setText(ui.wait, words.wait);
  ui.status.parentElement.classList.toggle('trouble', words.trouble);
  ui.retry.hidden = !words.retry;
  // Offline there is no member list: the bar keeps its room for the words.
  const listed = room.phase === Phase.InRoom;
  ui.membersToggle.hidden = !listed;
  if (!listed) showMembers(false);
  setText(ui.memberCount, listed ? String(members.length) : '');
}

function showLogin(words) {
  const phase = room?.phase;
  const trying = phase === Phase.Connecting || phase === Phase.LoggingIn;
  const note = loginNote ?? words ?? { text: '', wait: '', trouble: false };
  setText(ui.loginNote, note.text);
  setText(ui.loginWait, note.wait ?? '');
  ui.loginNote.parentElement.classList.toggle('trouble', note.trouble);
  setText(ui.loginButton, trying ? (failed ? 'Trying…' : 'Entering…') : phase === Phase.Offline ? 'Try now' : 'Enter the room');
  ui.loginButton.disabled = trying || nameTooLong();
  ui.loginStop.hidden = !room || !failed;
}

// The name's size as it is typed: the limit counts UTF-8 bytes, so é
// counts two.
function nameBytes() {
  return encoder.encode(ui.loginName.value).length;
}

const nameTooLong = () => nameBytes() > kNameSize;

function showNameSize() {
  const used = nameBytes();
  const over = used - kNameSize;
  ui.nameSize.textContent = over > 0
    ? `${used} of ${kNameSize} bytes: ${over} too many (é takes 2, most emoji 4)`
    : `${used} of ${kNameSize} bytes`;
  ui.nameSize.classList.toggle('trouble', over > 0);
  ui.loginName.setAttribute('aria-invalid', String(over > 0));
  showScreen();
}

function submitName() {
  const name = ui.loginName.value;
  const why = CheckName(name);
  loginNote = why ? { text: `Not that name: ${why}.`, trouble: true } : null;
  if (!why) {
    askPermission();
    if (room?.phase === Phase.NameRejected) room.rename(name);
    else if (room?.phase === Phase.Offline && sameBytes(room.name, encoder.encode(name))) room.retryNow();
    else if (!room || room.phase === Phase.Offline) enter(name);
  }
  showScreen();
}

function setTarget(nameBytes) {
  target = nameBytes;
  const to = target ? ShownName(target) : '';
  ui.compose.classList.toggle('private', Boolean(target));
  ui.target.hidden = !target;
  ui.targetName.textContent = to;
  ui.line.placeholder = target ? `Only ${to} will see this` : 'Message to everyone';
  if (target) ui.line.setAttribute('aria-describedby', 'target-note');
  else ui.line.removeAttribute('aria-describedby');
  if (room) renderMembers(ui.memberList, members, room.name, target, setTarget);
  if (target) showMembers(false);
  ui.line.focus();
}

// A line from the box: to the private target, or typed (a command or a
// message to everyone). A command is done with either way (refused, it says
// why in the list, and Up brings it back); a refused message stays, to be
// mended or sent once the room is back. Private mode stays on until ended:
// a reply meant for one that went to everyone could not be taken back.
function sendLine() {
  const line = ui.line.value;
  if (!line || !room) return;
  const command = line.startsWith('/') && !line.startsWith('//');
  const taken = target && !command ? room.sendTo(target, line) : room.type(line);
  if (taken || command) {
    history.add(line);
    ui.line.value = '';
  }
}

function showMembers(shown) {
  ui.room.classList.toggle('show-members', shown);
  ui.membersToggle.setAttribute('aria-expanded', String(shown));
}

ui.loginName.addEventListener('input', showNameSize);
ui.loginForm.addEventListener('submit', (e) => {
  e.preventDefault();
  submitName();
});
ui.loginStop.addEventListener('click', () => {
  stopTrying();
  showScreen();
});
ui.compose.addEventListener('submit', (e) => {
  e.preventDefault();
  sendLine();
});
ui.line.addEventListener('keydown', (e) => {
  if (e.isComposing) return;
  const recalled = e.key === 'ArrowUp' ? history.older(ui.line.value)
    : e.key === 'ArrowDown' ? history.newer() : null;
  if (recalled !== null) {
    e.preventDefault();
    ui.line.value = recalled;
    ui.line.setSelectionRange(recalled.length, recalled.length);
  } else if (e.key === 'Escape' && target) {
    setTarget(null);
  }
});
ui.targetClear.addEventListener('click', () => setTarget(null));
ui.retry.addEventListener('click', () => room?.retryNow());
ui.membersToggle.addEventListener('click', () => showMembers(!ui.room.classList.contains('show-members')));
// Back online: no need to wait out the pause.
window.addEventListener('online', () => room?.retryNow());

registerWorker();
const rejoin = tabGet(kInRoomKey);
ui.loginName.value = rejoin ?? savedName();
showNameSize();
// A private room is entered with the device's key (device.js); an open
// one, after a reload, under the name this tab was in with.
enterPrivateRoom(enter).then((isPrivate) => {
  if (!isPrivate && rejoin !== null) enter(rejoin);
});
