'use strict';
// Press to result under Xvfb, and idle cost: tavrik-agent (and, given
// BEFORE_BUILD_DIR, the agent of another commit) against a hotkey daemon
// running shell pipelines (sxhkd + sh + xclip), with the same companion,
// a notification server of the tests on a private session bus, and sounds
// played to ALSA's null device. Every time is CLOCK_MONOTONIC:
//   the press      when the server saw the key (x_watch, XInput2 raw event)
//   tool start/end stamp_exec around the companion, whoever starts it
//   clipboard set  when the CLIPBOARD owner changed (x_watch, XFixes)
// What a pull costs in all: the programs started for it (a run of its own
// under strace, counting execve), and the CPU time of an agent with every
// child it waited for (sxhkd's children are not its own to wait for).
//   node bench/press.js BUILD_DIR BENCH_DIR COMPANION [PRESSES [BEFORE_BUILD_DIR]]
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { sleep, waitFor, startXvfb, key, ownClipboard } = require('../scripts/lib/xsession.js');
const { quietBus, launch } = require('../tests/harness/rig.js');

const [buildDir, benchDir, companion, pressArg, beforeDir] = process.argv.slice(2);
const PRESSES = Number(pressArg || 20);
const WARM_UP = Math.min(3, PRESSES);
const IDLE_SECONDS = Number(process.env.TAVRIK_BENCH_IDLE_SECONDS || 10);
const agentPath = (dir) => path.join(dir, 'bin', 'tavrik-agent');
const stampExec = path.join(benchDir, 'stamp_exec');
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-bench-'));
const started = [];  // ended at the end, whatever happens
const stamps = path.join(work, 'stamps');
function readStamps() {
  const out = { start: [], exit: [] };
  if (!fs.existsSync(stamps)) return out;
  for (const line of fs.readFileSync(stamps, 'utf8').split('\n').filter(Boolean)) {
    const [kind, ns] = line.split(' ');
    out[kind].push(Number(ns));
  }
  return out;
}

const TICK_MS = 10;  // USER_HZ
function ticksAndRss(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const ticks = Number(fields[11]) + Number(fields[12]);  // utime + stime
  const withChildren = ticks + Number(fields[13]) + Number(fields[14]);  // + cutime + cstime
  const rss = Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  return { ticks, withChildren, rss };
}

// One press of `combo`: when the server saw it, when the tool started and
// ended, and (for a pull) when the clipboard changed hands afterwards.
async function press(name, env, watch, combo, wantClipboard) {
  fs.rmSync(stamps, { force: true });
  const keysBefore = watch.keys.length;
  const ownersBefore = watch.owners.length;
  key(env, combo);
  const s = await waitFor(`${name}: the tool`, () => { const t = readStamps(); return t.exit.length && t; }, 10000);
  const start = s.start[0];
  const end = s.exit[0];
  // The chord completes with its last key press before the tool started.
  const pressed = Math.max(...watch.keys.slice(keysBefore).filter((t) => t < start));
  const r = { toStart: start - pressed, run: end - start };
  if (wantClipboard) {
    const set = await waitFor(`${name}: the clipboard`,
                              () => watch.owners.slice(ownersBefore).find((t) => t > end), 10000);
    r.toClipboard = set - pressed;
    r.afterRun = set - end;
  }
  await sleep(200);  // feedback and the rest settle before the next press
  return r;
}

async function measure(name, env, watch, pid) {
  const push = [];
  const pull = [];
  let cpu = 0;
  for (let i = 0; i < WARM_UP + PRESSES; i++) {
    const owner = await ownClipboard(env, `văn bản ${i}\n`);  // as after a copy
    const p = await press(name, env, watch, 'ctrl+alt+c', false);
    owner.kill();
    const before = ticksAndRss(pid).withChildren;
    const q = await press(name, env, watch, 'ctrl+alt+b', true);
    if (i >= WARM_UP) { push.push(p); pull.push(q); cpu += ticksAndRss(pid).withChildren - before; }
  }
  const m = (list, k) => median(list.map((r) => r[k]));
  return {
    pushStart: m(push, 'toStart'), pullStart: m(pull, 'toStart'),
    pullClipboard: m(pull, 'toClipboard'), run: m(pull, 'run'), afterRun: m(pull, 'afterRun'),
    added: median(pull.map((r) => r.toClipboard - r.run)),
    cpu: (cpu * TICK_MS) / PRESSES,
  };
}

// Programs started per pull by `command` (whatever it runs them through),
// from three pulls under strace after one to warm up.
async function programsPerPull(command, env, watch) {
  const log = path.join(work, 'execs');
  const traced = spawn('strace', ['-f', '-qq', '-e', 'trace=execve', '-e', 'signal=none', '-o', log, ...command],
                       { env, stdio: 'ignore' });
  started.push(traced);
  await sleep(1000);  // its own start, not counted
  await press('traced', env, watch, 'ctrl+alt+b', true);
  const before = fs.readFileSync(log, 'utf8').split('\n').filter((l) => / = 0$/.test(l)).length;
  for (let i = 0; i < 3; i++) await press('traced', env, watch, 'ctrl+alt+b', true);
  const after = fs.readFileSync(log, 'utf8').split('\n').filter((l) => / = 0$/.test(l)).length;
  // strace keeps fatal signals from itself while it traces, and lasts as
  // long as anything it traces (an xclip serving the clipboard): its
  // program is ended, then strace.
  const [pid] = fs.readFileSync(`/proc/${traced.pid}/task/${traced.pid}/children`, 'utf8').trim().split(' ');
  process.kill(Number(pid), 'SIGTERM');
  traced.kill('SIGKILL');
  await waitFor('strace to end', () => traced.exitCode !== null || traced.signalCode !== null);
  return (after - before) / 3;
}

async function idle(pid) {
  await sleep(500);
  const a = ticksAndRss(pid);
  await sleep(IDLE_SECONDS * 1000);
  const b = ticksAndRss(pid);
  return { ticks: b.ticks - a.ticks, rss: b.rss };
}

async function main() {
  const store = path.join(work, 'store');
  fs.mkdirSync(store);
  fs.writeFileSync(path.join(store, 'clip-other'), 'Tiếng Việt từ máy kia\n');
  const xvfb = await startXvfb();
  started.push(xvfb.proc);
  try {
    const env = { ...process.env, DISPLAY: xvfb.display, TAVRIK_STORE: store, TAVRIK_MACHINE: 'bench',
                  BENCH_STAMPS: stamps, BENCH_EXEC: process.execPath, BENCH_STAMP: stampExec,
                  COMPANION: companion, SXHKD_SHELL: '/bin/sh', CANBERRA_DRIVER: 'alsa',
                  ALSA_CONFIG_PATH: path.join(work, 'asound.conf') };
    fs.writeFileSync(env.ALSA_CONFIG_PATH, 'pcm.default { type null }\n');
    // Notifications shown for real, by either agent, on a bus of their own.
    const bus = await quietBus(work, {});
    started.push(bus.proc);
    env.DBUS_SESSION_BUS_ADDRESS = bus.address;
    started.push(await launch(path.join(buildDir, 'tests', 'notification_server'), [path.join(work, 'notices')],
                              { env, stdio: ['pipe', 'pipe', 'ignore'] }, { ready: (out) => out === 'ready\n' }));
    const watcher = spawn(path.join(benchDir, 'x_watch'), [], { env, stdio: ['ignore', 'pipe', 'ignore'] });
    started.push(watcher);
    const watch = { keys: [], owners: [] };
    const lines = readline.createInterface({ input: watcher.stdout });
    await new Promise((resolve) => lines.once('line', resolve));  // "ready"
    lines.on('line', (l) => {
      const [kind, ns] = l.split(' ');
      (kind === 'key' ? watch.keys : watch.owners).push(Number(ns));
    });

    const runAgent = async (dir) => {
      const agent = spawn(agentPath(dir), ['--node', stampExec, '--cli', companion], { env, stdio: 'ignore' });
      started.push(agent);
      const agentIdle = await idle(agent.pid);
      const m = await measure('agent', env, watch, agent.pid);
      m.pressed = ticksAndRss(agent.pid);  // sounds played, the clipboard served
      agent.kill();
      await sleep(300);
      const programs = await programsPerPull([agentPath(dir), '--node', stampExec, '--cli', companion], env, watch);
      await sleep(300);
      return { ...m, idle: agentIdle, programs };
    };
    const a = await runAgent(buildDir);
    const b = beforeDir ? await runAgent(beforeDir) : null;

    const rc = path.join(work, 'sxhkdrc');
    fs.writeFileSync(rc,
      'ctrl + alt + c\n\txclip -o -selection clipboard | "$BENCH_STAMP" "$COMPANION" clip push --stdin\n' +
      'ctrl + alt + b\n\t"$BENCH_STAMP" "$COMPANION" clip pull --print | xclip -i -selection clipboard\n');
    const sxhkd = spawn('sxhkd', ['-c', rc], { env, stdio: 'ignore' });
    started.push(sxhkd);
    const sxhkdIdle = await idle(sxhkd.pid);
    const s = await measure('sxhkd', env, watch, sxhkd.pid);
    sxhkd.kill();
    await sleep(300);
    s.programs = await programsPerPull(['sxhkd', '-c', rc], env, watch);

    // With another commit's agent, its column comes between.
    const row = (label, x, y, note = '', before = '') => process.stdout.write(
      `${label.padEnd(42)} ${x.padStart(10)} ${b ? `${before.padStart(10)} ` : ''}${y.padStart(16)}  ${note}\n`);
    const f = (ns) => `${(ns / 1e6).toFixed(2)} ms`;
    const ratio = (k) => (a[k] / s[k]).toFixed(2);
    process.stdout.write(`\nPress to result under Xvfb (median of ${PRESSES} presses each, after ${WARM_UP} ` +
                         'unmeasured; the press is when the X server saw the key)\n');
    row('', 'agent', 'sxhkd+sh+xclip', 'ratio', 'before');
    row('pull: programs started, feedback included', String(a.programs), String(s.programs), '',
        String(b?.programs));
    row('pull: CPU, with the children it waited for', `${a.cpu.toFixed(1)} ms`, '-', '(mean)',
        `${b?.cpu.toFixed(1)} ms`);
    row('push: press -> tool started', f(a.pushStart), f(s.pushStart), ratio('pushStart'));
    row('pull: press -> tool started', f(a.pullStart), f(s.pullStart), ratio('pullStart'));
    row('pull: press -> clipboard set', f(a.pullClipboard), f(s.pullClipboard), ratio('pullClipboard'),
        b && f(b.pullClipboard));
    row('pull: the companion\'s own run', f(a.run), f(s.run));
    row('pull: tool exited -> clipboard set', f(a.afterRun), f(s.afterRun), ratio('afterRun'));
    row('pull: added beyond the companion\'s run', f(a.added), f(s.added),
        `${ratio('added')} (target <= 0.50)`);
    process.stdout.write(`\nIdle for ${IDLE_SECONDS} s under Xvfb\n`);
    row('', 'agent', 'sxhkd');
    row('CPU time used (clock ticks)', String(a.idle.ticks), String(sxhkdIdle.ticks), '(target: 0)',
        String(b?.idle.ticks));
    const mib = (m) => `${(m.rss / 1024).toFixed(1)} MiB`;
    row('resident memory', mib(a.idle), mib(sxhkdIdle), '(target: agent under 6 MiB)', b && mib(b.idle));
    row('resident memory after the presses', mib(a.pressed), '-', '', b && mib(b.pressed));
  } finally {
    for (const p of started.reverse()) p.kill();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => { process.stderr.write(`bench: ${e.message}\n`); process.exitCode = 1; });
