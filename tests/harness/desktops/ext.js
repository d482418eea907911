'use strict';
// Wayland with ext-data-control-v1: the compositor stand-in
// (tests/harness/wayland_compositor.cpp), driven by its commands; the agent
// on its trigger route.
const path = require('node:path');
const { Rig, launch, waitFor, waylandRoute } = require('../rig.js');

const d = module.exports = {
  name: 'Wayland (a compositor stand-in with ext-data-control-v1)',
  runs: ['texts', 'secret', 'stall', 'unreachable', 'status'],
  stalls: [['stall', 'Ứng dụng đang giữ clipboard không trả lời.']],
  async open() {
    d.rig = new Rig(null);
    d.rig.env.XDG_RUNTIME_DIR = d.rig.root;  // its bus, the rig's, has no portal
    d.socket = `${d.rig.root}/tavrik-agent.sock`;
    return d.rig;
  },
  // The stand-in in `mode` (ext, both or none), and an agent on it.
  async start(args, env, options = {}) {
    d.compositor = await launch(process.env.TAVRIK_COMPOSITOR, [options.mode || 'ext'],
                                { env: d.rig.env, stdio: ['pipe', 'pipe', 'inherit'] },
                                { ready: (out) => out.includes('\n'), children: d.rig.children });
    d.rig.env.WAYLAND_DISPLAY = path.join(d.rig.root, d.compositor.out.split(/\s/)[1]);
    return d.rig.startAgent(args, env, options);
  },
  // Writes a line to the stand-in and waits for the `reply` it matches.
  async command(text, reply) {
    const before = d.compositor.out.length;
    d.compositor.stdin.write(`${text}\n`);
    return waitFor(`${reply}`, () => reply.exec(d.compositor.out.slice(before)));
  },
  async copy(text, { secret } = {}) {
    d.rig.write('selection', text);
    await d.command(`${secret ? 'secret' : 'set'} ${d.rig.file('selection')}`, /set\n/);
  },
  async paste() {
    const [, secret] = await d.command(`get ${d.rig.file('got')}`, /got (?:\d+|none)( secret)?\n/);
    return { text: d.rig.read('got'), secret: Boolean(secret) };
  },
  cleared: () => d.compositor.out.includes('cleared\n'),
  async stall() {
    await d.command('stall', /stalled\n/);
    await d.copy('đứng hình');
  },
  unreachable() {
    const why = 'trình quản lý Wayland không cho data-control, và chưa có màn hình X (DISPLAY chưa đặt)';
    return { why, env: {}, options: { mode: 'none' }, route: waylandRoute(`không có (${why})`) };
  },
};
