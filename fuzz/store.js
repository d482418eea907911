#!/usr/bin/env node
'use strict';
// The store fuzzer: fills a store with random files (names of every kind and
// spelling, links, FIFOs, devices, empty and huge sparse files, sealed texts
// cut or with a bit flipped, plain and older formats, random JSON) and runs
// `clip pull`, `clip push` and `status` on it as one machine. Each must end
// within its deadline with a text some other machine really sealed or with
// a one-line reason, throw nothing, print no control character, write
// nothing outside the store, never put the key in it, and stay under a
// memory bound. A failing case's folder is kept, and named.
//   node fuzz/store.js SECONDS [SEED]
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const form = require('../companion/lib/form.js');
const { keyId } = require('../companion/lib/key.js');
const { fileOf } = require('../companion/lib/names.js');

const TOOL = path.join(__dirname, '..', 'companion', 'tavrik.js');
const DEADLINE_MS = 20000;
const RSS_LIMIT_KB = 200 * 1024;
const seconds = Number(process.argv[2]) || 20;
const seed = Number(process.argv[3]) || crypto.randomInt(2 ** 31);

// mulberry32: one seed gives the same cases again.
let state = seed;
function random() {
  state = (state + 0x6d2b79f5) | 0;
  let t = Math.imul(state ^ (state >>> 15), 1 | state);
  t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
}
const below = (n) => Math.floor(random() * n);
const pick = (list) => list[below(list.length)];
const bytes = (n) => Buffer.from(Array.from({ length: n }, () => below(256)));
const hex = (n) => bytes(n / 2).toString('hex');

function oneCase(root) {
  const store = path.join(root, 'store');
  const outside = path.join(root, 'outside');
  const home = path.join(root, 'home');
  fs.mkdirSync(store, { mode: 0o700 });
  fs.mkdirSync(path.join(outside, 'dir'), { recursive: true });
  fs.writeFileSync(path.join(outside, 'secret'), bytes(64));
  fs.mkdirSync(path.join(home, '.config', 'tavrik'), { recursive: true });
  const key = crypto.randomBytes(32);
  const sealed = random() < 0.7;
  const keyFile = path.join(home, '.config', 'tavrik', 'key');
  if (sealed) fs.writeFileSync(keyFile, `${key.toString('base64')}\n`, { mode: 0o600 });
  const me = { id: hex(16), name: 'me' };
  const withId = random() < 0.5;
  if (withId) {
    fs.writeFileSync(path.join(home, '.config', 'tavrik', 'config.json'), JSON.stringify(
      { store, machine: me.name, id: me.id, sealed, ...(sealed ? { keyId: keyId(key) } : {}) }));
  }
  const others = [hex(16), hex(16)];
  const mine = withId ? me.id : 'me';
  const sealedBy = new Set();  // texts another machine sealed under its own name
  const names = [
    () => ['key-id', pick([`${keyId(key)}\n`, `${hex(32)}\n`, '', bytes(40)])],
    () => { const w = pick(others); return [`text.${w}`, w]; },
    () => [`text.${me.id}`, me.id],
    () => { const w = pick(['bé', 'máy b', 'x']); return [fileOf(w), w]; },
    () => [pick([fileOf('me'), 'clip-%6De', `clip-${me.id}`, 'clip-%61', 'clip-%', 'clip-%1B%5D0%3Bx%07']), undefined],
    () => { const w = pick([...others, me.id]); return [`member.${w}`, w, 'member']; },
    () => [pick(['machine-a', 'machine-%1B%5B2J', `pairing/${hex(16)}-start`, 'pairing', `.clip-me.${hex(16)}.tmp`,
                 `probe-${hex(16)}`, `text.${hex(15)}`, 'text.', 'x\x1b[2Jy']), undefined],
  ];
  for (let n = below(12); n-- > 0;) {
    const [name, writer, kind] = pick(names)();
    const file = path.join(store, name);
    const parent = path.dirname(file);  // pairing/, planted as anything before
    const st = fs.lstatSync(parent, { throwIfNoEntry: false });
    if (parent !== store && st && !st.isDirectory()) fs.rmSync(parent);
    fs.mkdirSync(parent, { recursive: true });
    fs.rmSync(file, { recursive: true, force: true });
    const text = bytes(below(600));
    let stored = writer ? form.seal(text, writer, sealed ? key : null, random() < 0.2) : bytes(below(300));
    if (kind === 'member') stored = form.memberFile(pick(['b', 'c', '\x1b]0;x\x07']), writer, sealed ? key : null);
    const flip = Buffer.from(stored);
    if (flip.length) flip[below(flip.length)] ^= 1 << below(8);
    const content = pick([
      () => {
        if (writer && writer !== mine && !kind) sealedBy.add(text.toString('latin1'));
        return stored;
      },
      () => stored.subarray(0, below(stored.length + 1)),
      () => flip,
      () => Buffer.concat([Buffer.from('TVRK'), Buffer.from([pick([0, 1, 2, 3, 4]), pick([0, 1, 2])]), bytes(pick([0, 8, below(60)]))]),
      () => Buffer.from(JSON.stringify(pick([{ name: 'b' }, { name: 5 }, [], null, { v: 2, id: hex(16), time: 'x' }]))),
      () => Buffer.alloc(0),
      () => ({ size: 2 ** 30 + below(1000) }),
      () => ({ link: pick([path.join(outside, 'secret'), path.join(outside, 'dir'), '/dev/zero', keyFile, 'nowhere']) }),
      () => ({ fifo: true }),
      () => (process.getuid() === 0 ? { device: true } : { fifo: true }),  // a copy of /dev/zero, where it can be made
      () => ({ dir: true }),
    ])();
    if (content.size) {
      fs.writeFileSync(file, '');
      fs.truncateSync(file, content.size);
    } else if (content.link) {
      fs.symlinkSync(content.link, file);
    } else if (content.fifo) {
      spawnSync('mkfifo', [file]);
    } else if (content.device) {
      spawnSync('mknod', [file, 'c', '1', '5']);
    } else if (content.dir) {
      fs.mkdirSync(file);
    } else {
      fs.writeFileSync(file, content, { mode: 0o600 });
    }
  }
  // What a pull may print: in a sealed store, a text another machine sealed;
  // in a plain one, a part of a text file that is not this machine's (files
  // from before the header are taken whole).
  const own = [fileOf('me'), 'clip-%6De', ...(withId ? [`text.${me.id}`, `clip-${me.id}`] : [])];
  const plainTexts = sealed ? [] : fs.readdirSync(store)
    .filter((f) => /^(text\.[0-9a-f]{16}|clip-.+)$/.test(f) && !own.includes(f) &&
            fs.lstatSync(path.join(store, f)).isFile() && fs.lstatSync(path.join(store, f)).size < 1 << 20)
    .map((f) => fs.readFileSync(path.join(store, f)));
  const pullable = (out) => (sealed ? sealedBy.has(out.toString('latin1')) : plainTexts.some((b) => b.includes(out)));

  const before = snapshot(outside, keyFile);
  const env = { ...process.env, HOME: home, XDG_CONFIG_HOME: undefined, TAVRIK_CONFIG: undefined, TAVRIK_STORE: store,
                TAVRIK_MACHINE: 'me', TAVRIK_KEY_FILE: undefined, TAVRIK_SSH_CONFIG: undefined,
                PATH: '/usr/bin:/bin', NODE_OPTIONS: `--require ${path.join(__dirname, 'rss.js')}`,
                TAVRIK_FUZZ_RSS: path.join(root, 'rss') };
  for (const k of Object.keys(env)) if (env[k] === undefined) delete env[k];
  const faults = [];
  for (const [args, input] of [[['clip', 'pull', '--print']], [['clip', 'push', '--stdin'], bytes(below(100))], [['status']]]) {
    const what = args.join(' ');
    fs.rmSync(env.TAVRIK_FUZZ_RSS, { force: true });
    const r = spawnSync(process.execPath, [TOOL, ...args], { env, input, timeout: DEADLINE_MS, killSignal: 'SIGKILL',
                                                             maxBuffer: 64 << 20 });
    const err = r.stderr ? r.stderr.toString() : '';
    const out = r.stdout ? r.stdout : Buffer.alloc(0);
    const rss = fs.existsSync(env.TAVRIK_FUZZ_RSS) ? Number(fs.readFileSync(env.TAVRIK_FUZZ_RSS, 'utf8')) : 0;
    if (r.status === null) faults.push(`${what}: did not end within ${DEADLINE_MS} ms (${r.signal})`);
    else if (/Lỗi trong tavrik|^\s+at |Node\.js v/m.test(err)) faults.push(`${what}: threw: ${err}`);
    else if (rss > RSS_LIMIT_KB) faults.push(`${what}: ${rss} kB at most, past ${RSS_LIMIT_KB}`);
    else if (r.status !== 0 && (out.length > 0 && what !== 'status')) faults.push(`${what}: failed yet printed`);
    else if (r.status !== 0 && !(what === 'status' ? out.toString() : err).trim()) faults.push(`${what}: failed with no reason`);
    else if (r.status !== 0 && r.status !== 1 && r.status !== 2) faults.push(`${what}: exit ${r.status}`);
    else if (/[\x00-\x09\x0b-\x1f\x7f]/.test(err) || (what === 'status' && /[\x00-\x09\x0b-\x1f\x7f]/.test(out.toString()))) {
      faults.push(`${what}: a control character printed`);
    } else if (what.startsWith('clip pull') && r.status === 0 && out.length && !pullable(out)) {
      faults.push(`${what}: printed a text no other machine wrote (${out.length} bytes)`);
    }
  }
  const after = snapshot(outside, keyFile);
  if (before !== after) faults.push('something outside the store changed');
  const secrets = [key, Buffer.from(key.toString('base64'))];
  for (const f of fs.readdirSync(store, { recursive: true })) {
    const file = path.join(store, f);
    const st = fs.lstatSync(file);
    if (st.isFile() && st.size < 1 << 20 && secrets.some((s) => fs.readFileSync(file).includes(s))) {
      faults.push(`the key is in the store's ${f}`);
    }
  }
  return faults;
}

// What a case must leave as it was: the files outside the store, and the key.
function snapshot(outside, keyFile) {
  const seen = [];
  for (const f of fs.readdirSync(outside, { recursive: true }).sort()) {
    const st = fs.lstatSync(path.join(outside, f));
    seen.push(`${f} ${st.mode} ${st.isFile() ? crypto.createHash('sha256').update(fs.readFileSync(path.join(outside, f))).digest('hex') : ''}`);
  }
  if (fs.existsSync(keyFile)) seen.push(fs.readFileSync(keyFile, 'utf8'));
  return seen.join('\n');
}

const base = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-store-fuzz-'));
const until = Date.now() + seconds * 1000;
let cases = 0;
for (; Date.now() < until; cases++) {
  const root = path.join(base, String(cases));
  fs.mkdirSync(root);
  const faults = oneCase(root);
  if (faults.length) {
    process.stderr.write(`store fuzzer, seed ${seed}, case ${cases} (kept in ${root}):\n  ${faults.join('\n  ')}\n`);
    process.exit(1);
  }
  fs.rmSync(root, { recursive: true, force: true });
}
fs.rmSync(base, { recursive: true, force: true });
process.stdout.write(`store fuzzer, seed ${seed}: ${cases} cases (${3 * cases} runs), nothing found\n`);
