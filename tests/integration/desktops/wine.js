'use strict';
// Windows: the real tavrik-agent.exe under Wine, on the X server that
// scripts/test windows started; tool.exe plays the companion, the feedback
// programs, another program's paste and a keyboard (SendInput). Wine turns
// the X side's LF into CR LF and back.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { Rig, waitFor, windowsPath, pulled } = require('../rig.js');
const { ownClipboard, readClipboard } = require('../../../scripts/lib/xsession.js');

const WINE_RUN = require.resolve('../../../scripts/lib/wine-run');
const PIPE = '\\\\\\\\\\.\\\\pipe\\\\tavrik-agent-S-[-\\d]+';
const d = module.exports = {
  name: 'Windows (tavrik-agent.exe under Wine)',
  runs: ['texts', 'status'],
  mib: 1,
  socket: PIPE,
  async open() {
    d.rig = new Rig(process.env.DISPLAY, { wine: true });
    return d.rig;
  },
  close: () => d.rig.close(),
  start: (args, env, options) => d.rig.startAgent(args, env, options),
  tool: (...args) => spawnSync(WINE_RUN, [windowsPath(d.rig.nodeRecorder), ...args],
                               { env: d.rig.env, encoding: 'utf8', timeout: 30000 }),
  // Wine takes in a new X selection on its own time: done once it has.
  async copy(text) {
    d.rig.children.push(await ownClipboard(d.rig.env, text));
    await waitFor('Wine to see the X clipboard', () => d.tool('paste').stdout === text.replace(/\n/g, '\r\n'));
  },
  paste: () => ({ text: Buffer.from(d.tool('paste').stdout) }),
  press: (action) => assert.equal(d.tool('press', action === 'push' ? '67' : '66', 'ctrl', 'alt').status, 0),
  trigger: (action) => d.rig.run(['--trigger', action]),

  own({ start }) {
    test('--trigger pull: the text keeps its CR LF for Windows and reaches X with LF', async () => {
      await start();
      d.rig.write('pull-output', 'Kéo về\r\ndòng hai 🇻🇳 ở cuối');
      assert.deepEqual(d.trigger('pull'), [0, '', '']);
      await d.rig.expect(...pulled);
      assert.equal(d.paste().text.toString(), 'Kéo về\r\ndòng hai 🇻🇳 ở cuối');
      await waitFor('the X side to see the pulled text', () => {
        try {
          return readClipboard(d.rig.env).toString() === 'Kéo về\ndòng hai 🇻🇳 ở cuối';
        } catch {
          return false;  // no owner for a moment
        }
      });
    });

    test('a wrong action is refused; tavrik-startup stop ends the agent as a logout does; then none runs', async () => {
      const agent = await start();
      assert.deepEqual(d.trigger('sideways'), [2, '', 'tavrik: --trigger cần push, pull hoặc status\n']);
      const stop = spawnSync(WINE_RUN, [windowsPath(process.env.TAVRIK_STARTUP), 'stop'], { encoding: 'utf8' });
      const exited = await Promise.race([agent.exited, new Promise((r) => setTimeout(r, 20000, 'still running'))]);
      assert.deepEqual([stop.status, stop.stderr, exited],
                       [0, 'tavrik-startup: đã dừng tavrik-agent\n', { code: 0, signal: null }]);
      const [status, , said] = d.trigger('push');
      assert.equal(status, 1);
      assert.match(said, new RegExp(`^tavrik: không thấy tavrik-agent nào đang chạy \\(${PIPE}\\)\n$`));
    });
  },
};
