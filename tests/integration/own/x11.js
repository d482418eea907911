'use strict';
// The scenarios only this desktop runs; `d` is its adapter.
const { describe, test, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Rig, launch, statusLine, waitFor, sleep, notification, peakMiB, SANITIZED, COMPANION, pushed, pulled,
        stumbled, nothingToFetch } = require('../../harness/rig.js');
const { alive, ended } = require('../../../scripts/lib/xsession.js');
const TOOL = path.join(__dirname, '../../../companion/tavrik.js');

module.exports = (d, { start, pulls }) => {
  test('with NumLock or CapsLock on, one run per press; a held key that repeats starts no run', async () => {
    const { rig } = d;
    await start();
    rig.write('pull-output', 'x');
    for (const lock of ['Num_Lock', 'Caps_Lock']) {
      rig.key(lock);
      try {
        rig.key('ctrl+alt+b');
        await rig.expect(...pulled);
      } finally {
        rig.key(lock);
      }
    }
    rig.key('keydown', 'ctrl+alt+b');
    await rig.expect(...pulled);
    await sleep(1500);  // held on after the run ended: the key autorepeats
    rig.key('keyup', 'ctrl+alt+b');
    rig.handled();
    rig.key('ctrl+alt+c');  // a repeat that started a run would swallow this push
    await rig.expect(...pushed);
    assert.deepEqual(rig.runs(), ['pull', 'pull', 'pull', 'push']);
  });

  test('hotkeys from the command line replace the defaults; one held by another client is reported', async () => {
    const { rig } = d;
    const first = await start(['--copy', 'cmd+shift+f12', '--paste', 'ctrl+alt+c']);
    assert.equal(first.err, statusLine('OK', 'OK', 'cmd+shift+f12', 'ctrl+alt+c'));
    // Had the first agent grabbed a default too, ctrl+alt+b would be refused here.
    const second = await start([], {}, { mayRefuse: true });
    assert.equal(second.err, 'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-9878\n' +
                                    statusLine('HỎNG', 'OK'));
    await rig.expect(notification('Phím này có người giữ mất rồi',
                                  'Ứng dụng khác đang giữ gửi đi (ctrl+alt+c). Đổi bằng: tavrik hotkeys set'));
    await rig.setClipboard('tùy chỉnh');
    rig.key('super+shift+F12');
    await rig.expect(...pushed);
    rig.key('ctrl+alt+c');
    await rig.expect(...nothingToFetch);
    rig.key('ctrl+alt+b');
    await rig.expect(...nothingToFetch);
    assert.deepEqual(rig.runs(), ['push', 'pull', 'pull']);
    assert.equal(rig.read('pushed').toString(), 'tùy chỉnh');
  });

  test('after a keyboard change the hotkeys follow their keys', async () => {
    const { rig } = d;
    await start();
    const swap = (c, x) => execFileSync('xmodmap', ['-e', `keycode 54 = ${c}`, '-e', `keycode 53 = ${x}`],
                                        { env: rig.env, timeout: 30000 });
    await pulls('x');
    swap('x X', 'c C');
    try {
      // The agent regrabs after the batch of events that told of the
      // change: two answered requests later, its grab is in place.
      rig.handled();
      rig.handled();
      rig.key('ctrl+alt+c');
      await rig.expect(...pushed);
    } finally {
      swap('c C', 'x X');
    }
  });

  test('sounds come from the desktop\'s sound theme, and none while its event sounds are off', async () => {
    const { rig } = d;
    await start();
    rig.write('pull-output', 'x');
    // No theme named: the default one.
    const tested = ['sound', 'tavriktest/complete'];
    for (const [theme, on, sounds, kde] of [['tavriktest', true, [tested]], ['tavriktest', false, []],
                                            ['', true, [pulled[0]]], ['tavriktest', true, [tested], 'kde'],
                                            ['tavriktest', false, [], 'kde']]) {
      rig.soundSettings(theme, on, kde);
      rig.key('ctrl+alt+b');
      await rig.expect(...sounds, pulled[1]);
    }
  });

  test('a companion past its deadline, or leaving a process behind, is ended with all it started', async () => {
    const { rig } = d;
    const leftoverEnds = () => waitFor('the leftover to end', () => !alive(Number(rig.read('linger-pid'))));
    let agent = await start(['--timeout', '1']);
    rig.write('linger', '');
    rig.write('hang', '');
    rig.key('ctrl+alt+b');
    await rig.expect(...stumbled('tavrik không trả lời trong 1 giây.'));
    await leftoverEnds();
    rig.remove('hang');
    // The rest with the default deadline: one second is no bound for a
    // companion that works, on a loaded machine.
    await rig.stop(agent);
    agent = await start();
    await rig.setClipboard('vẫn gửi được');
    rig.key('ctrl+alt+c');
    await rig.expect(...pushed);
    await leftoverEnds();
    // Only the end of a flood on standard error is kept, and its last line shown.
    rig.remove('linger');
    rig.write('flood-err', '100');
    rig.write('fail', 'tràn lỗi');
    rig.key('ctrl+alt+b');
    await rig.expect(...stumbled('tràn lỗi'));
    if (!SANITIZED) assert.ok(peakMiB(agent.pid) < 32, `peak ${peakMiB(agent.pid)} MiB`);
  });

  test('stopped by a signal, it hands its text, never a secret, to the clipboard manager and exits 0', async () => {
    const { rig } = d;
    const manager = await rig.peer('manager');
    for (const [text, meta] of [['bí mật', 'secret\n'], ['giữ lại nhé', '']]) {
      const agent = await start();
      await pulls(text, meta);
      await rig.stop(agent);
    }
    // Its line may reach us after the agent's exit: waited for, and all before it.
    await waitFor('the manager to save the text', () => manager.out.endsWith('saved giữ lại nhé\n'));
    assert.equal(manager.out, 'ready\nsaved giữ lại nhé\n');
    assert.equal(rig.readClipboard().toString(), 'giữ lại nhé');  // served by the manager now
    // A manager that never answers costs three seconds at most.
    const agent = await start();
    await pulls('lần nữa');
    process.kill(manager.pid, 'SIGSTOP');
    await rig.stop(agent, 'SIGINT');
    process.kill(manager.pid, 'SIGCONT');
    await rig.stop(await start(), 'SIGHUP');  // owns nothing: nothing to hand over
  });

  test('the agent serves TARGETS, STRING, TIMESTAMP and MULTIPLE, and refuses stale requests', async () => {
    const { rig } = d;
    await start();
    await pulls('café');
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
                  XDG_RUNTIME_DIR: home, DISPLAY: d.xvfb.display, XAUTHORITY: d.rig.env.XAUTHORITY,
                  DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
    const tavrik = (...args) => spawnSync(process.execPath, [TOOL, ...args], { env, encoding: 'utf8', timeout: 60000 });
    const said = (r) => [r.status, r.stdout || r.stderr];
    const status = statusLine('OK', 'OK', 'ctrl+alt+shift+c');
    try {
      assert.equal(tavrik('setup', path.join(home, 'kho')).status, 0);
      assert.deepEqual(said(tavrik('hotkeys', 'set', '--copy', 'ctrl+alt+shift+c')), [0, status]);
      await start(['--copy', 'ctrl+alt+x', '--paste', 'ctrl+alt+y']);  // another client holds ctrl+alt+x
      assert.deepEqual(said(tavrik('hotkeys', 'set', '--copy', 'ctrl+alt+x')), [1, 'Không đổi được phím (tavrik: ' +
        'ctrl+alt+x = gửi đi (HỎNG), ctrl+alt+b = lấy về (OK)); đã trả lại ctrl+alt+shift+c và ctrl+alt+b.\n']);
      assert.match(said(tavrik('hotkeys', 'set', '--paste', 'alt+nope'))[1], /^Phím tắt không đọc được: "alt\+nope"/);
      assert.match(fs.readFileSync(path.join(home, '.config/autostart/vn.tavrik.agent.desktop'), 'utf8'),
                   /^Exec=.* --copy ctrl\+alt\+shift\+c$/m);
      assert.deepEqual(said(spawnSync(process.env.TAVRIK_AGENT, ['--trigger', 'status'], { env, encoding: 'utf8', timeout: 30000 })),
                       [0, status]);
    } finally {
      tavrik('autostart', 'off');  // stops the agent of this session, and waits for it
      fs.rmSync(home, { recursive: true, force: true });
    }
  });

  // The last test here: it ends the display.
  test('a broken X connection is reported and ends the agent with status 1', async () => {
    const agent = await start();
    d.xvfb.proc.kill('SIGKILL');
    assert.equal((await ended(agent, 'the agent')).code, 1);
    assert.match(agent.err, /\ntavrik: mất kết nối với màn hình X \(lỗi \d+\)\n$/);
  });

  describe('without a working display', () => {
    const rig = new Rig(null);
    afterEach(() => rig.reset());
    after(() => rig.close());
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
        assert.deepEqual(rig.run(args), [2, '', `${line}\n`]);
      }
    });

    test('no display: both registrations fail, it gives the advice once, and keeps running until stopped', async () => {
      const agent = await rig.startAgent();
      assert.equal(agent.err, 'tavrik: không kết nối được màn hình X (DISPLAY=)\n' +
                                     'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-1\n' +
                                     'RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-1\n' +
                                     statusLine('HỎNG', 'HỎNG'));
      // Nothing holds these keys: one notification, not two false ones.
      await rig.expect(notification('Tavrik chưa có phím tắt',
        'Ở đây không giữ được phím tắt nào, và lệnh --trigger cũng không dùng được.'));
      await rig.stop(agent);  // answered by its event loop
      // No session bus at all: the notice goes to standard error, whole.
      const alone = await rig.startAgent([], {}, { bus: false, ready: /^tavrik: \[.*\n/m });
      assert.match(alone.err, /^tavrik: \[Tavrik chưa có phím tắt\] Ở đây không giữ được phím tắt nào, và lệnh --trigger cũng không dùng được\.\n/m);
      await rig.stop(alone);
    });

    test('start-up secures descriptors 0-2 before it opens any of its own', async () => {
      // Started with standard error closed: it must become /dev/null, not
      // the agent's own wake-up descriptor.
      const agent = await launch('sh', ['-c', 'exec "$@" 2>&-', 'sh', rig.agentPath, '--cli', COMPANION],
                                 { env: await rig.agentEnv({}, true), stdio: 'ignore' }, { children: rig.children });
      await rig.feedbackOf(1);
      assert.equal(fs.readlinkSync(`/proc/${agent.pid}/fd/2`), '/dev/null');
      await rig.stop(agent);
    });
  });
};
