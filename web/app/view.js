// What the room looks like on the page: message and notice lines, the member
// list. Every name and text goes in as text (textContent), escaped as the
// console escapes it; nothing is ever parsed as markup, and the only element
// made from a text is a link to an http(s) address it holds. Each name and
// text is isolated (<bdi>), so that a right-to-left one cannot reorder
// anything beside it. Used by app.js.
import { ShownName } from './lib/safe-text.mjs';
import { sameBytes } from './lib/session.mjs';
import { LinkParts, MessageText } from './text-parts.js';

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
  return node;
}

export const nameNode = (nameBytes, className = 'who') => el('bdi', className, ShownName(nameBytes));

// The text, with its http(s) addresses as links that give the other site
// neither this page nor its address.
function textNode(textBytes) {
  const node = el('bdi', 'text');
  for (const part of LinkParts(MessageText(textBytes))) {
    if (!part.href) {
      node.append(part.text);
      continue;
    }
    const link = el('a', '', part.text);
    link.href = part.href;
    link.rel = 'noopener noreferrer';
    link.target = '_blank';
    node.append(link);
  }
  return node;
}

// A relayed message, or our private one to someone else. One from the
// room's history (said before we came) is set apart, with its own time.
export function messageLine(event) {
  const sent = event.kind === 'sentPrivate';
  const classes = ['line', 'msg', sent ? 'sent' : event.isPrivate ? 'private' : 'public'];
  if (event.ours) classes.push('own');
  if (event.alert) classes.push('alert');
  if (event.earlier) classes.push('earlier');
  const line = el('div', classes.join(' '));
  line.append(timeOf(event.at), ' ');
  if (sent) {
    line.append(el('span', 'tag', 'private to'), ' ', nameNode(event.nameBytes));
  } else {
    line.append(nameNode(event.nameBytes));
    if (event.isPrivate) line.append(' ', el('span', 'tag', event.ours ? 'private to yourself' : 'private to you'));
  }
  line.append(' ', textNode(event.textBytes));
  return line;
}

// Joins, leaves, the answers to commands, and the page's own lines.
// `tone`: 'trouble' (red), 'refused' (a line that was not taken) or ''.
export function noticeLine(event, tone = '') {
  const line = el('div', `line notice ${event.kind}${tone ? ' ' + tone : ''}`);
  line.append(timeOf(event.at), ' ');
  const text = el('span', 'text');
  if (event.kind === 'joined' || event.kind === 'left') text.append(nameNode(event.nameBytes), ` ${event.kind}`);
  else text.append(event.line);
  line.append(text);
  return line;
}

// The line under the messages from the room's history.
export function earlierEndLine(event) {
  const line = el('div', 'line notice history');
  line.append(el('span', 'text', `${event.count} earlier message${event.count === 1 ? '' : 's'} above`));
  return line;
}

// Each member but us is a toggle: pressed, what is typed goes to them alone.
export function renderMembers(list, members, self, target, onName) {
  list.replaceChildren(...members.map((m) => {
    const item = el('li');
    if (sameBytes(m.nameBytes, self)) {
      item.className = 'self';
      item.append(nameNode(m.nameBytes, ''), ' (you)');
    } else {
      const chosen = Boolean(target && sameBytes(m.nameBytes, target));
      const button = el('button', 'member');
      button.type = 'button';
      button.setAttribute('aria-pressed', String(chosen));
      button.append(nameNode(m.nameBytes, ''));
      button.addEventListener('click', () => onName(chosen ? null : m.nameBytes));
      item.append(button);
    }
    return item;
  }));
}
