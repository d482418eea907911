'use strict';
const { describe, test, before, after, beforeEach, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { hasSshd, startSshd } = require('../harness/sshd.js');
const { below, waitFor } = require('../../scripts/lib/xsession.js');
const { TOOL, use, envOf, tavrik, push, pull, lastLine, none, refused, backdate, start, home, keyOf, pairUp, wrong,
        meddle, relay } = require('../harness/tavrik-cli.js');
let root;

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
  assert.match(tavrik('a', ['key', 'new'], undefined, key).out.toString(), /tavrik pair ở máy này, rồi /);
  const text = Buffer.from('Mật khẩu: hunter2 — tiếng Việt có dấu. '.repeat(100));
  assert.deepEqual(push('máy a', text, key), none);
  const sealed = fs.readFileSync(path.join(dir, fs.readdirSync(dir)[0]));
  for (let i = 0; i + 8 <= text.length; i += 8) {
    assert.equal(sealed.indexOf(text.subarray(i, i + 8)), -1, 'no run of the text is stored');
  }
  assert.ok(pull('máy b', key).out.equals(text));
  return { key, sealed };
}


describe('a store in a directory', () => {
  let store;
  beforeEach(() => {
    root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-companion-'));
    store = path.join(root, 'store');
    fs.mkdirSync(store, { mode: 0o700 });
    use(root, { TAVRIK_STORE: store, TAVRIK_KEY_FILE: path.join(root, 'no-key') });
  });
  afterEach(() => fs.rmSync(root, { recursive: true, force: true }));

  test('push and pull; with a key, read back only with the same key', () => {
    const texts = ['Xin chào, thế giới!\n', 'a\r\nb\r\n', Buffer.from([0xff, 0, 0x80]), 'x'.repeat(3 << 20)];
    const { key, sealed } = roundTrip('../x/..', store, texts);  // an odd name stays inside the store
    assert.equal(fs.statSync(key.TAVRIK_KEY_FILE).mode & 0o777, 0o600);
    assert.match(lastLine(tavrik('a', ['key', 'new'], undefined, key)), /^Đã có khoá ở .*; không ghi đè/);

    // Refused, each with its reason as the last line and nothing printed.
    const file = path.join(store, fs.readdirSync(store)[0]);
    const refusedWith = (pattern, env = key) => refused(pull('máy b', env), pattern);
    const otherKey = { TAVRIK_KEY_FILE: path.join(root, 'other-key') };
    tavrik('x', ['key', 'new'], undefined, otherKey);
    refusedWith(/^Chữ từ máy máy a không giải mã được: sai khoá/, otherKey);
    refusedWith(/đã được mã hoá; máy này chưa có khoá/, {});
    const flipped = Buffer.from(sealed);
    flipped[flipped.length - 40] ^= 1;
    fs.writeFileSync(file, flipped);
    refusedWith(/không giải mã được/);
    flipped[4] = 4;
    fs.writeFileSync(file, flipped);
    refusedWith(/bản tavrik mới hơn \(định dạng 4\)/);
    fs.renameSync(file, path.join(store, 'clip-k%C3%A1c'));  // the machine's name is authenticated
    fs.writeFileSync(path.join(store, 'clip-k%C3%A1c'), sealed);
    refusedWith(/không giải mã được/);
    fs.rmSync(path.join(store, 'clip-k%C3%A1c'));
    push('máy c', 'không mã hoá');
    refusedWith(/^Chữ từ máy máy c không được mã hoá, mà máy này có khoá: không nhận\.$/);
  });

  test('the newest text by the time written in it, not the file\'s, wins; until TAVRIK_TTL', () => {
    push('one', 'first');
    push('two', 'second');
    // Times set apart in the header, and the files' own times the other way.
    const stamp = (name, ms) => {
      const file = path.join(store, `clip-${name}`);
      backdate(file, ms);
      fs.utimesSync(file, 3e9 - ms / 1000, 3e9 - ms / 1000);
    };
    stamp('one', Date.now() - 120_000);
    stamp('two', Date.now() - 60_000);  // pushed a minute ago
    assert.equal(pull('three').out.toString(), 'second');
    assert.equal(pull('two').out.toString(), 'first');
    assert.equal(pull('one', { TAVRIK_TTL: '90' }).out.toString(), 'second');
    const old = pull('one', { TAVRIK_TTL: '30' });  // told with its age, not taken for nothing sent
    assert.deepEqual([old.status, old.out.length], [1, 0]);
    assert.match(lastLine(old), /^Chữ mới nhất từ máy two đã cũ \(gửi \d+ giây trước, quá hạn ttl 30 giây\): không lấy\.$/);
    // status says so too, as the first thing that does not work
    const said = (ttl) => tavrik('three', ['status'], undefined, { TAVRIK_TTL: ttl }).out.toString().trim().split('\n').pop();
    assert.deepEqual([said('30'), said('90')], ['Chưa dùng được: chữ của máy two đã cũ', 'Chưa dùng được: tavrik-agent']);
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
    backdate(path.join(store, 'clip-a'), Date.now() - 180_000);
    assert.deepEqual(pullMeta(), [1, '', '']);
    assert.deepEqual(pullMeta({ TAVRIK_SECRET_TTL: '300' }), [0, 'mật khẩu', 'secret\n']);
    // Sealed, the mark and the length are inside: a secret of 1 byte and a
    // plain text of 200 look alike but for random bytes.
    const sizes = [['x', '1'], ['y'.repeat(200), '0']].map(([text, secret]) => {
      push('a', text, { TAVRIK_SECRET: secret, ...key });
      const stored = fs.readFileSync(path.join(store, 'clip-a'));
      return [stored.length, stored.subarray(0, 6).toString('hex')];
    });
    assert.deepEqual(sizes[0], sizes[1]);
  });

  test('a cut or changed file is refused, never printed; old files still read', () => {
    push('a', 'Xin chào — một đoạn chữ');
    const file = path.join(store, 'clip-a');
    const whole = fs.readFileSync(file);
    const changed = Buffer.from(whole);
    changed[changed.length - 1] ^= 1;
    const sealedHeaderAsPlain = Buffer.from('TVRK\x03\x00', 'latin1');
    for (const bytes of [...Array(whole.length).keys()].map((n) => whole.subarray(0, n)).concat([changed, sealedHeaderAsPlain])) {
      fs.writeFileSync(file, bytes);
      refused(pull('b'), /^Chữ từ máy a bị cắt cụt hoặc hỏng/, `${bytes.length} bytes`);
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

  test('setup makes the store private whatever the umask; nothing else makes it; one others read is warned of, one they write refused', () => {
    fs.rmdirSync(store);
    const r = spawnSync('sh', ['-c', 'umask 022; exec "$@"', 'sh', TOOL, 'setup', store, '--no-autostart', '--no-encryption'],
                        { env: envOf({ TAVRIK_CONFIG: path.join(root, 'config.json') }) });
    assert.equal(r.status, 0, r.stderr.toString());
    assert.equal(fs.statSync(store).mode & 0o777, 0o700);
    assert.deepEqual(push('a', 'bí mật'), none);
    fs.renameSync(store, `${store}.dời`);  // a sync folder not mounted
    for (const r of [push('a', 'không lưu'), pull('b')]) {
      assert.deepEqual([r.status, lastLine(r), fs.existsSync(store)],
                       [1, `Không thấy kho ${store} — thư mục đồng bộ chưa gắn hoặc đã dời?`, false]);
    }
    fs.renameSync(`${store}.dời`, store);
    fs.chmodSync(store, 0o755);
    const open = pull('b');
    assert.equal(open.out.toString(), 'bí mật');
    assert.equal(open.err, `Cảnh báo: người dùng khác đọc được thư mục kho ${store}; hãy chạy: chmod 700 ${store}\n`);
    fs.chmodSync(store, 0o757);
    for (const r of [pull('b'), push('a', 'không lưu')]) {
      assert.deepEqual([r.status, r.out.length, lastLine(r)], [1, 0, `Người dùng khác ghi được vào thư mục kho ${store}: ` +
                       `không dùng kho này. Hãy chạy: chmod 700 ${store}`]);
    }
  });

  test('on Windows the store and the key are under %LOCALAPPDATA%, and mode bits warn of nothing', () => {
    const local = path.join(root, 'AppData', 'Local');
    const windows = { TAVRIK_STORE: undefined, TAVRIK_KEY_FILE: undefined, XDG_DATA_HOME: undefined,
                      XDG_CONFIG_HOME: undefined, LOCALAPPDATA: local,
                      NODE_OPTIONS: `--require ${path.join(root, 'win32.js')}` };
    fs.writeFileSync(path.join(root, 'win32.js'), "Object.defineProperty(process, 'platform', { value: 'win32' });");
    fs.mkdirSync(path.join(local, 'tavrik', 'store'), { recursive: true });
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
      refused(r, reason);
      assert.ok(lastLine(r).startsWith(`Tệp cấu hình ${config}`));
      const told = tavrik('a', ['status'], undefined, fromFile);
      assert.deepEqual([told.status, told.out.toString().trim().split('\n').pop()], [1, 'Chưa dùng được: tệp cấu hình']);
    }
    assert.deepEqual(fs.readdirSync(store), stored);
    // tavrik config sets a ttl as people write it, and shows where each setting comes from.
    fs.writeFileSync(config, JSON.stringify({ store }));
    const configured = (...args) => {
      const r = tavrik('a', ['config', ...args], undefined, fromFile);
      return [r.status, r.out.toString() || lastLine(r)];
    };
    assert.deepEqual(configured('ttl', '10m'), [0, `ttl: 600 giây (${config})\n`]);
    assert.deepEqual(configured(), [0, `Cấu hình: ${config}\nstore: ${store} (${config})\nmachine: ${os.hostname()} (mặc định)\n` +
                                       `ttl: 600 giây (${config})\nsecretTtl: 120 giây (mặc định)\n`]);
    assert.match(configured('ttl', '5x')[1], /^"5x" không phải một khoảng thời gian/);
    assert.deepEqual([configured('ttl', 'off')[0], JSON.parse(fs.readFileSync(config))], [0, { store }]);
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
      // Refused before anything restarts: the entry and the agent stay.
      const [entry, agent] = [fs.readFileSync(plist, 'utf8'), fs.readFileSync(`${launchctl}.pid`, 'utf8')];
      for (const [copy, reason] of [['alt+nope', /^Phím tắt không đọc được: "alt\+nope"/],
                                    ['ctrl+c+x', /^Phím tắt "ctrl\+c\+x" có hơn một phím \(c, x\)/],
                                    ['f5', /^Phím tắt "f5" cần ít nhất một phím bổ trợ .*, ví dụ ctrl\+alt\+f5\. Không đổi gì\.$/],
                                    ['Alt+ctrl+B', /^Phím gửi đi và phím lấy về trùng nhau \(Alt\+ctrl\+B, ctrl\+alt\+b\); không đổi gì\.$/]]) {
        assert.deepEqual([said(copy)[0], fs.readFileSync(plist, 'utf8'), fs.readFileSync(`${launchctl}.pid`, 'utf8')],
                         [1, entry, agent], copy);
        assert.match(said(copy)[1], reason);
      }
      assert.match(entry, /<string>--copy<\/string>\n *<string>ctrl\+alt\+shift\+c</);
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

  test('agents started one after another append to one log: every line kept, no hole', async () => {
    const autostart = require('../../companion/lib/autostart.js');
    // The first says a line, waits to be told, says another; the second says one.
    const [agent, go] = [path.join(root, 'agent'), path.join(root, 'go')];
    assert.equal(spawnSync('mkfifo', [go]).status, 0);
    fs.writeFileSync(agent, `#!/bin/sh\necho "$1 một" >&2\n[ "$1" = b ] || { read x < ${go}; echo "$1 hai" >&2; }\n`, { mode: 0o755 });
    const saved = process.env.XDG_STATE_HOME;
    process.env.XDG_STATE_HOME = root;
    try {
      const log = autostart.logFile();
      const said = (text) => fs.existsSync(log) && fs.readFileSync(log, 'utf8').includes(text);
      const first = autostart.startDetached([agent, 'a']);
      await waitFor('the first line', () => said('a một'));
      autostart.startDetached([agent, 'b']);
      await waitFor('the second agent\'s line', () => said('b một'));
      const fd = fs.openSync(go, fs.constants.O_WRONLY | fs.constants.O_NONBLOCK);  // the first is reading it
      fs.writeSync(fd, 'x\n');
      fs.closeSync(fd);
      await waitFor('the first agent to end', () => !autostart.alive(first));
      assert.equal(fs.readFileSync(log, 'utf8'), 'a một\nb một\na hai\n');
    } finally {
      if (saved === undefined) delete process.env.XDG_STATE_HOME; else process.env.XDG_STATE_HOME = saved;
    }
  });

  test('both programs answer --help and --version, and tavrik hotkeys alone shows the keys, each with exit 0', () => {
    const agent = process.env.TAVRIK_AGENT;  // the build's, as CTest runs this
    const run = (program, args) => {
      const r = spawnSync(program, args, { env: envOf({ XDG_CONFIG_HOME: root, HOME: root }), encoding: 'utf8' });
      return [r.status, r.stdout];
    };
    const [[, tool], [, built]] = [run(TOOL, ['--version']), agent ? run(agent, ['--version']) : [0, 'tavrik-agent ?\n']];
    assert.equal(tool.replace(/^tavrik /, ''), agent ? built.replace(/^tavrik-agent /, '') : tool.replace(/^tavrik /, ''));
    for (const [program, args, said] of [[TOOL, ['--version'], /^tavrik \d+\.\d+\.\d+\n$/], [TOOL, ['--help'], /^tavrik: /],
                                         [TOOL, ['hotkeys'], /^Chưa cài tự khởi động/],
                                         ...(agent ? [[agent, ['--help'], /^tavrik-agent: .*\n\nCách dùng:\n/],
                                                      [agent, ['--version'], /^tavrik-agent \d+\.\d+\.\d+\n$/]] : [])]) {
      const [status, out] = run(program, args);
      assert.deepEqual([status, said.test(out)], [0, true], `${path.basename(program)} ${args} said ${out}`);
    }
  });

  test('failures exit non-zero with the reason as the last line of standard error', () => {
    fs.writeFileSync(path.join(root, 'file'), '');
    const r = tavrik('m', ['clip', 'push', '--stdin'], 'x', { TAVRIK_STORE: path.join(root, 'file') });
    assert.notEqual(r.status, 0);
    assert.match(lastLine(r), /^Kho .*file không phải thư mục\.$/);
    assert.equal(tavrik('m', ['clip', 'push']).status, 2);
    refused(pull('m', { TAVRIK_STORE: undefined, TAVRIK_CONFIG: path.join(root, 'none.json'), XDG_DATA_HOME: root }),
            /^Chưa thiết lập tavrik trên máy này: chạy tavrik setup KHO/);  // not a sync folder gone
    // A folder that cannot be made fails at once; a store that is a link is refused.
    fs.symlinkSync(path.join(root, 'store'), path.join(root, 'link'));
    const linked = /^Kho .*link là một liên kết, không phải thư mục thật/;
    for (const [where, reason, args] of [['/proc/nope', /^Không tạo được thư mục kho \/proc\/nope: /, ['setup', '/proc/nope', '--no-autostart']],
                                         [path.join(root, 'link'), linked, ['setup', path.join(root, 'link'), '--no-autostart']],
                                         [path.join(root, 'link'), linked, ['clip', 'pull', '--print']]]) {
      const r = tavrik('m', args, undefined, { TAVRIK_CONFIG: path.join(root, 'c.json'), TAVRIK_STORE: where }, 10000);
      assert.deepEqual([r.status, fs.existsSync(path.join(root, 'c.json'))], [1, false], where);
      assert.match(lastLine(r), reason);
    }
    assert.match(lastLine(pull('m', { TAVRIK_STORE: 'ssh://host' })), /^TAVRIK_STORE không hợp lệ/);
    assert.match(tavrik('m', ['hotkeys', 'set'], undefined, { XDG_CONFIG_HOME: root }).out.toString(),
                 /^Chưa cài tự khởi động\. Chạy tavrik setup KHO trước/);
  });
});

describe('pairing by a six-digit code', () => {
  const spake2 = require('../../companion/lib/spake2.js');
  const b64 = (b) => b.toString('base64');
  let store;
  beforeEach(() => {
    root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-pair-'));
    store = path.join(root, 'store');
    use(root, {});
  });
  afterEach(() => fs.rmSync(root, { recursive: true, force: true }));
  const setup = (env, ...args) => tavrik(undefined, ['setup', store, '--no-autostart', ...args], undefined, env);

  test('SPAKE2 gives RFC 9382\'s first P-256 vector', () => {
    const hex = (h) => Buffer.from(h, 'hex');
    const w = spake2.scalarOf(hex('2ee57912099d31560b3a44b1184b9b4866e904c49d12ac5042c97dca461b1a5f'));
    const a = spake2.start('A', w, spake2.scalarOf(hex('43dd0fd7215bdcb482879fca3220c6a968e66d70b1356cac18bb26c84a78d729')));
    const b = spake2.start('B', w, spake2.scalarOf(hex('dcb60106f276b02606d8ef0a328c02e4b629f84f89786af5befb0bc75b6e66be')));
    const [ka, kb] = [spake2.finish(a, b.share, 'server', 'client', ''), spake2.finish(b, a.share, 'server', 'client', '')];
    const got = (k) => [a.share, b.share, k.Ke, k.Ka, k.cA, k.cB].map((x) => x.toString('hex'));
    const want = ['04a56fa807caaa53a4d28dbb9853b9815c61a411118a6fe516a8798434751470f9010153ac33d0d5f2047ffdb1a3e42c9b4e6be662766e1eeb4116988ede5f912c',
      '0406557e482bd03097ad0cbaa5df82115460d951e3451962f1eaf4367a420676d09857ccbc522686c83d1852abfa8ed6e4a1155cf8f1543ceca528afb591a1e0b7',
      '0e0672dc86f8e45565d338b0540abe69', '15bdf72e2b35b5c9e5663168e960a91b',
      '58ad4aa88e0b60d5061eb6b5dd93e80d9c4f00d127c65b3b35b1b5281fee38f0',
      'd3e2e547f1ae04f2dbdbf0fc4b79f8ecff2dff314b5d32fe9fcef2fb26dc459b'];
    assert.deepEqual([got(ka), got(kb)], [want, want]);
    assert.equal(spake2.finish(a, Buffer.alloc(65, 4), 'server', 'client', ''), null);  // no point of the curve
  });

  test('the first machine makes the key; a second and a third get it by the code; texts cross sealed', async () => {
    const [a, b, c] = ['a', 'b', 'c'].map(home);
    assert.equal(setup(a, '--no-encryption').status, 0);
    assert.deepEqual(push(undefined, 'chữ trần từ trước', a), none);
    assert.match(setup(a).out.toString(), /Mã hoá: có, khoá mới ở /);  // and the plain text is gone
    assert.deepEqual(fs.readdirSync(store).map((n) => n.replace(/\.[0-9a-f]{16}$/, '.ID')).sort(), ['key-id', 'member.ID']);
    for (const [joiner, holder] of [[b, a], [c, b]]) {
      const [joined, held] = await pairUp(joiner, holder, store);
      assert.deepEqual([joined.status, held.status], [0, 0], joined.err + held.err);
      assert.match(joined.out, /Mã hoá: có, khoá nhận bằng ghép mã/);
      assert.ok(fs.readFileSync(keyOf(joiner)).equals(fs.readFileSync(keyOf(a))));
      assert.equal(fs.statSync(keyOf(joiner)).mode & 0o777, 0o600);
      assert.equal(fs.existsSync(path.join(store, 'pairing')), false);  // nothing left, not even the folder
    }
    assert.deepEqual(push(undefined, 'kín từ c', c), none);
    assert.equal(pull(undefined, a).out.toString(), 'kín từ c');
    assert.equal(fs.readFileSync(path.join(store, fs.readdirSync(store).find((n) => n.startsWith('text.'))))
      .indexOf('kín từ c'), -1);
  });

  test('a wrong code, a keeper in the middle, a changed confirmation: refused on both sides; nothing left', async () => {
    // The keeper answers for the holder, not knowing the code.
    const keeper = (step, m) => (step === 'answer' ? { ...m, share: b64(spake2.start('B', 7n).share),
                                                       confirm: b64(crypto.randomBytes(32)) } : m);
    const changed = (step, m) => (step === 'confirm' ? { ...m, confirm: b64(crypto.randomBytes(32)) } : m);
    const asIs = (step, m) => m;
    const stopped = /máy kia đã dừng ghép/;
    const badCode = /mã ghép không khớp mã máy giữ khoá hiện/;
    const forged = (step, m) => (step === 'done' ? { ...m, mac: b64(crypto.randomBytes(32)) } : m);
    for (const [what, change, typed, joinerSays, holderSays] of [
      ['as is, beside a request dated ahead', asIs, (code) => code, null, /^Đã trao khoá cho máy "[^"]+"\.$/m],
      ['a wrong code', asIs, wrong, badCode, stopped],
      ['a keeper in the middle', keeper, (code) => code, badCode, stopped],
      ['a changed confirmation', changed, (code) => code, stopped, /mã máy mới dùng không khớp mã hiện ở đây/],
      ['a forged word of receipt', forged, (code) => code, null, /lời báo đã nhận khoá không xác thực được/],
      ['a forged stop once the key was sent', (step, m) => (step === 'done' ? ['fail-joiner', { v: 2, id: m.id }] : m),
       (code) => code, null, /máy đó có thể đã nhận khoá hoặc chưa; chạy tavrik status ở máy đó/],
    ]) {
      for (const d of fs.readdirSync(root)) fs.rmSync(path.join(root, d), { recursive: true });
      const [a, b] = [home('a'), home('b')];
      assert.equal(setup(a).status, 0);
      const joinStore = path.join(root, 'other');  // what the joiner sees of the store
      fs.mkdirSync(path.join(joinStore, 'pairing'), { recursive: true });
      fs.copyFileSync(path.join(store, 'key-id'), path.join(joinStore, 'key-id'));
      // A request that would always come first: ignored, and left alone.
      const ahead = JSON.stringify({ v: 2, id: 'ffffffffffffffff', keyId: fs.readFileSync(path.join(store, 'key-id'), 'utf8').trim(),
                                     machine: 'kẻ gian', time: Date.now() + 3600e3, share: b64(spake2.start('A', 1n).share) });
      fs.writeFileSync(path.join(joinStore, 'pairing', 'ffffffffffffffff-start'), ahead);
      const stop = relay(path.join(joinStore, 'pairing'), path.join(store, 'pairing'), change);
      const [joined, held] = await pairUp(b, a, joinStore, typed);
      stop();
      assert.deepEqual([joined.status, held.status], [joinerSays ? 1 : 0, /Đã trao/.test(holderSays) ? 0 : 1], what);
      assert.deepEqual([fs.readdirSync(path.join(store, 'pairing')), fs.readdirSync(path.join(joinStore, 'pairing'))],
                       [['ffffffffffffffff-start'], ['ffffffffffffffff-start']], what);
      assert.match(held.err + held.out, holderSays, what);
      if (!joinerSays) continue;
      assert.match(joined.err, new RegExp(`^Ghép không thành: ${joinerSays.source}`, 'm'), what);
      assert.equal(fs.existsSync(keyOf(b)), false, what);
    }
  });

  test('two setups at once, as a sync shows them, converge with setup again: one key, two ids, texts both ways', async () => {
    const [a, b] = [home('a'), home('b')];  // of one host name
    const bin = path.join(root, 'bin');  // an agent that answers --trigger status
    fs.mkdirSync(bin);
    fs.writeFileSync(path.join(bin, 'tavrik-agent'), '#!/bin/sh\necho "tavrik: ctrl+alt+c = gửi đi (OK)"\n', { mode: 0o755 });
    for (const h of [a, b]) h.PATH = `${bin}:${process.env.PATH}`;
    const said = (h) => {
      const r = tavrik(undefined, ['status'], undefined, h);
      return [r.status, r.out.toString().trim().split('\n').pop()];
    };
    const copy = path.join(root, 'copy');  // b's copy of the folder, before the sync has brought a's files
    assert.equal(setup(a).status, 0);
    assert.deepEqual(said(a), [1, 'Chưa dùng được: chưa có máy kia']);
    assert.equal(tavrik(undefined, ['setup', copy, '--no-autostart'], undefined, b).status, 0);
    for (const f of fs.readdirSync(copy).filter((n) => !fs.existsSync(path.join(store, n)))) {
      fs.copyFileSync(path.join(copy, f), path.join(store, f));  // the sync kept a's key-id
    }
    fs.rmSync(copy, { recursive: true });
    const config = path.join(b.HOME, '.config', 'tavrik', 'config.json');  // the same folder, as b's sync has it
    fs.writeFileSync(config, JSON.stringify({ ...JSON.parse(fs.readFileSync(config)), store }));
    // Both see the split: b's key is not the store's, and a's texts are not for b.
    assert.deepEqual(said(b), [1, 'Chưa dùng được: khoá']);
    assert.match(lastLine(push(undefined, 'x', b)), /^Kho .* ghi một khoá khác, mà máy này mã hoá chữ: chưa gửi gì\. Nếu kho đã đổi khoá, chạy tavrik setup/);
    assert.match(said(a).join(' '), /^1 Chưa dùng được: máy [0-9a-f]{16} giữ khoá khác$/);
    const conflict = path.join(store, 'key-id.sync-conflict-20261208-143358-G4G45WV');  // what Syncthing leaves
    fs.copyFileSync(path.join(store, 'key-id'), conflict);
    assert.match(tavrik(undefined, ['status'], undefined, a).out.toString(), /^ {2}Tệp key-id\.sync-conflict-\S+: bản xung đột/m);
    assert.match(lastLine(pull(undefined, a)), /^Chưa lấy được gì: máy [0-9a-f]{16} giữ một khoá khác/);
    const split = push(undefined, 'đã lưu', a);
    assert.match(lastLine(split), /^Đã gửi lên kho, nhưng máy [0-9a-f]{16} giữ một khoá khác khoá của kho.*: ở máy đó, chạy tavrik setup /);
    const [joined, held] = await pairUp(b, a, store);
    assert.deepEqual([joined.status, held.status], [0, 0], joined.err + held.err);
    assert.match(joined.out, /khoá cũ cất ở .*\.cũ\)/);
    assert.match(held.out, new RegExp(`^Đã trao khoá cho máy "${os.hostname()}-2"\\.$`, 'm'));  // the name b takes
    const named = (h) => JSON.parse(fs.readFileSync(path.join(h.HOME, '.config', 'tavrik', 'config.json'))).machine;
    assert.deepEqual([named(a), named(b)], [os.hostname(), `${os.hostname()}-2`]);  // b, set up later, moved
    assert.equal(fs.existsSync(conflict), false);  // setup removed it once the key was settled
    // A new name by tavrik config: checked as setup checks it, and shown sealed to the others.
    assert.match(lastLine(tavrik(undefined, ['config', 'machine', os.hostname()], undefined, b)), /đã có máy khác dùng/);
    assert.equal(tavrik(undefined, ['config', 'machine', 'máy b'], undefined, b).status, 0);
    assert.match(tavrik(undefined, ['status'], undefined, a).out.toString(), /^ {2}máy b: /m);
    assert.equal(pull(undefined, b).out.toString(), 'đã lưu');
    assert.deepEqual([push(undefined, 'từ a', a), pull(undefined, b).out.toString()], [none, 'từ a']);
    assert.deepEqual([push(undefined, 'từ b', b), pull(undefined, a).out.toString()], [none, 'từ b']);
    assert.deepEqual([said(a), said(b)], [[0, 'Gửi đi và lấy về đều dùng được.'], [0, 'Gửi đi và lấy về đều dùng được.']]);
    // Broken again: one identity written by two machines; a store gone.
    const texts = fs.readdirSync(store).filter((n) => n.startsWith('text.')).map((n) => path.join(store, n));
    const shared = meddle({ [texts[0]]: fs.readFileSync(texts[1]) }, () => [said(a), said(b)]);
    assert.deepEqual(shared.map(([st]) => st), [1, 1]);
    assert.ok(shared.some(([, line]) => line === 'Chưa dùng được: hai máy cùng một danh tính'), String(shared));
    fs.renameSync(store, `${store}.dời`);
    assert.deepEqual(said(a), [1, 'Chưa dùng được: kho']);
  });

  test('a store keeper who puts back, reflects, misnames, hides, links, plants FIFOs, devices or huge files, or a lost or open key: refused with a reason', () => {
    const [a, b, c] = ['a', 'b', 'c'].map((m) => ({ ...home(m), TAVRIK_MACHINE: m }));
    assert.equal(setup(a, '--machine', 'a').status, 0);
    fs.mkdirSync(path.dirname(keyOf(b)), { recursive: true });
    fs.copyFileSync(keyOf(a), keyOf(b));
    assert.match(setup(b, '--machine', 'b').out.toString(), /Mã hoá: có, bằng khoá của kho/);
    const file = (name) => path.join(store, name);
    const textOf = (h) => file(`text.${JSON.parse(fs.readFileSync(path.join(h.HOME, '.config/tavrik/config.json'))).id}`);
    const bytes = (f, ...run) => run.forEach((r) => r()) || fs.readFileSync(f);
    const ownB = bytes(textOf(b), () => push(undefined, 'của b', b), () => pull(undefined, a));
    const plain = bytes(path.join(root, 'plain', 'clip-x'), () => fs.mkdirSync(path.join(root, 'plain')),
                        () => push('x', 'giả', { TAVRIK_STORE: path.join(root, 'plain'), TAVRIK_CONFIG: path.join(root, 'none.json') }));
    const old = bytes(textOf(a), () => fs.rmSync(textOf(b)), () => push(undefined, 'một', a));
    assert.equal(pull(undefined, b).out.toString(), 'một');
    push(undefined, 'hai', a);
    assert.equal(pull(undefined, b).out.toString(), 'hai');
    // A push whose temporary name is known in advance.
    fs.writeFileSync(path.join(root, 'fixed.js'), "require('crypto').randomBytes = (n) => Buffer.alloc(n, 7);");
    const fixed = { ...a, NODE_OPTIONS: `--require ${path.join(root, 'fixed.js')}` };
    const victim = path.join(root, 'victim');
    const elsewhere = path.join(root, 'elsewhere');  // where a planted pairing link points
    fs.mkdirSync(elsewhere, { mode: 0o755 });
    const aId = path.basename(textOf(a)).slice(5);
    const odd = (name) => new RegExp(`^Tệp ${name} trong kho .* không phải tệp thường .*: không đọc\\.$`);
    const planted = file('text.0123456789abcdef');
    // tavrik pair, of which only the end counts here (the code is on standard output).
    const pair = () => ({ ...tavrik(undefined, ['pair'], '', { ...a, TAVRIK_PAIR_WAIT: '1' }), out: Buffer.alloc(0) });
    for (const [what, files, run, reason] of [
      ['key-id a link to the key', { [file('key-id')]: { linkTo: keyOf(a) } }, () => push(undefined, 'x', a), odd('key-id')],
      ['setup where key-id links to a file', { [file('key-id')]: { linkTo: keyOf(a) } }, () => setup(c), odd('key-id')],
      ['a FIFO as key-id', { [file('key-id')]: { fifo: true } }, () => pull(undefined, b), odd('key-id')],
      ['key-id of another shape', { [file('key-id')]: 'khoá\n' }, () => pull(undefined, b), /^Tệp key-id trong kho .* không phải mã khoá tavrik ghi/],
      ['a member file as a text', { [textOf(a)]: fs.readFileSync(textOf(a).replace('text.', 'member.')) }, () => pull(undefined, b),
       /^Chữ từ máy a không giải mã được/],
      ['a FIFO as a text', { [planted]: { fifo: true } }, () => pull(undefined, b), odd('text.0123456789abcdef')],
      ['a text linked to a device', { [planted]: { linkTo: '/dev/zero' } }, () => pull(undefined, b), odd('text.0123456789abcdef')],
      ['a text of 1 GiB', { [planted]: { size: 2 ** 30 } }, () => pull(undefined, b), /^Tệp text\.0123456789abcdef .* lớn quá \(hơn \d+ byte\)/],
      ['a\'s own text under its name\'s file', { [file(`clip-${aId}`)]: fs.readFileSync(textOf(a)) }, () => pull(undefined, a), null],
      ['an escape sequence in a name', { [file('clip-%1B%5D0%3Bx%07')]: 'rác' }, () => pull(undefined, b),
       /^Chữ từ máy \]0;x không được mã hoá/],
      ['a pairing folder linked elsewhere', { [file('pairing')]: { linkTo: elsewhere } },
       pair, /^Kho .*pairing là một liên kết/],
      ['a FIFO in the pairing folder', { [file('pairing/0123456789abcdef-start')]: { fifo: true } },
       pair, /^Ghép không thành: không có máy nào xin khoá/],
      ['an older text put back', { [textOf(a)]: old }, () => pull(undefined, b), /^Chữ từ máy a cũ hơn chữ máy này đã nhận từ máy đó: kho đưa lại chữ cũ/],
      ['b\'s own text under another id', { [file(`text.${'0'.repeat(16)}`)]: ownB }, () => pull(undefined, b),
       /^Chữ từ máy 0{16} không giải mã được/],
      ['another spelling of a name', { [file('clip-%61')]: old }, () => pull(undefined, b),
       /^Tệp clip-%61 trong kho là cách viết khác của tên máy a/],
      ['key-id hidden', { [file('key-id')]: null }, () => push(undefined, 'lộ', a), /không còn tệp key-id, mà máy này mã hoá/],
      ['key-id of another key', { [file('key-id')]: 'f'.repeat(32) }, () => pull(undefined, b), /ghi một khoá khác, .*: chưa lấy gì/],
      ['a lost key, a plain text planted', { [keyOf(b)]: null, [file('clip-x')]: plain }, () => pull(undefined, b),
       /^Máy này mã hoá chữ mà không còn khoá .*: chưa lấy gì\. Để nhận lại khoá, chạy tavrik setup/],
      ['a lost key, then a push', { [keyOf(b)]: null }, () => push(undefined, 'lộ', b), /không còn khoá .*: chưa gửi gì/],
      ['a machine never given the key', {}, () => push(undefined, 'lộ', { ...c, TAVRIK_STORE: store }),
       /mã hoá chữ mà máy này không có khoá .*: chưa gửi gì/],
      ['a key others can read', { [keyOf(b)]: 0o644 }, () => pull(undefined, b), /đọc được \(quyền 644\): không dùng/],
      ['setup where key-id is hidden', { [file('key-id')]: null }, () => setup(c), /đã có máy khác mà không có tệp key-id/],
      ['a link at the temporary name', { [`${path.dirname(textOf(a))}/.${path.basename(textOf(a))}.0707070707070707.tmp`]: { linkTo: victim } },
       () => push(undefined, 'ghi đè', fixed), /^Không ghi được vào kho .*EEXIST/],
    ]) {
      if (files[file('pairing/0123456789abcdef-start')]) fs.mkdirSync(file('pairing'));
      const r = meddle(files, run);
      fs.rmSync(file('pairing'), { recursive: true, force: true });
      if (reason) refused(r, reason, what);
      else assert.deepEqual(r, none, what);
      // Nothing was stored: each sees what it saw before.
      assert.deepEqual([pull(undefined, b).out.toString(), pull(undefined, a).out.toString()], ['hai', ''], what);
    }
    assert.deepEqual([fs.existsSync(victim), fs.existsSync(c.HOME), fs.statSync(elsewhere).mode & 0o777,
                      fs.readdirSync(elsewhere)], [false, false, 0o755, []]);
    // No file of the store holds the key; a member file holds only the
    // name shown, sealed: swapped, or planted with an escape, none shows.
    const key = fs.readFileSync(keyOf(a), 'utf8').trim();
    for (const f of fs.readdirSync(store, { recursive: true })) {
      if (fs.statSync(file(f)).isFile()) assert.equal(fs.readFileSync(file(f)).includes(key), false, f);
    }
    const { open } = require('../../companion/lib/form.js');
    const [memberA, memberB] = [a, b].map((h) => file(path.basename(textOf(h)).replace('text.', 'member.')));
    assert.equal(open(fs.readFileSync(memberA), aId, Buffer.from(key, 'base64'), 0, '', true).text.toString(), '{"name":"a"}\n');
    const shown = meddle({ [memberA]: fs.readFileSync(memberB), [memberB]: fs.readFileSync(memberA),
                           [file('machine-%1B%5B2J')]: '', [file('member.0123456789abcdef')]: '{"name":"b"}' }, () => tavrik(undefined, ['status'], undefined, b).out.toString());
    assert.deepEqual([/^ {2}[ab]( \(máy này\))?: /m.test(shown), shown.includes(`  ${aId}: gửi lần cuối`), /\p{Cc}(?<!\n)/u.test(shown),
                      /^ {2}Máy 0123456789abcdef có tệp thành viên không mã hoá/m.test(shown)],
                     [false, true, false, true], shown);
    fs.writeFileSync(file('clip-%'), 'rác');  // a name no machine writes: passed over
    assert.equal(pull(undefined, b).out.toString(), 'hai');
  });

  test('a joiner that vanishes: the holder gives up and removes its request; an older joiner is told to update', () => {
    const a = home('a');
    assert.equal(setup(a).status, 0);
    const keyId = fs.readFileSync(path.join(store, 'key-id'), 'utf8').trim();
    const request = (id, message) => fs.writeFileSync(path.join(store, 'pairing', `${id}-${message.v === 1 ? 'commit' : 'start'}`),
                                                      JSON.stringify({ id, keyId, machine: 'x', time: Date.now(), ...message }));
    fs.mkdirSync(path.join(store, 'pairing'));
    request('0123456789abcdef', { v: 1, commit: b64(crypto.randomBytes(32)) });
    let r = tavrik(undefined, ['pair'], '', { ...a, TAVRIK_PAIR_WAIT: '1' });
    assert.deepEqual([r.status, r.err.split('\n').filter(Boolean)],
                     [1, ['Máy "x" dùng bản tavrik cũ: cập nhật tavrik ở máy đó rồi chạy lại tavrik setup.',
                          'Ghép không thành: không có máy nào xin khoá trong 1 phút.']]);
    const again = ' Thử lại được: tavrik pair ở máy có khoá cho một mã mới, rồi tavrik setup ở máy mới.';
    assert.equal(JSON.parse(fs.readFileSync(path.join(store, 'pairing', '0123456789abcdef-fail-holder'))).v, 1);
    fs.rmSync(path.join(store, 'pairing'), { recursive: true });
    fs.mkdirSync(path.join(store, 'pairing'));
    request('0123456789abcdef', { v: 2, share: b64(spake2.start('A', 5n).share) });
    r = tavrik(undefined, ['pair'], '', { ...a, TAVRIK_PAIR_WAIT: '2' });
    assert.deepEqual([r.status, lastLine(r), fs.existsSync(path.join(store, 'pairing'))],
                     [1, `Ghép không thành: máy mới không trả lời trong 1 phút.${again}`, false]);
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
    use(root, { TAVRIK_SSH_CONFIG: sshd.config, TAVRIK_STORE: `ssh://tavrikhost${remote}`,
                TAVRIK_KEY_FILE: path.join(root, 'no-key'), XDG_RUNTIME_DIR: root });
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
    // A link planted at a push's temporary name, known in advance here, is
    // not written through.
    fs.writeFileSync(path.join(root, 'fixed.js'), "require('crypto').randomBytes = (n) => Buffer.alloc(n, 7);");
    fs.symlinkSync(path.join(root, 'victim'), path.join(remote, '.clip-a.0707070707070707.tmp'));
    const r = push('a', 'ghi đè', { NODE_OPTIONS: `--require ${path.join(root, 'fixed.js')}` });
    assert.deepEqual([r.status, fs.existsSync(path.join(root, 'victim'))], [1, false], r.err);
    tavrik('máy a', ['clip', 'clear']);
  });

  test('presses share one connection; one whose link died or went silent is replaced', () => {
    const { logins } = sshd;
    // The processes of sshd serving the shared connection: all below sshd.
    const serving = () => below(sshd.pid).map((p) => p.pid);
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

  test('an unreachable, refused or silent host, a missing directory, and links, FIFOs or huge files there each end with a reason', async () => {
    for (const [where, reason, args] of [
      ['ssh://nowhere/tmp/x', /^Không kết nối được tới nowhere qua SSH: .*Connection refused/, ['clip', 'pull', '--print']],
      [`ssh://badkey${remote}`, /^badkey từ chối khoá SSH của máy này \(.*Permission denied/, ['clip', 'push', '--stdin']],
      ['ssh://tavrikhost/nonexistent/tavrik', /^Không có thư mục kho \/nonexistent\/tavrik trên tavrikhost\.$/, ['clip', 'pull', '--print']],
    ]) {
      refused(tavrik('a', args, 'x', { TAVRIK_STORE: where }), reason, where);
    }
    // A host that accepts and never answers: ended by the run's deadline.
    const silent = require('node:net').createServer().listen(0, '127.0.0.1');
    await new Promise((r) => silent.on('listening', r));
    refused(tavrik('a', ['clip', 'pull', '--print'], undefined, { TAVRIK_STORE: `ssh://root@127.0.0.1:${silent.address().port}${remote}`,
                                                                  TAVRIK_SSH_WAIT: '2' }), /^Kho trên 127\.0\.0\.1 không trả lời trong 2 giây\.$/);
    silent.close();
    // The remote side reads as a local store does.
    const planted = path.join(remote, 'text.0123456789abcdef');
    fs.symlinkSync(remote, path.join(root, 'linked'));
    for (const [files, run, reason] of [
      [{ [planted]: { fifo: true } }, () => pull('b'), /^Tệp text\.0123456789abcdef trong kho .* không phải tệp thường/],
      [{ [path.join(remote, 'key-id')]: { linkTo: '/etc/passwd' } }, () => push('a', 'x'), /^Tệp key-id trong kho .* không phải tệp thường/],
      [{ [planted]: { size: 2 ** 30 } }, () => pull('b'), /^Tệp text\.0123456789abcdef trong kho .* lớn quá/],
      [{}, () => pull('b', { TAVRIK_STORE: `ssh://tavrikhost${root}/linked` }), /^Kho .*linked trên tavrikhost là một liên kết/],
    ]) {
      refused(meddle(files, run), reason);
    }
    // The forms people write: a port in the address, and scp's HOST:PATH.
    assert.deepEqual(push('a', 'qua cổng khác', { TAVRIK_STORE: `ssh://root@127.0.0.1:${sshd.port}${remote}` }), none);
    assert.equal(pull('b', { TAVRIK_STORE: `tavrikhost:${remote}` }).out.toString(), 'qua cổng khác');
  });
});
