'use strict';
// A push to the SSH store on loopback, as the agent starts the companion at
// a press: the first press (a new connection) and the following ones (the
// shared connection), against a plain `ssh HOST cat` baseline, which makes
// a new connection each time, as the companion did before it shared one.
// Runs alternate; medians.
//   node bench/ssh.js COMPANION [RUNS]
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { hasSshd, startSshd } = require('../tests/harness/sshd.js');

const [companion, runsArg] = process.argv.slice(2);
const RUNS = Math.max(1, Number(runsArg || 10));
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

function timed(file, args, input, env) {
  const start = process.hrtime.bigint();
  const r = spawnSync(file, args, { input, env, stdio: ['pipe', 'ignore', 'pipe'] });
  if (r.status !== 0) throw new Error(`${path.basename(file)} failed: ${r.stderr}`);
  return Number(process.hrtime.bigint() - start) / 1e6;
}

async function main() {
  if (!hasSshd()) {
    process.stdout.write('\nPress over SSH: skipped (needs root and sshd)\n');
    return;
  }
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-b-'));  // short: the sockets go in it
  const sshd = await startSshd(root);
  try {
    const store = path.join(root, 'store');
    fs.mkdirSync(store, { mode: 0o700 });
    const env = { ...process.env, TAVRIK_SSH_CONFIG: sshd.config, TAVRIK_STORE: `ssh://tavrikhost${store}`,
                  TAVRIK_KEY_FILE: path.join(root, 'no-key'), TAVRIK_MACHINE: 'bench', XDG_RUNTIME_DIR: root };
    const text = 'Sóng Âm qua SSH — một đoạn chữ ngắn.\n'.repeat(30);
    const push = () => timed(companion, ['clip', 'push', '--stdin'], text, env);
    const times = { first: [], next: [], ssh: [] };
    const logins = sshd.logins();
    for (let i = 0; i < RUNS; i++) {
      sshd.endShared(path.join(root, 'tavrik-ssh'));
      times.first.push(push());
      times.next.push(push());
      times.ssh.push(timed('ssh', ['-F', sshd.config, 'tavrikhost', `cat > ${store}/plain`], text, env));
    }
    sshd.endShared(path.join(root, 'tavrik-ssh'));
    const [first, next, ssh] = [times.first, times.next, times.ssh].map(median);
    process.stdout.write(`\nA push to the SSH store on loopback: the companion's run, from its start to\n` +
                         `its exit (median of ${RUNS}, alternating; ${sshd.logins() - logins} logins for ` +
                         `${3 * RUNS} runs)\n` +
                         `  first press (new connection)        ${first.toFixed(1).padStart(7)} ms\n` +
                         `  next press (shared connection)      ${next.toFixed(1).padStart(7)} ms\n` +
                         `  ssh HOST cat (new connection)       ${ssh.toFixed(1).padStart(7)} ms\n` +
                         `  next press / ssh HOST cat           ${(next / ssh).toFixed(2).padStart(7)}\n`);
  } finally {
    await sshd.stop();
    fs.rmSync(root, { recursive: true, force: true });
  }
}

main().catch((e) => { process.stderr.write(`bench: ${e.message}\n`); process.exitCode = 1; });
