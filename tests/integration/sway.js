'use strict';
// A headless sway for the Wayland tests, run as an unprivileged user made
// here (sway refuses to run as root), with no window and so no focus.
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { waitFor } = require('../../scripts/lib/xsession.js');

const USER = 'tavrik-wayland';

function testUser() {
  if (spawnSync('id', ['-u', USER]).status !== 0) {
    execFileSync('useradd', ['--system', '--no-create-home', '--shell', '/usr/sbin/nologin', USER]);
  }
  return { uid: Number(execFileSync('id', ['-u', USER])), gid: Number(execFileSync('id', ['-g', USER])) };
}

// `bindings`: sway `bindsym` lines. Resolves once its socket is up.
async function startSway(bindings) {
  const user = testUser();
  const runtime = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-sway-'));
  fs.chownSync(runtime, user.uid, user.gid);
  fs.chmodSync(runtime, 0o700);
  const config = path.join(runtime, 'config');
  fs.writeFileSync(config, bindings.join('\n') + '\n');
  const env = { PATH: process.env.PATH, XDG_RUNTIME_DIR: runtime, WLR_BACKENDS: 'headless',
                WLR_RENDERER: 'pixman', WLR_LIBINPUT_NO_DEVICES: '1' };
  const proc = spawn('sway', ['-c', config], { env, cwd: runtime, stdio: 'ignore', ...user });
  const exited = new Promise((r) => proc.on('exit', r));
  const socket = path.join(runtime, 'wayland-1');
  await waitFor('sway', () => {
    if (proc.exitCode !== null) throw new Error(`sway exited with ${proc.exitCode}`);
    return fs.existsSync(socket);
  });
  // The clients' environment: root reaches the user's socket too.
  const clientEnv = { ...process.env, XDG_RUNTIME_DIR: runtime, WAYLAND_DISPLAY: 'wayland-1' };
  delete clientEnv.DISPLAY;
  return {
    user, runtime, socket, env: clientEnv,
    async stop() {
      proc.kill();
      await exited;
      fs.rmSync(runtime, { recursive: true, force: true });
    },
  };
}

const hasSway = () => process.getuid() === 0 &&
  spawnSync('sh', ['-c', 'command -v sway && command -v wl-copy && command -v wtype']).status === 0;

// A private session bus; resolves with its process and address.
async function startBus() {
  const proc = spawn('dbus-daemon', ['--session', '--nofork', '--print-address=1'],
                     { stdio: ['ignore', 'pipe', 'ignore'] });
  let address = '';
  proc.stdout.on('data', (d) => { address += d; });
  await waitFor('the session bus', () => address.includes('\n'));
  return { proc, address: address.trim() };
}

// The tests' GlobalShortcuts backend (in `mode`, if given), then the real portal frontend
// choosing it, both on the bus of `env`, which gets what the frontend needs
// to find the backend. Returns the two processes.
async function startPortal(env, backendPath, portalDir, mode) {
  fs.writeFileSync(path.join(portalDir, 'tavriktest.portal'),
                   '[portal]\nDBusName=org.freedesktop.impl.portal.desktop.tavriktest\n' +
                   'Interfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=tavriktest\n');
  Object.assign(env, { XDG_DESKTOP_PORTAL_DIR: portalDir, XDG_CURRENT_DESKTOP: 'tavriktest' });
  const backend = spawn(backendPath, mode ? [mode] : [], { env, stdio: ['pipe', 'pipe', 'inherit'] });
  backend.output = '';
  backend.stdout.on('data', (d) => { backend.output += d; });
  await waitFor('the portal backend', () => backend.output.startsWith('ready\n'));
  const frontend = spawn('/usr/libexec/xdg-desktop-portal', ['-r'], { env, stdio: 'ignore' });
  await waitFor('the portal frontend', () => spawnSync('dbus-send', [
    '--session', '--print-reply', '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
    'org.freedesktop.DBus.NameHasOwner', 'string:org.freedesktop.portal.Desktop',
  ], { env }).stdout.toString().includes('boolean true'));
  return { backend, frontend };
}

module.exports = { startSway, hasSway, startBus, startPortal };
