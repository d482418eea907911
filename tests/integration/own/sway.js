'use strict';
// The scenarios only this desktop runs; `d` is its adapter.
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { Rig, STATUS_LINE, statusLine, waitFor, pushed, pulled, assertFeedback, advice, waylandRoute } =
  require('../../harness/rig.js');
const { startBus, startPortal, APP_SLICE, userUnit, wlCopy, wlPaste } = require('../../harness/compositors.js');

module.exports = (d, { start }) => {
  test('the route and the advice are told; the socket goes with the agent; no advice once a binding worked', async () => {
    const { rig } = d;
    const agent = await start();
    assert.equal(agent.err.split('\n')[0], waylandRoute('data-control (zwlr-data-control-unstable-v1)'));
    // Written after the status line, when the loop starts.
    await waitFor('the advice line', () => /--trigger push \(gửi đi\) và .*--trigger pull \(lấy về\)\n/.test(agent.err));
    await d.copy('một lần');
    d.press('push');
    await rig.expect(...pushed);
    await rig.stop(agent);
    assert.ok(!fs.existsSync(path.join(d.sway.runtime, 'tavrik-agent.sock')), 'the socket goes too');
    await rig.startAgent();
    d.press('push');
    await rig.expect(...pushed);
  });

  test('--trigger without an agent exits 1; another user is refused', async () => {
    const { rig } = d;
    assert.deepEqual(rig.run(['--trigger', 'push'], { XDG_RUNTIME_DIR: rig.root }), [1, '',
      `tavrik: không thấy tavrik-agent nào đang chạy (${rig.root}/tavrik-agent.sock)\n`]);
    await start();
    // We are root here, not the agent's user: the agent answers no.
    const socket = path.join(d.sway.runtime, 'tavrik-agent.sock');
    const answer = await new Promise((resolve, reject) => {
      let got = '';
      const c = net.connect(socket);  // refused before it could ask for anything
      c.on('data', (chunk) => { got += chunk; });
      c.on('end', () => resolve(got));
      c.on('error', reject);
    });
    assert.equal(answer, 'refused\n');
    // And our client will not talk to another user's agent.
    const mine = spawnSync(rig.agentPath, ['--trigger', 'pull'], { env: rig.env, timeout: 30000 });
    assert.deepEqual([mine.status, mine.stderr.toString()], [1, `tavrik: ${socket} thuộc người dùng khác\n`]);
    await waitFor('the refusal on standard error', () => rig.agent.err.includes(
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
                                     XDG_RUNTIME_DIR: portalRig.root, WAYLAND_DISPLAY: d.sway.socket });
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
    // The backend's lines come on a pipe of their own: waited for until they match.
    const said = (out, pattern) => waitFor(`the portal backend to say ${pattern}`, () => pattern.test(out()), undefined, out);
    // A frontend with a Registry (1.20 on) refuses the id of an agent that no
    // desktop entry names, and the agent says so first; one without says nothing.
    const REGISTRY = /^tavrik: cổng không nhận tên vn\.tavrik\.agent: .*\n/m;
    const withoutRegistry = (err) => {
      const introspected = spawnSync('dbus-send', ['--session', '--print-reply', '--dest=org.freedesktop.portal.Desktop',
        '/org/freedesktop/portal/desktop', 'org.freedesktop.DBus.Introspectable.Introspect'], { env: portalRig.env, timeout: 30000 });
      assert.equal(REGISTRY.test(err), introspected.stdout.toString().includes('org.freedesktop.host.portal.Registry'));
      return err.replace(REGISTRY, '');
    };

    test('both shortcuts are bound in one request with the converted triggers; Activated pushes and pulls; ' +
         'a second start binds nothing anew', async () => {
      const backend = await portal();
      const args = ['--copy', 'cmd+shift+f12'];
      let agent = await portalRig.startAgent(args);
      assert.equal(withoutRegistry(agent.err),
                   'tavrik: Wayland — phím tắt: cổng GlobalShortcuts; ' +
                   'clipboard: data-control (zwlr-data-control-unstable-v1)\n' + statusLine('OK', 'OK', args[1]));
      // Asked what is bound, then one request (one dialog), each id with its
      // description and converted trigger.
      await said(() => backend.out, /^ready\nsession \nlist\nbind push description [^+]* preferred_trigger SHIFT\+LOGO\+F12 pull description .* preferred_trigger CTRL\+ALT\+b  handle_token \S+\n$/);
      await wlCopy(portalRig, d.sway.env, 'qua cổng portal');
      backend.stdin.write('push\n');
      await portalRig.feedbackOf(2);
      assert.equal(portalRig.read('pushed').toString(), 'qua cổng portal');
      portalRig.write('pull-output', 'về qua portal');
      backend.stdin.write('pull\n');
      assertFeedback(await portalRig.feedbackOf(4), [...pushed, ...pulled]);
      assert.equal(wlPaste(d.sway.env).toString(), 'về qua portal');

      // Already bound as asked: no second dialog (or Settings window) at the next login...
      await portalRig.stop(agent);
      const before = backend.out.length;
      agent = await portalRig.startAgent(args);
      assert.ok(agent.err.endsWith(statusLine('OK', 'OK', args[1])));
      // ...but other triggers are asked for (what comes of this start shows
      // all of the one before it has come).
      await portalRig.stop(agent);
      await portalRig.startAgent();
      await said(() => backend.out.slice(before), /^session \nlist\nsession \nlist\nbind push .*CTRL\+ALT\+c/);
    });

    test('KDE before 6.1: what CreateSession declared is bound; an answer that binds nothing is HỎNG', async (t) => {
      const backend = await portal('session');
      // Frontends from 1.20 on pass a backend only CreateSession's tokens: a
      // session made here with one shortcut shows whether this one does.
      spawnSync('busctl', ['--address', bus.address, 'call', 'org.freedesktop.portal.Desktop',
                           '/org/freedesktop/portal/desktop', 'org.freedesktop.portal.GlobalShortcuts', 'CreateSession',
                           'a{sv}', '2', 'session_handle_token', 's', 'probe', 'shortcuts', 'a(sa{sv})', '1', 'probe', '0'],
                { timeout: 30000 });
      await said(() => backend.out, /\ndeclared \d+\n$/);
      const passes = backend.out.endsWith('\ndeclared 1\n');
      let agent = await portalRig.startAgent();
      if (passes) assert.ok(agent.err.endsWith(statusLine('OK', 'OK')));
      else t.diagnostic('this portal frontend passes CreateSession only its tokens, as no KDE before 6.1 had it');

      await portalRig.reset();
      await portal('empty');
      agent = await portalRig.startAgent();
      assert.ok(agent.err.includes('RegisterEventHotKey lỗi: gửi đi (ctrl+alt+c)=-9880\n' +
                                          'RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-9880\n' + statusLine('HỎNG', 'HỎNG')));
      assertFeedback(await portalRig.feedbackOf(1), [advice(portalRig.agentPath)]);
    });

    test('GNOME 48: refused without an application id is told as such, with the trigger advice; ' +
         'as vn.tavrik.agent, listed under code 2 is bound', async (t) => {
        const backend = await portal('gnome');
      let agent = await portalRig.startAgent();
      await waitFor('the advice line', () => agent.err.endsWith('(lấy về)\n'), undefined, () => agent.err);
      assert.equal(withoutRegistry(agent.err).split('\n').slice(1).join('\n'),
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
        assert.ok(agent.err.endsWith(statusLine('OK', 'OK')));
        assert.doesNotMatch(agent.err, REGISTRY);  // named by its unit
        await said(() => backend.out, /\nsession vn\.tavrik\.agent\nlist\nbind push /);
        await portalRig.stop(agent);
      } finally {
        await unit.remove();
      }
    });

    test('scripts/run under Wayland starts the agent as vn.tavrik.agent, with an entry for the build while it runs',
         async (t) => {
      const backend = await portal('gnome');
      try {
        fs.mkdirSync(APP_SLICE, { recursive: true });
      } catch {
        return t.skip('no cgroup2 hierarchy to write here');
      }
      const data = path.join(portalRig.root, 'data');
      const entry = path.join(data, 'applications', 'vn.tavrik.agent.desktop');
      const harness = path.join(__dirname, '..', '..', 'harness');  // its systemd-run
      const runAgent = path.join(__dirname, '..', '..', '..', 'scripts', 'lib', 'run-agent');
      const agent = await portalRig.startAgent([], {
        PATH: `${harness}:${process.env.PATH}`, TAVRIK_APP_SLICE: APP_SLICE, HOME: portalRig.root,
        XDG_DATA_HOME: data, XDG_DATA_DIRS: path.join(portalRig.root, 'none') }, { through: [runAgent] });
      const scope = path.join(APP_SLICE, `app-vn.tavrik.agent-${agent.pid}.scope`);  // run-agent's pid
      try {
        assert.ok(agent.err.endsWith(statusLine('OK', 'OK')));
        assert.match(fs.readFileSync(entry, 'utf8'), new RegExp(`^Exec=${portalRig.agentPath} `, 'm'));
        await said(() => backend.out, /\nsession vn\.tavrik\.agent\nlist\nbind push /);
      } finally {
        await portalRig.stop(agent);
        await userUnit(path.basename(scope)).remove();
      }
      assert.ok(!fs.existsSync(entry), 'the entry goes with it');
    });

    test('while the desktop\'s dialog waits, a trigger is served at once; the status comes with the answer', async () => {
      const backend = await portal('late');
      const agent = await portalRig.startAgent([], {}, { ready: /^tavrik: Wayland .*\n/m });
      await waitFor('the bind request', () => backend.out.includes('\nbind '));
      await wlCopy(portalRig, d.sway.env, 'trong lúc chờ');
      const trigger = spawnSync(portalRig.agentPath, ['--trigger', 'push'], { env: portalRig.env, timeout: 30000 });
      assert.equal(trigger.status, 0);
      assertFeedback(await portalRig.feedbackOf(2), pushed);
      assert.equal(portalRig.read('pushed').toString(), 'trong lúc chờ');
      assert.ok(!STATUS_LINE.test(agent.err));
      backend.stdin.write('answer\n');
      await waitFor('the status line', () => agent.err.endsWith(statusLine('OK', 'OK')));
    });
  });
};
