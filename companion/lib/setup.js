'use strict';
// `tavrik setup STORE`, one command per machine: the store checked by a
// real round trip, a name of this machine's own there, config.json, and the
// agent started at login. Nothing is written unless the store works.
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { fail, attempt, say, parseOptions } = require('./report.js');
const { fileOf, memberOf, isMember, ownerOf, placeOf, newId, idIn, isConflictCopy } = require('./names.js');
const { isSsh, asTheOtherTypesIt, roundTrip, storeAt } = require('./store.js');
const { isPlain, memberFile, memberName } = require('./form.js');
const { configFile, readConfig, writeConfig } = require('./settings.js');
const autostart = require('./autostart.js');
const { KEY_ID_FILE, keyFile, loadKey, newKey, writeKey, keyId } = require('./key.js');
const { join, readLine } = require('./pair.js');

const USAGE = 'Cách dùng: tavrik setup KHO [--machine TÊN] [--no-autostart] [--no-encryption], với KHO là một thư mục ' +
  'hoặc ssh://[NGƯỜI@]MÁY[:CỔNG]/ĐƯỜNG/DẪN hoặc [NGƯỜI@]MÁY:ĐƯỜNG/DẪN';

function parse(args) {
  const { values, positionals } = parseOptions(args, { machine: { type: 'string' }, 'no-autostart': { type: 'boolean' },
                                                       'no-encryption': { type: 'boolean' } }, USAGE);
  if (positionals.length !== 1 || values.machine === '') fail(USAGE, 2);
  const out = { store: positionals[0], machine: values.machine, autostart: !values['no-autostart'],
                plain: values['no-encryption'] };
  if (!isSsh(out.store)) out.store = path.resolve(out.store);
  return out;
}

// An SSH host not known yet is asked about once, in the terminal, as ssh
// itself asks; pushes later never ask (BatchMode).
function knowHost(where) {
  const { sshConfig, sshRefusal, sshAddress } = require('./ssh-store.js');
  const { host, target, port } = sshAddress(where);
  // -n: the question goes to the terminal, and standard input (a pairing
  // code, maybe) stays for what follows.
  const r = spawnSync('ssh', [...sshConfig(), ...port, '-n', '-o', 'StrictHostKeyChecking=ask',
                              '-o', 'PasswordAuthentication=no', '-o', 'KbdInteractiveAuthentication=no',
                              '-o', 'ConnectTimeout=10', '--', target, 'true'],
                      { stdio: ['inherit', 'ignore', 'pipe'], timeout: 120000 });
  if (r.status === 0) return;
  if (r.error) fail(`Không chạy được ssh: ${r.error.message}`);
  const err = r.stderr.toString();
  if (/Host key verification failed/.test(err)) {
    fail(`Chưa nhận khoá của máy ${host}: chạy "ssh ${[...port, target].join(' ')}" một lần, kiểm tra và nhận khoá ` +
         'của nó, rồi chạy lại tavrik setup.');
  }
  fail(sshRefusal(host, err));
}

// The names other machines show in the store: those of their files, or
// those their member files show (sealed with `key`, where there is one).
function namesIn(store, mine, key) {
  const names = new Set();
  for (const file of store.names().filter((f) => !mine.includes(f))) {
    if (ownerOf(file) !== undefined) names.add(ownerOf(file));
    const bytes = idIn(file, 'member') && attempt(() => store.get(file)).value;
    const shown = bytes && memberName(bytes, idIn(file, 'member'), key);
    if (shown) names.add(shown);
  }
  return names;
}

// This machine's name in the store: the one asked for, the one it has, or
// the host name; another when that one is another machine's there, even
// the one it has (two set up at once): the machine set up later moves.
// `mine`: this machine's own files; `key`: the one the others' names open with.
function chooseName(store, wanted, ours, mine, key = attempt(loadKey).value ?? null) {
  const names = namesIn(store, mine, key);
  const taken = (n) => names.has(n);
  if (wanted) {
    if (taken(wanted)) fail(`Tên máy "${wanted}" đã có máy khác dùng trong kho ${store.describe()}; chọn tên khác.`);
    return { name: wanted };
  }
  const base = ours || os.hostname();
  let name = base;
  for (let n = 2; taken(name); n++) name = `${base}-${n}`;
  return { name, instead: name === base ? undefined : base };
}

// Asks on the terminal whether to go on with plain texts; false without one.
function agreesToPlain(store) {
  if (!process.stdin.isTTY) return false;
  process.stdout.write(`Kho ${store.describe()} đã có máy khác mà không ghi nhận khoá nào (không có tệp key-id): ` +
    'hoặc các máy đó không mã hoá, hoặc ai đó đã giấu tệp ấy. Dùng kho này không mã hoá? [c/K] ');
  const answer = readLine(Date.now() + 600000);
  return /^\s*c/i.test(answer || '');
}

// How long a key-id just written is left before it is read again: another
// setup at the same moment may have written its own.
const SETTLE_MS = 1000;

// Texts sealed or not: the store records the id of the key its texts are
// sealed with. A store no other machine uses gets a new key unless asked
// not to; a machine without the store's key gets it by pairing. A key of
// this machine that is not the store's (two setups at once, and the store
// kept the other's) sealed nothing the others need: once the store's key is
// here, it is kept aside. What was done, in the user's words, and what
// config.json records of it.
function encryption(store, me, plain) {
  const recorded = store.keyId();
  let key = loadKey();
  const sealed = (said, k) => ({ said, key: k, record: { sealed: true, keyId: keyId(k) } });
  if (recorded) {
    if (key && keyId(key) === recorded) return sealed('có, bằng khoá của kho', key);
    if (plain) fail(`Chữ trong kho ${store.describe()} được mã hoá: bỏ --no-encryption để ghép lấy khoá.`);
    if (key) say(`Khoá ${keyFile()} của máy này không phải khoá của kho: ghép để nhận khoá của kho; khoá này được cất đi.`);
    const { key: got, named } = join(store, recorded, me.name, me.rename);
    const aside = key && `${keyFile()}.${keyId(key).slice(0, 8)}.cũ`;
    if (aside) fs.renameSync(keyFile(), aside);
    return { ...sealed(`có, khoá nhận bằng ghép mã, ở ${writeKey(got)}${aside ? ` (khoá cũ cất ở ${aside})` : ''}`, got),
             named };
  }
  const plainly = { key: null, record: { sealed: false, keyId: undefined } };
  if (plain) return { ...plainly, said: 'không (--no-encryption)' };
  const others = store.names().some((n) => isMember(n) && n !== me.place.member);
  if (!key && others) {
    if (!agreesToPlain(store)) {
      fail(`Kho ${store.describe()} đã có máy khác mà không có tệp key-id: nếu các máy đó không mã hoá, chạy lại với ` +
           '--no-encryption; nếu có, tệp key-id đã mất: chạy tavrik setup trên máy có khoá để ghi lại, rồi chạy lại ở đây.');
    }
    return { ...plainly, said: 'không (kho đã có máy dùng không mã hoá; xem tavrik key new)' };
  }
  const made = !key && newKey();
  key = loadKey();
  store.put(KEY_ID_FILE, Buffer.from(`${keyId(key)}\n`));
  autostart.sleep(SETTLE_MS);
  if (store.keyId() !== keyId(key)) return encryption(store, me, plain);
  // What this machine left readable before.
  const own = store.get(me.place.text);
  if (own && isPlain(own)) store.remove(me.place.text);
  return sealed(made ? `có, khoá mới ở ${made}` : `có, bằng khoá ${keyFile()}`, key);
}

// The agent beside this companion (PREFIX/bin), else the one on PATH.
function agentPath() {
  const exe = process.platform === 'win32' ? 'tavrik-agent.exe' : 'tavrik-agent';
  const beside = path.resolve(__dirname, '..', '..', '..', 'bin', exe);
  if (fs.existsSync(beside)) return beside;
  const found = spawnSync('sh', ['-c', 'command -v tavrik-agent'], { encoding: 'utf8' });
  if (found.status === 0 && found.stdout.trim().startsWith('/')) return found.stdout.trim();
  return fail('Không thấy tavrik-agent cạnh tavrik hay trong PATH.');
}

// The agent's command line: this Node and this companion, by absolute
// paths; the options an installed entry already gives (hotkeys) are kept.
function agentArgv() {
  const argv = [agentPath(), '--node', process.execPath, '--cli', fs.realpathSync(require.main.filename)];
  const before = autostart.installed()?.argv || [];
  for (let i = 1; i + 1 < before.length; i += 2) {
    if (!['--node', '--cli'].includes(before[i]) && before[i].startsWith('--')) argv.push(before[i], before[i + 1]);
  }
  return argv;
}

function setup(args) {
  const asked = parse(args);
  const file = configFile();
  const config = readConfig(file);
  if (config.error) fail(config.error);
  const values = config.values || {};
  const store = storeAt(asked.store, 'Kho');
  if (isSsh(asked.store)) knowHost(asked.store);
  store.make();
  roundTrip(store);
  const ours = values.store === asked.store ? values.machine : undefined;
  const id = values.id ?? newId();
  // This machine's files: by its id, and by its name from before it had one.
  const mine = [placeOf({ id }).member, ...(ours && !values.id ? [fileOf(ours), memberOf(ours)] : [])];
  const chosen = chooseName(store, asked.machine, ours, mine);
  const rename = (k) => chooseName(store, asked.machine, ours, mine, k);
  const { said: sealed, key, record, named } =
    encryption(store, { name: chosen.name, place: placeOf({ id, name: chosen.name }), rename }, asked.plain);
  // The names other machines sealed are seen once the key is here; a
  // joiner chose its name so, and told the holder.
  const { name, instead } = named ?? chooseName(store, asked.machine, ours, mine);
  const me = { name, place: placeOf({ id, name }) };
  // Only the name shown, sealed where texts are: the host name stays here.
  store.put(me.place.member, memberFile(name, id, key));
  // Moved over: the files this machine had under its name before it had an id.
  if (ours && !values.id) [fileOf(ours), memberOf(ours)].forEach((f) => store.remove(f));
  // The key is settled: what a sync kept aside of key-id and of pairings goes.
  for (const [where, only] of [[store, (f) => f.startsWith(KEY_ID_FILE)], [store.within('pairing'), () => true]]) {
    for (const copy of where.names().filter((f) => isConflictCopy(f) && only(f))) where.remove(copy);
  }
  store.within('pairing').drop();
  const failed = writeConfig(JSON.parse(JSON.stringify({ ...values, store: asked.store, machine: name, id, ...record })));
  if (failed) fail(failed);
  let started = 'không cài (--no-autostart)';
  if (asked.autostart) {
    const done = autostart.install(agentArgv());
    if (done.error) fail(done.error);
    started = done.said;
  }
  // What is left to do: the other machine, or nothing but a look.
  const others = [...namesIn(store, mine, key)];
  const next = others.length ? `Kho đã có máy ${others.join(', ')}: tavrik status cho biết chữ đã qua lại được chưa.`
    : `${sealed.startsWith('có') ? 'Để máy kia nhận khoá: chạy tavrik pair ở máy này, rồi trên máy kia' : 'Trên máy kia'}, ` +
      `chạy: tavrik setup ${asTheOtherTypesIt(asked.store)}${sealed.startsWith('có') ? ' và gõ mã ghép máy này hiện' : ''}`;
  say(`Đã thiết lập tavrik trên máy này.\n` +
    `  Kho: ${asked.store} (đã thử ghi, đọc lại và xoá)\n` +
    `  Tên máy này trong kho: ${name}${instead ? ` (tên ${instead} đã có máy khác dùng)` : ''}\n` +
    `  Mã hoá: ${sealed}\n` +
    `  Cấu hình: ${file}\n` +
    `  Tự khởi động: ${started}\n${next}`);
}

function autostartOff() {
  const removed = autostart.remove();
  process.stdout.write(removed.length ? `Đã gỡ ${removed.join(', ')} và dừng tavrik-agent.\n`
    : 'Không có tự khởi động nào do tavrik setup cài; đã dừng tavrik-agent nếu nó chạy.\n');
}

module.exports = { setup, autostartOff, agentPath, namesIn };
