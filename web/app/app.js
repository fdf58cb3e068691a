// The web app's entry: the login form, the room view and the message box,
// wired to a ChatRoom over the page's WebSocket. The session logic is the
// library's (lib/session.mjs); this file only shows what it says.
import { ChatRoom } from './lib/room.mjs';
import { CheckName, Phase } from './lib/session.mjs';
import { ShownName } from './lib/safe-text.mjs';
import { pageWebSocketUrl, webSocketDialer } from './lib/websocket.mjs';
import { LineHistory } from './line-history.js';
import { askPermission, notifyAlert } from './notify.js';
import { enterPrivateRoom } from './device.js';
import { appendLine, earlierEndLine, messageLine, noticeLine, renderMembers } from './view.js';

const kNameKey = 'saferoom.name';
const $ = (id) => document.getElementById(id);

const ui = {
  login: $('login'), loginForm: $('login-form'), loginName: $('login-name'), loginNote: $('login-note'),
  loginButton: $('login-button'), room: $('room'), status: $('status'), retry: $('retry'),
  membersToggle: $('members-toggle'), messages: $('messages'), memberList: $('member-list'),
  compose: $('compose'), line: $('line'), target: $('target'), targetName: $('target-name'),
  targetClear: $('target-clear'),
};

let room = null;
let members = [];
let target = null; // the member a click chose to write to privately, as bytes
let countdown = null;
const history = new LineHistory();

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

function showLogin(note) {
  ui.room.hidden = true;
  ui.login.hidden = false;
  ui.loginNote.textContent = note;
  ui.loginButton.disabled = false;
  ui.loginName.focus();
  ui.loginName.select();
}

function showRoom() {
  ui.login.hidden = true;
  ui.room.hidden = false;
  ui.line.focus();
}

function setTarget(nameBytes) {
  target = nameBytes;
  ui.target.hidden = !target;
  ui.targetName.textContent = target ? ShownName(target) : '';
  ui.line.placeholder = target ? `Private message to ${ShownName(target)}` : 'Message to everyone';
  renderMembers(ui.memberList, members, room.name, target, setTarget);
  ui.line.focus();
}

// The bar: who we are, or how the connection is; while offline a countdown
// to the next try, updated every second.
function showStatus() {
  const phase = room.phase;
  const offline = phase === Phase.Offline || phase === Phase.Connecting;
  ui.status.classList.toggle('offline', offline);
  ui.retry.hidden = phase !== Phase.Offline;
  if (phase === Phase.InRoom) {
    ui.status.textContent = `You are ${ShownName(room.name)}`;
  } else if (phase === Phase.Offline) {
    const left = Math.max(0, Math.ceil((room.retryAt - Date.now()) / 1000));
    ui.status.textContent = `Offline, retrying in ${left} s`;
  } else if (phase === Phase.Done) {
    ui.status.textContent = 'You left the room. Reload the page to come back.';
  } else {
    ui.status.textContent = 'Connecting…';
  }
  const ticking = phase === Phase.Offline;
  if (ticking && !countdown) countdown = setInterval(showStatus, 1000);
  if (!ticking && countdown) {
    clearInterval(countdown);
    countdown = null;
  }
}

function onEvent(event) {
  switch (event.kind) {
    case 'entered':
      saveName(ui.loginName.value);
      showRoom();
      break;
    case 'nameInUse':
      showLogin(`The name ${ShownName(event.nameBytes)} is in use. Pick another.`);
      break;
    case 'members':
      members = event.members;
      ui.membersToggle.textContent = `Members (${members.length})`;
      renderMembers(ui.memberList, members, room.name, target, setTarget);
      break;
    case 'message':
    case 'sentPrivate':
      appendLine(ui.messages, messageLine(event, setTarget));
      if (event.kind === 'message' && !event.earlier) notifyAlert(event);
      break;
    case 'history':
      appendLine(ui.messages, earlierEndLine(event));
      break;
    case 'done':
      appendLine(ui.messages, noticeLine({ ...event, kind: 'status', line: event.reason || 'You left the room.' }));
      if (ui.room.hidden) showLogin(event.reason);
      break;
    default: // joined, left, info, refused, status
      if (!ui.room.hidden || event.kind !== 'refused') appendLine(ui.messages, noticeLine(event));
      else ui.loginNote.textContent = event.line;
  }
  showStatus();
}

ui.loginForm.addEventListener('submit', (e) => {
  e.preventDefault();
  const name = ui.loginName.value;
  const why = CheckName(name);
  if (why) {
    ui.loginNote.textContent = `Not that name: ${why}.`;
    return;
  }
  askPermission();
  ui.loginNote.textContent = 'Entering…';
  if (room && room.phase === Phase.NameRejected) {
    room.rename(name);
    return;
  }
  if (room) return; // a login is already under way
  startRoom(name, webSocketDialer(pageWebSocketUrl()));
});

// Logs in as `name` over `dial`; in a private room device.js calls it.
function startRoom(name, dial) {
  ui.loginButton.disabled = true;
  room = new ChatRoom({ name, dial, interactive: true, reconnect: true, history: true });
  room.on('*', onEvent);
  room.start();
  showStatus();
  return room;
}

ui.compose.addEventListener('submit', (e) => {
  e.preventDefault();
  const line = ui.line.value;
  if (!line || !room) return;
  // Commands work with a private target too; anything else goes to it.
  const command = line.startsWith('/') && !line.startsWith('//');
  const taken = target && !command ? room.sendTo(target, line) : room.type(line);
  // A refused line stays in the box, to be sent once the room is back.
  if (taken) {
    history.add(line);
    ui.line.value = '';
  }
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
ui.membersToggle.addEventListener('click', () => {
  const shown = ui.room.classList.toggle('show-members');
  ui.membersToggle.setAttribute('aria-expanded', String(shown));
});
// Back online: no need to wait out the pause.
window.addEventListener('online', () => room?.retryNow());

ui.loginName.value = savedName();
enterPrivateRoom(startRoom).then((handled) => handled || showLogin(''));
