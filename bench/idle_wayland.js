'use strict';
// Idle cost on Wayland: the agent beside a headless sway, once with the
// trigger route alone and once with the GlobalShortcuts portal (the real
// frontend and the tests' backend on a private session bus). CPU ticks over
// 10 s and resident memory, as for X11.
//   node bench/idle_wayland.js AGENT PORTAL_BACKEND COMPANION
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startSway, hasSway, startBus, startPortal } = require('../tests/harness/compositors.js');
const { sleep, waitFor } = require('../scripts/lib/xsession.js');

const [agentPath, backendPath, companion] = process.argv.slice(2);
const IDLE_SECONDS = Number(process.env.TAVRIK_BENCH_IDLE_SECONDS || 10);

function ticksAndRss(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const rss = Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  return { ticks: Number(fields[11]) + Number(fields[12]), rss };
}

async function measure(env) {
  const agent = spawn(agentPath, ['--cli', companion], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let log = '';
  agent.stderr.on('data', (d) => { log += d; });
  try {
    await waitFor('the status line', () => / = lấy về \((OK|HỎNG)\)\n/.test(log));
    await sleep(500);
    const a = ticksAndRss(agent.pid);
    await sleep(IDLE_SECONDS * 1000);
    const b = ticksAndRss(agent.pid);
    return { route: log.split('\n')[0].replace('tavrik: ', ''), ticks: b.ticks - a.ticks, rss: b.rss };
  } finally {
    agent.kill();
  }
}

async function main() {
  if (!hasSway()) {
    process.stdout.write('\nIdle under Wayland: skipped (needs root, sway, wl-clipboard, wtype)\n');
    return;
  }
  const sway = await startSway([]);
  const runtime = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-idle-'));
  const started = [];
  try {
    const env = { ...process.env, WAYLAND_DISPLAY: sway.socket, XDG_RUNTIME_DIR: runtime,
                  DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
    delete env.DISPLAY;
    const rows = [await measure(env)];

    const bus = await startBus();
    env.DBUS_SESSION_BUS_ADDRESS = bus.address;
    started.push(bus.proc);
    const { backend, frontend } = await startPortal(env, backendPath, runtime);
    started.push(backend, frontend);
    rows.push(await measure(env));

    process.stdout.write(`\nIdle for ${IDLE_SECONDS} s under Wayland (headless sway)\n`);
    for (const r of rows) {
      process.stdout.write(`  ${r.route}\n    CPU time used: ${r.ticks} clock ticks (target: 0); ` +
                           `resident memory: ${(r.rss / 1024).toFixed(1)} MiB (target: under 6 MiB)\n`);
    }
  } finally {
    for (const p of started.reverse()) p.kill();
    await sway.stop();
    fs.rmSync(runtime, { recursive: true, force: true });
  }
}

main().catch((e) => { process.stderr.write(`bench: ${e.message}\n`); process.exitCode = 1; });
