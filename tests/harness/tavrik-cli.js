'use strict';
// Runs the companion as the tests' machines: in a folder of the test's
// (`use`), with the store and key it sets unless a run says otherwise.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { launch, ended } = require('./rig.js');
const TOOL = path.join(__dirname, '..', '..', 'companion', 'tavrik.js');
let root;
let base;  // the environment of every run: the store, and no key unless a test makes one
// The test's folder, and that environment.
const use = (folder, env) => { root = folder; base = env; };

// The environment of a run: `env` adds to (or, undefined, removes from) ours.
const envOf = (env) => ({ ...process.env, ...base, ...env });
// Runs the tool as `machine`; one that hangs is ended (its status null).
function tavrik(machine, args, input, env = {}, timeout = 60000) {
  const full = envOf({ TAVRIK_MACHINE: machine, ...env });
  const r = spawnSync(TOOL, args, { input, maxBuffer: 64 << 20, cwd: root, env: full, timeout, killSignal: 'SIGKILL' });
  return { status: r.status, out: r.stdout, err: r.stderr.toString() };
}
const push = (machine, text, env) => tavrik(machine, ['clip', 'push', '--stdin'], text, env);
const pull = (machine, env) => tavrik(machine, ['clip', 'pull', '--print'], undefined, env);
const lastLine = (r) => r.err.split('\n').filter(Boolean).pop();
const none = { status: 0, out: Buffer.alloc(0), err: '' };
// A run refused with `reason` as its last line, having printed nothing.
function refused(r, reason, what) {
  assert.deepEqual([r.status, r.out.length], [1, 0], what);
  assert.match(lastLine(r), reason, what);
}
// Dates a plain stored text `ms` (its header's time).
function backdate(file, ms) {
  const stored = fs.readFileSync(file);
  stored.writeBigUInt64BE(BigInt(ms), 7);
  fs.writeFileSync(file, stored);
}

// A companion command run alongside others.
const start = (args, env) => launch(TOOL, args, { env: envOf(env), cwd: root });
const home = (name) => {
  const h = path.join(root, name);
  return { HOME: h, XDG_CONFIG_HOME: undefined, TAVRIK_STORE: undefined, TAVRIK_MACHINE: undefined,
           TAVRIK_KEY_FILE: undefined, TAVRIK_PAIR_WAIT: '20' };
};
const keyOf = (env) => path.join(env.HOME, '.config', 'tavrik', 'key');

// `tavrik pair` on the holder and `tavrik setup STORE` on the joiner, given
// the code the holder shows (through `typed`): both ends.
let shown;  // that code
async function pairUp(joiner, holder, store, typed = (code) => code) {
  const hold = await launch(TOOL, ['pair'], { env: envOf(holder), cwd: root }, { ready: (out) => /^\d{3} \d{3}$/m.test(out) });
  shown = /^(\d{3} \d{3})$/m.exec(hold.out)[1];
  const join = await start(['setup', store, '--no-autostart'], joiner);
  join.stdin.end(`${typed(shown)}\n`);
  return Promise.all([join, hold].map(async (c) => ({ status: (await ended(c, 'a side of the pairing', 120000)).code,
                                                     out: c.out, err: c.err })));
}
const wrong = (code) => code.replace(/\d$/, (d) => (Number(d) + 1) % 10);

// Sets each file to bytes, a mode (a number), a link ({ linkTo }), a FIFO
// ({ fifo }), a sparse file of a size ({ size }) or nothing (null); runs
// `fn`; puts each back.
function meddle(files, fn) {
  const saved = Object.keys(files).map((f) => [f, fs.existsSync(f) && [fs.readFileSync(f), fs.statSync(f).mode]]);
  for (const [f, to] of Object.entries(files)) {
    fs.rmSync(f, { force: true });
    if (typeof to === 'number') fs.writeFileSync(f, saved.find(([g]) => g === f)[1][0], { mode: to });
    else if (to?.linkTo) fs.symlinkSync(to.linkTo, f);
    else if (to?.fifo) assert.equal(spawnSync('mkfifo', [f]).status, 0);
    else if (to?.size) fs.truncateSync(fs.openSync(f, 'w'), to.size);  // closed by the finally's rmSync
    else if (to !== null) fs.writeFileSync(f, to);
  }
  try {
    return fn();
  } finally {
    for (const [f, was] of saved) {
      fs.rmSync(f, { force: true });
      if (was) fs.writeFileSync(f, was[0], { mode: was[1] });
    }
  }
}

// Stands between two stores' pairing folders: each message crosses, changed
// by `change(step, message)`; one removed on either side goes from both
// (a renamed one with its new name).
function relay(dirJ, dirH, change) {
  const crossed = [];  // [file, its copy]
  const seen = new Set();
  const ls = (d) => (fs.existsSync(d) ? fs.readdirSync(d).filter((n) => !n.startsWith('.')) : []);
  const tick = () => {
    for (const [from, to] of [[dirJ, dirH], [dirH, dirJ]]) {
      for (const name of ls(from).filter((n) => !seen.has(path.join(from, n)))) {
        // A change may give the message another step: [step, message].
        const changed = change(name.slice(17), JSON.parse(fs.readFileSync(path.join(from, name))));
        const [as, m] = Array.isArray(changed) ? [`${name.slice(0, 17)}${changed[0]}`, changed[1]] : [name, changed];
        fs.mkdirSync(to, { recursive: true });
        fs.writeFileSync(path.join(to, `.${as}`), JSON.stringify(m));
        fs.renameSync(path.join(to, `.${as}`), path.join(to, as));
        crossed.push([path.join(from, name), path.join(to, as)]);
        seen.add(path.join(from, name)).add(path.join(to, as));
      }
    }
    for (const both of crossed) {
      if (!both.every((f) => fs.existsSync(f))) for (const f of both) fs.rmSync(f, { force: true });
    }
  };
  const timer = setInterval(tick, 20);
  return () => { clearInterval(timer); tick(); };
}

module.exports = { TOOL, use, envOf, tavrik, push, pull, lastLine, none, refused, backdate, start, home, keyOf, pairUp, wrong,
                   meddle, relay };
