// What the room looks like on the page: message and notice lines, the member
// list. Every name and text goes in as text (textContent), escaped as the
// console escapes it; nothing is ever parsed as markup. Used by app.js.
import { SafeText, ShownName } from './lib/safe-text.mjs';
import { sameBytes } from './lib/session.mjs';

export function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

const two = (n) => String(n).padStart(2, '0');

function timeOf(at) {
  const when = new Date(at);
  const node = el('time', 'time', `${two(when.getHours())}:${two(when.getMinutes())}`);
  node.dateTime = when.toISOString();
  node.title = when.toLocaleString();
  return node;
}

// A sender's name: a button that writes to them privately, or plain text
// for our own.
function who(nameBytes, clickable, onName) {
  if (!clickable) return el('span', 'who', ShownName(nameBytes));
  const button = el('button', 'who', ShownName(nameBytes));
  button.type = 'button';
  button.title = 'Write privately';
  button.addEventListener('click', () => onName(nameBytes));
  return button;
}

// A relayed message, or our private one to someone else. One from the
// room's history (said before we came) is shown dimmed, with its own time.
export function messageLine(event, onName) {
  const sent = event.kind === 'sentPrivate';
  const classes = ['line', 'msg', sent ? 'sent' : event.isPrivate ? 'private' : 'public'];
  if (event.ours) classes.push('own');
  if (event.alert) classes.push('alert');
  if (event.earlier) classes.push('earlier');
  const line = el('li', classes.join(' '));
  line.append(timeOf(event.at));
  if (sent) {
    line.append(el('span', 'tag', 'private to'), who(event.nameBytes, true, onName));
  } else {
    line.append(who(event.nameBytes, !event.ours, onName));
    if (event.isPrivate) line.append(el('span', 'tag', event.ours ? 'private to yourself' : 'private to you'));
  }
  line.append(el('span', 'text', SafeText(event.textBytes)));
  return line;
}

// Joins, leaves and the client's own lines.
export function noticeLine(event) {
  const text = event.kind === 'joined' ? `${ShownName(event.nameBytes)} joined`
    : event.kind === 'left' ? `${ShownName(event.nameBytes)} left` : event.line;
  const line = el('li', `line notice ${event.kind}`);
  line.append(timeOf(event.at), el('span', 'text', text));
  return line;
}

// The line under the messages from the room's history.
export function earlierEndLine(event) {
  const line = el('li', 'line notice history');
  line.append(el('span', 'text', `${event.count} earlier message${event.count === 1 ? '' : 's'} above`));
  return line;
}

// Appends, and follows the end only when the reader was already there.
export function appendLine(list, line) {
  const atEnd = list.scrollHeight - list.scrollTop - list.clientHeight < 40;
  list.append(line);
  if (atEnd) list.scrollTop = list.scrollHeight;
}

export function renderMembers(list, members, self, target, onName) {
  list.replaceChildren(...members.map((m) => {
    const item = el('li');
    if (sameBytes(m.nameBytes, self)) {
      item.append(el('span', 'self', `${ShownName(m.nameBytes)} (you)`));
    } else {
      const button = el('button', target && sameBytes(m.nameBytes, target) ? 'chosen' : '', ShownName(m.nameBytes));
      button.type = 'button';
      button.title = 'Write privately';
      button.addEventListener('click', () => onName(m.nameBytes));
      item.append(button);
    }
    return item;
  }));
}
