'use strict';
// Wayland, wlroots: a headless sway with no window focused, run as a user of
// its own; wl-copy and wl-paste own and read the clipboard, wtype presses
// keys that sway binds to the trigger command. Beside it, the real
// xdg-desktop-portal frontend with a GlobalShortcuts backend of the tests.
const { execFileSync } = require('node:child_process');
const { Rig } = require('../rig.js');
const { startSway, hasSway, wlCopy, wlPaste } = require('../compositors.js');

const d = module.exports = {
  name: 'Wayland (headless sway, wl-clipboard, wtype)',
  skip: () => !hasSway() && 'needs root, sway, wl-clipboard, wtype',
  runs: ['texts'],
  mib: 3,
  async open() {
    d.rig = new Rig(null);
    d.sway = await startSway([`bindsym Ctrl+Alt+c exec ${d.rig.agentPath} --trigger push`,
                              `bindsym Ctrl+Alt+b exec ${d.rig.agentPath} --trigger pull`]);
    Object.assign(d.rig.env, { XDG_RUNTIME_DIR: d.sway.runtime, WAYLAND_DISPLAY: 'wayland-1' });
    d.rig.runAs(d.sway.user);
    return d.rig;
  },
  async close() {
    await d.rig.close();
    await d.sway.stop();
  },
  copy: (text) => wlCopy(d.rig, d.sway.env, text),
  paste: () => ({ text: wlPaste(d.sway.env) }),
  press(action) {
    execFileSync('wtype', ['-M', 'ctrl', '-M', 'alt', action === 'push' ? 'c' : 'b', '-m', 'alt', '-m', 'ctrl'],
                 { env: d.sway.env, timeout: 30000 });
  },
};
