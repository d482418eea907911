'use strict';
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const crypto = require('node:crypto');
const os = require('node:os');
const path = require('node:path');
const { Rig, startXvfb, waitFor, sleep, notification, sound, peakMiB, SANITIZED, COMPANION, assertFeedback, pushed,
        pulled } = require('./rig.js');

const nothingToSend = [sound(false), notification('Chưa có gì để tung',
  'Clipboard rỗng (hoặc không phải chữ) — copy một đoạn rồi bấm lại.')];
const nothingToFetch = [sound(false), notification('Chưa thấy mục tiêu nào', 'Máy kia chưa gửi gì sang.')];
const stumbled = (body) => [sound(false), notification('Tavrik trượt chân', body)];
const TOOL = path.join(__dirname, '..', '..', 'companion', 'tavrik.js');
const held = notification('Phím này có người giữ mất rồi',
                          'Ứng dụng khác đang giữ gửi đi (ctrl+alt+c). Đổi bằng: tavrik hotkeys set');

describe('tavrik-agent under X11', () => {
  let xvfb;
  let rig;
  before(async () => {
    xvfb = await startXvfb();
    rig = new Rig(xvfb.display);
  });
  afterEach(() => rig.reset());
  after(async () => {
    await rig.close();
    xvfb.proc.kill();
  });

  test('push and pull carry texts byte for byte, up to 4 MiB, with the exact argument vectors', async () => {
    await rig.startAgent();
    const line = 'Sóng Âm 0123456789 abcdefghijklmnopqrstuvwxyz ĐÂY LÀ TAVRIK\n';
    const big = line.repeat(Math.ceil((4 << 20) / Buffer.byteLength(line)));
    for (const [i, [text, target]] of [['Xin chào, thế giới!\n', 'text/plain;charset=utf-8'],
                                       ['   ', 'UTF8_STRING'], [big, 'UTF8_STRING']].entries()) {
      await rig.push(text, 4 * i + 2, target);
      assert.ok(rig.read('pushed').equals(Buffer.from(text)));
      const other = text.split('').reverse().join('');
      await rig.pull(other, 4 * i + 4);
      assert.ok(rig.readClipboard().equals(Buffer.from(other)));
    }
    assert.equal(rig.read('argv-push').toString(),
                 [rig.nodeRecorder, COMPANION, 'clip', 'push', '--stdin', ''].join('\x1f'));
    assert.equal(rig.read('argv-pull').toString(),
                 [rig.nodeRecorder, COMPANION, 'clip', 'pull', '--print', ''].join('\x1f'));
    assertFeedback(rig.feedback(), Array(3).fill([...pushed, ...pulled]).flat());
    assert.equal(rig.agent.stdoutText, '');
  });

  test('no text to push starts no tool; no text pulled or a failure leaves the clipboard', async () => {
    await rig.startAgent();
    rig.key('ctrl+alt+c');  // nobody owns the clipboard
    await rig.feedbackOf(2);
    await rig.push(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0, 1, 2]), 4, 'image/png');
    await rig.push('', 6);
    assert.deepEqual(rig.runs(), []);
    await rig.setClipboard('giữ nguyên');
    await rig.pull(undefined, 8);
    rig.write('fail', 'không có mạng');
    assertFeedback(await rig.pull('không dùng', 10), [...nothingToSend, ...nothingToSend, ...nothingToSend,
                                              ...nothingToFetch, ...stumbled('không có mạng')]);
    assert.equal(rig.readClipboard().toString(), 'giữ nguyên');
  });

  test('presses during a run are dropped; with NumLock or CapsLock on, one run per press held', async () => {
    await rig.startAgent();
    await rig.pull('x', 2);
    rig.write('hold', '');
    rig.key('ctrl+alt+b');
    await waitFor('the run', () => rig.runs().length === 2);
    rig.key('ctrl+alt+b');
    rig.key('ctrl+alt+c');
    rig.handled();
    rig.remove('hold');
    await rig.feedbackOf(4);
    for (const [i, lock] of ['Num_Lock', 'Caps_Lock'].entries()) {
      rig.key(lock);
      try {
        rig.key('ctrl+alt+b');
        await waitFor(`a run with ${lock}`, () => rig.runs().length === 3 + i);
      } finally {
        rig.key(lock);
      }
      await rig.feedbackOf(6 + 2 * i);
    }
    rig.key('keydown', 'ctrl+alt+b');
    await rig.feedbackOf(10);
    await sleep(1500);  // held on after the run ended: the key autorepeats
    rig.key('keyup', 'ctrl+alt+b');
    rig.handled();
    rig.key('ctrl+alt+c');  // a repeat that started a run would swallow this push
    assertFeedback(await rig.feedbackOf(12), [...Array(5).fill(pulled).flat(), ...pushed]);
    assert.deepEqual(rig.runs(), ['pull', 'pull', 'pull', 'pull', 'pull', 'push']);
    assert.equal(rig.read('pushed').toString(), 'x');
  });

  test('twenty --trigger clients that say nothing hold up neither presses, pastes nor a real trigger', async () => {
    const env = { XDG_RUNTIME_DIR: rig.root };
    await rig.startAgent([], env);
    const silent = Array.from({ length: 20 }, () => net.connect(path.join(rig.root, 'tavrik-agent.sock')));
    await Promise.all(silent.map((c) => new Promise((r) => c.on('connect', r))));
    await rig.pull('chữ', 2);
    assert.equal(rig.readClipboard().toString(), 'chữ');  // the agent answers within xclip's 5 s
    const trigger = spawnSync(rig.agentPath, ['--trigger', 'push'], { env: { ...rig.env, ...env } });
    assert.deepEqual([trigger.status, trigger.stderr.toString()], [0, '']);
    assertFeedback(await rig.feedbackOf(4), [...pulled, ...pushed]);
    silent.forEach((c) => c.destroy());
  });

  test('hotkeys from the command line replace the defaults; one held by another client is reported', async () => {
    const first = await rig.startAgent(['--copy', 'cmd+shift+f12', '--paste', 'ctrl+alt+c']);
    assert.equal(first.stderrText, 'tavrik: cmd+shift+f12 = gửi đi (OK), ctrl+alt+c = lấy về (OK)\n');
    // Had the first agent grabbed a default too, ctrl+alt+b would be refused here.
    const second = await rig.startAgent([], {}, { mayRefuse: true });
    assert.equal(second.stderrText, 'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-9878\n' +
                                    'tavrik: ctrl+alt+c = gửi đi (HỎNG), ctrl+alt+b = lấy về (OK)\n');
    await rig.setClipboard('tùy chỉnh');
    for (const [i, key] of ['super+shift+F12', 'ctrl+alt+c', 'ctrl+alt+b'].entries()) {
      rig.key(key);
      await rig.feedbackOf(3 + 2 * i);
    }
    assertFeedback(rig.feedback(), [held, ...pushed, ...nothingToFetch, ...nothingToFetch]);
    assert.deepEqual(rig.runs(), ['push', 'pull', 'pull']);
    assert.equal(rig.read('pushed').toString(), 'tùy chỉnh');
  });

  test('after a keyboard change the hotkeys follow their keys', async () => {
    await rig.startAgent();
    await rig.pull('x', 2);
    const swap = (c, x) => execFileSync('xmodmap', ['-e', `keycode 54 = ${c}`, '-e', `keycode 53 = ${x}`],
                                        { env: rig.env });
    swap('x X', 'c C');
    try {
      // The agent regrabs after the batch of events that told of the change:
      // two answered requests later, its grab is in place.
      rig.handled();
      rig.handled();
      rig.key('ctrl+alt+c');
      assertFeedback(await rig.feedbackOf(4), [...pulled, ...pushed]);
    } finally {
      swap('c C', 'x X');
    }
  });

  for (const [mode, reason, bound] of [
    ['stop', 'Ứng dụng đang giữ clipboard không trả lời.', 32],
    ['trickle', 'Ứng dụng đang giữ clipboard gửi quá chậm (quá 10 giây).', 64],
    ['flood', 'Chữ trong clipboard quá lớn (hơn 256 MiB).', 320],
  ]) {
    test(`an owner that does not finish (${mode}) is told; the press after it is served`, async () => {
      const agent = await rig.startAgent();
      if (mode === 'stop') process.kill((await rig.setClipboard('đứng hình')).pid, 'SIGSTOP');
      else await rig.peer(mode);
      rig.write('pull-output', 'sau đó');
      rig.key('ctrl+alt+c');
      rig.key('ctrl+alt+b');  // arrives while the agent waits for the owner
      assertFeedback(await rig.feedbackOf(4), [...stumbled(reason), ...pulled]);
      assert.equal(rig.readClipboard().toString(), 'sau đó');
      if (!SANITIZED) assert.ok(peakMiB(agent.pid) < bound, `peak ${peakMiB(agent.pid)} MiB`);
    });
  }

  test('a companion past its deadline, or leaving a process behind, is ended with all it started', async () => {
    const leftoverEnds = () => waitFor('the leftover to end', () => {
      try {
        return /^\d+ \(.*\) Z/.test(fs.readFileSync(`/proc/${Number(rig.read('linger-pid'))}/stat`, 'utf8'));
      } catch { return true; }
    });
    let agent = await rig.startAgent(['--timeout', '1']);
    rig.write('linger', '');
    rig.write('hang', '');
    assertFeedback(await rig.pull(undefined, 2), stumbled('tavrik không trả lời trong 1 giây.'));
    await leftoverEnds();
    rig.remove('hang');
    // The rest with the default deadline: one second is no bound for a
    // companion that works, on a loaded machine.
    agent.kill('SIGTERM');
    await agent.exited;
    agent = await rig.startAgent();
    await rig.push('vẫn gửi được', 4);
    assert.equal(rig.read('pushed').toString(), 'vẫn gửi được');
    await leftoverEnds();
    // Only the end of a flood on standard error is kept, and its last line shown.
    rig.remove('linger');
    rig.write('flood-err', '100');
    rig.write('fail', 'tràn lỗi');
    await rig.pull(undefined, 6);
    assertFeedback(rig.feedback().slice(2), [...pushed, ...stumbled('tràn lỗi')]);
    if (!SANITIZED) assert.ok(peakMiB(agent.pid) < 32, `peak ${peakMiB(agent.pid)} MiB`);
  });

  test('stopped by a signal, it hands its text to the clipboard manager and exits 0', async () => {
    let agent = await rig.startAgent();
    await rig.pull('giữ lại nhé', 2);
    const manager = await rig.peer('manager');
    await rig.stop(agent);
    assert.equal(manager.output, 'ready\nsaved giữ lại nhé\n');
    assert.equal(rig.readClipboard().toString(), 'giữ lại nhé');  // served by the manager now

    // A manager that never answers costs three seconds at most.
    agent = await rig.startAgent();
    await rig.pull(undefined, 4);
    process.kill(manager.pid, 'SIGSTOP');
    await rig.stop(agent, 'SIGINT');
    process.kill(manager.pid, 'SIGCONT');
    // Owns nothing: nothing to hand over.
    await rig.stop(await rig.startAgent(), 'SIGHUP');
  });

  test('a secret keeps its mark both ways, never reaches the clipboard manager, and is cleared only while ours', async () => {
    const hint = 'x-kde-passwordManagerHint';
    const offered = () => rig.readClipboard('TARGETS').toString().split('\n');
    const pushEnv = () => JSON.parse(rig.read('push-env'));
    // B, a second agent on other keys, holds a pulled secret; A reads it from B.
    const a = await rig.startAgent(['--clear-secrets', '0']);
    const b = await rig.startAgent(['--copy', 'ctrl+alt+x', '--paste', 'ctrl+alt+y', '--clear-secrets', '0']);
    rig.write('meta', 'secret\n');
    rig.write('pull-output', 'mật khẩu: hunter2');
    rig.key('ctrl+alt+y');
    await rig.feedbackOf(2);
    assert.ok(offered().includes(hint));
    assert.equal(rig.readClipboard(hint).toString(), 'secret');
    rig.key('ctrl+alt+c');
    await rig.feedbackOf(4);
    assert.equal(rig.read('pushed').toString(), 'mật khẩu: hunter2');
    const marked = pushEnv();
    await rig.push('thường', 6);
    const { TAVRIK_SECRET: secret, ...rest } = marked;
    assert.deepEqual([secret, pushEnv()], ['1', rest]);  // that one variable, nothing else

    // Anything else on descriptor 3 marks nothing.
    rig.write('meta', 'secrets\nkhác\n');
    await rig.pull('không bí mật', 8);
    assert.ok(!offered().includes(hint));

    // A's secret goes with A; B's plain text goes to the manager.
    const manager = await rig.peer('manager');
    rig.write('meta', 'secret\n');
    await rig.pull('bí mật', 10);
    await rig.stop(a);
    rig.remove('meta');
    rig.write('pull-output', 'giữ lại');
    rig.key('ctrl+alt+y');
    await rig.feedbackOf(12);
    await rig.stop(b);
    assert.equal(manager.output, 'ready\nsaved giữ lại\n');
    assertFeedback(rig.feedback(), [...pulled, ...pushed, ...pushed, ...pulled, ...pulled, ...pulled]);
  });

  test('a pulled secret leaves the clipboard after --clear-secrets, but not a text copied since', async () => {
    await rig.startAgent(['--clear-secrets', '1']);
    rig.write('meta', 'secret\n');
    await rig.pull('xoá sau một giây', 2);
    await waitFor('the secret to be cleared', () => {
      try {
        rig.readClipboard();
        return false;
      } catch {
        return true;  // no owner
      }
    });
    await rig.pull('lần nữa', 4);
    const due = Date.now() + 1000;
    await rig.setClipboard('chép sau đó');
    // Timers due before a press run before it: this push comes after A's.
    await sleep(due - Date.now() + 50);
    rig.key('ctrl+alt+c');
    assertFeedback(await rig.feedbackOf(6), [...pulled, ...pulled, ...pushed]);
    assert.equal(rig.read('pushed').toString(), 'chép sau đó');
  });

  test('the agent serves TARGETS, STRING, TIMESTAMP and MULTIPLE, and refuses stale requests', async () => {
    await rig.startAgent();
    await rig.pull('café', 2);
    const targets = rig.readClipboard('TARGETS').toString().split('\n').filter(Boolean).sort();
    assert.deepEqual(targets, ['MULTIPLE', 'STRING', 'TARGETS', 'TEXT', 'TIMESTAMP', 'UTF8_STRING',
                               'text/plain;charset=utf-8']);
    assert.ok(rig.readClipboard('STRING').equals(Buffer.from('caf\xe9', 'latin1')));
    assert.match(rig.readClipboard('TIMESTAMP').toString(), /^\d+/);
    assert.equal(execFileSync(process.env.TAVRIK_X_PEER, ['ask'], { env: rig.env, timeout: 30000 })
      .toString(), 'utf8 café\npng refused\nstale refused\n');
  });

  test('tavrik setup starts the agent; tavrik hotkeys set changes its keys, or keeps them when held or unreadable', async () => {
    const home = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-home-'));
    const env = { PATH: `${path.dirname(process.env.TAVRIK_AGENT)}:${process.env.PATH}`, HOME: home,
                  XDG_RUNTIME_DIR: home, DISPLAY: xvfb.display, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
    const tavrik = (...args) => spawnSync(process.execPath, [TOOL, ...args], { env, encoding: 'utf8' });
    const said = (r) => [r.status, r.stdout || r.stderr];
    const status = 'tavrik: ctrl+alt+shift+c = gửi đi (OK), ctrl+alt+b = lấy về (OK)\n';
    try {
      assert.equal(tavrik('setup', path.join(home, 'kho')).status, 0);
      assert.deepEqual(said(tavrik('hotkeys', 'set', '--copy', 'ctrl+alt+shift+c')), [0, status]);
      await rig.startAgent(['--copy', 'ctrl+alt+x', '--paste', 'ctrl+alt+y']);  // another client holds ctrl+alt+x
      assert.deepEqual(said(tavrik('hotkeys', 'set', '--copy', 'ctrl+alt+x')), [1, 'Không đổi được phím (tavrik: ' +
        'ctrl+alt+x = gửi đi (HỎNG), ctrl+alt+b = lấy về (OK)); đã trả lại ctrl+alt+shift+c và ctrl+alt+b.\n']);
      assert.match(said(tavrik('hotkeys', 'set', '--paste', 'alt+nope'))[1],
                   /^Không đổi được phím \(Phím tắt không đọc được: ctrl\+alt\+shift\+c \/ alt\+nope\)/);
      assert.match(fs.readFileSync(path.join(home, '.config/autostart/vn.tavrik.agent.desktop'), 'utf8'),
                   /^Exec=.* --copy ctrl\+alt\+shift\+c$/m);
      assert.deepEqual(said(spawnSync(process.env.TAVRIK_AGENT, ['--trigger', 'status'], { env, encoding: 'utf8' })),
                       [0, status]);
    } finally {
      tavrik('autostart', 'off');  // stops the agent of this session, and waits for it
      fs.rmSync(home, { recursive: true, force: true });
    }
  });

  // The last test here: it ends the display.
  test('a broken X connection is reported and ends the agent with status 1', async () => {
    const agent = await rig.startAgent();
    xvfb.proc.kill('SIGKILL');
    assert.equal((await agent.exited).code, 1);
    assert.match(agent.stderrText, /\ntavrik: mất kết nối với màn hình X \(lỗi \d+\)\n$/);
  });
});

describe('tavrik-agent without a working display', () => {
  const noDisplay = new Rig(null);
  afterEach(() => noDisplay.reset());
  after(() => noDisplay.close());
  test('a bad command line ends it with status 2 and one line, before anything else', () => {
    const timeout = (v) => [['--cli', 't.js', '--timeout', v],
                            `Thời hạn --timeout không đọc được: ${v} (cần một số giây nguyên dương)`];
    for (const [args, line] of [
      [[], 'Thiếu --cli <đường dẫn tavrik.js>'], [['--copy', 'x', '--cli'], 'Thiếu --cli <đường dẫn tavrik.js>'],
      [['--copy', 'ctrl+esc', '--paste', 'ctrl+alt', '--cli', 't.js'], 'Phím tắt không đọc được: ctrl+esc / ctrl+alt'],
      [['--copy', '', '--cli', 't.js', '--timeout', 'x'], 'Phím tắt không đọc được:  / ctrl+alt+b'],
      ...['0', '', '1.5', '+3', ' 7', '1000001', '99999999999999999999'].map(timeout),
      [['--cli', 't.js', '--clear-secrets', '-1'],
       'Thời hạn --clear-secrets không đọc được: -1 (cần một số giây nguyên, 0 là không bao giờ xoá)']]) {
      const r = spawnSync(process.env.TAVRIK_AGENT, args, { env: { ...process.env, DISPLAY: '' } });
      assert.deepEqual([r.status, r.stderr.toString()], [2, `${line}\n`]);
    }
  });

  test('no display: both registrations fail, and it keeps running until stopped', async () => {
    const agent = await noDisplay.startAgent();
    assert.equal(agent.stderrText, 'tavrik: không kết nối được màn hình X (DISPLAY=)\n' +
                                   'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-1\n' +
                                   'RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-1\n' +
                                   'tavrik: ctrl+alt+c = gửi đi (HỎNG), ctrl+alt+b = lấy về (HỎNG)\n');
    // Nothing holds these keys: one notification, not two false ones.
    assertFeedback(await noDisplay.feedbackOf(1), [notification('Tavrik chưa có phím tắt',
      'Ở đây không giữ được phím tắt nào, và lệnh --trigger cũng không dùng được.')]);
    await noDisplay.stop(agent);  // answered by its event loop
  });

  test('start-up secures descriptors 0-2 before it opens any of its own', async () => {
    // Started with standard error closed: it must become /dev/null, not
    // the agent's own wake-up descriptor.
    const agent = spawn('sh', ['-c', 'exec "$@" 2>&-', 'sh', noDisplay.agentPath, '--cli', COMPANION],
                        { env: noDisplay.env, stdio: 'ignore' });
    noDisplay.children.push(agent);
    agent.exited = new Promise((r) => agent.on('exit', (code, signal) => r({ code, signal })));
    await noDisplay.feedbackOf(1);
    assert.equal(fs.readlinkSync(`/proc/${agent.pid}/fd/2`), '/dev/null');
    await noDisplay.stop(agent);
  });
});

// An Xauthority entry for any host: display `number`, an MIT cookie.
function xauth(number, cookie) {
  const field = (b) => Buffer.concat([Buffer.from([b.length >> 8, b.length & 0xff]), b]);
  return Buffer.concat([Buffer.from([0xff, 0xff]), ...[Buffer.alloc(0), Buffer.from(number),
                        Buffer.from('MIT-MAGIC-COOKIE-1'), cookie].map(field)]);
}

test('a display that refuses the agent is told as such, and reached at the next press once it may', async () => {
  const cookie = crypto.randomBytes(16);
  const serverAuth = path.join(os.tmpdir(), `tavrik-auth-${process.pid}`);
  fs.writeFileSync(serverAuth, xauth('0', cookie));
  const xvfb = await startXvfb(['-auth', serverAuth]);
  const rig = new Rig(xvfb.display);
  try {
    rig.env.XAUTHORITY = path.join(rig.root, 'auth');
    fs.writeFileSync(rig.env.XAUTHORITY, xauth(xvfb.display.slice(1), cookie));
    // As a unit started before the session exported its XAUTHORITY.
    const env = { XAUTHORITY: path.join(rig.root, 'later'), XDG_RUNTIME_DIR: rig.root };
    await rig.startAgent([], env, { mayRefuse: true });
    await rig.feedbackOf(1);  // the advice to bind the triggers
    const trigger = (action) => spawnSync(rig.agentPath, ['--trigger', action], { env: { ...rig.env, ...env } });
    await rig.setClipboard('đã có chữ');
    trigger('push');
    assertFeedback((await rig.feedbackOf(3)).slice(1), stumbled(`Không với tới được clipboard: màn hình X ${xvfb.display} ` +
      `không nhận kết nối (chưa chạy, hoặc không cho vào: XAUTHORITY=${env.XAUTHORITY}).`));
    fs.copyFileSync(rig.env.XAUTHORITY, env.XAUTHORITY);
    trigger('push');
    rig.write('pull-output', 'về rồi');
    await rig.feedbackOf(5);
    trigger('pull');
    assertFeedback((await rig.feedbackOf(7)).slice(3), [...pushed, ...pulled]);
    assert.equal(rig.read('pushed').toString(), 'đã có chữ');
    assert.equal(rig.readClipboard().toString(), 'về rồi');
  } finally {
    await rig.close();
    xvfb.proc.kill();
    fs.rmSync(serverAuth);
  }
});

test('cmake --install lays the programs out, and the agent finds its notification program', async () => {
  const prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-prefix-'));
  execFileSync('cmake', ['--install', process.env.TAVRIK_BUILD_DIR, '--prefix', prefix], { stdio: 'ignore' });
  for (const f of ['bin/tavrik', 'share/tavrik/tavrik.js', 'libexec/tavrik/afplay',
                   'share/tavrik/packaging/vn.tavrik.agent.plist', 'share/applications/vn.tavrik.agent.desktop',
                   'lib/systemd/user/app-vn.tavrik.agent.service', 'share/tavrik/lib/settings.js']) {
    assert.ok(fs.existsSync(path.join(prefix, f)), f);
  }
  const env = { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent', DISPLAY: '',
                WAYLAND_DISPLAY: '', XDG_RUNTIME_DIR: prefix, XDG_STATE_HOME: prefix };
  const agent = spawn(path.join(prefix, 'bin/tavrik-agent'), ['--cli', path.join(prefix, 'bin/tavrik')], { env });
  let log = '';
  agent.stderr.on('data', (d) => { log += d; });
  const exited = new Promise((r) => agent.once('exit', r));
  try {  // with no notification server the installed osascript logs each one
    await waitFor('the logged notification', () => /^tavrik: \[.*\n/m.test(log));
  } finally {
    agent.kill();
    await exited;
  }
  fs.rmSync(prefix, { recursive: true, force: true });
  assert.match(log, new RegExp(`^tavrik: \\[Tavrik chưa có phím tắt\\] Gán hai lệnh này trong cài đặt phím tắt: ${prefix}/bin/tavrik-agent --trigger push \\(gửi đi\\), .* --trigger pull \\(lấy về\\)\\.$`, 'm'));
});
