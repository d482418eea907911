#!/usr/bin/env node
// The companion tool as the integration tests see it. Its behaviour is set
// by files in $TAVRIK_TEST_DIR:
//   hold          while it exists, the tool waits (a run in progress)
//   flood-err     write this many MiB to standard error first
//   linger        leave a process behind that holds both outputs open;
//                 its pid goes to linger-pid
//   hang          the tool ignores SIGTERM and never ends
//   pull-output   what `clip pull --print` prints (nothing when absent)
//   fail          when present, exit 1 with its text as the last stderr line
//   meta          what a pull writes on descriptor $TAVRIK_META_FD
// and it leaves: runs (one line per run), pushed (the push's stdin),
// push-env (the push's environment, as JSON).
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const dir = process.env.TAVRIK_TEST_DIR;
const file = (name) => path.join(dir, name);
const [, action] = process.argv.slice(2);

fs.appendFileSync(file('runs'), `${action}\n`);
fs.writeSync(2, 'trying\n');  // standard error alone spoils nothing
const pause = new Int32Array(new SharedArrayBuffer(4));
while (fs.existsSync(file('hold'))) Atomics.wait(pause, 0, 0, 20);
if (fs.existsSync(file('linger'))) {
  const child = spawn('sleep', ['1000'], { stdio: ['ignore', 1, 2] });
  fs.writeFileSync(file('linger-pid'), String(child.pid));
  child.unref();
}
if (fs.existsSync(file('hang'))) {
  process.on('SIGTERM', () => {});
  setInterval(() => {}, 1 << 30);
  return;
}
if (fs.existsSync(file('flood-err'))) {
  const mib = Buffer.alloc(1 << 20, 'e');
  for (let i = Number(fs.readFileSync(file('flood-err'))); i > 0; i--) fs.writeSync(2, mib);
}

if (fs.existsSync(file('fail'))) {
  fs.writeSync(2, `\n${fs.readFileSync(file('fail'), 'utf8')}\n`);
  process.exit(1);
}
if (action === 'push') {
  fs.writeFileSync(file('push-env'), JSON.stringify(process.env));
  fs.writeFileSync(file('pushed.tmp'), fs.readFileSync(0));
  fs.renameSync(file('pushed.tmp'), file('pushed'));
} else if (action === 'pull' && fs.existsSync(file('pull-output'))) {
  if (fs.existsSync(file('meta'))) fs.writeSync(Number(process.env.TAVRIK_META_FD), fs.readFileSync(file('meta')));
  process.stdout.write(fs.readFileSync(file('pull-output')));
}
