'use strict';
// What a press pays for the companion: `clip push --stdin` and `clip pull
// --print` on a local store, sealed (two machines paired) and plain, as the
// agent runs them (node tavrik.js ...), against bare Node reading the same
// standard input and printing the same bytes from a file. Each side is
// timed by stamp_exec around its fork, exec and wait, as the agent starts
// a tool, not by Node's spawnSync, which adds its own milliseconds to both.
// Runs alternate; medians.
//   node bench/companion.js COMPANION STAMP_EXEC [RUNS]
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const cli = require('../tests/harness/tavrik-cli.js');

const [companion, stampExec, runsArg] = process.argv.slice(2);
const RUNS = Math.max(1, Number(runsArg || 15));
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

let stamps;  // stamp_exec's file, made in main
function timed(args, input, env) {
  fs.rmSync(stamps, { force: true });
  const r = spawnSync(stampExec, args, { input, env: { ...env, BENCH_EXEC: process.execPath, BENCH_STAMPS: stamps },
                                         stdio: ['pipe', 'pipe', 'pipe'], maxBuffer: 1 << 24 });
  if (r.status !== 0) throw new Error(`${args.join(' ')} failed: ${r.stderr}`);
  if (input === undefined && !r.stdout.equals(text)) throw new Error(`${args.join(' ')} printed other bytes`);
  const [start, exit] = fs.readFileSync(stamps, 'utf8').trim().split('\n').map((l) => Number(l.split(' ')[1]));
  return (exit - start) / 1e6;
}

const text = Buffer.from('Sóng Âm — một đoạn chữ tiếng Việt để gửi sang máy kia.\n'.repeat(48)).subarray(0, 2700);

async function main() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-bc-'));
  stamps = path.join(root, 'stamps');
  try {
    cli.use(root, {});
    const env = (name) => cli.envOf(cli.home(name));
    const setup = (who, store, ...more) => {
      const r = spawnSync(process.execPath, [companion, 'setup', store, '--no-autostart', ...more], { env: who });
      if (r.status !== 0) throw new Error(`setup failed: ${r.stderr}`);
    };
    const sealed = { a: env('a'), b: env('b'), store: path.join(root, 'sealed') };
    const plain = { a: env('pa'), b: env('pb'), store: path.join(root, 'plain') };
    setup(sealed.a, sealed.store);
    const paired = await cli.pairUp(sealed.b, sealed.a, sealed.store);
    if (paired.some((p) => p.status !== 0)) throw new Error(`pairing failed: ${paired.map((p) => p.err).join('')}`);
    setup(plain.a, plain.store, '--no-encryption');
    setup(plain.b, plain.store, '--no-encryption');
    const file = path.join(root, 'text');
    fs.writeFileSync(file, text);

    const rows = {
      'bare Node reading standard input': () => timed(['-e', 'require("fs").readFileSync(0)'], text, process.env),
      'clip push --stdin, sealed': () => timed([companion, 'clip', 'push', '--stdin'], text, sealed.a),
      'clip push --stdin, plain': () => timed([companion, 'clip', 'push', '--stdin'], text, plain.a),
      'bare Node printing a file': () =>
        timed(['-e', `process.stdout.write(require("fs").readFileSync(${JSON.stringify(file)}))`], undefined,
              process.env),
      'clip pull --print, sealed': () => timed([companion, 'clip', 'pull', '--print'], undefined, sealed.b),
      'clip pull --print, plain': () => timed([companion, 'clip', 'pull', '--print'], undefined, plain.b),
    };
    const times = Object.fromEntries(Object.keys(rows).map((k) => [k, []]));
    for (const run of Object.values(rows)) run();  // warm the page cache once
    for (let i = 0; i < RUNS; i++) for (const [k, run] of Object.entries(rows)) times[k].push(run());
    const m = Object.fromEntries(Object.entries(times).map(([k, v]) => [k, median(v)]));
    const line = (k, base) =>
      `  ${k.padEnd(36)}${m[k].toFixed(1).padStart(7)} ms${base ? `  ${(m[k] / m[base]).toFixed(2)}×` : ''}\n`;
    const push = 'bare Node reading standard input';
    const pull = 'bare Node printing a file';
    process.stdout.write(`\nThe companion at a press: a ${text.length}-byte text through a local store, ` +
                         `the whole run from fork to wait, as the agent starts it\n(median of ${RUNS}, alternating; × bare Node)\n` +
                         line(push) + line('clip push --stdin, sealed', push) + line('clip push --stdin, plain', push) +
                         line(pull) + line('clip pull --print, sealed', pull) + line('clip pull --print, plain', pull));
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
}

main().catch((e) => {
  process.stderr.write(`${e.stack}\n`);
  process.exit(1);
});
