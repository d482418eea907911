'use strict';
// Starting the agent at login, from one table: what each way of starting
// writes, and where. The package's own copies are rendered from the same
// table at build time (node lib/autostart.js render KIND AGENT NODE CLI).
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync, spawn } = require('node:child_process');
const { userDir } = require('./settings.js');

// The id the desktops know the agent by: the portal reads it from the name
// of the unit the agent runs in.
const APP_ID = 'vn.tavrik.agent';
// The agent's status line, the last of its start-up.
const STATUS = /= lấy về \(/;

// A command line as an Exec= value (`systemd`: ExecStart=): each word
// quoted when it holds more than plain characters; % doubled (both read it
// as a specifier), and $ doubled for systemd, escaped for desktop entries.
const execLine = (argv, systemd = false) => argv.map((w) => {
  const doubled = w.replace(/%/g, '%%').replace(/\$/g, systemd ? '$$$$' : '$');
  if (/^[\w@%+=:,./-]+$/.test(doubled)) return doubled;
  return `"${doubled.replace(systemd ? /[\\"]/g : /[\\"`$]/g, (c) => `\\${c}`)}"`;
}).join(' ');

const config = (...parts) => path.join(userDir('XDG_CONFIG_HOME', '.config'), ...parts);

const KINDS = {
  systemd: {
    file: () => config('systemd', 'user', `app-${APP_ID}.service`),
    render: (argv) => `[Unit]
Description=tavrik-agent: clipboard hotkeys between two machines
PartOf=graphical-session.target
After=graphical-session.target
# An agent already running in the session makes this one exit 1 at once:
# give up after a few tries instead of starting it every three seconds.
StartLimitIntervalSec=60
StartLimitBurst=5

[Service]
ExecStart=${execLine(argv, true)}
# It exits with status 1 when the X connection breaks: start it again.
Restart=on-failure
RestartSec=3
# On stop it exits 0 on its own, within three seconds: it first hands the
# clipboard it owns to a clipboard manager, if one runs.
TimeoutStopSec=10

[Install]
WantedBy=graphical-session.target
`,
  },
  xdg: {
    file: () => config('autostart', `${APP_ID}.desktop`),
    render: (argv) => `[Desktop Entry]
Type=Application
Name=tavrik-agent
Comment=Gửi và lấy clipboard giữa hai máy bằng phím tắt
Exec=${execLine(argv)}
Terminal=false
NoDisplay=true
X-GNOME-Autostart-enabled=true
X-GNOME-UsesNotifications=true
`,
  },
  // macOS: launchd starts it at login, with its standard error in a log.
  launchd: {
    file: () => path.join(os.homedir(), 'Library', 'LaunchAgents', `${APP_ID}.plist`),
    render: (argv) => {
      const xml = (t) => t.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
      const words = ['/bin/sh', '-c', 'mkdir -p "$HOME/Library/Logs" && exec "$0" "$@" 2>>"$HOME/Library/Logs/tavrik-agent.log"',
                     ...argv].map((w) => `    <string>${xml(w)}</string>\n`).join('');
      return `<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Label</key>
  <string>${APP_ID}</string>
  <key>ProgramArguments</key>
  <array>
${words}  </array>
  <key>RunAtLoad</key>
  <true/>
  <key>KeepAlive</key>
  <dict>
    <key>Crashed</key>
    <true/>
  </dict>
  <key>ProcessType</key>
  <string>Interactive</string>
</dict>
</plist>
`;
    },
  },
};

// Windows: a shortcut in the Startup folder, made and read by the
// tavrik-startup.exe of the package (bin/, above share/tavrik/lib/).
KINDS.startup = {
  file: () => path.join(process.env.APPDATA || os.homedir(), 'Microsoft', 'Windows', 'Start Menu', 'Programs',
                        'Startup', 'tavrik-agent.lnk'),
};
const startupTool = () => path.resolve(__dirname, '..', '..', '..', 'bin', 'tavrik-startup.exe');

// launchd's agent has no --trigger status: it appends its standard error
// to a log, and launchctl knows whether it runs.
const launchdLog = () => path.join(os.homedir(), 'Library', 'Logs', 'tavrik-agent.log');
function launchdLines(from = 0) {
  try {
    return fs.readFileSync(launchdLog()).subarray(from).toString().split('\n').filter(Boolean);
  } catch {
    return [];
  }
}
const launchdRunning = () => /"PID" =/.test(spawnSync('launchctl', ['list', APP_ID], { encoding: 'utf8', timeout: 10000 }).stdout || '');

// The agent's command line as an installed entry has it, or null.
function installedArgv(kind) {
  if (kind === 'startup') {
    const r = spawnSync(startupTool(), ['show'], { encoding: 'utf8', timeout: 30000 });
    return r.status === 0 ? r.stdout.split('\n').slice(0, -1) : null;
  }
  let text;
  try {
    text = fs.readFileSync(KINDS[kind].file(), 'utf8');
  } catch {
    return null;
  }
  if (kind === 'launchd') {
    const array = /<key>ProgramArguments<\/key>\s*<array>([\s\S]*?)<\/array>/.exec(text);
    const words = [...(array ? array[1] : '').matchAll(/<string>(.*)<\/string>/g)]
      .map((m) => m[1].replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/&amp;/g, '&'));
    return words.length > 3 ? words.slice(3) : null;  // after the shell's three
  }
  const line = /^(?:Exec|ExecStart)=(.*)$/m.exec(text);
  if (!line) return null;
  const words = [];
  const word = /"((?:[^"\\]|\\.)*)"|(\S+)/g;
  for (let m; (m = word.exec(line[1]));) {
    const w = (m[1] !== undefined ? m[1].replace(/\\(.)/g, '$1') : m[2]).replace(/%%/g, '%');
    words.push(kind === 'systemd' ? w.replace(/\$\$/g, '$') : w);
  }
  return words;
}

// Which way this session starts programs at login: a user manager that has
// the session's display, else XDG autostart.
function chooseKind() {
  const r = spawnSync('systemctl', ['--user', 'show-environment'], { encoding: 'utf8', timeout: 10000 });
  return r.status === 0 && /^(DISPLAY|WAYLAND_DISPLAY)=./m.test(r.stdout) ? 'systemd' : 'xdg';
}

// The installed entry this platform starts the agent from: { kind, argv }.
function installed() {
  for (const kind of process.platform === 'win32' ? ['startup'] : ['systemd', 'xdg', 'launchd']) {
    const argv = installedArgv(kind);
    if (argv) return { kind, argv };
  }
  return null;
}

const pause = new Int32Array(new SharedArrayBuffer(4));
const sleep = (ms) => Atomics.wait(pause, 0, 0, ms);

// Runs a command to its end; null when it succeeded, else why not.
const run = (command, args) => {
  const r = spawnSync(command, args, { encoding: 'utf8', timeout: 30000 });
  return r.status === 0 ? null : (r.stderr || r.error?.message || `mã ${r.status}`).trim().replace(/\r/g, '');
};

// Writes the entry of `kind` for `argv`; null, or why it could not.
function write(kind, argv) {
  if (kind === 'startup') {
    const failed = run(startupTool(), ['add', ...argv.slice(1)]);
    return failed && `tavrik-startup add không chạy được: ${failed}`;
  }
  const { file, render } = KINDS[kind];
  try {
    fs.mkdirSync(path.dirname(file()), { recursive: true });
    fs.writeFileSync(file(), render(argv));
    return null;
  } catch (e) {
    return `Không ghi được ${file()}: ${e.message}`;
  }
}

// launchd's agent, stopped if loaded and loaded (so started) again.
function reloadLaunchd() {
  const [domain, file] = [`gui/${process.getuid()}`, KINDS.launchd.file()];
  spawnSync('launchctl', ['bootout', domain, file], { stdio: 'ignore', timeout: 30000 });  // none yet is fine
  const failed = run('launchctl', ['bootstrap', domain, file]);
  return failed && `launchctl không nạp được ${file}: ${failed}`;
}

// Installs `argv` to start at login and starts it now; what was done, in
// the user's words, or { error }.
function install(argv) {
  if (process.platform === 'darwin') return installLaunchd(argv);
  if (process.platform === 'win32') return installWindows(argv);
  const kind = chooseKind();
  const { file, render } = KINDS[kind];
  let same = false;
  try {
    same = fs.readFileSync(file(), 'utf8') === render(argv);
  } catch { /* not installed yet */ }
  const failed = !same && write(kind, argv);
  if (failed) return { error: failed };
  if (kind === 'systemd') {
    const unit = `app-${APP_ID}`;
    const failed = run('systemctl', ['--user', 'daemon-reload']) ||
      run('systemctl', ['--user', 'enable', unit]) ||
      run('systemctl', ['--user', same ? 'start' : 'restart', unit]);
    if (failed) return { error: `systemctl --user không bật được ${unit}: ${failed}` };
    return { said: `${same ? 'đã có' : 'đã cài'} dịch vụ ${unit} (systemd), đang chạy` };
  }
  const where = `${same ? 'đã có' : 'đã cài'} ${file()}`;
  if (!process.env.DISPLAY && !process.env.WAYLAND_DISPLAY) return { said: `${where}; tavrik-agent sẽ chạy từ lần đăng nhập tới` };
  const running = spawnSync(argv[0], ['--trigger', 'status'], { stdio: 'ignore', timeout: 10000 }).status === 0;
  if (running && same) return { said: `${where}; tavrik-agent đang chạy` };
  if (running) stop();
  startDetached(argv);
  return { said: `${where}; đã chạy tavrik-agent` };
}

function installLaunchd(argv) {
  const failed = write('launchd', argv) || reloadLaunchd();
  if (failed) return { error: failed };
  return { said: `đã cài ${KINDS.launchd.file()} (launchd), đang chạy` };
}

function installWindows(argv) {
  const failed = write('startup', argv);
  if (failed) return { error: failed };
  stop();
  startDetached(argv);
  return { said: 'đã thêm lối tắt tavrik-agent vào thư mục Startup; đã chạy tavrik-agent' };
}

// Where an agent started here writes its standard error.
const logFile = () => path.join(userDir('XDG_STATE_HOME', '.local', 'state'), 'tavrik', 'agent.log');

// Starts the agent on its own, its standard error appended to the log: an
// agent still writing there keeps its lines, and none leaves a hole of NUL
// bytes in another's; its pid.
function startDetached(argv) {
  fs.mkdirSync(path.dirname(logFile()), { recursive: true, mode: 0o700 });
  const log = fs.openSync(logFile(), 'a', 0o600);
  // As at login: none of this shell's TAVRIK_* settings.
  const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('TAVRIK_')));
  const agent = spawn(argv[0], argv.slice(1), { detached: true, env, stdio: ['ignore', 'ignore', log] });
  fs.closeSync(log);
  agent.unref();
  return agent.pid;
}

// This user's agents in this session: its own uid, and the same runtime
// folder (where its trigger socket is), or display when there is none.
function sessionAgents() {
  const mine = process.env.XDG_RUNTIME_DIR ? `XDG_RUNTIME_DIR=${process.env.XDG_RUNTIME_DIR}`
    : process.env.DISPLAY && `DISPLAY=${process.env.DISPLAY}`;
  const found = [];
  // No session to tell agents apart by, or no /proc to look in (macOS).
  if (!mine || !fs.existsSync('/proc/self')) return found;
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      if (path.basename(fs.readlinkSync(`/proc/${pid}/exe`)) !== 'tavrik-agent') continue;
      if (fs.statSync(`/proc/${pid}`).uid !== process.getuid()) continue;
      if (fs.readFileSync(`/proc/${pid}/environ`, 'latin1').split('\0').includes(mine)) found.push(Number(pid));
    } catch { /* gone, or not ours to read */ }
  }
  return found;
}

// False once `pid` has ended, reaped or not.
function alive(pid) {
  try {
    if (!fs.existsSync('/proc/self')) return process.kill(pid, 0);
    return !/^\d+ \(.*\) Z/.test(fs.readFileSync(`/proc/${pid}/stat`, 'latin1'));
  } catch {
    return false;
  }
}

// Ends this session's agents, and waits (ten seconds at most) until they
// are gone: each hands its clipboard over first.
function stop() {
  if (process.platform === 'win32') return void run(startupTool(), ['stop']);
  const pids = sessionAgents();
  for (const pid of pids) process.kill(pid, 'SIGTERM');
  const until = Date.now() + 10000;
  while (pids.some(alive) && Date.now() < until) sleep(50);
}

// Removes what install() put in place and stops the agent; what was done.
function remove() {
  const done = [];
  if (fs.existsSync(KINDS.systemd.file())) {
    run('systemctl', ['--user', 'disable', '--now', `app-${APP_ID}`]);
    fs.rmSync(KINDS.systemd.file(), { force: true });
    run('systemctl', ['--user', 'daemon-reload']);
    done.push(KINDS.systemd.file());
  }
  if (fs.existsSync(KINDS.xdg.file())) {
    fs.rmSync(KINDS.xdg.file(), { force: true });
    done.push(KINDS.xdg.file());
  }
  if (process.platform === 'darwin' && fs.existsSync(KINDS.launchd.file())) {
    run('launchctl', ['bootout', `gui/${process.getuid()}`, KINDS.launchd.file()]);  // stops it too
    fs.rmSync(KINDS.launchd.file(), { force: true });
    done.push(KINDS.launchd.file());
  }
  if (process.platform === 'win32' && !run(startupTool(), ['remove'])) done.push(KINDS.startup.file());
  stop();
  return done;
}

module.exports = { APP_ID, STATUS, KINDS, installed, installedArgv, install, write, reloadLaunchd, launchdLog, launchdLines,
                   launchdRunning, remove, stop,
                   startDetached, logFile, alive, run, sleep };

// At build time: the package's copies, from the same table.
if (require.main === module && process.argv[2] === 'render') {
  process.stdout.write(KINDS[process.argv[3]].render(process.argv.slice(4)));
}
