// PROTOCOL.md shows the vectors' frames, byte for byte as the tools make
// them, and what it says about the constants holds for the library.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import test from 'node:test';
import {
  FrameKey, FrameType, IvMaskStep, kHistoryEndSize, kHistoryItemPrefix, kHistoryRequestSize, kMaxPayload,
  kReclaimedSize, kReclaimKeySize, kReclaimSize,
} from '../lib/index.mjs';
import { exampleBlock, exampleNames, ivMaskBlock, vectors } from '../tools/protocol-examples.mjs';

const doc = readFileSync(new URL('../../PROTOCOL.md', import.meta.url), 'utf8');

test('every example in PROTOCOL.md is the vector it names, as generated', () => {
  assert.ok(doc.includes(ivMaskBlock()), 'the IvMask bytes');
  for (const name of exampleNames) assert.ok(doc.includes(exampleBlock(name)), `example ${name}`);
  // No stale example: every dump in the document is one of those.
  const shown = [...doc.matchAll(/^```\n([a-z0-9-]+): /gm)].map((m) => m[1]);
  assert.deepEqual(shown, exampleNames);
  assert.ok(exampleNames.every((n) => vectors.frames.some((f) => f.name === n)));
});

test('the constants PROTOCOL.md states are the library\'s', () => {
  assert.ok(doc.includes(`\`${new TextDecoder().decode(FrameKey)}\``));
  assert.ok(doc.includes(`M_k = k × ${IvMaskStep}`));
  assert.ok(doc.includes(`${(kMaxPayload + 48).toLocaleString('en')} bytes`));
  // The history extension: its codes and payload sizes.
  assert.ok(doc.includes(`| ${FrameType.HistoryRequest} | \`HistoryRequest\` | \`HistoryItem\``));
  assert.equal(FrameType.HistoryItem, FrameType.HistoryRequest);
  assert.ok(doc.includes(`| ${FrameType.HistoryEnd} | ignored | \`HistoryEnd\``));
  assert.ok(doc.includes(`${kHistoryRequestSize} bytes of plaintext`));
  // The device extension: each code once, in its direction.
  for (const [name, client] of [['DeviceHello', true], ['DeviceChallenge', false], ['DeviceEnrol', true],
    ['DeviceProof', true], ['DeviceAccepted', false], ['DeviceRefused', false]]) {
    const row = client ? `| ${FrameType[name]} | \`${name}\` | never sent |` : `| ${FrameType[name]} | never sent | \`${name}\` |`;
    assert.ok(doc.includes(row), row);
  }
  assert.ok(doc.includes(`L is ${kHistoryItemPrefix} more than the live frame's`));
  assert.ok(doc.includes(`${kHistoryEndSize} bytes, the run id`));
  // Coming back after a cut: its codes and payload sizes.
  assert.ok(doc.includes(`| ${FrameType.ReclaimKeyRequest} | \`ReclaimKeyRequest\` | \`ReclaimKey\``));
  assert.ok(doc.includes(`| ${FrameType.Reclaim} | \`Reclaim\`: in place of a \`Login\` | \`Reclaimed\``));
  assert.equal(FrameType.ReclaimKey, FrameType.ReclaimKeyRequest);
  assert.equal(FrameType.Reclaimed, FrameType.Reclaim);
  assert.ok(doc.includes(`**\`ReclaimKey\`**: ${kReclaimKeySize} bytes, the key`));
  assert.ok(doc.includes(`**\`Reclaim\`**: ${kReclaimSize} bytes`));
  assert.ok(doc.includes(`**\`Reclaimed\`**: ${kReclaimedSize} bytes`));
});
