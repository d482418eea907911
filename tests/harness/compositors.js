'use strict';
// Headless compositors for the Wayland tests, run as an unprivileged user
// made here (sway refuses to run as root): sway, with no window and so no
// focus, and mutter with its Xwayland.
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { waitFor, ended, alive, below } = require('../../scripts/lib/xsession.js');
const { launch } = require('./rig.js');

const USER = 'tavrik-wayland';

function testUser() {
  if (spawnSync('id', ['-u', USER]).status !== 0) {
    execFileSync('useradd', ['--system', '--no-create-home', '--shell', '/usr/sbin/nologin', USER]);
  }
  return { uid: Number(execFileSync('id', ['-u', USER])), gid: Number(execFileSync('id', ['-g', USER])) };
}

// The test user, and a private runtime directory of its own.
function userRuntime(name) {
  const user = testUser();
  const runtime = fs.mkdtempSync(path.join(os.tmpdir(), `tavrik-${name}-`));
  fs.chownSync(runtime, user.uid, user.gid);
  fs.chmodSync(runtime, 0o700);
  return { user, runtime };
}

// `bindings`: sway `bindsym` lines. Resolves once its socket is up.
async function startSway(bindings) {
  const { user, runtime } = userRuntime('sway');
  const config = path.join(runtime, 'config');
  fs.writeFileSync(config, bindings.join('\n') + '\n');
  const env = { PATH: process.env.PATH, XDG_RUNTIME_DIR: runtime, WLR_BACKENDS: 'headless',
                WLR_RENDERER: 'pixman', WLR_LIBINPUT_NO_DEVICES: '1' };
  const socket = path.join(runtime, 'wayland-1');
  const proc = await launch('sway', ['-c', config], { env, cwd: runtime, stdio: 'ignore', ...user },
                            { ready: () => fs.existsSync(socket) });
  // The clients' environment: root reaches the user's socket too.
  const clientEnv = { ...process.env, XDG_RUNTIME_DIR: runtime, WAYLAND_DISPLAY: 'wayland-1' };
  delete clientEnv.DISPLAY;
  return {
    user, runtime, socket, env: clientEnv,
    async stop() {
      proc.kill();
      await ended(proc, 'sway');
      fs.rmSync(runtime, { recursive: true, force: true });
    },
  };
}

const hasSway = () => process.getuid() === 0 &&
  spawnSync('sh', ['-c', 'command -v sway && command -v wl-copy && command -v wtype']).status === 0;

// A private session bus (with `args`, as the user `options` names, if
// any); resolves with its process and address.
async function startBus(args = ['--session'], options = {}) {
  const proc = await launch('dbus-daemon', [...args, '--nofork', '--print-address=1'],
                            { stdio: ['ignore', 'pipe', 'ignore'], ...options }, { ready: (out) => out.includes('\n') });
  return { proc, address: proc.out.trim() };
}

// The tests' GlobalShortcuts backend (playing the desktops `modes` name),
// then the real portal frontend choosing it, both on the bus of `env`, which
// gets what the frontend needs to find the backend. Returns the two processes.
async function startPortal(env, backendPath, portalDir, ...modes) {
  fs.writeFileSync(path.join(portalDir, 'tavriktest.portal'),
                   '[portal]\nDBusName=org.freedesktop.impl.portal.desktop.tavriktest\n' +
                   'Interfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=tavriktest\n');
  Object.assign(env, { XDG_DESKTOP_PORTAL_DIR: portalDir, XDG_CURRENT_DESKTOP: 'tavriktest' });
  const backend = await launch(backendPath, modes, { env, stdio: ['pipe', 'pipe', 'inherit'] },
                               { ready: (out) => out.startsWith('ready\n') });
  // Chosen by name, as a desktop's own portals.conf does: whatever other
  // backends and desktops the machine has, and whatever the frontend's
  // fallback for a desktop without one.
  const conf = path.join(portalDir, 'xdg-desktop-portal');
  fs.mkdirSync(conf, { recursive: true });
  fs.writeFileSync(path.join(conf, 'tavriktest-portals.conf'), '[preferred]\ndefault=tavriktest\n');
  const frontend = spawn('/usr/libexec/xdg-desktop-portal', ['-r'],
                         { env: { ...env, XDG_CONFIG_HOME: portalDir }, stdio: 'ignore' });
  await waitFor('the portal frontend', () => spawnSync('dbus-send', [
    '--session', '--print-reply', '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
    'org.freedesktop.DBus.NameHasOwner', 'string:org.freedesktop.portal.Desktop',
  ], { env, timeout: 30000 }).stdout.toString().includes('boolean true'), undefined,
  () => `frontend ${frontend.exitCode === null ? 'running' : `exited with ${frontend.exitCode}`}`);
  return { backend, frontend };
}

// A systemd user unit of root's, as a session manager makes one per program,
// whose name the portal reads an application id from: `through` runs a
// command in it. Null without the cgroup2 hierarchy to make it in.
const APP_SLICE = '/sys/fs/cgroup/unified/user.slice/user-0.slice/user@0.service/app.slice';
function userUnit(name) {
  const dir = path.join(APP_SLICE, name);
  try {
    fs.mkdirSync(dir, { recursive: true });
  } catch {
    return null;
  }
  const procs = path.join(dir, 'cgroup.procs');
  return { through: ['/bin/sh', '-c', 'echo $$ > "$0" && exec "$@"', procs],
           remove: async () => {  // once all it ran has ended
             await waitFor(`${name} to empty`, () => fs.readFileSync(procs, 'utf8') === '');
             fs.rmdirSync(dir);
           } };
}

const wlPaste = (env) => spawnSync('wl-paste', ['--no-newline'], { env, maxBuffer: 64 << 20, timeout: 30000 }).stdout;

// A wl-copy that holds the selection until it is ended; resolves once
// `read` gives the text back. On mutter a Wayland reader takes the keyboard
// focus as wl-copy does, and asked many times a second keeps wl-copy from
// ever setting the selection: there the text is read on the X side instead.
async function wlCopy(rig, env, data, read = () => wlPaste(env)) {
  const copy = spawn('wl-copy', ['--foreground'], { env, stdio: ['pipe', 'ignore', 'ignore'] });
  rig.children.push(copy);
  copy.stdin.end(data);
  await waitFor('wl-copy to own the selection', () => read().equals(Buffer.from(data)));
}

const hasMutter = () => process.getuid() === 0 &&
  spawnSync('sh', ['-c', 'command -v mutter && command -v Xwayland && command -v wl-copy']).status === 0;

// Headless mutter on its own session bus, with its Xwayland, and a seat
// given a keyboard by `keyboardPath` (a headless seat has none, so no client
// would get focus and wl-paste would wait forever). Resolves once all of
// it is up.
async function startMutter(keyboardPath) {
  const { user, runtime } = userRuntime('mutter');
  const started = [];  // stopped in the reverse order
  const gnome = {
    user, runtime,
    // The clients' environment: root reaches the user's socket too.
    env: { ...process.env, XDG_RUNTIME_DIR: runtime, WAYLAND_DISPLAY: 'wayland-0', DISPLAY: '' },
    async stop() {
      for (const p of started.reverse()) {
        p.kill();  // mutter ends its Xwayland and removes its X sockets
        await ended(p, p.spawnfile);
      }
      // Xwayland may outlive mutter by a moment.
      if (gnome.xwayland) await waitFor('Xwayland to end', () => !alive(gnome.xwayland));
      fs.rmSync(runtime, { recursive: true, force: true });
    },
  };
  try {
    // A session bus that starts no service of the machine's (they would
    // outlive the tests): the session then has no portal, as GNOME before 48
    // has none for shortcuts.
    const config = path.join(runtime, 'bus.conf');
    fs.writeFileSync(config, '<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>' +
      '<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>' +
      '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n');
    const bus = await startBus([`--config-file=${config}`], { ...user });
    started.push(bus.proc);
    const env = { PATH: process.env.PATH, HOME: runtime, XDG_RUNTIME_DIR: runtime,
                  DBUS_SESSION_BUS_ADDRESS: bus.address };
    // It picks a free X display itself and says which.
    const display = (err) => fs.existsSync(path.join(runtime, 'wayland-0')) && /Using public X11 display (:\d+)/.exec(err);
    const mutter = await launch('mutter', ['--headless', '--wayland', '--virtual-monitor', '640x480'],
                                { env, cwd: runtime, stdio: ['ignore', 'ignore', 'pipe'], ...user },
                                { ready: (out, err) => display(err), children: started });
    gnome.display = display(mutter.err)[1];
    gnome.xauthority = path.join(runtime, await waitFor('the Xwayland auth file', () =>
      fs.readdirSync(runtime).find((f) => f.startsWith('.mutter-Xwaylandauth.'))));
    gnome.xwayland = await waitFor('Xwayland', () => below(mutter.pid).find((p) => p.name === 'Xwayland')?.pid);
    // As a GNOME session's own environment.
    gnome.session = { ...env, WAYLAND_DISPLAY: 'wayland-0', DISPLAY: gnome.display };
    await waitFor('mutter on the bus', () => mutter.exitCode === null && spawnSync('dbus-send', [
      '--session', '--print-reply', '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
      'org.freedesktop.DBus.NameHasOwner', 'string:org.gnome.Mutter.RemoteDesktop',
    ], { env, ...user, timeout: 30000 }).stdout.toString().includes('boolean true'));
    await launch(keyboardPath, [], { env, stdio: ['pipe', 'pipe', 'inherit'], ...user },
                 { ready: (out) => out === 'ready\n', children: started });
  } catch (e) {
    await gnome.stop();
    throw e;
  }
  return gnome;
}

module.exports = { startSway, hasSway, startBus, startPortal, APP_SLICE, userUnit, startMutter, hasMutter, wlCopy, wlPaste };
