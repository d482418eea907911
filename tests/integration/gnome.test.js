'use strict';
// The agent on GNOME: headless mutter with its Xwayland, the clipboard
// through mutter's bridge, checked with the real wl-copy and wl-paste.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { Rig, pushed, pulled, assertFeedback, notification, sound } = require('./rig.js');
const { startMutter, hasMutter, wlCopy, wlPaste } = require('./compositors.js');

describe('tavrik-agent under GNOME (headless mutter, its Xwayland)', { skip: !hasMutter() && 'needs root, mutter, Xwayland, wl-clipboard' }, () => {
  let gnome;
  let rig;
  before(async () => {
    gnome = await startMutter(process.env.TAVRIK_REMOTE_KEYBOARD);
    rig = new Rig(null);
    delete rig.env.XAUTHORITY;
    rig.runAs(gnome.user);
  });
  after(async () => {
    await rig.close();
    await gnome.stop();
  });

  // The agent in the session's environment, with `env` changed.
  const start = async (env) => {
    await rig.reset();
    const agent = await rig.startAgent([], { ...gnome.session, ...env });
    return /^tavrik: Wayland .*$/m.exec(agent.stderrText)[0];
  };
  const trigger = (action) => assert.equal(spawnSync(rig.agentPath, ['--trigger', action], {
    env: { ...rig.env, XDG_RUNTIME_DIR: gnome.runtime }, ...gnome.user }).status, 0);
  const route = (clipboard) => `tavrik: Wayland — phím tắt: lệnh tavrik-agent --trigger; clipboard: ${clipboard}`;

  test('over 4 MiB out and in through mutter\'s bridge; an Xwayland the agent may not enter is told', async () => {
    // As a unit started before the session exported XAUTHORITY.
    const why = `trình quản lý Wayland không cho data-control, và màn hình X ${gnome.display} ` +
                'không nhận kết nối (chưa chạy, hoặc không cho vào: XAUTHORITY chưa đặt)';
    assert.equal(await start({}), route(`không có (${why})`));
    await rig.feedbackOf(1);  // the advice to bind the triggers
    trigger('push');
    assertFeedback((await rig.feedbackOf(3)).slice(1), [sound(false),
      notification('Tavrik trượt chân', `Không với tới được clipboard: ${why}.`)]);

    assert.equal(await start({ XAUTHORITY: gnome.xauthority }), route(`X11 qua Xwayland (DISPLAY=${gnome.display})`));
    const line = 'Gõ tiếng Việt qua GNOME — Sóng Âm 0123456789\n';
    const text = line.repeat(Math.ceil((4.5 * (1 << 20)) / Buffer.byteLength(line)));
    await wlCopy(rig, gnome.env, text);
    trigger('push');
    assertFeedback(await rig.feedbackOf(2), pushed);
    assert.ok(rig.read('pushed').equals(Buffer.from(text)));

    const other = text.split('').reverse().join('');
    rig.write('pull-output', other);
    trigger('pull');
    assertFeedback(await rig.feedbackOf(4), [...pushed, ...pulled]);
    assert.ok(wlPaste(gnome.env).equals(Buffer.from(other)));
  });
});
