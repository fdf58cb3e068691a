// The pure parts behind the web app's message box: Up and Down recall, and
// the commands a typed line may be.
import assert from 'node:assert/strict';
import test from 'node:test';
import { LineHistory } from '../app/line-history.js';
import { ParseCommand } from '../lib/index.mjs';

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

test('typed lines as commands', () => {
  const rows = [
    // line, kind, name, text
    ['hello', 'say', '', 'hello'],
    ['/', 'say', '', '/'],
    ['//msg x', 'say', '', '/msg x'],
    ['/msg bob hi there', 'msg', 'bob', 'hi there'],
    ['/msg   bob   hi', 'msg', 'bob', 'hi'],
    ['/msg "bob smith" hi', 'msg', 'bob smith', 'hi'],
    ['/msg "bob smith"hi', 'badUse', '', 'usage: /msg NAME TEXT (put a NAME with spaces in "quotes")'],
    ['/msg "bob hi', 'badUse', '', 'usage: /msg NAME TEXT (put a NAME with spaces in "quotes")'],
    ['/msg bob', 'badUse', '', 'usage: /msg NAME TEXT (put a NAME with spaces in "quotes")'],
    ['/nick  carol  ', 'nick', 'carol', ''],
    ['/nick', 'badUse', '', 'usage: /nick NAME'],
    ['/who', 'who', '', ''],
    ['/quit', 'quit', '', ''],
    ['/help', 'help', '', ''],
    ['/whom x', 'unknown', '/whom', ''],
  ];
  for (const [line, kind, name, text] of rows) assert.deepEqual(ParseCommand(line), { kind, name, text }, line);
});
