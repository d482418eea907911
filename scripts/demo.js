'use strict';
// Two virtual displays stand for two machines, each with its own home and
// agent, set up as a user would: `tavrik setup STORE` on each, one store
// shared, no TAVRIK_* variable anywhere. Máy A's agent is started by hand;
// máy B's from the autostart entry setup wrote, in a clean environment.
// máy B gets máy A's key by the six-digit code. A text goes from A to B
// and another from B to A, by the hotkeys, sealed in the store.
//   node scripts/demo.js AGENT COMPANION
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { waitFor, startXvfb, key, readClipboard, ownClipboard } = require('./lib/xsession.js');

const [agentPath, companion] = process.argv.slice(2);
const TEXTS = ['Chào máy bên kia! Đây là Tavrik — tiếng Việt có dấu.\n', 'Máy B trả lời: đã nhận, cảm ơn 👋'];
const started = [];
const made = [];

const step = (text) => process.stdout.write(`\n== ${text}\n`);
const show = (name, text) => {
  for (const line of text.split('\n').filter(Boolean)) process.stdout.write(`   [${name}] ${line}\n`);
};

// A machine: a home of its own and a display. No notification server here:
// the notification program writes each one to the agent's standard error.
function machine(name, display) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), `tavrik-demo-${name.slice(-1)}-`));
  made.push(home);
  const env = { ...process.env, HOME: home, DISPLAY: display, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent/bus',
                PATH: `${path.dirname(agentPath)}:${process.env.PATH}` };
  for (const k of Object.keys(env)) if (/^(TAVRIK_|XDG_)/.test(k)) delete env[k];
  env.XDG_RUNTIME_DIR = home;  // where its agent answers --trigger
  return { name, home, env };
}

function setup(m, store, args, env = m.env) {
  const r = spawnSync(process.execPath, [companion, 'setup', store, ...args], { env, encoding: 'utf8' });
  show(m.name, r.stdout + r.stderr);
  if (r.status !== 0) throw new Error(`tavrik setup exited ${r.status} on ${m.name}`);
}

// `tavrik pair` on the machine that has the key shows a code, which the
// user types into `tavrik setup` on the machine without it.
async function setupPairing(m, holder, store, args, env) {
  const run = (who, argv, runEnv) => {
    const child = spawn(process.execPath, [companion, ...argv], { env: runEnv, stdio: 'pipe' });
    child.said = '';
    for (const s of [child.stdout, child.stderr]) s.on('data', (d) => { child.said += d; show(who.name, d.toString()); });
    child.ended = new Promise((r) => child.on('exit', r));
    started.push(child);
    return child;
  };
  const pairing = run(holder, ['pair'], holder.env);
  await waitFor('the pairing code', () => /^\d{3} \d{3}$/m.test(pairing.said) || pairing.exitCode !== null, 30000);
  const code = /^(\d{3} \d{3})$/m.exec(pairing.said)?.[1] || '';
  const joining = run(m, ['setup', store, ...args], env);
  process.stdout.write(`   (typing ${code} into tavrik setup on ${m.name})\n`);
  joining.stdin.end(`${code}\n`);
  const [joined, paired] = await Promise.all([joining.ended, pairing.ended]);
  if (joined !== 0 || paired !== 0) throw new Error(`pairing failed on ${m.name} (${joined}) or ${holder.name} (${paired})`);
}

function startAgent(m, argv, env) {
  const agent = spawn(argv[0], argv.slice(1), { env, stdio: ['ignore', 'inherit', 'pipe'] });
  started.push(agent);
  agent.log = '';
  agent.stderr.on('data', (d) => {
    agent.log += d;
    show(m.name, d.toString());
  });
  m.agent = agent;
}

// Copies `text` on `from`, sends it, fetches it on `to`: what `to` got.
async function carry(from, to, text) {
  step(`Copy on ${from.name}: ${JSON.stringify(text)}; ctrl+alt+c there, ctrl+alt+b on ${to.name}`);
  started.push(await ownClipboard(from.env, text));
  const sent = from.agent.log.length;
  key(from.env, 'ctrl+alt+c');
  await waitFor('the send', () => /Tavrik đã tung Sóng Âm|trượt chân/.test(from.agent.log.slice(sent)), 15000);
  const fetched = to.agent.log.length;
  key(to.env, 'ctrl+alt+b');
  await waitFor('the fetch', () => /Mục tiêu đã bị khoá|trượt chân|Chưa thấy/.test(to.agent.log.slice(fetched)), 15000);
  const got = readClipboard(to.env).toString();
  process.stdout.write(`   ${to.name}'s clipboard now holds ${JSON.stringify(got)}\n`);
  return got;
}

async function main() {
  const store = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-demo-store-'));
  made.push(store);
  try {
    step('Two X displays, one for each machine');
    const xA = await startXvfb();
    const xB = await startXvfb();
    started.push(xA.proc, xB.proc);
    const a = machine('máy A', xA.display);
    const b = machine('máy B', xB.display);
    process.stdout.write(`   máy A: DISPLAY=${xA.display}, máy B: DISPLAY=${xB.display}; shared store: ${store}\n`);

    step('tavrik setup on each (both have the same host name); máy B gets the key by pairing');
    setup(a, store, ['--no-autostart']);
    // Set up from a terminal with no display: the agent starts at the next login.
    const { DISPLAY, ...terminal } = b.env;
    await setupPairing(b, a, store, [], terminal);
    startAgent(a, [agentPath, '--cli', companion], a.env);
    const entry = fs.readFileSync(path.join(b.home, '.config', 'autostart', 'vn.tavrik.agent.desktop'), 'utf8');
    const exec = /^Exec=(.*)$/m.exec(entry)[1];
    step(`máy B logs in: its autostart entry runs ${exec}`);
    startAgent(b, exec.split(' '), { HOME: b.home, DISPLAY: xB.display, PATH: '/usr/bin:/bin', XDG_RUNTIME_DIR: b.home,
                                     DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent/bus' });
    await waitFor('the status lines', () => [a, b].every((m) => /= lấy về \(.*\)\n/.test(m.agent.log)));

    const there = await carry(a, b, TEXTS[0]);
    const back = await carry(b, a, TEXTS[1]);
    if (there !== TEXTS[0] || back !== TEXTS[1]) {
      process.stdout.write('\nFAILED: a text did not arrive unchanged\n');
      return 1;
    }
    for (const [m, other] of [[a, b], [b, a]]) {
      step(`tavrik status on ${m.name}`);
      const r = spawnSync(process.execPath, [companion, 'status'], { env: m.env, encoding: 'utf8' });
      show(m.name, r.stdout + r.stderr);
      const name = JSON.parse(fs.readFileSync(path.join(other.home, '.config', 'tavrik', 'config.json'))).machine;
      if (r.status !== 0 || !r.stdout.includes(`\n  ${name}: gửi lần cuối`) || !r.stdout.includes(store)) {
        process.stdout.write(`\nFAILED: tavrik status on ${m.name} did not say that all works\n`);
        return 1;
      }
    }
    process.stdout.write('\nOK: máy B has exactly the text copied on máy A, and máy A the one copied on máy B.\n');
    return 0;
  } finally {
    for (const p of started.reverse()) p.kill();
    for (const dir of made) fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().then((code) => { process.exitCode = code; },
            (e) => { process.stderr.write(`demo: ${e.message}\n`); process.exitCode = 1; });
