'use strict';
// The agent on a Wayland desktop: a headless sway with no window focused,
// the real wl-copy, wl-paste and wtype, the trigger command bound in sway,
// and the real xdg-desktop-portal frontend with a GlobalShortcuts backend
// written for the tests; and a compositor stand-in.
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { Rig, STATUS_LINE, COMPANION, waitFor, sleep, pushed, pulled, assertFeedback, notification, sound } = require('./rig.js');
const { startSway, hasSway, startBus, startPortal, userUnit, wlCopy, wlPaste } = require('./compositors.js');

const advice = (agent) => notification('Tavrik chưa có phím tắt',
  `Gán hai lệnh này trong cài đặt phím tắt: ${agent} --trigger push (gửi đi), ${agent} --trigger pull (lấy về).`);
describe('tavrik-agent under Wayland (sway)', { skip: !hasSway() && 'needs root, sway, wl-clipboard, wtype' }, () => {
  let sway;
  let rig;
  before(async () => {
    rig = new Rig(null);
    sway = await startSway([
      `bindsym Ctrl+Alt+c exec ${rig.agentPath} --trigger push`,
      `bindsym Ctrl+Alt+b exec ${rig.agentPath} --trigger pull`,
    ]);
    Object.assign(rig.env, { XDG_RUNTIME_DIR: sway.runtime, WAYLAND_DISPLAY: 'wayland-1' });
    rig.runAs(sway.user);
  });
  afterEach(() => rig.reset());
  after(async () => {
    await rig.close();
    await sway.stop();
  });

  test('compositor bindings run --trigger: the clipboard goes out and comes in byte for byte', async () => {
    const press = (key) => execFileSync('wtype', ['-M', 'ctrl', '-M', 'alt', key, '-m', 'alt', '-m', 'ctrl'],
                                        { env: sway.env });
    const agent = await rig.startAgent();
    assert.equal(agent.stderrText.split('\n')[0],
                 'tavrik: Wayland — phím tắt: lệnh tavrik-agent --trigger; ' +
                 'clipboard: data-control (zwlr-data-control-unstable-v1)');
    assert.match(agent.stderrText, /= gửi đi \(HỎNG\), .* = lấy về \(HỎNG\)\n/);
    // Written after the status line, when the loop starts.
    await waitFor('the advice line', () => /--trigger push \(gửi đi\) và .*--trigger pull \(lấy về\)\n/.test(agent.stderrText));
    // Nothing holds the keys: one notification naming the commands, no false "held".
    assertFeedback(await rig.feedbackOf(1), [advice(rig.agentPath)]);

    const line = 'Sóng Âm 0123456789 ĐÂY LÀ TAVRIK\n';
    const big = line.repeat(Math.ceil((3 << 20) / Buffer.byteLength(line)));
    for (const [i, text] of ['Xin chào Wayland — có dấu\n', big].entries()) {
      await wlCopy(rig, sway.env, text);
      press('c');
      await rig.feedbackOf(3 + 4 * i);
      assert.ok(rig.read('pushed').equals(Buffer.from(text)));

      const other = text.split('').reverse().join('');
      rig.write('pull-output', other);
      press('b');
      await rig.feedbackOf(5 + 4 * i);
      assert.ok(wlPaste(sway.env).equals(Buffer.from(other)));
    }
    assertFeedback(rig.feedback().slice(1), [...pushed, ...pulled, ...pushed, ...pulled]);

    await rig.stop(agent);
    assert.ok(!fs.existsSync(path.join(sway.runtime, 'tavrik-agent.sock')), 'the socket goes too');
    // The bindings have been seen to work: no advice at the next start.
    await rig.startAgent();
    await wlCopy(rig, sway.env, 'lần nữa');
    press('c');
    assertFeedback((await rig.feedbackOf(11)).slice(9), pushed);
  });

  test('--trigger without an agent exits 1; another user is refused', async () => {
    const none = spawnSync(rig.agentPath, ['--trigger', 'push'], { env: { ...rig.env, XDG_RUNTIME_DIR: rig.root } });
    assert.equal(none.status, 1);
    assert.equal(none.stderr.toString(),
                 `tavrik: không thấy tavrik-agent nào đang chạy (${rig.root}/tavrik-agent.sock)\n`);


    await rig.startAgent();
    // We are root here, not the agent's user: the agent answers no.
    const socket = path.join(sway.runtime, 'tavrik-agent.sock');
    const answer = await new Promise((resolve, reject) => {
      let got = '';
      const c = net.connect(socket);  // refused before it could ask for anything
      c.on('data', (d) => { got += d; });
      c.on('end', () => resolve(got));
      c.on('error', reject);
    });
    assert.equal(answer, 'refused\n');
    // And our client will not talk to another user's agent.
    const mine = spawnSync(rig.agentPath, ['--trigger', 'pull'], { env: rig.env });
    assert.equal(mine.status, 1);
    assert.equal(mine.stderr.toString(), `tavrik: ${socket} thuộc người dùng khác\n`);
    await waitFor('the refusal on standard error', () => rig.agent.stderrText.includes(
      'tavrik: từ chối lệnh --trigger của người dùng khác\n'));
    assert.deepEqual(rig.runs(), []);
  });

  describe('with the GlobalShortcuts portal', () => {
    let bus;
    let portalRig;
    before(async () => {
      bus = await startBus();
      portalRig = new Rig(null);
      // The agent runs as root here, on root's private bus, and reaches
      // sway's socket by its path.
      Object.assign(portalRig.env, { DBUS_SESSION_BUS_ADDRESS: bus.address,
                                     XDG_RUNTIME_DIR: portalRig.root, WAYLAND_DISPLAY: sway.socket });
    });
    after(async () => {
      await portalRig.close();
      bus.proc.kill();
    });

    const portal = async (...modes) => {
      const { backend, frontend } =
        await startPortal(portalRig.env, process.env.TAVRIK_PORTAL_BACKEND, portalRig.root, ...modes);
      portalRig.children.push(backend, frontend);
      return backend;
    };
    afterEach(() => portalRig.reset());
    const statusLine = (push, pull, copy = 'ctrl+alt+c') =>
      `tavrik: ${copy} = gửi đi (${push}), ctrl+alt+b = lấy về (${pull})\n`;

    test('both shortcuts are bound in one request with the converted triggers; Activated pushes and pulls; ' +
         'a second start binds nothing anew', async () => {
      const backend = await portal();
      const args = ['--copy', 'cmd+shift+f12'];
      let agent = await portalRig.startAgent(args);
      assert.equal(agent.stderrText,
                   'tavrik: Wayland — phím tắt: cổng GlobalShortcuts; ' +
                   'clipboard: data-control (zwlr-data-control-unstable-v1)\n' + statusLine('OK', 'OK', args[1]));
      // Asked what is bound, then one request (one dialog), each id with its
      // description and converted trigger.
      assert.match(backend.output, /^ready\nsession \nlist\nbind push description [^+]* preferred_trigger SHIFT\+LOGO\+F12 pull description .* preferred_trigger CTRL\+ALT\+b  handle_token \S+\n$/);
      await wlCopy(portalRig, sway.env, 'qua cổng portal');
      backend.stdin.write('push\n');
      await portalRig.feedbackOf(2);
      assert.equal(portalRig.read('pushed').toString(), 'qua cổng portal');
      portalRig.write('pull-output', 'về qua portal');
      backend.stdin.write('pull\n');
      assertFeedback(await portalRig.feedbackOf(4), [...pushed, ...pulled]);
      assert.equal(wlPaste(sway.env).toString(), 'về qua portal');

      // Already bound as asked: no second dialog (or Settings window) at the next login...
      await portalRig.stop(agent);
      const before = backend.output.length;
      agent = await portalRig.startAgent(args);
      assert.ok(agent.stderrText.endsWith(statusLine('OK', 'OK', args[1])));
      assert.equal(backend.output.slice(before), 'session \nlist\n');
      // ...but other triggers are asked for.
      await portalRig.stop(agent);
      await portalRig.startAgent();
      assert.match(backend.output.slice(before), /^session \nlist\nsession \nlist\nbind push .*CTRL\+ALT\+c/);
    });

    test('KDE before 6.1: what CreateSession declared is bound; an answer that binds nothing is HỎNG', async () => {
      await portal('session');
      let agent = await portalRig.startAgent();
      assert.ok(agent.stderrText.endsWith(statusLine('OK', 'OK')));

      await portalRig.reset();
      await portal('empty');
      agent = await portalRig.startAgent();
      assert.ok(agent.stderrText.includes('RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-9880\n' +
                                          'RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-9880\n' + statusLine('HỎNG', 'HỎNG')));
      assertFeedback(await portalRig.feedbackOf(1), [advice(portalRig.agentPath)]);
    });

    test('GNOME 48: refused without an application id is told as such, with the trigger advice; ' +
         'as vn.tavrik.agent, listed under code 2 is bound', async (t) => {
      fs.rmSync(path.join(portalRig.root, 'tavrik'), { recursive: true, force: true });
      const backend = await portal('gnome');
      let agent = await portalRig.startAgent();
      await waitFor('the advice line', () => agent.stderrText.endsWith('(lấy về)\n'));
      assert.equal(agent.stderrText.split('\n').slice(1).join('\n'),
                   'tavrik: cổng GlobalShortcuts chưa gán phím tắt: trả lời mã 2; tavrik-agent không có mã ứng dụng ' +
                   '(hãy chạy nó từ vn.tavrik.agent.desktop hoặc app-vn.tavrik.agent.service)\n' +
                   'RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-9881\nRegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-9881\n' +
                   statusLine('HỎNG', 'HỎNG') + 'tavrik: chưa có phím tắt nào; hãy gán trong cài đặt bàn phím: ' +
                   `${portalRig.agentPath} --trigger push (gửi đi) và ${portalRig.agentPath} --trigger pull (lấy về)\n`);
      assertFeedback(await portalRig.feedbackOf(1), [advice(portalRig.agentPath)]);

      // Started by the session manager from vn.tavrik.agent.desktop.
      const unit = userUnit(`app-gnome-vn.tavrik.agent-${process.pid}.scope`);
      if (!unit) return t.skip('no cgroup2 hierarchy to write here');
      try {
        await portalRig.stop(agent);
        agent = await portalRig.startAgent([], {}, { through: unit.through });
        assert.ok(agent.stderrText.endsWith(statusLine('OK', 'OK')));
        assert.match(backend.output, /\nsession vn\.tavrik\.agent\nlist\nbind push /);
        await portalRig.stop(agent);
      } finally {
        await unit.remove();
      }
    });

    test('while the desktop\'s dialog waits, a trigger is served at once; the status comes with the answer', async () => {
      const backend = await portal('late');
      const agent = await portalRig.startAgent([], {}, { ready: /^tavrik: Wayland .*\n/ });
      await waitFor('the bind request', () => backend.output.includes('\nbind '));
      await wlCopy(portalRig, sway.env, 'trong lúc chờ');
      const trigger = spawnSync(portalRig.agentPath, ['--trigger', 'push'], { env: portalRig.env });
      assert.equal(trigger.status, 0);
      assertFeedback(await portalRig.feedbackOf(2), pushed);
      assert.equal(portalRig.read('pushed').toString(), 'trong lúc chờ');
      assert.ok(!STATUS_LINE.test(agent.stderrText));
      backend.stdin.write('answer\n');
      await waitFor('the status line', () => agent.stderrText.endsWith(statusLine('OK', 'OK')));
    });
  });
});

describe('tavrik-agent on ext-data-control-v1 (a compositor stand-in)', () => {
  let rig;
  before(() => { rig = new Rig(null); });
  afterEach(() => rig.reset());
  after(() => rig.close());

  // The stand-in in `mode`, and an agent on it with only the trigger route.
  const start = async (mode, args = []) => {
    const compositor = spawn(process.env.TAVRIK_COMPOSITOR, [mode],
                             { env: { ...rig.env, XDG_RUNTIME_DIR: rig.root }, stdio: ['pipe', 'pipe', 'inherit'] });
    rig.children.push(compositor);
    compositor.output = '';
    compositor.stdout.on('data', (d) => { compositor.output += d; });
    await waitFor('the compositor', () => compositor.output.includes('\n'));
    Object.assign(rig.env, { XDG_RUNTIME_DIR: rig.root, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent',
                             WAYLAND_DISPLAY: path.join(rig.root, compositor.output.split(/\s/)[1]) });
    fs.rmSync(path.join(rig.root, 'tavrik'), { recursive: true, force: true });  // no trigger seen yet
    const agent = await rig.startAgent(args);
    await rig.feedbackOf(1);  // the advice to bind the triggers
    return { compositor, route: agent.stderrText.split('\n')[0] };
  };
  const trigger = (action) => assert.equal(spawnSync(rig.agentPath, ['--trigger', action], { env: rig.env }).status, 0);
  // Writes a line to the stand-in and waits for its `reply`.
  const command = async (compositor, text, reply) => {
    const before = compositor.output.length;
    compositor.stdin.write(`${text}\n`);
    await waitFor(reply, () => compositor.output.slice(before).includes(reply));
  };
  const route = (clipboard) => `tavrik: Wayland — phím tắt: lệnh tavrik-agent --trigger; clipboard: ${clipboard}`;

  test('preferred over the wlr protocol; MiBs both ways byte for byte; an owner that stalls is told', async () => {
    assert.equal((await start('both')).route, route('data-control (ext-data-control-v1)'));
    await rig.reset();
    const { compositor, route: line } = await start('ext');
    assert.equal(line, route('data-control (ext-data-control-v1)'));
    const text = 'Sóng Âm qua ext — có dấu\n'.repeat(120000);  // 3.4 MB
    rig.write('selection', text);
    await command(compositor, `set ${rig.file('selection')}`, 'set\n');
    trigger('push');
    await rig.feedbackOf(3);
    assert.ok(rig.read('pushed').equals(Buffer.from(text)));

    const other = text.split('').reverse().join('');
    rig.write('pull-output', other);
    trigger('pull');
    await rig.feedbackOf(5);
    await command(compositor, `get ${rig.file('got')}`, 'got ');
    assert.ok(rig.read('got').equals(Buffer.from(other)));

    await command(compositor, 'stall', 'stalled\n');
    await command(compositor, `set ${rig.file('selection')}`, 'set\n');
    trigger('push');
    assertFeedback((await rig.feedbackOf(7)).slice(1), [...pushed, ...pulled,
      sound(false), notification('Tavrik trượt chân', 'Ứng dụng đang giữ clipboard không trả lời.')]);
  });

  test('a secret keeps its mark both ways and is cleared after --clear-secrets, but not a selection set since', async () => {
    let { compositor } = await start('ext', ['--clear-secrets', '0']);
    rig.write('selection', 'mật khẩu qua Wayland');
    await command(compositor, `secret ${rig.file('selection')}`, 'set\n');
    trigger('push');
    await rig.feedbackOf(3);
    assert.equal(JSON.parse(rig.read('push-env')).TAVRIK_SECRET, '1');
    rig.write('meta', 'secret\n');
    rig.write('pull-output', 'bí mật về');
    trigger('pull');
    await rig.feedbackOf(5);
    await command(compositor, `get ${rig.file('got')}`, ' secret\n');
    assert.equal(rig.read('got').toString(), 'bí mật về');

    await rig.reset();
    ({ compositor } = await start('ext', ['--clear-secrets', '1']));
    rig.write('meta', 'secret\n');
    rig.write('pull-output', 'bí mật về');
    trigger('pull');
    await waitFor('the secret to be cleared', () => compositor.output.includes('cleared\n'));
    trigger('pull');
    await rig.feedbackOf(5);
    const due = Date.now() + 1000;
    const before = compositor.output.length;
    rig.write('selection', 'chép sau đó');
    await command(compositor, `set ${rig.file('selection')}`, 'set\n');
    await sleep(due - Date.now() + 50);  // timers due before a trigger run before it
    trigger('push');
    assertFeedback((await rig.feedbackOf(7)).slice(1), [...pulled, ...pulled, ...pushed]);
    assert.ok(!compositor.output.slice(before).includes('cleared'));
    assert.equal(rig.read('pushed').toString(), 'chép sau đó');
  });

  test('a Wayland session with neither data-control nor an X display: the clipboard is unreachable, not empty; ' +
       'a trigger told "không trả lời" is never carried out; --trigger status; no second agent', async () => {
    const why = 'trình quản lý Wayland không cho data-control, và chưa có màn hình X (DISPLAY chưa đặt)';
    assert.equal((await start('none')).route, route(`không có (${why})`));
    const run = (...args) => spawnSync(rig.agentPath, args, { env: rig.env });
    const said = (r) => [r.status, r.stdout.toString(), r.stderr.toString()];
    assert.deepEqual(said(run('--trigger', 'status')), [0, `${route(`không có (${why})`)}\n` +
      'tavrik: ctrl+alt+c = gửi đi (HỎNG), ctrl+alt+b = lấy về (HỎNG)\n', '']);
    assert.deepEqual(said(run('--cli', COMPANION)), [1, '', `tavrik: tavrik-agent đang chạy rồi (pid ${rig.agent.pid}, ` +
      `nhận --trigger ở ${rig.root}/tavrik-agent.sock); bản này thoát\n`]);
    rig.agent.kill('SIGSTOP');
    const late = spawnSync(rig.agentPath, ['--trigger', 'push'], { env: rig.env });
    rig.agent.kill('SIGCONT');
    assert.equal(late.status, 1);
    assert.equal(late.stderr.toString(), 'tavrik-agent không trả lời lệnh --trigger push\n');
    await waitFor('the late trigger dropped', () => rig.agent.stderrText.includes(
      'tavrik: bỏ lệnh --trigger push: lệnh đã thôi chờ câu trả lời\n'));
    // Only the next one runs: one failure, below.
    trigger('push');
    assertFeedback((await rig.feedbackOf(3)).slice(1), [sound(false),
      notification('Tavrik trượt chân', `Không với tới được clipboard: ${why}.`)]);
  });
});
