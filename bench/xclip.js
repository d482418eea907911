'use strict';
// The X clipboard against the programs people use, 50 MB each way, the two
// sides alternating (ABAB...):
//   serving  `xclip -o` reading a text the agent owns after a pull, against
//            the same text owned by `xclip -i`
//   read     a press (as the X server saw it: x_watch) to the tool's start
//            (stamp_exec in front of Node), the text owned by `xclip -i`,
//            against `xclip -o > /dev/null`
//   push     a press to the last byte on the tool's standard input, against
//            `xclip -o | node TOOL`
// The tool is the same Node program both ways: it reads its input to the end
// and stamps the time (CLOCK_MONOTONIC, as process.hrtime here).
//   node bench/xclip.js AGENT BENCH_DIR [PAIRS]
const { spawn, spawnSync } = require('node:child_process');
const readline = require('node:readline');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { waitFor, startXvfb, key, ownClipboard } = require('../scripts/lib/xsession.js');

const [agentPath, benchDir, pairsArg] = process.argv.slice(2);
const PAIRS = Math.max(1, Number(pairsArg || 10));
const SIZE = 50e6;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-xclip-'));
const textFile = path.join(work, 'text');
const stamps = path.join(work, 'stamps');
const starts = path.join(work, 'starts');  // stamp_exec's, of the agent's runs
const tool = path.join(work, 'tool.js');
const now = () => Number(process.hrtime.bigint());
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return (s[(s.length - 1) >> 1] + s[s.length >> 1]) / 2; };
const ms = (ns) => `${(ns / 1e6).toFixed(0)} ms`;

// Pull prints the text; push reads to the end and stamps the moment.
fs.writeFileSync(tool, `'use strict';
const fs = require('node:fs');
if (process.argv[3] === 'pull') { process.stdout.write(fs.readFileSync(${JSON.stringify(textFile)})); return; }
let n = 0; const buf = Buffer.allocUnsafe(1 << 20);
for (let r; (r = fs.readSync(0, buf)) > 0;) n += r;
fs.appendFileSync(${JSON.stringify(stamps)}, \`\${process.hrtime.bigint()} \${n}\\n\`);
`);

async function lastStamp(count) {
  return waitFor('the tool', () => {
    const lines = fs.existsSync(stamps) ? fs.readFileSync(stamps, 'utf8').split('\n').filter(Boolean) : [];
    return lines.length >= count && lines[count - 1].split(' ').map(Number);
  }, 120000);
}

function timeRead(env) {
  const start = now();
  const r = spawnSync('xclip', ['-o', '-selection', 'clipboard'], { env, maxBuffer: 128 << 20 });
  if (r.stdout.length !== SIZE) throw new Error(`read ${r.stdout.length} bytes`);
  return now() - start;
}

// When the agent started the tool after `since`.
async function toolStart(since) {
  return waitFor('the tool to start', () => {
    const lines = fs.existsSync(starts) ? fs.readFileSync(starts, 'utf8').split('\n') : [];
    return lines.map((l) => /^start (\d+)$/.exec(l)).map((m) => m && Number(m[1])).find((t) => t > since);
  }, 120000);
}

async function main() {
  fs.writeFileSync(textFile, Buffer.alloc(SIZE, 'Sóng Âm 0123456789 '));
  const started = [];
  try {
    // Two displays: on one the agent owns the text, on the other xclip.
    const [xa, xb] = [await startXvfb(), await startXvfb()];
    started.push(xa.proc, xb.proc);
    const base = { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent' };
    const envA = { ...base, DISPLAY: xa.display };
    const envB = { ...base, DISPLAY: xb.display };
    // The key presses as the server saw them: a press is timed from there.
    const watcher = spawn(path.join(benchDir, 'x_watch'), [], { env: envA, stdio: ['ignore', 'pipe', 'ignore'] });
    started.push(watcher);
    const keys = [];
    const lines = readline.createInterface({ input: watcher.stdout });
    await new Promise((resolve) => lines.once('line', resolve));  // "ready"
    lines.on('line', (l) => { if (l.startsWith('key ')) keys.push(Number(l.split(' ')[1])); });
    const agent = spawn(agentPath, ['--node', path.join(benchDir, 'stamp_exec'), '--cli', tool],
                        { env: { ...envA, BENCH_STAMPS: starts, BENCH_EXEC: process.execPath },
                          stdio: ['ignore', 'ignore', 'pipe'] });
    started.push(agent);
    let log = '';
    agent.stderr.on('data', (d) => { log += d; });
    await waitFor('the agent', () => / = lấy về \(OK\)\n/.test(log));
    key(envA, 'ctrl+alt+b');
    await waitFor('the pull', () => log.includes('Mục tiêu đã bị khoá'), 120000);
    const text = fs.readFileSync(textFile);
    started.push(await ownClipboard(envB, text));

    const serve = { agent: [], xclip: [] };
    for (let i = 0; i < PAIRS; i++) {
      serve.agent.push(timeRead(envA));
      serve.xclip.push(timeRead(envB));
    }

    // Push: xclip owns a text on display A now, one of its own, so that the
    // wait for it to own is not ended by the agent's copy; the agent reads it.
    started.push(await ownClipboard(envA, Buffer.alloc(SIZE, 'Âm Sóng 9876543210 ')));
    const push = { agent: [], pipeline: [] };
    const read = { agent: [], xclip: [] };
    let count = 0;
    for (let i = 0; i < PAIRS; i++) {
      const keysBefore = keys.length;
      let start = now();
      key(envA, 'ctrl+alt+c');
      let [end, n] = await lastStamp(++count);
      if (n !== SIZE) throw new Error(`the agent pushed ${n} bytes`);
      const toolStarted = await toolStart(start);
      // The chord is whole with its last key press before the tool started.
      const pressed = Math.max(...keys.slice(keysBefore).filter((t) => t < toolStarted));
      push.agent.push(end - pressed);
      read.agent.push(toolStarted - pressed);
      await waitFor('the push to be told', () => (log.match(/Tavrik đã tung Sóng Âm/g) || []).length === i + 1);
      start = now();
      if (spawnSync('sh', ['-c', 'xclip -o -selection clipboard > /dev/null'], { env: envA }).status !== 0) {
        throw new Error('xclip -o failed');
      }
      read.xclip.push(now() - start);
      start = now();
      const p = spawn('sh', ['-c', `xclip -o -selection clipboard | "${process.execPath}" "${tool}" x push`],
                      { env: envA, stdio: 'ignore' });
      [end, n] = await lastStamp(++count);
      if (n !== SIZE) throw new Error(`the pipeline pushed ${n} bytes`);
      push.pipeline.push(end - start);
      await new Promise((r) => (p.exitCode !== null ? r() : p.on('exit', r)));
    }

    const row = (label, a, b) => process.stdout.write(
      `${label.padEnd(34)} ${`${ms(Math.min(...a))} / ${ms(median(a))}`.padStart(20)} ` +
      `${`${ms(Math.min(...b))} / ${ms(median(b))}`.padStart(20)} ${(median(a) / median(b)).toFixed(2).padStart(7)}\n`);
    // Every run, in the order run: runs that fall into groups show here,
    // where a median would hide them.
    const runs = (label, a, b) => process.stdout.write(
      `  ${label.padEnd(8)} ${a.map((x, i) => `${(x / 1e6).toFixed(0)}/${(b[i] / 1e6).toFixed(0)}`).join(' ')}\n`);
    process.stdout.write(`\nThe X clipboard, 50 MB, ${PAIRS} runs each side, alternating (min / median)\n`);
    process.stdout.write(`${''.padEnd(34)} ${'agent'.padStart(20)} ${'xclip'.padStart(20)} ${'ratio'.padStart(7)}\n`);
    row('serving: xclip -o reads it all', serve.agent, serve.xclip);
    row('read: press -> tool started', read.agent, read.xclip);
    row('push: press -> last byte to tool', push.agent, push.pipeline);
    process.stdout.write('(xclip side: read = xclip -o > /dev/null, push = xclip -o | node TOOL, from their start;\n' +
                         ' ratio = agent / xclip time) each run in order, agent/xclip ms:\n');
    runs('serving', serve.agent, serve.xclip);
    runs('read', read.agent, read.xclip);
    runs('push', push.agent, push.pipeline);
  } finally {
    for (const p of started.reverse()) p.kill();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => { process.stderr.write(`bench: ${e.message}\n`); process.exitCode = 1; });
