'use strict';
// GNOME: headless mutter with its Xwayland, run as a user of its own; the
// clipboard through mutter's bridge, owned and read with wl-copy and
// wl-paste; the agent on its trigger route, in the session's environment.
const assert = require('node:assert/strict');
const { Rig, waylandRoute } = require('../rig.js');
const { startMutter, hasMutter, wlCopy, wlPaste } = require('../compositors.js');
const { readClipboard } = require('../../../scripts/lib/xsession.js');

const d = module.exports = {
  name: 'GNOME (headless mutter, its Xwayland)',
  skip: () => !hasMutter() && 'needs root, mutter, Xwayland, wl-clipboard',
  runs: ['texts', 'unreachable'],
  mib: 4.5,
  async open() {
    d.gnome = await startMutter(process.env.TAVRIK_REMOTE_KEYBOARD);
    d.rig = new Rig(null);
    delete d.rig.env.XAUTHORITY;
    d.rig.runAs(d.gnome.user);
    return d.rig;
  },
  async close() {
    await d.rig.close();
    await d.gnome.stop();
  },
  start: (args, env, options) =>
    d.rig.startAgent(args, { ...d.gnome.session, XAUTHORITY: d.gnome.xauthority, ...env }, options),
  copy: (text) => wlCopy(d.rig, d.gnome.env, text, () => {
    try {
      return readClipboard({ ...process.env, DISPLAY: d.gnome.display, XAUTHORITY: d.gnome.xauthority });
    } catch {
      return Buffer.alloc(0);  // no owner yet
    }
  }),
  paste: () => ({ text: wlPaste(d.gnome.env) }),
  trigger: (action) => d.rig.run(['--trigger', action], { XDG_RUNTIME_DIR: d.gnome.runtime }),
  // As a unit started before the session exported XAUTHORITY.
  unreachable() {
    const why = `trình quản lý Wayland không cho data-control, và màn hình X ${d.gnome.display} ` +
                'không nhận kết nối (chưa chạy, hoặc không cho vào: XAUTHORITY chưa đặt)';
    return { why, env: { XAUTHORITY: undefined }, route: waylandRoute(`không có (${why})`), async recover() {
      await d.rig.stop(d.rig.agent);
      const agent = await d.start([]);
      assert.equal(/^tavrik: Wayland .*$/m.exec(agent.err)[0], waylandRoute(`X11 qua Xwayland (DISPLAY=${d.gnome.display})`));
    } };
  },
};
