// web/package.json as npm and the project need it: the project's version,
// and entry points that load.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import test from 'node:test';

const pkg = JSON.parse(readFileSync(new URL('../package.json', import.meta.url)));

test("the package's version is the project's (CMakeLists.txt)", () => {
  const cmake = readFileSync(new URL('../../CMakeLists.txt', import.meta.url), 'utf8');
  const project = /project\(saferoom VERSION (\d+\.\d+\.\d+)/.exec(cmake);
  assert.ok(project, 'CMakeLists.txt sets project(saferoom VERSION ...)');
  assert.equal(pkg.version, project[1]);
});

// (Its name is checked by the imports below, which go by it.)
test('the package ships lib/ only, and needs nothing else', () => {
  assert.deepEqual(pkg.files, ['lib/']);
  assert.deepEqual(Object.keys(pkg.dependencies ?? {}), [], 'the library has no dependencies');
});

test('its entry points load under the package name', async () => {
  const main = await import('saferoom');
  for (const name of ['ChatRoom', 'ChatSession', 'BuildFrame', 'FrameReader', 'SafeText', 'ShownName', 'Sm4Cbc', 'webSocketDialer']) {
    assert.equal(typeof main[name], 'function', name);
  }
  assert.equal(typeof (await import('saferoom/tls')).tlsDialer, 'function');
});
