'use strict';
const { test, beforeEach, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const TOOL = path.join(__dirname, '..', '..', 'companion', 'tavrik.js');
let root;
let store;

// Runs the tool as `machine`; `env` adds to (or, undefined, removes from)
// its environment. No key unless a test makes one.
function tavrik(machine, args, input, env = {}) {
  const full = { ...process.env, TAVRIK_STORE: store, TAVRIK_MACHINE: machine,
                 TAVRIK_KEY_FILE: path.join(root, 'no-key'), ...env };
  for (const [k, v] of Object.entries(full)) if (v === undefined) delete full[k];
  const r = spawnSync(TOOL, args, { input, maxBuffer: 64 << 20, env: full });
  return { status: r.status, out: r.stdout, err: r.stderr.toString() };
}
const push = (machine, text, env) => tavrik(machine, ['clip', 'push', '--stdin'], text, env);
const pull = (machine, env) => tavrik(machine, ['clip', 'pull', '--print'], undefined, env);
const lastLine = (r) => r.err.split('\n').filter(Boolean).pop();

beforeEach(() => {
  root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-companion-'));
  store = path.join(root, 'store');
});
afterEach(() => fs.rmSync(root, { recursive: true, force: true }));

test('a push from one machine is pulled byte for byte on the other, never on its own', () => {
  assert.deepEqual(pull('mac-b'), { status: 0, out: Buffer.alloc(0), err: '' });  // nothing stored yet
  for (const text of ['Xin chào, thế giới!\n', 'a\r\nb\r\n', Buffer.from([0xff, 0, 0x80]), 'x'.repeat(3 << 20)]) {
    assert.deepEqual(push('../x/..', text), { status: 0, out: Buffer.alloc(0), err: '' });
    assert.ok(pull('mac-b').out.equals(Buffer.from(text)));
  }
  assert.equal(pull('../x/..').out.length, 0);
  assert.equal(fs.readdirSync(store).length, 1);  // an odd name stays inside the store
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
});

test('the store is private whatever the umask; an open one is reported', () => {
  const r = spawnSync('sh', ['-c', 'umask 022; exec "$@"', 'sh', TOOL, 'clip', 'push', '--stdin'],
                      { input: 'bí mật', env: { ...process.env, TAVRIK_STORE: store, TAVRIK_MACHINE: 'a',
                                                 TAVRIK_KEY_FILE: path.join(root, 'no-key') } });
  assert.equal(r.status, 0, r.stderr.toString());
  assert.equal(fs.statSync(store).mode & 0o777, 0o700);
  assert.equal(fs.statSync(path.join(store, 'clip-a')).mode & 0o777, 0o600);
  fs.chmodSync(store, 0o755);
  const open = pull('b');
  assert.equal(open.out.toString(), 'bí mật');
  assert.equal(open.err, `Cảnh báo: người dùng khác đọc hoặc ghi được thư mục kho ${store}; hãy chạy: chmod 700 ${store}\n`);
});

test('with a key: ciphertext in the store, read back only with the same key', () => {
  const keyA = { TAVRIK_KEY_FILE: path.join(root, 'a', 'key') };
  assert.match(tavrik('a', ['key', 'new'], undefined, keyA).out.toString(), /scp -p /);
  assert.equal(fs.statSync(keyA.TAVRIK_KEY_FILE).mode & 0o777, 0o600);
  assert.match(lastLine(tavrik('a', ['key', 'new'], undefined, keyA)), /^Đã có khoá ở .*; không ghi đè/);

  const text = Buffer.from('Mật khẩu: hunter2 — tiếng Việt có dấu. '.repeat(100));
  assert.equal(push('máy a', text, keyA).status, 0);
  const file = path.join(store, fs.readdirSync(store)[0]);
  const stored = fs.readFileSync(file);
  for (let i = 0; i + 8 <= text.length; i += 8) {
    assert.equal(stored.indexOf(text.subarray(i, i + 8)), -1, 'no run of the text is stored');
  }
  assert.ok(pull('máy b', keyA).out.equals(text));

  // Refused, each with its reason as the last line and nothing printed.
  const refusedWith = (pattern, env = keyA) => {
    const r = pull('máy b', env);
    assert.deepEqual([r.status, r.out.length], [1, 0]);
    assert.match(lastLine(r), pattern);
  };
  const otherKey = { TAVRIK_KEY_FILE: path.join(root, 'other-key') };
  tavrik('x', ['key', 'new'], undefined, otherKey);
  refusedWith(/^Chữ từ máy máy a không giải mã được: sai khoá/, otherKey);
  refusedWith(/đã được mã hoá; máy này chưa có khoá/, {});
  const flipped = Buffer.from(stored);
  flipped[flipped.length - 40] ^= 1;
  fs.writeFileSync(file, flipped);
  refusedWith(/không giải mã được/);
  flipped[4] = 2;
  fs.writeFileSync(file, flipped);
  refusedWith(/bản tavrik mới hơn \(định dạng 2\)/);
  fs.renameSync(file, path.join(store, 'clip-k%C3%A1c'));  // the machine's name is authenticated
  fs.writeFileSync(path.join(store, 'clip-k%C3%A1c'), stored);
  refusedWith(/không giải mã được/);
  push('máy c', 'không mã hoá');
  refusedWith(/^Chữ từ máy máy c không được mã hoá, mà máy này có khoá: không nhận\.$/);
});

test('texts expire with TAVRIK_TTL; clip clear removes this machine\'s text', () => {
  push('a', 'cũ');
  const file = path.join(store, 'clip-a');
  const stored = fs.readFileSync(file);
  stored.writeBigUInt64BE(BigInt(Date.now() - 60_000), 6);  // pushed a minute ago
  fs.writeFileSync(file, stored);
  assert.equal(pull('b', { TAVRIK_TTL: '120' }).out.toString(), 'cũ');
  assert.deepEqual(pull('b', { TAVRIK_TTL: '30' }), { status: 0, out: Buffer.alloc(0), err: '' });
  assert.equal(tavrik('a', ['clip', 'clear']).status, 0);
  assert.deepEqual(fs.readdirSync(store), []);
});

test('a pull never sees half a push', async () => {
  const texts = [Buffer.alloc(4 << 20, 'a'), Buffer.alloc(4 << 20, 'b')];
  push('writer', texts[0]);
  const writer = (async () => {
    for (let i = 0; i < 20; i++) {
      const p = spawn(TOOL, ['clip', 'push', '--stdin'], { env: { ...process.env, TAVRIK_STORE: store, TAVRIK_MACHINE: 'writer' } });
      p.stdin.end(texts[i % 2]);
      await new Promise((resolve) => p.on('exit', resolve));
    }
  })();
  for (let i = 0; i < 20; i++) {
    const out = pull('reader').out;
    assert.ok(out.equals(texts[0]) || out.equals(texts[1]), 'a whole text');
    await new Promise((r) => setTimeout(r, 5));
  }
  await writer;
  assert.deepEqual(fs.readdirSync(store).filter((n) => n.endsWith('.tmp')), []);
});

test('failures exit non-zero with the reason as the last line of standard error', () => {
  fs.writeFileSync(path.join(root, 'file'), '');
  const r = tavrik('m', ['clip', 'push', '--stdin'], 'x', { TAVRIK_STORE: path.join(root, 'file') });
  assert.notEqual(r.status, 0);
  assert.match(lastLine(r), /^Không ghi được vào kho .*file/);
  assert.equal(tavrik('m', ['clip', 'push']).status, 2);
  assert.match(lastLine(pull('m', { TAVRIK_STORE: 'ssh://host' })), /^TAVRIK_STORE không hợp lệ/);
  assert.match(tavrik('m', ['hotkeys', 'set']).out.toString(), /--copy ctrl\+alt\+c --paste ctrl\+alt\+b/);
});
