'use strict';
const { describe, test, before, after, beforeEach, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const TOOL = path.join(__dirname, '..', '..', 'companion', 'tavrik.js');
const { hasSshd, startSshd } = require('./sshd.js');
const { launch } = require('../integration/rig.js');
let root;
let base;  // the environment of every run: the store, and no key unless a test makes one

// The environment of a run: `env` adds to (or, undefined, removes from) ours.
const envOf = (env) => ({ ...process.env, ...base, ...env });
// Runs the tool as `machine`.
function tavrik(machine, args, input, env = {}, timeout = undefined) {
  const full = envOf({ TAVRIK_MACHINE: machine, ...env });
  const r = spawnSync(TOOL, args, { input, maxBuffer: 64 << 20, cwd: root, env: full, timeout });
  return { status: r.status, out: r.stdout, err: r.stderr.toString() };
}
const push = (machine, text, env) => tavrik(machine, ['clip', 'push', '--stdin'], text, env);
const pull = (machine, env) => tavrik(machine, ['clip', 'pull', '--print'], undefined, env);
const lastLine = (r) => r.err.split('\n').filter(Boolean).pop();
const none = { status: 0, out: Buffer.alloc(0), err: '' };

// The same for every kind of store, whose files are in `dir`: a push from
// one machine is pulled byte for byte on another, never on its own, and is
// private; clip clear removes it; with a key only ciphertext is stored.
function roundTrip(odd, dir, texts) {
  assert.deepEqual(pull('máy b'), none);  // nothing stored yet
  for (const text of texts) {
    assert.deepEqual(push(odd, text), none);
    assert.ok(pull('máy b').out.equals(Buffer.from(text)));
  }
  assert.equal(pull(odd).out.length, 0);
  const [stored, ...more] = fs.readdirSync(dir);
  assert.deepEqual([fs.statSync(path.join(dir, stored)).mode & 0o777, more], [0o600, []]);
  assert.deepEqual(tavrik(odd, ['clip', 'clear']), none);
  assert.deepEqual(fs.readdirSync(dir), []);

  const key = { TAVRIK_KEY_FILE: path.join(root, 'key') };
  assert.match(tavrik('a', ['key', 'new'], undefined, key).out.toString(), /rồi tavrik pair ở máy này/);
  const text = Buffer.from('Mật khẩu: hunter2 — tiếng Việt có dấu. '.repeat(100));
  assert.deepEqual(push('máy a', text, key), none);
  const sealed = fs.readFileSync(path.join(dir, fs.readdirSync(dir)[0]));
  for (let i = 0; i + 8 <= text.length; i += 8) {
    assert.equal(sealed.indexOf(text.subarray(i, i + 8)), -1, 'no run of the text is stored');
  }
  assert.ok(pull('máy b', key).out.equals(text));
  return { key, sealed };
}

// A companion command run alongside others.
const start = (args, env) => launch(TOOL, args, { env: envOf(env), cwd: root });
const home = (name) => {
  const h = path.join(root, name);
  return { HOME: h, XDG_CONFIG_HOME: undefined, TAVRIK_STORE: undefined, TAVRIK_MACHINE: undefined,
           TAVRIK_KEY_FILE: undefined, TAVRIK_PAIR_WAIT: '20' };
};
const keyOf = (env) => path.join(env.HOME, '.config', 'tavrik', 'key');

// `tavrik setup STORE` on the joiner and `tavrik pair` on the holder, the
// code the joiner shows typed there (through `typed`): both ends.
async function pairUp(joiner, holder, store, typed = (code) => code) {
  const [join, hold] = await Promise.all([start(['setup', store, '--no-autostart'], joiner), start(['pair'], holder)]);
  while (!/^\d{3} \d{3}$/m.test(join.out) && join.exitCode === null) await new Promise((r) => setTimeout(r, 20));
  const code = /^(\d{3} \d{3})$/m.exec(join.out);
  hold.stdin.end(code ? `${typed(code[1])}\n` : '');
  return Promise.all([join, hold].map(async (c) => ({ status: (await c.exited).code, out: c.out, err: c.err })));
}

// Stands between two stores' pairing folders: each message crosses, changed
// by `change(step, message)`; one removed on either side goes from both.
function relay(dirJ, dirH, change) {
  const crossed = new Set();
  const ls = (d) => (fs.existsSync(d) ? fs.readdirSync(d).filter((n) => !n.startsWith('.')) : []);
  const tick = () => {
    for (const [from, to] of [[dirJ, dirH], [dirH, dirJ]]) {
      for (const name of ls(from).filter((n) => !crossed.has(n))) {
        const m = change(name.slice(17), JSON.parse(fs.readFileSync(path.join(from, name))));
        fs.mkdirSync(to, { recursive: true });
        fs.writeFileSync(path.join(to, `.${name}`), JSON.stringify(m));
        fs.renameSync(path.join(to, `.${name}`), path.join(to, name));
        crossed.add(name);
      }
    }
    for (const name of crossed) {
      if (!fs.existsSync(path.join(dirJ, name)) || !fs.existsSync(path.join(dirH, name))) {
        for (const d of [dirJ, dirH]) fs.rmSync(path.join(d, name), { force: true });
      }
    }
  };
  const timer = setInterval(tick, 20);
  return () => { clearInterval(timer); tick(); };
}

describe('a store in a directory', () => {
  let store;
  beforeEach(() => {
    root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-companion-'));
    store = path.join(root, 'store');
    base = { TAVRIK_STORE: store, TAVRIK_KEY_FILE: path.join(root, 'no-key') };
  });
  afterEach(() => fs.rmSync(root, { recursive: true, force: true }));

  test('push and pull; with a key, read back only with the same key', () => {
    const texts = ['Xin chào, thế giới!\n', 'a\r\nb\r\n', Buffer.from([0xff, 0, 0x80]), 'x'.repeat(3 << 20)];
    const { key, sealed } = roundTrip('../x/..', store, texts);  // an odd name stays inside the store
    assert.equal(fs.statSync(key.TAVRIK_KEY_FILE).mode & 0o777, 0o600);
    assert.match(lastLine(tavrik('a', ['key', 'new'], undefined, key)), /^Đã có khoá ở .*; không ghi đè/);

    // Refused, each with its reason as the last line and nothing printed.
    const file = path.join(store, fs.readdirSync(store)[0]);
    const refusedWith = (pattern, env = key) => {
      const r = pull('máy b', env);
      assert.deepEqual([r.status, r.out.length], [1, 0]);
      assert.match(lastLine(r), pattern);
    };
    const otherKey = { TAVRIK_KEY_FILE: path.join(root, 'other-key') };
    tavrik('x', ['key', 'new'], undefined, otherKey);
    refusedWith(/^Chữ từ máy máy a không giải mã được: sai khoá/, otherKey);
    refusedWith(/đã được mã hoá; máy này chưa có khoá/, {});
    const flipped = Buffer.from(sealed);
    flipped[flipped.length - 40] ^= 1;
    fs.writeFileSync(file, flipped);
    refusedWith(/không giải mã được/);
    flipped[4] = 3;
    fs.writeFileSync(file, flipped);
    refusedWith(/bản tavrik mới hơn \(định dạng 3\)/);
    fs.renameSync(file, path.join(store, 'clip-k%C3%A1c'));  // the machine's name is authenticated
    fs.writeFileSync(path.join(store, 'clip-k%C3%A1c'), sealed);
    refusedWith(/không giải mã được/);
    push('máy c', 'không mã hoá');
    refusedWith(/^Chữ từ máy máy c không được mã hoá, mà máy này có khoá: không nhận\.$/);
  });

  test('the newest text from any other machine wins, until TAVRIK_TTL', () => {
    push('one', 'first');
    push('two', 'second');
    // Set the times apart: a file system may stamp both pushes alike.
    const stamp = (name, seconds) => fs.utimesSync(path.join(store, `clip-${name}`), seconds, seconds);
    stamp('one', 1000);
    stamp('two', 2000);
    assert.equal(pull('three').out.toString(), 'second');
    assert.equal(pull('two').out.toString(), 'first');
    // The time of the push is in the text's header.
    const file = path.join(store, 'clip-one');
    const stored = fs.readFileSync(file);
    stored.writeBigUInt64BE(BigInt(Date.now() - 60_000), 7);  // pushed a minute ago
    fs.writeFileSync(file, stored);
    assert.equal(pull('two', { TAVRIK_TTL: '120' }).out.toString(), 'first');
    assert.deepEqual(pull('two', { TAVRIK_TTL: '30' }), none);
  });

  test('a secret keeps its mark, told on descriptor 3, and its own expiry', () => {
    // As the agent runs a pull: a pipe as descriptor 3, named in TAVRIK_META_FD.
    const pullMeta = (env = {}) => {
      const r = spawnSync(TOOL, ['clip', 'pull', '--print'], {
        env: envOf({ TAVRIK_MACHINE: 'b', TAVRIK_META_FD: '3', ...env }),
        stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
      return [r.status, r.stdout.toString(), r.output[3].toString()];
    };
    const key = { TAVRIK_KEY_FILE: path.join(root, 'key') };
    tavrik('a', ['key', 'new'], undefined, key);
    for (const env of [{}, key]) {
      assert.deepEqual(push('a', 'mật khẩu', { TAVRIK_SECRET: '1', ...env }), none);
      assert.deepEqual(pullMeta(env), [0, 'mật khẩu', 'secret\n']);
      assert.equal(pull('b', env).out.toString(), 'mật khẩu');  // a tool that does not ask
      assert.deepEqual(push('a', 'thường', env), none);
      assert.deepEqual(pullMeta(env), [0, 'thường', '']);
    }
    // Pushed three minutes ago: past a secret's own expiry, not past TAVRIK_SECRET_TTL.
    push('a', 'mật khẩu', { TAVRIK_SECRET: '1' });
    const old = fs.readFileSync(path.join(store, 'clip-a'));
    old.writeBigUInt64BE(BigInt(Date.now() - 180_000), 7);
    fs.writeFileSync(path.join(store, 'clip-a'), old);
    assert.deepEqual(pullMeta(), [0, '', '']);
    assert.deepEqual(pullMeta({ TAVRIK_SECRET_TTL: '300' }), [0, 'mật khẩu', 'secret\n']);
    // The mark is authenticated with the rest of the header.
    push('a', 'mật khẩu', { TAVRIK_SECRET: '1', ...key });
    const file = path.join(store, 'clip-a');
    const stored = fs.readFileSync(file);
    stored[6] = 0;
    fs.writeFileSync(file, stored);
    assert.match(lastLine(pull('b', key)), /không giải mã được/);
  });

  test('a cut or changed file is refused, never printed; old files still read', () => {
    push('a', 'Xin chào — một đoạn chữ');
    const file = path.join(store, 'clip-a');
    const whole = fs.readFileSync(file);
    const changed = Buffer.from(whole);
    changed[changed.length - 1] ^= 1;
    for (const bytes of [...Array(whole.length).keys()].map((n) => whole.subarray(0, n)).concat([changed])) {
      fs.writeFileSync(file, bytes);
      const r = pull('b');
      assert.deepEqual([r.status, r.out.length], [1, 0], `${bytes.length} bytes`);
      assert.match(lastLine(r), /^Chữ từ máy a bị cắt cụt hoặc hỏng/);
    }
    // A raw file from before the header, and a first-version one.
    fs.writeFileSync(file, 'chữ cũ');
    assert.equal(pull('b').out.toString(), 'chữ cũ');
    const v1 = Buffer.alloc(14);
    Buffer.from('TVRK').copy(v1);
    v1[4] = 1;
    v1.writeBigUInt64BE(BigInt(Date.now()), 6);
    fs.writeFileSync(file, Buffer.concat([v1, Buffer.from('bản một')]));
    assert.equal(pull('b').out.toString(), 'bản một');
  });

  test('the store is private whatever the umask; an open one is reported', () => {
    const r = spawnSync('sh', ['-c', 'umask 022; exec "$@"', 'sh', TOOL, 'clip', 'push', '--stdin'],
                        { input: 'bí mật', env: envOf({ TAVRIK_MACHINE: 'a' }) });
    assert.equal(r.status, 0, r.stderr.toString());
    assert.equal(fs.statSync(store).mode & 0o777, 0o700);
    fs.chmodSync(store, 0o755);
    const open = pull('b');
    assert.equal(open.out.toString(), 'bí mật');
    assert.equal(open.err, `Cảnh báo: người dùng khác đọc hoặc ghi được thư mục kho ${store}; hãy chạy: chmod 700 ${store}\n`);
  });

  test('on Windows the store and the key are under %LOCALAPPDATA%, and mode bits warn of nothing', () => {
    const local = path.join(root, 'AppData', 'Local');
    const windows = { TAVRIK_STORE: undefined, TAVRIK_KEY_FILE: undefined, XDG_DATA_HOME: undefined,
                      XDG_CONFIG_HOME: undefined, LOCALAPPDATA: local,
                      NODE_OPTIONS: `--require ${path.join(root, 'win32.js')}` };
    fs.writeFileSync(path.join(root, 'win32.js'), "Object.defineProperty(process, 'platform', { value: 'win32' });");
    assert.match(tavrik('a', ['key', 'new'], undefined, windows).out.toString(),
                 new RegExp(`^Đã tạo khoá ở ${path.join(local, 'tavrik', 'key')}\\.`));
    assert.deepEqual(push('a', 'chữ từ Windows', windows), none);
    fs.chmodSync(path.join(local, 'tavrik', 'store'), 0o777);  // what Node reports there
    assert.deepEqual(pull('b', windows), { ...none, out: Buffer.from('chữ từ Windows') });
  });

  test('a push replaces the stored file whole, never writing into it, and leaves nothing aside', () => {
    push('writer', 'một');
    const file = path.join(store, 'clip-writer');
    const before = fs.statSync(file).ino;
    push('writer', 'hai');
    // Renamed into place: a pull reads the old text or the new, never half.
    assert.notEqual(fs.statSync(file).ino, before);
    assert.deepEqual(fs.readdirSync(store).filter((n) => n.startsWith('.')), []);
  });

  test('config.json holds the settings; a variable wins over it; a broken one is refused naming its key', () => {
    const config = path.join(root, 'config.json');
    const fromFile = { TAVRIK_CONFIG: config, TAVRIK_STORE: undefined, TAVRIK_MACHINE: undefined };
    fs.writeFileSync(config, JSON.stringify({ store, machine: 'máy tệp', ttl: 60, secretTtl: 5 }));
    assert.deepEqual(push('bỏ qua', 'qua tệp', fromFile), none);
    assert.deepEqual(pull('máy tệp'), none);  // its own text, named by the file
    assert.equal(pull('b').out.toString(), 'qua tệp');
    assert.deepEqual(push('a', 'qua biến', { TAVRIK_CONFIG: config }), none);  // both variables win
    assert.equal(pull('x', fromFile).out.toString(), 'qua biến');
    const stored = fs.readdirSync(store);
    for (const [text, reason] of [['{"store": 1', /không phải JSON hợp lệ/], ['[]', /cần là một đối tượng JSON/],
                                  ['{"stor": "x"}', /: không biết khoá "stor"\.$/],
                                  ['{"ttl": "60"}', /: "ttl" cần là một số giây dương\.$/]]) {
      fs.writeFileSync(config, text);
      const r = push('a', 'không lưu', fromFile);
      assert.deepEqual([r.status, r.out.length, lastLine(r).startsWith(`Tệp cấu hình ${config}`)], [1, 0, true]);
      assert.match(lastLine(r), reason);
      const told = tavrik('a', ['status'], undefined, fromFile);
      assert.deepEqual([told.status, told.out.toString().trim().split('\n').pop()], [1, 'Chưa dùng được: tệp cấu hình']);
    }
    assert.deepEqual(fs.readdirSync(store), stored);
    // tavrik setup on a folder that cannot be made: no configuration either.
    fs.rmSync(config);
    fs.writeFileSync(path.join(root, 'file'), '');
    const r = tavrik('a', ['setup', path.join(root, 'file', 'kho'), '--no-autostart'], undefined, fromFile);
    assert.deepEqual([r.status, fs.existsSync(config)], [1, false]);
    assert.match(lastLine(r), /^Không tạo được thư mục kho .*file\/kho: /);
  });

  test('setup where a user manager has the display: the unit written, enabled and started; autostart off undoes it', () => {
    const bin = path.join(root, 'bin');
    fs.mkdirSync(bin);
    fs.writeFileSync(path.join(bin, 'tavrik-agent'), '#!/bin/sh\nexit 1\n', { mode: 0o755 });  // none runs
    fs.writeFileSync(path.join(bin, 'systemctl'), '#!/bin/sh\necho "$*" >> "$0.log"\n' +
                     '[ "$2" = show-environment ] && echo DISPLAY=:5\nexit 0\n', { mode: 0o755 });
    const env = { HOME: root, XDG_CONFIG_HOME: undefined, XDG_RUNTIME_DIR: root, PATH: `${bin}:${process.env.PATH}` };
    assert.equal(tavrik('a', ['setup', store], undefined, env).status, 0);
    const unit = fs.readFileSync(path.join(root, '.config/systemd/user/app-vn.tavrik.agent.service'), 'utf8');
    assert.match(unit, new RegExp(`^ExecStart=${bin}/tavrik-agent --node ${process.execPath} --cli ${TOOL}$`, 'm'));
    assert.equal(tavrik('a', ['autostart', 'off'], undefined, env).status, 0);
    assert.deepEqual(fs.readFileSync(path.join(bin, 'systemctl.log'), 'utf8').split('\n'), ['--user show-environment',
      '--user daemon-reload', '--user enable app-vn.tavrik.agent', '--user restart app-vn.tavrik.agent',
      '--user disable --now app-vn.tavrik.agent', '--user daemon-reload', '']);
    assert.ok(!fs.existsSync(path.join(root, '.config/systemd/user/app-vn.tavrik.agent.service')));
  });

  test('hotkeys set through launchd: the plist reloaded, the new agent read from its log, a refusal undone', () => {
    const bin = path.join(root, 'bin');
    fs.mkdirSync(bin);
    // The agent's stand-in says its status line, HỎNG for a key ending in x,
    // or refuses an unreadable one; launchctl's runs the plist's command.
    fs.writeFileSync(path.join(bin, 'tavrik-agent'), '#!/bin/sh\nc=ctrl+alt+c\nwhile [ $# -gt 0 ]; do ' +
      '[ "$1" = --copy ] && c=$2; shift; done\ncase $c in *nope) echo "Phím tắt không đọc được: $c" >&2; exit 2;; ' +
      '*x) s="HỎNG";; *) s=OK;; esac\necho "tavrik: $c = gửi đi ($s), ctrl+alt+b = lấy về (OK)" >&2\nexec sleep 600\n',
      { mode: 0o755 });
    const launchctl = path.join(bin, 'launchctl');
    fs.writeFileSync(launchctl, `#!${process.execPath}\nconst fs = require('fs'), pidFile = __filename + '.pid';
const pid = fs.existsSync(pidFile) ? Number(fs.readFileSync(pidFile, 'utf8')) : 0;
const alive = () => { try { return pid > 0 && process.kill(pid, 0); } catch { return false; } };
const [command, , file] = process.argv.slice(2);
if (command === 'bootout' && alive()) process.kill(pid);
if (command === 'list') console.log(alive() ? \`"PID" = \${pid};\` : '"LastExitStatus" = 0;');
if (command !== 'bootstrap') process.exit(0);
const array = fs.readFileSync(file, 'utf8').split('<array>')[1].split('</array>')[0];
const words = [...array.matchAll(/<string>(.*)<\\/string>/g)].map((m) => m[1].replace(/&gt;/g, '>').replace(/&amp;/g, '&'));
const child = require('child_process').spawn(words[0], words.slice(1), { detached: true, stdio: 'ignore' });
fs.writeFileSync(pidFile, String(child.pid));
child.unref();
`, { mode: 0o755 });
    const autostart = require('../../companion/lib/autostart.js');
    const plist = path.join(root, 'Library/LaunchAgents/vn.tavrik.agent.plist');
    fs.mkdirSync(path.dirname(plist), { recursive: true });
    fs.writeFileSync(plist, autostart.KINDS.launchd.render([path.join(bin, 'tavrik-agent'), '--cli', TOOL]));
    const env = { HOME: root, XDG_CONFIG_HOME: undefined, PATH: `${bin}:${process.env.PATH}` };
    const said = (copy) => {
      const r = tavrik('a', ['hotkeys', 'set', '--copy', copy], undefined, env);
      return [r.status, r.out.toString() || lastLine(r)];
    };
    try {
      assert.deepEqual(said('ctrl+alt+shift+c'), [0, 'tavrik: ctrl+alt+shift+c = gửi đi (OK), ctrl+alt+b = lấy về (OK)\n']);
      assert.deepEqual(said('ctrl+alt+x'), [1, 'Không đổi được phím (tavrik: ctrl+alt+x = gửi đi (HỎNG), ctrl+alt+b = ' +
                                          'lấy về (OK)); đã trả lại ctrl+alt+shift+c và ctrl+alt+b.']);
      assert.match(said('alt+nope')[1], /^Không đổi được phím \(Phím tắt không đọc được: alt\+nope\); đã trả lại /);
      assert.match(fs.readFileSync(plist, 'utf8'), /<string>--copy<\/string>\n *<string>ctrl\+alt\+shift\+c</);
      assert.match(spawnSync(launchctl, ['list']).stdout.toString(), /"PID" = /);  // the previous agent again
    } finally {
      spawnSync(launchctl, ['bootout']);
    }
  });

  test('each autostart entry gives back the command line it was written with', () => {
    const autostart = require('../../companion/lib/autostart.js');
    const argv = ['/opt/R&D <1>/bin/tavrik-agent', '--node', '/usr/bin/node', '--cli', '/x "y" $z 100%/tavrik.js',
                  '--copy', 'ctrl+alt+c'];
    const saved = { HOME: process.env.HOME, XDG_CONFIG_HOME: process.env.XDG_CONFIG_HOME };
    Object.assign(process.env, { HOME: root, XDG_CONFIG_HOME: path.join(root, 'config') });
    try {
      for (const [kind, { file, render }] of Object.entries(autostart.KINDS).filter(([, k]) => k.render)) {
        fs.mkdirSync(path.dirname(file()), { recursive: true });
        fs.writeFileSync(file(), render(argv));
        assert.deepEqual(autostart.installedArgv(kind), argv, kind);
      }
    } finally {
      for (const [k, v] of Object.entries(saved)) if (v === undefined) delete process.env[k]; else process.env[k] = v;
    }
  });

  test('failures exit non-zero with the reason as the last line of standard error', () => {
    fs.writeFileSync(path.join(root, 'file'), '');
    const r = tavrik('m', ['clip', 'push', '--stdin'], 'x', { TAVRIK_STORE: path.join(root, 'file') });
    assert.notEqual(r.status, 0);
    assert.match(lastLine(r), /^Không ghi được vào kho .*file/);
    assert.equal(tavrik('m', ['clip', 'push']).status, 2);
    assert.match(lastLine(pull('m', { TAVRIK_STORE: 'ssh://host' })), /^TAVRIK_STORE không hợp lệ/);
    assert.match(tavrik('m', ['hotkeys', 'set'], undefined, { XDG_CONFIG_HOME: root }).out.toString(),
                 /^Chưa cài tự khởi động\. Chạy tavrik setup KHO trước/);
  });
});

describe('pairing by a six-digit code', () => {
  const pairLib = require('../../companion/lib/pair.js');
  const b64 = (b) => b.toString('base64');
  let store;
  beforeEach(() => {
    root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-pair-'));
    store = path.join(root, 'store');
    base = {};
  });
  afterEach(() => fs.rmSync(root, { recursive: true, force: true }));
  const setup = (env, ...args) => tavrik(undefined, ['setup', store, '--no-autostart', ...args], undefined, env);

  test('the first machine makes the key; a second and a third get it by the code; texts cross sealed', async () => {
    const [a, b, c] = ['a', 'b', 'c'].map(home);
    assert.equal(setup(a, '--no-encryption').status, 0);
    assert.deepEqual(push(undefined, 'chữ trần từ trước', a), none);
    assert.match(setup(a).out.toString(), /Mã hoá: có, khoá mới ở /);  // and the plain text is gone
    assert.deepEqual(fs.readdirSync(store).sort(), ['key-id', `machine-${os.hostname()}`]);
    for (const [joiner, holder] of [[b, a], [c, b]]) {
      const [joined, held] = await pairUp(joiner, holder, store);
      assert.deepEqual([joined.status, held.status, held.out.split('\n').pop()], [0, 0, ''], joined.out + held.err);
      assert.match(joined.out, /Mã hoá: có, khoá nhận bằng ghép mã/);
      assert.ok(fs.readFileSync(keyOf(joiner)).equals(fs.readFileSync(keyOf(a))));
      assert.equal(fs.statSync(keyOf(joiner)).mode & 0o777, 0o600);
      assert.deepEqual(fs.readdirSync(path.join(store, 'pairing')), []);
    }
    assert.deepEqual(push(undefined, 'kín từ c', c), none);
    assert.equal(pull(undefined, a).out.toString(), 'kín từ c');
    fs.renameSync(keyOf(c), `${keyOf(c)}.mất`);  // a machine that lost the key sends nothing in the clear
    assert.match(lastLine(push(undefined, 'lộ', c)), /mã hoá chữ mà máy này không có khoá .*: chưa gửi gì/);
    fs.renameSync(`${keyOf(c)}.mất`, keyOf(c));
    assert.equal(fs.readFileSync(path.join(store, fs.readdirSync(store).find((n) => n.startsWith('clip-'))))
      .indexOf('kín từ c'), -1);
  });

  test('a wrong code, a man in the middle or a broken commitment: refused on both sides, no key given', async () => {
    const mitm = () => {
      const [toH, toJ, nonce] = [pairLib.keyPair(), pairLib.keyPair(), crypto.randomBytes(32)];
      return (step, m) => ({ ...m, ...{ commit: { commit: b64(pairLib.commitOf(m.id, toH.pk, nonce)) },
                                        answer: { pk: b64(toJ.pk) },
                                        reveal: { pk: b64(toH.pk), nonce: b64(nonce) } }[step] });
    };
    const badReveal = (step, m) => (step === 'reveal' ? { ...m, nonce: b64(crypto.randomBytes(32)) } : m);
    const asIs = (step, m) => m;
    const wrong = /mã ghép gõ vào không khớp mã của máy giữ khoá/;
    for (const [what, change, typed, reason] of [
      ['as is', asIs, (code) => code, null],  // the relay itself keeps a pairing whole
      ['a wrong code', asIs, (code) => code.replace(/\d$/, (d) => (Number(d) + 1) % 10), wrong],
      ['a man in the middle', mitm(), (code) => code, wrong],
      ['a broken commitment', badReveal, (code) => code, /khoá của máy mới không khớp với cam kết/],
    ]) {
      for (const d of fs.readdirSync(root)) fs.rmSync(path.join(root, d), { recursive: true });
      const [a, b] = [home('a'), home('b')];
      assert.equal(setup(a).status, 0);
      const joinStore = path.join(root, 'other');  // what the joiner sees of the store
      fs.mkdirSync(joinStore);
      fs.copyFileSync(path.join(store, 'key-id'), path.join(joinStore, 'key-id'));
      const stop = relay(path.join(joinStore, 'pairing'), path.join(store, 'pairing'), change);
      const [joined, held] = await pairUp(b, a, joinStore, typed);
      stop();
      assert.deepEqual([joined.status, held.status], reason ? [1, 1] : [0, 0], what);
      assert.deepEqual([fs.readdirSync(path.join(store, 'pairing')), fs.readdirSync(path.join(joinStore, 'pairing'))],
                       [[], []], what);
      if (!reason) continue;
      assert.match(held.err, reason, what);
      assert.match(joined.err, new RegExp(`^Ghép không thành: Máy kia đã dừng ghép: ${reason.source}`, 'm'), what);
      assert.equal(fs.existsSync(keyOf(b)), false, what);
    }
  });

  test('a joiner that vanishes: the holder gives up at its deadline and removes the request', () => {
    const a = home('a');
    assert.equal(setup(a).status, 0);
    const kid = fs.readFileSync(path.join(store, 'key-id'), 'utf8').trim();
    fs.mkdirSync(path.join(store, 'pairing'));
    fs.writeFileSync(path.join(store, 'pairing', '0123456789abcdef-commit'),
                     JSON.stringify({ v: 1, id: '0123456789abcdef', keyId: kid, machine: 'x', time: Date.now(),
                                      commit: b64(crypto.randomBytes(32)) }));
    const r = tavrik(undefined, ['pair'], '', { ...a, TAVRIK_PAIR_WAIT: '2' });
    assert.deepEqual([r.status, lastLine(r), fs.readdirSync(path.join(store, 'pairing'))],
                     [1, 'Ghép không thành: máy mới không trả lời trong 1 phút.', []]);
  });
});

// Against a real OpenSSH server on loopback (sshd.js).
describe('a store reached over SSH', { skip: !hasSshd() && 'needs root and sshd' }, () => {
  let sshd;
  let remote;  // the remote store, as a path on this machine
  before(async () => {
    root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-ssh-'));
    sshd = await startSshd(root);
    remote = path.join(root, "kho chung 'q'");
    fs.mkdirSync(remote, { mode: 0o700 });
    base = { TAVRIK_SSH_CONFIG: sshd.config, TAVRIK_STORE: `ssh://tavrikhost${remote}`,
             TAVRIK_KEY_FILE: path.join(root, 'no-key'), XDG_RUNTIME_DIR: root };
  });
  // Ends the shared connection the companion left running, if any.
  const endShared = () => sshd.endShared(path.join(root, 'tavrik-ssh'));
  after(async () => {
    endShared();
    await sshd.stop();
    fs.rmSync(root, { recursive: true, force: true });
  });

  test('push and pull with names that a shell would run, running nothing', () => {
    const odd = `a; touch PWNED $(touch PWNED2) \`touch PWNED3\` 'q" \\ ~`;
    roundTrip(odd, remote, [Buffer.from('Xin chào qua SSH\n'), crypto.randomBytes(20e6)]);
    for (const dir of [root, remote, os.homedir()]) {
      assert.deepEqual(fs.readdirSync(dir).filter((n) => n.startsWith('PWNED')), [], dir);
    }
  });

  test('presses share one connection; one whose link died or went silent is replaced', () => {
    const { logins } = sshd;
    // The processes of sshd serving the shared connection: all below sshd.
    const serving = () => {
      const parents = new Map();
      for (const pid of fs.readdirSync('/proc')) {
        try {
          parents.set(Number(pid), Number(/\) \S+ (\d+)/.exec(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'))[1]));
        } catch {
          // not a process, or gone
        }
      }
      const below = (pid) => [...parents].filter(([, p]) => p === pid).flatMap(([c]) => [c, ...below(c)]);
      return below(sshd.pid);
    };
    endShared();
    const first = logins();
    assert.deepEqual(push('a', 'một'), none);
    assert.deepEqual(push('a', 'hai'), none);
    assert.equal(pull('b').out.toString(), 'hai');
    assert.equal(logins(), first + 1);

    for (const pid of serving()) process.kill(pid, 'SIGKILL');
    assert.deepEqual(push('a', 'ba'), none);
    assert.equal(logins(), first + 2);

    // A link that stops answering is given up within the connection bound,
    // and ssh carries the press over a new connection (the spawn's own
    // limit catches a press that waits for the general keepalive instead).
    const silent = serving();
    for (const pid of silent) process.kill(pid, 'SIGSTOP');
    const r = tavrik('a', ['clip', 'push', '--stdin'], 'bốn', {}, 25000);
    for (const pid of silent) process.kill(pid, 'SIGKILL');
    assert.deepEqual(r, none);
    assert.equal(pull('b').out.toString(), 'bốn');
    assert.equal(logins(), first + 3);
  });

  test('tavrik setup: two machines of one host name pair and talk with no variable set; a host that fails leaves no configuration', async () => {
    const where = `ssh://tavrikhost${remote}/mới`;  // made by the first setup
    const [a, b] = [home('a'), home('b')];
    assert.equal(tavrik(undefined, ['setup', where, '--no-autostart'], undefined, a).status, 0);
    const [joined, held] = await pairUp(b, a, where);  // the key, by the code, over SSH
    assert.deepEqual([joined.status, held.status], [0, 0], joined.err + held.err);
    assert.equal(fs.statSync(path.join(remote, 'mới')).mode & 0o777, 0o700);
    const named = (h) => JSON.parse(fs.readFileSync(path.join(h.HOME, '.config', 'tavrik', 'config.json'))).machine;
    assert.deepEqual([named(a), named(b)], [os.hostname(), `${os.hostname()}-2`]);
    assert.deepEqual(push(undefined, 'qua SSH, không biến nào', a), none);
    assert.equal(pull(undefined, b).out.toString(), 'qua SSH, không biến nào');
    for (const [host, reason] of [['newhost', /^Chưa nhận khoá của máy newhost: chạy "ssh newhost" một lần/],
                                  ['badkey', /^badkey từ chối khoá SSH của máy này/]]) {
      const c = home('c');
      const r = tavrik(undefined, ['setup', `ssh://${host}${remote}`, '--no-autostart'], undefined, c);
      assert.deepEqual([r.status, fs.existsSync(c.HOME)], [1, false]);
      assert.match(lastLine(r), reason);
    }
  });

  test('an unreachable host, a refused key and a missing directory each end with a reason', () => {
    for (const [where, reason, args] of [
      ['ssh://nowhere/tmp/x', /^Không kết nối được tới nowhere qua SSH: .*Connection refused/, ['clip', 'pull', '--print']],
      [`ssh://badkey${remote}`, /^badkey từ chối khoá SSH của máy này \(.*Permission denied/, ['clip', 'push', '--stdin']],
      ['ssh://tavrikhost/nonexistent/tavrik', /^Không có thư mục kho \/nonexistent\/tavrik trên tavrikhost\.$/, ['clip', 'pull', '--print']],
    ]) {
      const r = tavrik('a', args, 'x', { TAVRIK_STORE: where });
      assert.deepEqual([r.status !== 0, r.out.length], [true, 0], where);
      assert.match(lastLine(r), reason);
    }
  });
});
