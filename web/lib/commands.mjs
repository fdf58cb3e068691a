// Typed lines: the commands of the terminal client (/msg, /who, /nick, /quit,
// /help, //TEXT) and the word match behind mentions. Pure; used by
// session.mjs, and by front ends for the help text.

// "word rest": the word up to the first space, the rest after the spaces
// that follow it.
function splitWord(line) {
  const end = line.indexOf(' ');
  if (end < 0) return [line, ''];
  return [line.slice(0, end), line.slice(end).replace(/^ +/, '')];
}

// One typed line as { kind, name, text }: kind 'say' (text), 'msg' (name,
// text), 'who', 'nick' (name), 'quit', 'help', 'unknown' (name: the word) or
// 'badUse' (text: the usage). "//x" says "/x"; a /msg NAME with spaces goes
// in "quotes".
export function ParseCommand(line) {
  if (line.length < 2 || line[0] !== '/' || line[1] === '/') {
    return { kind: 'say', name: '', text: line.startsWith('//') ? line.slice(1) : line };
  }
  const [word, rest] = splitWord(line);
  switch (word) {
    case '/who':
    case '/quit':
    case '/help':
      return { kind: word.slice(1), name: '', text: '' };
    case '/nick': {
      const name = rest.replace(/ +$/, '');
      return name ? { kind: 'nick', name, text: '' }
        : { kind: 'badUse', name: '', text: 'usage: /nick NAME' };
    }
    case '/msg': {
      let name = '', text = '';
      if (rest.startsWith('"')) {
        const close = rest.indexOf('"', 1);
        if (close > 0) {
          name = rest.slice(1, close);
          const after = rest.slice(close + 1);
          // The text must be set off from the closing quote by a space.
          if (after.startsWith(' ')) text = after.replace(/^ +/, '');
        }
      } else {
        [name, text] = splitWord(rest);
      }
      if (!name || !text) {
        return { kind: 'badUse', name: '',
          text: 'usage: /msg NAME TEXT (put a NAME with spaces in "quotes")' };
      }
      return { kind: 'msg', name, text };
    }
    default:
      return { kind: 'unknown', name: word, text: '' };
  }
}

export const CommandHelp = Object.freeze([
  'Commands:',
  '  TEXT            send TEXT to everyone in the room',
  '  /msg NAME TEXT  send TEXT to NAME only ("quote" a NAME with spaces)',
  '  /who            list the members',
  '  /nick NAME      try another name while yours is in use',
  '  /quit           log out and leave',
  '  /help           this list',
  '  //TEXT          send a TEXT that begins with /',
]);

const lower = (b) => (b >= 0x41 && b <= 0x5a ? b + 0x20 : b);

const isWordByte = (b) =>
  b >= 0x80 || b === 0x5f || (b >= 0x30 && b <= 0x39) || (lower(b) >= 0x61 && lower(b) <= 0x7a);

// True when the bytes `text` hold the bytes `name` as a word, ignoring ASCII
// case: "Bob:" mentions bob, "bobby" does not.
export function Mentions(text, name) {
  if (name.length === 0) return false;
  for (let at = 0; at + name.length <= text.length; at++) {
    let same = true;
    for (let i = 0; i < name.length && same; i++) same = lower(text[at + i]) === lower(name[i]);
    if (!same) continue;
    const end = at + name.length;
    const startsWord = at === 0 || !isWordByte(text[at - 1]) || !isWordByte(name[0]);
    const endsWord = end === text.length || !isWordByte(text[end]) || !isWordByte(name[name.length - 1]);
    if (startsWord && endsWord) return true;
  }
  return false;
}
