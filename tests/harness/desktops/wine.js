'use strict';
// Windows: the real tavrik-agent.exe under Wine, on the X server that
// scripts/test windows started; tool.exe plays the companion, the feedback
// programs, another program's paste and a keyboard (SendInput). Wine turns
// the X side's LF into CR LF and back.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { Rig, waitFor, windowsPath } = require('../rig.js');
const { ownClipboard } = require('../../../scripts/lib/xsession.js');

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
  tool: (...args) => spawnSync(WINE_RUN, [windowsPath(d.rig.nodeRecorder), ...args],
                               { env: d.rig.env, encoding: 'utf8', timeout: 30000 }),
  // Wine takes in a new X selection on its own time: done once it has.
  async copy(text) {
    d.rig.children.push(await ownClipboard(d.rig.env, text));
    await waitFor('Wine to see the X clipboard', () => d.tool('paste').stdout === text.replace(/\n/g, '\r\n'));
  },
  paste: () => ({ text: Buffer.from(d.tool('paste').stdout) }),
  press: (action) => assert.equal(d.tool('press', action === 'push' ? '67' : '66', 'ctrl', 'alt').status, 0),
};
