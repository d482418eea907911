'use strict';
// Press to result under Xvfb, and idle cost: tavrik-agent against a hotkey
// daemon running shell pipelines (sxhkd + sh + xclip), with the same
// companion. Every time is CLOCK_MONOTONIC:
//   the press      when the server saw the key (x_watch, XInput2 raw event)
//   tool start/end stamp_exec around the companion, whoever starts it
//   clipboard set  when the CLIPBOARD owner changed (x_watch, XFixes)
//   node bench/press.js BUILD_DIR BENCH_DIR COMPANION [PRESSES]
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { sleep, waitFor, startXvfb, key, ownClipboard } = require('../scripts/lib/xsession.js');

const [buildDir, benchDir, companion, pressArg] = process.argv.slice(2);
const PRESSES = Number(pressArg || 20);
const WARM_UP = Math.min(3, PRESSES);
const IDLE_SECONDS = Number(process.env.TAVRIK_BENCH_IDLE_SECONDS || 10);
const agentPath = path.join(buildDir, 'bin', 'tavrik-agent');
const stampExec = path.join(benchDir, 'stamp_exec');
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-bench-'));
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

function ticksAndRss(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const ticks = Number(fields[11]) + Number(fields[12]);  // utime + stime
  const rss = Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  return { ticks, rss };
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

async function measure(name, env, watch) {
  const push = [];
  const pull = [];
  for (let i = 0; i < WARM_UP + PRESSES; i++) {
    const owner = await ownClipboard(env, `văn bản ${i}\n`);  // as after a copy
    const p = await press(name, env, watch, 'ctrl+alt+c', false);
    owner.kill();
    const q = await press(name, env, watch, 'ctrl+alt+b', true);
    if (i >= WARM_UP) { push.push(p); pull.push(q); }
  }
  const m = (list, k) => median(list.map((r) => r[k]));
  return {
    pushStart: m(push, 'toStart'), pullStart: m(pull, 'toStart'),
    pullClipboard: m(pull, 'toClipboard'), run: m(pull, 'run'), afterRun: m(pull, 'afterRun'),
    added: median(pull.map((r) => r.toClipboard - r.run)),
  };
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
  const started = [xvfb.proc];
  try {
    const env = { ...process.env, DISPLAY: xvfb.display, TAVRIK_STORE: store, TAVRIK_MACHINE: 'bench',
                  BENCH_STAMPS: stamps, BENCH_EXEC: process.execPath, BENCH_STAMP: stampExec,
                  COMPANION: companion, SXHKD_SHELL: '/bin/sh',
                  DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent/bus' };
    const watcher = spawn(path.join(benchDir, 'x_watch'), [], { env, stdio: ['ignore', 'pipe', 'ignore'] });
    started.push(watcher);
    const watch = { keys: [], owners: [] };
    const lines = readline.createInterface({ input: watcher.stdout });
    await new Promise((resolve) => lines.once('line', resolve));  // "ready"
    lines.on('line', (l) => {
      const [kind, ns] = l.split(' ');
      (kind === 'key' ? watch.keys : watch.owners).push(Number(ns));
    });

    const agent = spawn(agentPath, ['--node', stampExec, '--cli', companion], { env, stdio: 'ignore' });
    started.push(agent);
    const agentIdle = await idle(agent.pid);
    const a = await measure('agent', env, watch);
    agent.kill();
    await sleep(300);

    const rc = path.join(work, 'sxhkdrc');
    fs.writeFileSync(rc,
      'ctrl + alt + c\n\txclip -o -selection clipboard | "$BENCH_STAMP" "$COMPANION" clip push --stdin\n' +
      'ctrl + alt + b\n\t"$BENCH_STAMP" "$COMPANION" clip pull --print | xclip -i -selection clipboard\n');
    const sxhkd = spawn('sxhkd', ['-c', rc], { env, stdio: 'ignore' });
    started.push(sxhkd);
    const sxhkdIdle = await idle(sxhkd.pid);
    const s = await measure('sxhkd', env, watch);

    const row = (label, x, y, note = '') => process.stdout.write(
      `${label.padEnd(42)} ${x.padStart(10)} ${y.padStart(16)}  ${note}\n`);
    const f = (ns) => `${(ns / 1e6).toFixed(2)} ms`;
    const ratio = (k) => (a[k] / s[k]).toFixed(2);
    process.stdout.write(`\nPress to result under Xvfb (median of ${PRESSES} presses each, after ${WARM_UP} ` +
                         'unmeasured; the press is when the X server saw the key)\n');
    row('', 'agent', 'sxhkd+sh+xclip', 'ratio');
    row('push: press -> tool started', f(a.pushStart), f(s.pushStart), ratio('pushStart'));
    row('pull: press -> tool started', f(a.pullStart), f(s.pullStart), ratio('pullStart'));
    row('pull: press -> clipboard set', f(a.pullClipboard), f(s.pullClipboard), ratio('pullClipboard'));
    row('pull: the companion\'s own run', f(a.run), f(s.run));
    row('pull: tool exited -> clipboard set', f(a.afterRun), f(s.afterRun), ratio('afterRun'));
    row('pull: added beyond the companion\'s run', f(a.added), f(s.added),
        `${ratio('added')} (target <= 0.50)`);
    process.stdout.write(`\nIdle for ${IDLE_SECONDS} s under Xvfb\n`);
    row('', 'agent', 'sxhkd');
    row('CPU time used (clock ticks)', String(agentIdle.ticks), String(sxhkdIdle.ticks), '(target: 0)');
    row('resident memory', `${(agentIdle.rss / 1024).toFixed(1)} MiB`, `${(sxhkdIdle.rss / 1024).toFixed(1)} MiB`,
        '(target: agent under 6 MiB)');
  } finally {
    for (const p of started.reverse()) p.kill();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => { process.stderr.write(`bench: ${e.message}\n`); process.exitCode = 1; });
