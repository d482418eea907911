'use strict';
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { Rig, startXvfb, waitFor, sleep, notification, sound, peakMiB, SANITIZED, COMPANION } =
  require('./rig.js');

const sorted = (records) => records.map((r) => r.join('\x1f')).sort();
const assertFeedback = (got, expected) => assert.deepEqual(sorted(got), sorted(expected));

const pushed = [sound(true), notification('Tavrik đã tung Sóng Âm',
                                          'Đã gửi lên kho. Máy kia bấm Ctrl+Alt+B để lấy.')];
const pulled = [sound(true), notification('Mục tiêu đã bị khoá', 'Truy sát ngay nào! Cmd+V để dán.')];
const nothingToSend = [sound(false), notification('Chưa có gì để tung',
  'Clipboard rỗng (hoặc không phải chữ) — copy một đoạn rồi bấm lại.')];
const nothingToFetch = [sound(false), notification('Chưa thấy mục tiêu nào', 'Máy kia chưa gửi gì sang.')];
const stumbled = (body) => [sound(false), notification('Tavrik trượt chân', body)];

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

  test('push sends the clipboard text byte for byte with the exact argument vector', async () => {
    await rig.startAgent();
    const texts = [['Xin chào, thế giới! Tiếng Việt có dấu.', 'UTF8_STRING'],
                   ['dòng cuối có xuống dòng\n', 'text/plain;charset=utf-8'], ['   ', 'UTF8_STRING']];
    for (const [i, [text, target]] of texts.entries()) {
      await rig.setClipboard(text, target);
      rig.remove('pushed');
      rig.key('ctrl+alt+c');
      await waitFor('the push', () => rig.read('pushed'));
      assert.equal(rig.read('pushed').toString(), text);
      await rig.feedbackOf(2 * (i + 1));
    }
    assert.equal(rig.read('argv-push').toString(),
                 [rig.nodeRecorder, COMPANION, 'clip', 'push', '--stdin', ''].join('\x1f'));
    assertFeedback(rig.feedback(), [...pushed, ...pushed, ...pushed]);
    assert.equal(rig.agent.stdoutText, '');
  });

  test('an image-only or empty clipboard starts no tool', async () => {
    await rig.startAgent();
    rig.key('ctrl+alt+c');  // nobody owns the clipboard
    await rig.feedbackOf(2);
    await rig.setClipboard(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0, 1, 2]), 'image/png');
    rig.key('ctrl+alt+c');
    await rig.feedbackOf(4);
    await rig.setClipboard('');
    rig.key('ctrl+alt+c');
    assertFeedback(await rig.feedbackOf(6), [...nothingToSend, ...nothingToSend, ...nothingToSend]);
    assert.deepEqual(rig.runs(), []);
  });

  test('pull puts the output on the clipboard exactly; empty output leaves it', async () => {
    await rig.startAgent();
    rig.write('pull-output', 'hello\n');
    rig.key('ctrl+alt+b');
    await rig.feedbackOf(2);
    assert.equal(rig.readClipboard().toString(), 'hello\n');
    assert.equal(rig.read('argv-pull').toString(),
                 [rig.nodeRecorder, COMPANION, 'clip', 'pull', '--print', ''].join('\x1f'));

    await rig.setClipboard('giữ nguyên');
    rig.write('pull-output', '');
    rig.key('ctrl+alt+b');
    assertFeedback(await rig.feedbackOf(4), [...pulled, ...nothingToFetch]);
    assert.equal(rig.readClipboard().toString(), 'giữ nguyên');
  });

  test('a failing tool shows its last error line', async () => {
    await rig.startAgent();
    rig.write('fail', 'không có mạng');
    rig.key('ctrl+alt+b');
    assertFeedback(await rig.feedbackOf(2),
                   [sound(false), notification('Tavrik trượt chân', 'không có mạng')]);
  });

  test('4 MiB of text goes both ways unchanged', async () => {
    await rig.startAgent();
    const line = 'Sóng Âm 0123456789 abcdefghijklmnopqrstuvwxyz ĐÂY LÀ TAVRIK\n';
    const big = line.repeat(Math.ceil((4 << 20) / Buffer.byteLength(line)));
    await rig.setClipboard(big);
    rig.key('ctrl+alt+c');
    await rig.feedbackOf(2);
    assert.ok(rig.read('pushed').equals(Buffer.from(big)));

    const other = big.split('').reverse().join('');
    rig.write('pull-output', other);
    rig.key('ctrl+alt+b');
    assertFeedback(await rig.feedbackOf(4), [...pushed, ...pulled]);
    assert.ok(rig.readClipboard().equals(Buffer.from(other)));
  });

  test('a press during a run starts no second run', async () => {
    await rig.startAgent();
    rig.write('pull-output', 'x');
    rig.key('ctrl+alt+b');
    await rig.feedbackOf(2);
    rig.write('hold', '');
    rig.key('ctrl+alt+b');
    await waitFor('the run', () => rig.runs().length === 2);
    rig.key('ctrl+alt+b');
    rig.key('ctrl+alt+c');
    rig.handled();
    rig.remove('hold');
    await rig.feedbackOf(4);
    assert.deepEqual(rig.runs(), ['pull', 'pull']);
    rig.key('ctrl+alt+c');  // accepted again
    assertFeedback(await rig.feedbackOf(6), [...pulled, ...pulled, ...pushed]);
    assert.deepEqual(rig.runs(), ['pull', 'pull', 'push']);
    assert.equal(rig.read('pushed').toString(), 'x');
  });

  test('hotkeys fire with NumLock or CapsLock on, once per press when held', async () => {
    await rig.startAgent();
    for (const lock of ['Num_Lock', 'Caps_Lock']) {
      rig.key(lock);
      try {
        rig.key('ctrl+alt+b');
        await waitFor(`a run with ${lock}`, () => rig.runs().length === 1);
      } finally {
        rig.key(lock);
      }
      await rig.feedbackOf(2);
      await rig.reset();
      await rig.startAgent();
    }
    rig.write('pull-output', 'x');
    rig.key('keydown', 'ctrl+alt+b');
    await rig.feedbackOf(2);
    await sleep(1500);  // held on after the run ended: the key autorepeats
    rig.key('keyup', 'ctrl+alt+b');
    rig.handled();
    // A repeat that started a run would now swallow this push.
    rig.key('ctrl+alt+c');
    assertFeedback(await rig.feedbackOf(4), [...pulled, ...pushed]);
    assert.deepEqual(rig.runs(), ['pull', 'push']);
  });

  test('a combination held by another client is reported; the other hotkey works', async () => {
    await rig.peer('grab', '0x63' /* c */);
    const agent = await rig.startAgent([], {}, { mayRefuse: true });
    assert.equal(agent.stderrText,
                 'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-9878\n' +
                 'tavrik: ctrl+alt+c = gửi đi (HỎNG), ctrl+alt+b = lấy về (OK)\n');
    assert.deepEqual(await rig.feedbackOf(1), [notification('Phím này có người giữ mất rồi',
      'Ứng dụng khác đang giữ gửi đi (ctrl+alt+c). Đổi bằng: tavrik hotkeys set')]);
    rig.key('ctrl+alt+b');
    assertFeedback(await rig.feedbackOf(3), [
      notification('Phím này có người giữ mất rồi',
                   'Ứng dụng khác đang giữ gửi đi (ctrl+alt+c). Đổi bằng: tavrik hotkeys set'),
      ...nothingToFetch]);
    assert.deepEqual(rig.runs(), ['pull']);
  });

  test('hotkeys given on the command line fire, and the defaults do not', async () => {
    const agent = await rig.startAgent(['--copy', 'cmd+shift+f12', '--paste', 'alt+space']);
    assert.equal(agent.stderrText,
                 'tavrik: cmd+shift+f12 = gửi đi (OK), alt+space = lấy về (OK)\n');
    await rig.setClipboard('tùy chỉnh');
    // While the companion holds, the first press that starts a run is the
    // only one that can: a default key pressed first must not be it.
    rig.write('hold', '');
    rig.key('ctrl+alt+b');
    rig.key('super+shift+F12');
    await waitFor('a run', () => rig.runs().length === 1);
    assert.deepEqual(rig.runs(), ['push']);
    rig.remove('hold');
    await rig.feedbackOf(2);
    assert.equal(rig.read('pushed').toString(), 'tùy chỉnh');

    rig.write('hold', '');
    rig.key('ctrl+alt+c');
    rig.key('alt+space');
    await waitFor('a second run', () => rig.runs().length === 2);
    assert.deepEqual(rig.runs(), ['push', 'pull']);
    rig.remove('hold');
    assertFeedback(await rig.feedbackOf(4), [...pushed, ...nothingToFetch]);
  });

  test('an owner that stops answering is told; the press after it is served', async () => {
    await rig.startAgent();
    const xclip = await rig.setClipboard('đứng hình');
    process.kill(xclip.pid, 'SIGSTOP');
    rig.write('pull-output', 'vẫn chạy');
    rig.key('ctrl+alt+c');
    rig.key('ctrl+alt+b');  // arrives while the agent waits for the owner
    assertFeedback(await rig.feedbackOf(4),
                   [...stumbled('Ứng dụng đang giữ clipboard không trả lời.'), ...pulled]);
    assert.equal(rig.readClipboard().toString(), 'vẫn chạy');
  });

  for (const [mode, reason, bound] of [
    ['trickle', 'Ứng dụng đang giữ clipboard gửi quá chậm (quá 10 giây).', 64],
    ['flood', 'Chữ trong clipboard quá lớn (hơn 256 MiB).', 320],
  ]) {
    test(`an owner whose INCR transfer never ends (${mode}) is told; memory stays bounded`, async () => {
      const agent = await rig.startAgent();
      await rig.peer(mode);
      rig.write('pull-output', 'sau đó');
      rig.key('ctrl+alt+c');
      rig.key('ctrl+alt+b');
      assertFeedback(await rig.feedbackOf(4), [...stumbled(reason), ...pulled]);
      assert.equal(rig.readClipboard().toString(), 'sau đó');
      if (!SANITIZED) assert.ok(peakMiB(agent.pid) < bound, `peak ${peakMiB(agent.pid)} MiB`);
    });
  }

  test('a companion past its deadline, or leaving a process behind, is ended', async () => {
    let agent = await rig.startAgent(['--timeout', '1']);
    rig.write('hang', '');
    rig.key('ctrl+alt+b');
    assertFeedback(await rig.feedbackOf(2), stumbled('tavrik không trả lời trong 1 giây.'));
    rig.remove('hang');
    // The rest with the default deadline: one second is no bound for a
    // companion that works, on a loaded machine.
    agent.kill('SIGTERM');
    await agent.exited;
    agent = await rig.startAgent();
    rig.write('linger', '');
    await rig.setClipboard('vẫn gửi được');
    rig.key('ctrl+alt+c');
    assertFeedback(await rig.feedbackOf(4), [...stumbled('tavrik không trả lời trong 1 giây.'), ...pushed]);
    assert.equal(rig.read('pushed').toString(), 'vẫn gửi được');
    const leftover = Number(rig.read('linger-pid'));
    await waitFor('the leftover to end', () => {
      try { return /^\d+ \(.*\) Z/.test(fs.readFileSync(`/proc/${leftover}/stat`, 'utf8')); } catch { return true; }
    });

    // Only the end of a flood on standard error is kept, and its last line shown.
    rig.remove('linger');
    rig.write('flood-err', '100');
    rig.write('fail', 'tràn lỗi');
    rig.key('ctrl+alt+b');
    await rig.feedbackOf(6);
    assertFeedback(rig.feedback().slice(4), stumbled('tràn lỗi'));
    if (!SANITIZED) assert.ok(peakMiB(agent.pid) < 32, `peak ${peakMiB(agent.pid)} MiB`);
  });

  test('stopped by a signal, it hands its text to the clipboard manager and exits 0', async () => {
    let agent = await rig.startAgent();
    rig.write('pull-output', 'giữ lại nhé');
    rig.key('ctrl+alt+b');
    await rig.feedbackOf(2);
    const manager = await rig.peer('manager');
    agent.kill('SIGTERM');
    assert.deepEqual(await agent.exited, { code: 0, signal: null });
    assert.equal(manager.output, 'ready\nsaved giữ lại nhé\n');
    assert.equal(rig.readClipboard().toString(), 'giữ lại nhé');  // served by the manager now

    // A manager that never answers costs three seconds at most.
    agent = await rig.startAgent();
    rig.key('ctrl+alt+b');
    await rig.feedbackOf(4);
    process.kill(manager.pid, 'SIGSTOP');
    agent.kill('SIGINT');
    assert.deepEqual(await agent.exited, { code: 0, signal: null });
    process.kill(manager.pid, 'SIGCONT');

    agent = await rig.startAgent();  // owns nothing: nothing to hand over
    agent.kill('SIGHUP');
    assert.deepEqual(await agent.exited, { code: 0, signal: null });
  });

  test('the agent serves TARGETS, STRING and TIMESTAMP for what it pulled', async () => {
    await rig.startAgent();
    rig.write('pull-output', 'café');
    rig.key('ctrl+alt+b');
    await rig.feedbackOf(2);
    const targets = rig.readClipboard('TARGETS').toString().split('\n').filter(Boolean).sort();
    assert.deepEqual(targets, ['MULTIPLE', 'STRING', 'TARGETS', 'TEXT', 'TIMESTAMP', 'UTF8_STRING',
                               'text/plain;charset=utf-8']);
    assert.ok(rig.readClipboard('STRING').equals(Buffer.from('caf\xe9', 'latin1')));
    assert.equal(rig.readClipboard('text/plain;charset=utf-8').toString(), 'café');
    assert.match(rig.readClipboard('TIMESTAMP').toString(), /^\d+/);
    assert.throws(() => rig.readClipboard('image/png'));  // refused
  });
});

describe('tavrik-agent without a working display', () => {
  test('no display: both registrations fail, and it keeps running until stopped', async () => {
    const rig = new Rig(null);
    try {
      const agent = await rig.startAgent();
      assert.equal(agent.stderrText,
                   'tavrik: không kết nối được màn hình X (DISPLAY=)\n' +
                   'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-1\n' +
                   'RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-1\n' +
                   'tavrik: ctrl+alt+c = gửi đi (HỎNG), ctrl+alt+b = lấy về (HỎNG)\n');
      assert.equal((await rig.feedbackOf(2)).length, 2);
      agent.kill('SIGTERM');  // answered by its event loop
      assert.deepEqual(await agent.exited, { code: 0, signal: null });
    } finally {
      await rig.close();
    }
  });

  test('start-up secures descriptors 0-2 before it opens any of its own', async () => {
    const rig = new Rig(null);
    try {
      // Started with standard error closed: it must become /dev/null, not
      // the agent's own wake-up descriptor.
      const agent = spawn('sh', ['-c', 'exec "$@" 2>&-', 'sh', rig.agentPath, '--cli', COMPANION],
                          { env: rig.env, stdio: ['ignore', 'ignore', 'ignore'] });
      rig.children.push(agent);
      const exited = new Promise((r) => agent.on('exit', (code, signal) => r({ code, signal })));
      await rig.feedbackOf(2);
      assert.equal(fs.readlinkSync(`/proc/${agent.pid}/fd/2`), '/dev/null');
      agent.kill('SIGTERM');
      assert.deepEqual(await exited, { code: 0, signal: null });
    } finally {
      await rig.close();
    }
  });

  test('a broken X connection is reported and ends the agent with status 1', async () => {
    const xvfb = await startXvfb();
    const rig = new Rig(xvfb.display);
    try {
      const agent = await rig.startAgent();
      xvfb.proc.kill('SIGKILL');
      const { code } = await agent.exited;
      assert.equal(code, 1);
      assert.match(agent.stderrText, /\ntavrik: mất kết nối với màn hình X \(lỗi \d+\)\n$/);
    } finally {
      await rig.close();
      xvfb.proc.kill();
    }
  });
});

describe('the programs as installed', () => {
  test('cmake --install lays them out, and the agent finds its notification program', async () => {
    const { execFileSync } = require('node:child_process');
    const os = require('node:os');
    const path = require('node:path');
    const prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-prefix-'));
    try {
      execFileSync('cmake', ['--install', process.env.TAVRIK_BUILD_DIR, '--prefix', prefix],
                   { stdio: 'ignore' });
      for (const f of ['bin/tavrik-agent', 'bin/tavrik', 'libexec/tavrik/osascript',
                       'libexec/tavrik/afplay', 'share/tavrik/tavrik.js',
                       'share/tavrik/packaging/tavrik-agent.desktop',
                       'share/tavrik/packaging/tavrik-agent.service',
                       'share/tavrik/packaging/vn.tavrik.agent.plist']) {
        assert.ok(fs.existsSync(path.join(prefix, f)), f);
      }
      const env = { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
      delete env.DISPLAY;
      delete env.WAYLAND_DISPLAY;
      const agent = spawn(path.join(prefix, 'bin/tavrik-agent'),
                          ['--cli', path.join(prefix, 'bin/tavrik')], { env });
      let log = '';
      agent.stderr.on('data', (d) => { log += d; });
      const exited = new Promise((r) => agent.once('exit', r));
      try {
        // Without a display both hotkeys are refused; with no notification
        // server the installed osascript logs each notification instead.
        await waitFor('the logged notifications', () => (log.match(/tavrik: \[/g) || []).length === 2);
        assert.match(log, /^tavrik: \[Phím này có người giữ mất rồi\] Ứng dụng khác đang giữ gửi đi \(ctrl\+alt\+c\)\. Đổi bằng: tavrik hotkeys set$/m);
      } finally {
        agent.kill();
        await exited;
      }
    } finally {
      fs.rmSync(prefix, { recursive: true, force: true });
    }
  });

  test('a notification really reaches a notification server', async (t) => {
    const { execFileSync } = require('node:child_process');
    const hasAll = ['dbus-run-session', 'dunst', 'dunstctl'].every((p) => {
      try { execFileSync('sh', ['-c', `command -v ${p}`], { stdio: 'ignore' }); return true; } catch { return false; }
    });
    if (!hasAll) return t.skip('dbus-run-session or dunst is not installed');
    const xvfb = await startXvfb();
    try {
      const osascript = `${process.env.TAVRIK_BUILD_DIR}/libexec/tavrik/osascript`;
      // Inside a private session bus: dunst, then our notification, then
      // what dunst received.
      // notify-send returns once dunst has the notification; then it is
      // closed into the history.
      const script = `dunst >/dev/null 2>&1 & d=$!
        for i in $(seq 600); do dunstctl count displayed >/dev/null 2>&1 && break; sleep 0.05; done
        "$0" -e "$1"; s=$?
        for i in $(seq 600); do
          dunstctl close-all; [ "$(dunstctl count history)" -ge 1 ] && break; sleep 0.05
        done
        dunstctl history; kill $d; wait $d; exit $s`;
      const out = execFileSync('dbus-run-session', ['--', 'sh', '-c', script, osascript,
        'display notification "Máy kia <b> & \\"x\\"" with title "Tavrik đã tung Sóng Âm"'],
        { env: { ...process.env, DISPLAY: xvfb.display }, stdio: ['ignore', 'pipe', 'ignore'],
          timeout: 60000 }).toString();
      const history = JSON.parse(out).data[0];
      assert.equal(history.length, 1);
      assert.equal(history[0].summary.data, 'Tavrik đã tung Sóng Âm');
      assert.equal(history[0].body.data, 'Máy kia &lt;b&gt; &amp; "x"');
      assert.equal(history[0].appname.data, 'tavrik');
    } finally {
      xvfb.proc.kill();
    }
  });
});
