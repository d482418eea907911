'use strict';
// A copy of the agent laid out as installed, with the companion stand-in;
// what it tells the user is recorded where each system puts it: on Linux,
// by a notification server on its session bus and a sound player on its
// PATH; under Wine, by a notification area of tool.exe's and Wine's own
// trace of PlaySound. tool.exe also plays the companion there.
// Everything started here is stopped here.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const xsession = require('../../scripts/lib/xsession.js');

const { sleep, waitFor, ended, startXvfb } = xsession;

const COMPANION = path.join(__dirname, 'companion.js');
const WINE_RUN = path.join(__dirname, '../../scripts/lib/wine-run');
const windowsPath = (p) => `Z:${p.replace(/\//g, '\\')}`;
// The last line of start-up; every line before it has been written then.
const STATUS_LINE = /^tavrik: .* = gửi đi \((OK|HỎNG)\), .* = lấy về \((OK|HỎNG)\)\n/m;
// That line, for the keys `copy` and `paste` and their states.
const statusLine = (push, pull, copy = 'ctrl+alt+c', paste = 'ctrl+alt+b') =>
  `tavrik: ${copy} = gửi đi (${push}), ${paste} = lấy về (${pull})\n`;
// A sound theme whose files' samples are their events' feedback records:
// the tests' sound device writes what it plays to the feedback log.
function soundTheme(share, theme) {
  const dir = path.join(share, 'sounds', theme);
  fs.mkdirSync(path.join(dir, 'stereo'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'index.theme'),
                   `[Sound Theme]\nName=${theme}\nDirectories=stereo\n\n[stereo]\nOutputProfile=stereo\n`);
  for (const event of ['complete', 'dialog-error']) {
    const record = `sound\x1f${theme === 'freedesktop' ? '' : `${theme}/`}${event}\x1f\x1e`;
    const data = Buffer.from(record.length % 2 ? `${record}\x1e` : record);  // 16-bit samples
    const head = Buffer.alloc(44);
    head.write('RIFFxxxxWAVEfmt ');
    head.writeUInt32LE(36 + data.length, 4);
    [16, 0x10001, 8000, 16000, 0x100002].forEach((v, i) => head.writeUInt32LE(v, 16 + 4 * i));  // mono 8 kHz
    head.write('data', 36);
    head.writeUInt32LE(data.length, 40);
    fs.writeFileSync(path.join(dir, 'stereo', `${event}.wav`), Buffer.concat([head, data]));
  }
}

// A process with its outputs gathered (`out`, `err`) and its end (`exited`),
// put in `children` at once; resolves once `ready(out, err)` holds, if given.
async function launch(command, args, options, { ready, children = [] } = {}) {
  const child = spawn(command, args, { stdio: 'pipe', ...options });
  children.push(child);
  Object.assign(child, { out: '', err: '' });
  child.stdout?.on('data', (d) => { child.out += d; });
  child.stderr?.on('data', (d) => { child.err += d; });
  child.exited = new Promise((r) => child.on('exit', (code, signal) => r({ code, signal })));
  if (ready) {
    await waitFor(`${path.basename(command)} to be ready`, () => {
      if (child.exitCode !== null) throw new Error(`${command} exited with ${child.exitCode}: ${child.err}`);
      return ready(child.out, child.err);
    }, undefined, () => ({ out: child.out, err: child.err }));
  }
  return child;
}

class Rig {
  constructor(display, { wine = false } = {}) {
    this.wine = wine;
    const exe = wine ? '.exe' : '';
    const local = wine ? windowsPath : (p) => p;
    this.local = local;
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-it-'));
    this.prefix = path.join(this.root, 'prefix');
    this.dir = path.join(this.root, 'state');
    this.agentPath = path.join(this.prefix, 'bin', `tavrik-agent${exe}`);
    fs.mkdirSync(path.dirname(this.agentPath), { recursive: true });
    fs.mkdirSync(this.dir);
    // A copy, not a link: the agent finds the companion from its own real path.
    fs.copyFileSync(process.env.TAVRIK_AGENT, this.agentPath);
    fs.chmodSync(this.agentPath, 0o755);
    // Records the exact argument vector the agent starts, then runs node.
    this.nodeRecorder = path.join(this.root, `node${exe}`);
    this.companion = wine ? 'store' : COMPANION;
    if (wine) {
      fs.copyFileSync(process.env.TAVRIK_TOOL, this.nodeRecorder);
    } else {
      this.share = path.join(this.root, 'share');
      for (const theme of ['freedesktop', 'tavriktest']) soundTheme(this.share, theme);
      this.settings = path.join(this.root, 'sound-settings');
      this.servers = new Map();  // a notification server on each bus address
      fs.writeFileSync(this.nodeRecorder,
                       `#!/bin/sh\nprintf '%s\\037' "$0" "$@" > "$TAVRIK_TEST_DIR/argv-$3"\n` +
                       `exec node "$@"\n`, { mode: 0o755 });
    }
    this.children = [];
    this.env = { ...process.env, TAVRIK_TEST_DIR: local(this.dir) };
    delete this.env.WAYLAND_DISPLAY;
    delete this.env.XDG_RUNTIME_DIR;  // no trigger socket unless a test wants one
    this.env.XDG_STATE_HOME = this.root;  // whether a trigger has ever arrived
    this.spawnOptions = {};
    if (display) this.env.DISPLAY = display;
    else delete this.env.DISPLAY;
    this.newFeedbackLog();
    if (!wine) {
      fs.writeFileSync(path.join(this.root, 'asound.conf'), 'pcm.default { type file; slave.pcm { type null }; ' +
                       `file "|cat >> '${this.feedbackLog}'"; format raw }\n`);
    }
  }

  // Each test's feedback is what comes to the rig's one log after the last.
  newFeedbackLog() {
    if (!this.feedbackLog) {
      this.feedbackLog = path.join(this.root, 'feedback');
      this.env.TAVRIK_TEST_FEEDBACK = this.feedbackLog;
      fs.writeFileSync(this.feedbackLog, '', { mode: 0o666 });
      fs.chmodSync(this.feedbackLog, 0o666);  // whatever user the agent and its server are
    }
    this.from = fs.statSync(this.feedbackLog).size;
    this.seen = 0;
  }

  // The agent's environment with `env`: on Linux, the tests' sound device
  // and themes, and a notification server on its session bus (the rig's
  // own, with no other service but the sound settings, unless the desktop
  // has one); without `bus`, none.
  async agentEnv(env, bus) {
    const all = { ...this.env, ...env };
    if (this.wine) {
      this.tray ??= await launch(WINE_RUN, [windowsPath(this.nodeRecorder), 'tray', windowsPath(this.feedbackLog)],
                                 { env: all, stdio: ['ignore', 'pipe', 'ignore'] }, { ready: (out) => out === 'ready\n' });
      return { ...all, TAVRIK_WINEDEBUG: '-all,trace+winmm' };
    }
    // A home of the agent's user: libcanberra looks for sounds and keeps a cache there.
    Object.assign(all, { ALSA_CONFIG_PATH: path.join(this.root, 'asound.conf'), CANBERRA_DRIVER: 'alsa',
                         XDG_DATA_DIRS: `${this.share}:${all.XDG_DATA_DIRS || '/usr/local/share:/usr/share'}`,
                         HOME: env.HOME ?? this.root });
    if (!bus) return { ...all, DBUS_SESSION_BUS_ADDRESS: `unix:path=${path.join(this.root, 'no-bus')}` };
    const own = !all.DBUS_SESSION_BUS_ADDRESS;
    if (own) {
      this.bus ??= await quietBus(this.root, this.spawnOptions);
      all.DBUS_SESSION_BUS_ADDRESS = this.bus.address;
    }
    if (!this.servers.has(all.DBUS_SESSION_BUS_ADDRESS)) {
      this.servers.set(all.DBUS_SESSION_BUS_ADDRESS, await launch(
        process.env.TAVRIK_NOTIFICATION_SERVER, [this.feedbackLog, ...(own ? [this.settings] : [])],
        { env: all, stdio: ['pipe', 'pipe', 'inherit'], ...this.spawnOptions }, { ready: (out) => out === 'ready\n' }));
    }
    return all;
  }

  // The agent's command line with `args`, as this system starts it.
  command(...args) {
    return this.wine ? [WINE_RUN, windowsPath(this.agentPath), ...args] : [this.agentPath, ...args];
  }

  // The agent run to its end with `args`: its status and both outputs.
  run(args, env = {}) {
    const [file, ...rest] = this.command(...args);
    const r = spawnSync(file, rest, { env: { ...this.env, ...env }, encoding: 'utf8', timeout: 30000,
                                      ...this.spawnOptions });
    return [r.status, r.stdout, r.stderr];
  }

  file(name) { return path.join(this.dir, name); }
  read(name) { return fs.existsSync(this.file(name)) ? fs.readFileSync(this.file(name)) : null; }
  write(name, data) { fs.writeFileSync(this.file(name), data); }
  remove(name) { fs.rmSync(this.file(name), { force: true }); }
  runs() { return (this.read('runs') || '').toString().split('\n').filter(Boolean); }

  // Starts the agent and waits for its status line. On a display both
  // hotkeys must be bound unless `mayRefuse`: a grab still held by the
  // agent a test just ended (the X server may not have cleaned up after it
  // yet on a loaded machine) means starting again, with a fresh feedback log.
  // `ready`: what to wait for instead; `through`: a command that runs the
  // agent; without `bus`, no session bus at all.
  async startAgent(args = [], env = {}, { mayRefuse = false, ready = STATUS_LINE, through = [], bus = true } = {}) {
    const until = Date.now() + 30000;  // a refusal that lasts is the test's to report
    for (;;) {
      const command = [...through, ...this.command('--node', this.local(this.nodeRecorder), '--cli', this.companion,
                                                   ...args)];
      const agent = await launch(command[0], command.slice(1), { env: await this.agentEnv(env, bus),
                                 stdio: ['ignore', 'pipe', 'pipe'], ...this.spawnOptions },
                                 { ready: (out, err) => ready.test(err), children: this.children });
      this.agent = agent;
      if (this.wine) this.hearSounds(agent);
      if (!this.env.DISPLAY || mayRefuse || Date.now() > until || !STATUS_LINE.exec(agent.err)[0].includes('HỎNG')) {
        return agent;
      }
      agent.kill('SIGKILL');
      await ended(agent, 'the agent');
      this.newFeedbackLog();
    }
  }

  key(...args) { xsession.key(this.env, ...args); }

  // Another X client (tests/harness/x_peer.cpp), once it is ready.
  peer(...args) {
    return launch(process.env.TAVRIK_X_PEER, args, { env: this.env, stdio: ['ignore', 'pipe', 'inherit'] },
                  { ready: (out) => out.startsWith('ready\n'), children: this.children });
  }

  async setClipboard(data, target = 'UTF8_STRING') {
    const xclip = await xsession.ownClipboard(this.env, data, target);
    this.children.push(xclip);
    return xclip;
  }

  readClipboard(target = 'UTF8_STRING') { return xsession.readClipboard(this.env, target); }

  // While the agent owns the clipboard it answers a request only after it
  // has handled every key event sent before it: returns once they are.
  handled() { this.readClipboard(); }

  // Under Wine, the sounds an agent asks for, from Wine's trace of
  // PlaySound on its standard error (taken out of what the tests read).
  hearSounds(agent) {
    const TRACE = /^[0-9a-f]+:(?:trace|warn|err|fixme):.*\n/gm;
    let raw = agent.err;
    agent.stderr.on('data', (d) => {
      raw += d;
      for (const [, alias] of raw.matchAll(/^[0-9a-f]+:trace:winmm:MULTIMEDIA_PlaySound pszSound='0*(2A53|4853)'.*\n/gm)) {
        fs.appendFileSync(this.feedbackLog, `sound\x1f${alias === '2A53' ? 'complete' : 'dialog-error'}\x1f\x1e`);
      }
      raw = raw.replace(TRACE, '');
      agent.err = raw;
    });
  }

  // Everything told since the last newFeedbackLog, as records:
  // ['notify', title, body, urgency] and ['sound', theme event].
  feedback() {
    const records = fs.readFileSync(this.feedbackLog).subarray(this.from).toString().split('\x1e').filter(Boolean)
      .map((r) => { const f = r.split('\x1f'); f.pop(); return f; });
    return records.map((f) => {
      if (f[0] !== 'notify' || f.length === 4) return f;  // Wine's notification area has no more
      const [, app, entry, urgency, replaced, title, body] = f;
      assert.deepEqual([app, entry], ['tavrik', 'vn.tavrik.agent']);
      this.replaced = replaced;
      return ['notify', title, body, urgency];
    });
  }

  // Waits until `count` feedback records have come. A test
  // compares the whole record afterwards, so one too many still fails.
  async feedbackOf(count) {
    await waitFor(`${count} feedback records`, () => this.feedback().length >= count, undefined,
                  () => ({ feedback: this.feedback(), agent: this.agent?.err }));
    return this.feedback();
  }

  // The next feedback records after those already expected must be
  // `records`, in any order (and no more, once they have come).
  async expect(...records) {
    const from = this.seen;
    this.seen += records.length;
    assertFeedback((await this.feedbackOf(this.seen)).slice(from), records);
  }

  // Stops an agent by a signal; it must exit 0.
  async stop(agent, signal = 'SIGTERM') {
    agent.kill(signal);
    assert.deepEqual(await ended(agent, 'the agent'), { code: 0, signal: null });
  }

  // The desktop's sound theme and event-sounds switch, as the rig's own bus
  // tells them: GNOME's keys, or `kde`'s.
  soundSettings(theme, on, kde) { fs.writeFileSync(this.settings, `${theme}\n${on}\n${kde ? 'kde\n' : ''}`); }

  // Ends what this rig started, by pid, and waits until each is gone.
  async reset() {
    await Promise.all(this.children.map((c) => {
      if (c.exitCode !== null || c.signalCode !== null) return null;
      const gone = new Promise((r) => c.once('exit', r));
      c.kill('SIGKILL');
      return ended({ ...c, exited: gone }, c.spawnfile);
    }));
    this.children = [];
    fs.rmSync(this.dir, { recursive: true, force: true });
    fs.rmSync(path.join(this.root, 'tavrik'), { recursive: true, force: true });  // no trigger seen yet
    if (this.settings) fs.rmSync(this.settings, { force: true });
    fs.mkdirSync(this.dir);
    if (this.spawnOptions.uid !== undefined) this.runAs(this.spawnOptions);
    this.newFeedbackLog();
  }

  // The agent (and so its companion) runs as this user.
  runAs({ uid, gid }) {
    this.spawnOptions = { uid, gid };
    for (const p of [this.root, this.prefix, path.dirname(this.agentPath), this.agentPath, this.nodeRecorder,
                     this.dir]) {
      fs.chownSync(p, uid, gid);
    }
  }

  async close() {
    await this.reset();
    for (const p of [...(this.servers?.values() ?? []), this.bus?.proc, this.tray].filter(Boolean)) {
      p.kill();
      await ended(p, 'a server of the rig');
    }
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}

// The most memory a process has held, from the kernel's own count.
function peakMiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/^VmHWM:\s+(\d+) kB$/m.exec(status)[1]) / 1024;
}
// Sanitizers keep shadow memory and freed blocks: their figures say nothing.
const SANITIZED = Boolean(process.env.TAVRIK_SANITIZE);

// A private session bus that starts no service of the machine's, as
// `options` (a user) says.
async function quietBus(dir, options) {
  const config = path.join(dir, 'bus.conf');
  fs.writeFileSync(config, '<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>' +
    '<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>' +
    '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n');
  const proc = await launch('dbus-daemon', [`--config-file=${config}`, '--nofork', '--print-address=1'],
                            { stdio: ['ignore', 'pipe', 'ignore'], ...options }, { ready: (out) => out.includes('\n') });
  return { proc, address: proc.out.trim() };
}

const notification = (title, body, ok = false) => ['notify', title, body, ok ? 'normal' : 'critical'];
const sound = (ok) => ['sound', ok ? 'complete' : 'dialog-error'];

const pushed = [sound(true), notification('Tavrik đã tung Sóng Âm',
                                          'Đã gửi lên kho. Máy kia bấm Ctrl+Alt+B để lấy.', true)];
// Linux and Windows keyboards paste with Ctrl+V (macOS's text says Cmd+V).
const pulled = [sound(true), notification('Mục tiêu đã bị khoá', 'Truy sát ngay nào! Ctrl+V để dán.', true)];
const stumbled = (body) => [sound(false), notification('Tavrik trượt chân', body)];
const nothingToSend = [sound(false), notification('Chưa có gì để tung',
  'Clipboard rỗng (hoặc không phải chữ) — copy một đoạn rồi bấm lại.')];
const nothingToFetch = [sound(false), notification('Chưa thấy mục tiêu nào', 'Máy kia chưa gửi gì sang.')];
// The first line of a Wayland start-up: the hotkeys' route and the clipboard's.
const waylandRoute = (clipboard) => `tavrik: Wayland — phím tắt: lệnh tavrik-agent --trigger; clipboard: ${clipboard}`;
const advice = (agent) => notification('Tavrik chưa có phím tắt',
  `Gán hai lệnh này trong cài đặt phím tắt: ${agent} --trigger push (gửi đi), ${agent} --trigger pull (lấy về).`);
// Feedback programs may start in either order: compared as sets of records.
const sorted = (records) => records.map((r) => r.join('\x1f')).sort();
const assertFeedback = (got, expected) => assert.deepEqual(sorted(got), sorted(expected));

module.exports = { Rig, launch, ended, quietBus, STATUS_LINE, statusLine, startXvfb, waitFor, sleep, notification, sound, peakMiB, SANITIZED, COMPANION,
                   pushed, pulled, stumbled, nothingToSend, nothingToFetch, advice, waylandRoute, assertFeedback,
                   windowsPath };
