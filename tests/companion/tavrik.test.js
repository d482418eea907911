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

test('the store is private whatever the umask; an open one is reported', () => {
  const r = spawnSync('sh', ['-c', 'umask 022; exec "$@"', 'sh', TOOL, 'clip', 'push', '--stdin'],
                      { input: 'bí mật', env: { ...process.env, TAVRIK_STORE: store, TAVRIK_MACHINE: 'a',
                                                 TAVRIK_KEY_FILE: path.join(root, 'no-key') } });
  assert.equal(r.status, 0, r.stderr.toString());
  assert.equal(r.stderr.toString(), '');
  assert.equal(fs.statSync(store).mode & 0o777, 0o700);
  assert.equal(fs.statSync(path.join(store, 'clip-a')).mode & 0o777, 0o600);
  fs.chmodSync(store, 0o755);
  const open = pull('b');
  assert.equal(open.out.toString(), 'bí mật');
  assert.equal(open.err, `Cảnh báo: người dùng khác đọc hoặc ghi được thư mục kho ${store}; hãy chạy: chmod 700 ${store}\n`);
});

test('with a key: ciphertext in the store, read back only with the same key', () => {
  const keyA = { TAVRIK_KEY_FILE: path.join(root, 'a', 'key') };
  const made = tavrik('a', ['key', 'new'], undefined, keyA);
  assert.equal(made.status, 0, made.err);
  assert.match(made.out.toString(), /scp -p /);
  assert.equal(fs.statSync(keyA.TAVRIK_KEY_FILE).mode & 0o777, 0o600);
  const again = tavrik('a', ['key', 'new'], undefined, keyA);
  assert.equal(again.status, 1);
  assert.match(lastLine(again), /^Đã có khoá ở .*; không ghi đè/);
  const keyB = { TAVRIK_KEY_FILE: path.join(root, 'b-key') };
  fs.copyFileSync(keyA.TAVRIK_KEY_FILE, keyB.TAVRIK_KEY_FILE);

  const text = Buffer.from('Mật khẩu: hunter2 — tiếng Việt có dấu. '.repeat(100));
  assert.equal(push('máy a', text, keyA).status, 0);
  const stored = fs.readFileSync(path.join(store, fs.readdirSync(store)[0]));
  for (let i = 0; i + 8 <= text.length; i += 8) {
    assert.equal(stored.indexOf(text.subarray(i, i + 8)), -1, 'no run of the text is stored');
  }
  assert.ok(pull('máy b', keyB).out.equals(text));

  // Refused, each with its reason as the last line and nothing printed.
  const file = path.join(store, fs.readdirSync(store)[0]);
  const refusedWith = (pattern, env = keyB) => {
    const r = pull('máy b', env);
    assert.equal(r.status, 1);
    assert.equal(r.out.length, 0);
    assert.match(lastLine(r), pattern);
  };
  const otherKey = { TAVRIK_KEY_FILE: path.join(root, 'other-key') };
  tavrik('x', ['key', 'new'], undefined, otherKey);
  refusedWith(/^Chữ từ máy máy a không giải mã được: sai khoá/, otherKey);
  const flipped = Buffer.from(stored);
  flipped[flipped.length - 40] ^= 1;
  fs.writeFileSync(file, flipped);
  refusedWith(/không giải mã được/);
  fs.writeFileSync(file, stored.subarray(0, 20));
  refusedWith(/không giải mã được/);
  const future = Buffer.from(stored);
  future[4] = 2;
  fs.writeFileSync(file, future);
  refusedWith(/bản tavrik mới hơn \(định dạng 2\)/);
  fs.renameSync(file, path.join(store, 'clip-k%C3%A1c'));  // another machine's name: authenticated
  fs.writeFileSync(path.join(store, 'clip-k%C3%A1c'), stored);
  refusedWith(/không giải mã được/);
  refusedWith(/đã được mã hoá; máy này chưa có khoá/, {});  // a machine without the key
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
  assert.equal(pull('b').out.toString(), 'cũ');

  assert.equal(tavrik('a', ['clip', 'clear']).status, 0);
  assert.deepEqual(fs.readdirSync(store), []);
  assert.equal(pull('b').out.length, 0);
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
  const file = path.join(root, 'not-a-directory');
  fs.writeFileSync(file, '');
  const r = spawnSync(TOOL, ['clip', 'push', '--stdin'],
                      { input: 'x', env: { ...process.env, TAVRIK_STORE: file } });
  assert.notEqual(r.status, 0);
  const lines = r.stderr.toString().split('\n').filter(Boolean);
  assert.match(lines.at(-1), /^Không ghi được vào kho .*not-a-directory/);

  const usage = tavrik('m', ['clip', 'push']);
  assert.equal(usage.status, 2);
  assert.match(usage.err, /clip push --stdin/);

  assert.match(lastLine(pull('m', { TAVRIK_STORE: 'ssh://host' })), /^TAVRIK_STORE không hợp lệ/);
});

test('hotkeys set explains the --copy and --paste options', () => {
  const r = tavrik('m', ['hotkeys', 'set']);
  assert.equal(r.status, 0);
  assert.match(r.out.toString(), /--copy ctrl\+alt\+c --paste ctrl\+alt\+b/);
});
