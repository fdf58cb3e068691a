// The pure parts of the web app: Up and Down recall, what a message's text
// shows and links, the words for the connection; and that no string is ever
// made markup. (The commands a typed line may be are the client vectors',
// in session.test.mjs.)
import assert from 'node:assert/strict';
import { readdirSync, readFileSync } from 'node:fs';
import { register } from 'node:module';
import test from 'node:test';
import { LineHistory } from '../app/line-history.js';

test('Up recalls earlier lines, Down comes back to the line being typed', () => {
  const h = new LineHistory();
  assert.equal(h.older('draft'), null, 'nothing to recall yet');
  h.add('one');
  h.add('two');
  h.add('two'); // a repeat is kept once
  const steps = [
    // key, what the box holds before, what it shows after (null: unchanged)
    ['up', 'draft', 'two'], ['up', 'two', 'one'], ['up', 'one', null],
    ['down', 'one', 'two'], ['down', 'two', 'draft'], ['down', 'draft', null],
  ];
  for (const [key, before, after] of steps) {
    assert.equal(key === 'up' ? h.older(before) : h.newer(), after, `${key} from ${before}`);
  }
  h.add('three');
  assert.equal(h.older(''), 'three', 'browsing starts again after a sent line');
});

test('the history keeps its newest lines only', () => {
  const h = new LineHistory(2);
  ['a', 'b', 'c'].forEach((l) => h.add(l));
  assert.deepEqual([h.older(''), h.older('c'), h.older('b')], ['c', 'b', null]);
});

// The page's modules import the library as the server serves it, at
// /lib/ beside them; here it is ../lib/ of web/app.
register(`data:text/javascript,${encodeURIComponent(`
  export async function resolve(specifier, context, next) {
    if (specifier.startsWith('./lib/') && context.parentURL?.includes('/web/app/')) {
      return next(new URL('../lib/' + specifier.slice(6), context.parentURL).href, context);
    }
    return next(specifier, context);
  }`)}`);
const { LinkParts, MessageText } = await import('../app/text-parts.js');
const { Cause, ConnectionWords } = await import('../app/status-words.js');
const { Phase } = await import('../lib/session.mjs');

test('message text: the implicit direction marks pass, what reorders letters stays escaped', () => {
  const rows = [
    // what, the text's bytes (hex), as shown
    ['RLM after Hebrew', 'd7a9d79cd795d79de2808f21', '\u05e9\u05dc\u05d5\u05dd\u200f!'],
    ['LRM and ALM', 'e2808e61d89c', '\u200ea\u061c'],
    ['override', 'e280ae6576696c', '\\xe2\\x80\\xaeevil'],
    ['embedding and isolate', 'e280aae281a6', '\\xe2\\x80\\xaa\\xe2\\x81\\xa6'],
    ['escape sequence', '1b5b324a', '\\x1b[2J'],
    ['a broken sequence, then a mark', 'e2e2808f', '\\xe2\u200f'],
    ['half a mark at the end', '61e280', 'a\\xe2\\x80'],
    ['marks alone', 'e2808fe2808f', '\u200f\u200f'],
  ];
  for (const [what, hex, shown] of rows) assert.equal(MessageText(Buffer.from(hex, 'hex')), shown, what);
});

test('links: http(s) addresses only, without the punctuation around them', () => {
  const link = (text, href = text) => ({ text, href });
  const rows = [
    ['see https://example.org/a?b=1. and more', [{ text: 'see ' }, link('https://example.org/a?b=1'), { text: '. and more' }]],
    ['(http://example.org/x)', [{ text: '(' }, link('http://example.org/x'), { text: ')' }]],
    ['https://en.wikipedia.org/wiki/Foo_(bar)!', [link('https://en.wikipedia.org/wiki/Foo_(bar)'), { text: '!' }]],
    ['<HTTPS://EXAMPLE.ORG>', [{ text: '<' }, link('HTTPS://EXAMPLE.ORG', 'https://example.org/'), { text: '>' }]],
    ['https://a.example/\\x1b[2J', [link('https://a.example/'), { text: '\\x1b[2J' }]],
    ['a https://x.example b https://y.example', [{ text: 'a ' }, link('https://x.example', 'https://x.example/'),
      { text: ' b ' }, link('https://y.example', 'https://y.example/')]],
    ['javascript:alert(1) ftp://x.example xhttps://x.example http:// https://', [{ text: 'javascript:alert(1) ftp://x.example xhttps://x.example http:// https://' }]],
    ['', []],
  ];
  for (const [text, parts] of rows) assert.deepEqual(LinkParts(text), parts, text);
});

test('connection words: a reason for every failure, red only for trouble', () => {
  const rows = [
    // phase, entered, failed, cause, seconds: text, wait, trouble, retry
    [Phase.Connecting, false, false, Cause.Unreachable, 0, 'Entering the room…', '', false, false],
    [Phase.Offline, false, true, Cause.Unreachable, 4, 'The server cannot be reached.', 'Trying again in 4 s.', true, true],
    [Phase.Offline, false, true, Cause.NoAnswer, 0, 'No answer: the room is full (5 members) or the server is busy.', 'Trying again now.', true, true],
    [Phase.LoggingIn, false, true, Cause.NoAnswer, 0, 'No answer: the room is full (5 members) or the server is busy.', 'Trying again…', true, false],
    [Phase.Offline, false, true, Cause.Lost, 2, 'The connection broke.', 'Trying again in 2 s.', true, true],
    [Phase.NameRejected, false, false, Cause.NoAnswer, 0, 'The name bob is in use. Pick another.', '', true, false],
    [Phase.InRoom, true, false, Cause.NoAnswer, 0, 'You are bob', '', false, false],
    [Phase.Offline, true, false, Cause.Lost, 8, 'Offline.', 'Next try in 8 s', true, true],
    [Phase.LoggingIn, true, false, Cause.NoAnswer, 0, 'Reconnecting…', '', false, false],
  ];
  for (const [phase, entered, failed, cause, seconds, text, wait, trouble, retry] of rows) {
    assert.deepEqual(ConnectionWords({ phase, entered, failed, cause, name: 'bob', seconds }), { text, wait, trouble, retry },
      `${phase} ${entered} ${cause}`);
  }
});

test('the page makes no markup from strings', () => {
  const dir = new URL('../app/', import.meta.url);
  for (const file of readdirSync(dir).filter((f) => f.endsWith('.js'))) {
    assert.doesNotMatch(readFileSync(new URL(file, dir), 'utf8'), /innerHTML|outerHTML|insertAdjacentHTML|document\.write|DOMParser/, file);
  }
});
