'use strict';
// X11: a private Xvfb that asks for a cookie; xclip owns and reads the
// clipboard, xdotool presses the hotkeys.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Rig, startXvfb } = require('../rig.js');

const HINT = 'x-kde-passwordManagerHint';
// Adds an MIT cookie for `display` to the Xauthority file `file`.
const xauth = (file, display, cookie) =>
  execFileSync('xauth', ['-q', '-f', file, 'add', display, 'MIT-MAGIC-COOKIE-1', cookie]);

const d = module.exports = {
  name: 'X11 (Xvfb, xclip, xdotool)',
  runs: ['texts', 'empty', 'busy', 'secret', 'stall', 'unreachable', 'silent'],
  stalls: [['stop', 'Ứng dụng đang giữ clipboard không trả lời.', 32],
           ['trickle', 'Ứng dụng đang giữ clipboard gửi quá chậm (quá 10 giây).', 64],
           ['flood', 'Chữ trong clipboard quá lớn (hơn 256 MiB).', 320]],
  copies: 0,
  async open() {
    const cookie = crypto.randomBytes(16).toString('hex');
    // Read again at every server reset: kept while the server runs.
    d.serverAuth = path.join(os.tmpdir(), `tavrik-auth-${process.pid}`);
    xauth(d.serverAuth, ':0', cookie);
    d.xvfb = await startXvfb(['-auth', d.serverAuth]);
    d.rig = new Rig(d.xvfb.display);
    d.rig.env.XAUTHORITY = path.join(d.rig.root, 'auth');
    xauth(d.rig.env.XAUTHORITY, d.xvfb.display, cookie);
    return d.rig;
  },
  async close() {
    await d.rig.close();
    d.xvfb.proc.kill();
    fs.rmSync(d.serverAuth);
  },
  start(args, env, options) {
    d.env = env;
    return d.rig.startAgent(args, env, options);
  },
  // Each copy offers one of the two text targets in turn.
  async copy(text, { secret, target } = {}) {
    if (secret) await d.rig.peer('secret', text);
    else await d.rig.setClipboard(text, target || ['text/plain;charset=utf-8', 'UTF8_STRING'][d.copies++ % 2]);
  },
  press(action) { d.rig.key(action === 'push' ? 'ctrl+alt+c' : 'ctrl+alt+b'); },
  trigger(action) { return d.rig.run(['--trigger', action], d.env); },
  handled() { d.rig.handled(); },
  paste() {
    const secret = d.rig.readClipboard('TARGETS').toString().split('\n').includes(HINT);
    if (secret) assert.equal(d.rig.readClipboard(HINT).toString(), 'secret');
    return { text: d.rig.readClipboard(), secret };
  },
  cleared() {
    try {
      d.rig.readClipboard();
      return false;
    } catch {
      return true;  // no owner
    }
  },
  async stall(how) {
    if (how === 'stop') process.kill((await d.rig.setClipboard('đứng hình')).pid, 'SIGSTOP');
    else await d.rig.peer(how);
  },
  // As a unit started before the session exported its XAUTHORITY.
  unreachable() {
    const env = { XAUTHORITY: path.join(d.rig.root, 'later'), XDG_RUNTIME_DIR: d.rig.root };
    return { env, why: `màn hình X ${d.xvfb.display} không nhận kết nối (chưa chạy, hoặc không cho vào: ` +
                       `XAUTHORITY=${env.XAUTHORITY})`,
             recover: () => fs.copyFileSync(d.rig.env.XAUTHORITY, env.XAUTHORITY) };
  },
};
