'use strict';
// Two virtual displays stand for two machines, each with its own agent;
// both companions share one store. A text copied on the first is sent with
// the copy hotkey and fetched on the second with the paste hotkey.
//   node scripts/demo.js AGENT COMPANION
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { waitFor, startXvfb, key, readClipboard, ownClipboard } = require('./lib/xsession.js');

const [agentPath, companion] = process.argv.slice(2);
const TEXT = 'Chào máy bên kia! Đây là Tavrik — tiếng Việt có dấu.\n';
const started = [];

const step = (text) => process.stdout.write(`\n== ${text}\n`);

function startAgent(name, display, store) {
  const env = {
    ...process.env, DISPLAY: display, TAVRIK_STORE: store, TAVRIK_MACHINE: name,
    // No notification server here: the notification program then writes
    // each notification to the agent's standard error, shown below.
    DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent/bus',
  };
  const agent = spawn(agentPath, ['--cli', companion], { env, stdio: ['ignore', 'inherit', 'pipe'] });
  started.push(agent);
  agent.log = '';
  agent.stderr.on('data', (d) => {
    agent.log += d;
    for (const line of d.toString().split('\n').filter(Boolean)) {
      process.stdout.write(`   [${name}] ${line}\n`);
    }
  });
  agent.env = env;
  return agent;
}

async function main() {
  const store = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-demo-store-'));
  try {
    step('Two X displays, one for each machine');
    const xA = await startXvfb();
    const xB = await startXvfb();
    started.push(xA.proc, xB.proc);
    process.stdout.write(`   máy A: DISPLAY=${xA.display}, máy B: DISPLAY=${xB.display}\n` +
                         `   shared store: ${store}\n`);

    step('An agent on each display');
    const a = startAgent('may-a', xA.display, store);
    const b = startAgent('may-b', xB.display, store);
    await waitFor('the status lines', () => /tavrik: .*\n/.test(a.log) && /tavrik: .*\n/.test(b.log));

    step(`Copy a text on máy A: ${JSON.stringify(TEXT)}`);
    started.push(await ownClipboard(a.env, TEXT));

    step('Press ctrl+alt+c on máy A (send)');
    key(a.env, 'ctrl+alt+c');
    await waitFor('the send', () => a.log.includes('Tavrik đã tung Sóng Âm') ||
                                     a.log.includes('Tavrik trượt chân'), 15000);

    step('Press ctrl+alt+b on máy B (fetch)');
    key(b.env, 'ctrl+alt+b');
    await waitFor('the fetch', () => b.log.includes('Mục tiêu đã bị khoá') ||
                                      b.log.includes('trượt chân') || b.log.includes('Chưa thấy'),
                  15000);

    step("Máy B's clipboard now holds");
    const got = readClipboard(b.env).toString();
    process.stdout.write(`   ${JSON.stringify(got)}\n`);
    if (got !== TEXT) {
      process.stdout.write('\nFAILED: the text did not arrive unchanged\n');
      return 1;
    }
    process.stdout.write('\nOK: máy B has exactly the text copied on máy A, final line break included.\n');
    return 0;
  } finally {
    for (const p of started.reverse()) p.kill();
    fs.rmSync(store, { recursive: true, force: true });
  }
}

main().then((code) => { process.exitCode = code; },
            (e) => { process.stderr.write(`demo: ${e.message}\n`); process.exitCode = 1; });
