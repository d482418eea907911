'use strict';
const { test, beforeEach, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const TOOL = path.join(__dirname, '..', '..', 'companion', 'tavrik.js');
let store;

function tavrik(machine, args, input) {
  const r = spawnSync(TOOL, args, {
    input, maxBuffer: 64 << 20,
    env: { ...process.env, TAVRIK_STORE: store, TAVRIK_MACHINE: machine },
  });
  return { status: r.status, out: r.stdout, err: r.stderr.toString() };
}
const push = (machine, text) => tavrik(machine, ['clip', 'push', '--stdin'], text);
const pull = (machine) => tavrik(machine, ['clip', 'pull', '--print']);

beforeEach(() => { store = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-store-')); });
afterEach(() => fs.rmSync(store, { recursive: true, force: true }));

test('a push from one machine is pulled byte for byte on the other', () => {
  const texts = ['Xin chào, thế giới!\n', 'a\r\nb\r\n', '   ', '\n', Buffer.from([0xff, 0, 0x80]),
                 'x'.repeat(3 << 20)];
  for (const text of texts) {
    const p = push('mac-a', text);
    assert.equal(p.status, 0, p.err);
    assert.equal(p.out.length, 0);
    const r = pull('mac-b');
    assert.equal(r.status, 0, r.err);
    assert.ok(r.out.equals(Buffer.from(text)));
  }
});

test('nothing stored from another machine prints nothing', () => {
  assert.deepEqual(pull('mac-b'), { status: 0, out: Buffer.alloc(0), err: '' });
  push('mac-b', 'my own');
  assert.equal(pull('mac-b').out.length, 0);  // a machine never pulls its own text
  assert.equal(pull('mac-a').out.toString(), 'my own');
});

test('the newest text from any other machine wins', () => {
  push('one', 'first');
  push('two', 'second');
  // Set the times apart: a file system may stamp both pushes alike.
  const stamp = (name, seconds) => fs.utimesSync(path.join(store, `clip-${name}`), seconds, seconds);
  stamp('one', 1000);
  stamp('two', 2000);
  assert.equal(pull('three').out.toString(), 'second');
  assert.equal(pull('two').out.toString(), 'first');
  stamp('one', 3000);
  assert.equal(pull('three').out.toString(), 'first');
});

test('machine names with odd characters stay inside the store', () => {
  push('../x/..', 'odd');
  assert.deepEqual(fs.readdirSync(store).length, 1);
  assert.equal(pull('other').out.toString(), 'odd');
});

test('a pull never sees half a push', async () => {
  const size = 4 << 20;
  const a = Buffer.alloc(size, 'a');
  const b = Buffer.alloc(size, 'b');
  push('writer', a);
  let running = true;
  const writer = (async () => {
    for (let i = 0; running && i < 40; i++) {
      await new Promise((resolve) => {
        const p = spawn(TOOL, ['clip', 'push', '--stdin'],
                        { env: { ...process.env, TAVRIK_STORE: store, TAVRIK_MACHINE: 'writer' } });
        p.on('exit', resolve);
        p.stdin.end(i % 2 ? a : b);
      });
    }
  })();
  for (let i = 0; i < 20; i++) {
    const out = pull('reader').out;
    assert.equal(out.length, size);
    assert.ok(out.equals(a) || out.equals(b), 'a whole text');
    await new Promise((r) => setTimeout(r, 5));
  }
  running = false;
  await writer;
  assert.deepEqual(fs.readdirSync(store).filter((n) => n.endsWith('.tmp')), []);
});

test('failures exit non-zero with the reason as the last line of standard error', () => {
  const file = path.join(store, 'not-a-directory');
  fs.writeFileSync(file, '');
  const r = spawnSync(TOOL, ['clip', 'push', '--stdin'],
                      { input: 'x', env: { ...process.env, TAVRIK_STORE: file } });
  assert.notEqual(r.status, 0);
  const lines = r.stderr.toString().split('\n').filter(Boolean);
  assert.match(lines.at(-1), /^Không ghi được vào kho .*not-a-directory/);

  const usage = tavrik('m', ['clip', 'push']);
  assert.equal(usage.status, 2);
  assert.match(usage.err, /clip push --stdin/);
});

test('hotkeys set explains the --copy and --paste options', () => {
  const r = tavrik('m', ['hotkeys', 'set']);
  assert.equal(r.status, 0);
  assert.match(r.out.toString(), /--copy ctrl\+alt\+c --paste ctrl\+alt\+b/);
});
