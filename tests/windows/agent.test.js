'use strict';
// The real tavrik-agent.exe under Wine, on the X server that scripts/test
// windows started for every Wine program of the run. The companion and the
// feedback programs are tool.exe (Wine runs no Linux program as a real
// process); the X side of the clipboard is xclip's.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { waitFor, ownClipboard, readClipboard } = require('../../scripts/lib/xsession.js');
const { assertFeedback, pushed, pulled } = require('../integration/rig.js');

const WINE_RUN = path.join(__dirname, '../../scripts/lib/wine-run');
const STATUS_LINE = /^tavrik: .* = gửi đi \((OK|HỎNG)\), .* = lấy về \((OK|HỎNG)\)\n/m;
const windowsPath = (p) => `Z:${p.replace(/\//g, '\\')}`;

describe('tavrik-agent.exe under Wine', () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-wine-'));
  const state = path.join(root, 'state');
  const agentPath = path.join(root, 'bin', 'tavrik-agent.exe');
  const tool = path.join(root, 'tool.exe');
  const env = { ...process.env, TAVRIK_TEST_DIR: windowsPath(state),
                TAVRIK_TEST_FEEDBACK: windowsPath(path.join(root, 'feedback')) };
  const children = [];
  let agent;

  const wine = (args, options = {}) =>
    spawnSync(WINE_RUN, args, { env, encoding: 'utf8', timeout: 30000, ...options });
  const read = (name) => fs.readFileSync(path.join(state, name));
  const log = path.join(root, 'feedback');
  const feedback = () => (!fs.existsSync(log) ? [] : fs.readFileSync(log, 'utf8').split('\x1e').slice(0, -1)
    .map((r) => r.split('\x1f').slice(0, -1)));
  const feedbackOf = (count) => waitFor(`${count} feedback programs`, () => feedback().length >= count && feedback());
  async function start() {
    const child = spawn(WINE_RUN, [windowsPath(agentPath), '--node', windowsPath(tool), '--cli', 'store'],
                        { env, stdio: ['ignore', 'ignore', 'pipe'] });
    children.push(child);
    child.stderrText = '';
    child.stderr.on('data', (d) => { child.stderrText += d; });
    child.exited = new Promise((r) => child.on('exit', r));
    await waitFor('the status line', () => STATUS_LINE.test(child.stderrText));
    return child;
  }

  before(async () => {
    for (const dir of ['bin', 'libexec/tavrik', 'state']) fs.mkdirSync(path.join(root, dir), { recursive: true });
    fs.copyFileSync(process.env.TAVRIK_AGENT, agentPath);
    fs.copyFileSync(process.env.TAVRIK_TOOL, tool);
    for (const name of ['osascript.exe', 'afplay.exe']) {
      fs.copyFileSync(process.env.TAVRIK_TOOL, path.join(root, 'libexec', 'tavrik', name));
    }
    agent = await start();
  });
  after(async () => {
    await Promise.all(children.map((c) => {
      if (c.exitCode !== null || c.signalCode !== null) return null;
      c.kill('SIGTERM');
      return c.exited;
    }));
    fs.rmSync(root, { recursive: true, force: true });
  });

  test('a SendInput press pushes the X clipboard\'s text byte for byte, with the CRLF Wine made of LF', async () => {
    assert.equal(agent.stderrText, 'tavrik: ctrl+alt+c = gửi đi (OK), ctrl+alt+b = lấy về (OK)\n');
    const text = 'Tiếng Việt có dấu: ắ ặ ẫ ỹ, e\u0301 tổ hợp\nhai dòng 🇻🇳\n';
    children.push(await ownClipboard(env, text));
    // Wine takes in a new X selection on its own time: press once it has.
    const windowsText = text.replace(/\n/g, '\r\n');
    await waitFor('Wine to see the X clipboard', () => wine([windowsPath(tool), 'paste']).stdout === windowsText);
    assert.equal(wine([windowsPath(tool), 'press', '67', 'ctrl', 'alt']).status, 0);
    assertFeedback(await feedbackOf(2), pushed);
    assert.equal(read('runs').toString(), 'push\n');
    assert.equal(read('pushed').toString(), windowsText);
  });

  test('--trigger pull puts the output on the clipboard, exact for Windows and with LF for X', async () => {
    const output = 'Kéo về\r\ndòng hai 🇻🇳 ở cuối';
    fs.writeFileSync(path.join(state, 'pull-output'), output);
    const trigger = wine([windowsPath(agentPath), '--trigger', 'pull']);
    assert.deepEqual([trigger.status, trigger.stderr], [0, '']);
    assertFeedback(await feedbackOf(4), [...pushed, ...pulled]);
    assert.equal(wine([windowsPath(tool), 'paste']).stdout, output);
    // Wine claims the X selection on its own time too.
    const xText = output.replace(/\r\n/g, '\n');
    await waitFor('the X side to see the pulled text', () => {
      try {
        return readClipboard(env).toString() === xText;
      } catch {
        return false;  // no owner for a moment
      }
    });
  });

  test('--trigger status repeats the status line; a second agent exits 1 at once; a wrong action is refused', async () => {
    const status = wine([windowsPath(agentPath), '--trigger', 'status']);
    assert.deepEqual([status.status, status.stdout], [0, agent.stderrText]);
    const second = wine([windowsPath(agentPath), '--node', windowsPath(tool), '--cli', 'store']);
    assert.equal(second.status, 1);
    assert.match(second.stderr, /^tavrik: tavrik-agent đang chạy rồi \(pid \d+, nhận --trigger ở \\\\\.\\pipe\\tavrik-agent-S-[-\d]+\); bản này thoát\n$/);
    const wrong = wine([windowsPath(agentPath), '--trigger', 'sideways']);
    assert.deepEqual([wrong.status, wrong.stderr], [2, 'tavrik: --trigger cần push, pull hoặc status\n']);
    // The first agent still serves: a push by trigger, of the text it pulled.
    assert.equal(wine([windowsPath(agentPath), '--trigger', 'push']).status, 0);
    assertFeedback((await feedbackOf(6)).slice(4), pushed);
    assert.equal(read('runs').toString(), 'push\npull\npush\n');
    assert.equal(read('pushed').toString(), fs.readFileSync(path.join(state, 'pull-output'), 'utf8'));
  });

  test('tavrik-startup stop ends the agent as a logout does; then --trigger says none runs', async () => {
    const stop = wine([windowsPath(process.env.TAVRIK_STARTUP), 'stop']);
    const exited = await Promise.race([agent.exited, new Promise((r) => setTimeout(r, 20000, 'still running'))]);
    assert.deepEqual([stop.status, stop.stderr, exited], [0, 'tavrik-startup: đã dừng tavrik-agent\n', 0]);
    const none = wine([windowsPath(agentPath), '--trigger', 'push']);
    assert.equal(none.status, 1);
    assert.match(none.stderr, /^tavrik: không thấy tavrik-agent nào đang chạy \(\\\\\.\\pipe\\tavrik-agent-S-[-\d]+\)\n$/);
  });
});
