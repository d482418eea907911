#!/usr/bin/env node
// tavrik: the companion tool of tavrik-agent. Stores the clipboard text of
// one machine for the other, in a store both machines reach: a shared or
// synced folder, or a folder on another machine reached over SSH.
//
//   tavrik setup STORE [--machine NAME] [--no-autostart] [--no-encryption]
//                               set this machine up: the store checked, a
//                               name of its own there, the key (made, or
//                               got by pairing), config.json, and the agent
//                               started at login
//   tavrik pair                 show a code, and hand this machine's key to
//                               the one whose tavrik setup is given that code
//   tavrik autostart off        undo the last: the agent no longer starts
//   tavrik status               every link to the other machine, one screen
//   tavrik config [KEY [VALUE]] the settings and where each comes from, or
//                               set machine, ttl (90, 10m, 2h, off), secretTtl
//   tavrik clip push --stdin    store standard input, byte for byte
//   tavrik clip pull --print    print the text last stored by another machine
//   tavrik clip clear           remove this machine's text from the store
//   tavrik key new              make a key by hand (setup makes one)
//   tavrik hotkeys set [--copy HOTKEY] [--paste HOTKEY]
//                               change the agent's hotkeys (in the entry
//                               setup installed), or say what they are
//
// Each TAVRIK_* variable below wins over the same setting in config.json
// (TAVRIK_CONFIG, default $XDG_CONFIG_HOME/tavrik/config.json, on Windows
// %LOCALAPPDATA%\tavrik\config.json): "store", "machine", "ttl", "secretTtl".
//
// TAVRIK_STORE       the store: a directory (default $XDG_DATA_HOME/tavrik/store,
//                    or ~/.local/share/tavrik/store, on Windows
//                    %LOCALAPPDATA%\tavrik\store), or ssh://[USER@]HOST[:PORT]/PATH
//                    with PATH absolute or ~/... under the remote home, or
//                    [USER@]HOST:PATH
// TAVRIK_MACHINE     this machine's name in the store (default: the host name)
// TAVRIK_KEY_FILE    the key (default ~/.config/tavrik/key, on Windows
//                    %LOCALAPPDATA%\tavrik\key); when it exists, texts are
//                    stored encrypted and only encrypted texts read
// TAVRIK_TTL         seconds after which a stored text is refused, with its age
//                    (default: never)
// TAVRIK_SECRET_TTL  the same for a secret (default 120)
// TAVRIK_SECRET      1 when the agent pushes a text marked as a secret
// TAVRIK_META_FD     where a pull says "secret" of such a text (the agent's 3)
// TAVRIK_SSH_CONFIG  an ssh configuration file to use instead of the user's
// TAVRIK_PAIR_WAIT   seconds a pairing waits for the other machine (default 600)
// TAVRIK_SSH_WAIT    seconds an ssh run may take before it is ended (default 90)
//
// Exit status 0 on success; otherwise the reason is the last line of
// standard error, which the agent shows to the user.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { resolve, configFile, writePrivate } = require('./lib/settings.js');
const { Refusal, fail, attempt, age, clean } = require('./lib/report.js');
const { shownNames, otherKeys, splitReason, storeAt } = require('./lib/store.js');
const { placeOf, writerOf, isText, isOwn } = require('./lib/names.js');
const { seal, open, digestOf } = require('./lib/form.js');
const { keyFile, loadKey, newKey, keyId } = require('./lib/key.js');
// The package's version; the build checks it against the project's.
const VERSION = '0.2.0';
// Every press runs this tool once: the other commands' modules (pairing's
// curve above all) load only for them.
const lib = (name) => require(`./lib/${name}.js`);

// A descriptor someone made non-blocking answers EAGAIN: wait a little.
const pause = new Int32Array(new SharedArrayBuffer(4));
function retryOnEagain(io) {
  for (;;) {
    try {
      return io();
    } catch (e) {
      if (e.code !== 'EAGAIN') throw e;
      Atomics.wait(pause, 0, 0, 5);
    }
  }
}

function readStdin() {
  const chunks = [];
  for (;;) {
    const buf = Buffer.allocUnsafe(1 << 20);
    const n = retryOnEagain(() => fs.readSync(0, buf, 0, buf.length, null));
    if (n === 0) break;
    chunks.push(buf.subarray(0, n));
  }
  return Buffer.concat(chunks);
}

function writeStdout(data) {
  for (let off = 0; off < data.length;) off += retryOnEagain(() => fs.writeSync(1, data, off));
}

// Read once a run; a refused setting ends it before anything is done.
let resolved;
function setting(name) {
  resolved ??= resolve();
  if (resolved.error) fail(resolved.error);
  return resolved[name];
}
const machineName = () => setting('machine').value;
// This machine's files in the store, and what its texts are sealed as.
const place = () => placeOf({ id: setting('id').value, name: machineName() });

// `tavrik key new`: a key made by hand; the other machines get it by pairing.
function keyNew() {
  const file = newKey();
  process.stdout.write(`Đã tạo khoá ở ${file}.\n` +
    'Từ giờ chữ được mã hoá trước khi vào kho; máy không có khoá này không đọc được.\n' +
    'Chạy tavrik setup KHO trên máy này để kho ghi nhận khoá; máy kia nhận khoá bằng cách ghép:\n' +
    'tavrik pair ở máy này, rồi tavrik setup KHO ở máy kia và gõ mã ghép máy này hiện.\n');
}

// Past its expiry (ttl; a secret has its own, whether or not texts have
// one), a text is refused with its age, never pasted as if fresh: the reason,
// or undefined.
function tooOld({ time, secret, machine }) {
  for (const [name, what] of [['ttl', 'hạn ttl'], ...(secret ? [['secretTtl', 'hạn của chữ bí mật']] : [])]) {
    const ttl = setting(name).value;
    if (ttl !== undefined && (time === undefined || Date.now() - time > ttl * 1000)) {
      return `Chữ mới nhất từ máy ${machine} đã cũ (gửi ${time === undefined ? 'lúc không rõ' : age(time)}, ` +
             `quá ${what} ${ttl} giây): không lấy.`;
    }
  }
  return undefined;
}

// ---- the commands ----------------------------------------------------------

const store = () => {
  const { value, from } = setting('store');
  // Neither config.json nor TAVRIK_STORE: nothing was set up here yet.
  if (from === 'mặc định' && !fs.existsSync(value)) {
    fail('Chưa thiết lập tavrik trên máy này: chạy tavrik setup KHO (một thư mục đồng bộ, hoặc ssh://MÁY/ĐƯỜNG/DẪN).');
  }
  return storeAt(value, from === 'TAVRIK_STORE' ? from : `Kho trong ${from}`);
};

// The key this machine seals with, or null for plain texts, given the id of
// the key the store records. A machine that setup made sealed never goes
// plain: without its key, or with another one than the store's, nothing is
// stored or printed. `doing` names what was not done.
function sealing(to, storeKid, doing) {
  const key = loadKey();
  const way = `chạy tavrik setup ${to.describe()} trên máy này rồi tavrik pair trên máy có khoá`;
  if (setting('sealed').value === true) {
    const kid = setting('keyId').value;
    if (!key) fail(`Máy này mã hoá chữ mà không còn khoá ${keyFile()}: ${doing}. Để nhận lại khoá, ${way}.`);
    if (keyId(key) !== kid) {
      fail(`Khoá ${keyFile()} không phải khoá ghi trong ${configFile()}: ${doing}. Để nhận lại khoá, ${way}.`);
    }
    if (!storeKid) {
      fail(`Kho ${to.describe()} không còn tệp key-id, mà máy này mã hoá chữ: ${doing}. ` +
           `Nếu tệp ấy chỉ bị mất, chạy tavrik setup ${to.describe()} trên máy này để ghi lại.`);
    }
    if (storeKid !== kid) {
      fail(`Kho ${to.describe()} ghi một khoá khác, mà máy này mã hoá chữ: ${doing}. Nếu kho đã đổi khoá, ${way}.`);
    }
    return key;
  }
  const chosen = setting('sealed').value === false ? null : key;
  // A store whose texts are sealed never gets a plain one, nor gives one.
  if (!chosen && storeKid) {
    fail(`Kho ${to.describe()} mã hoá chữ mà máy này không có khoá (${keyFile()}): ${doing}. ` +
         `Chạy tavrik setup ${to.describe()} để ghép lấy khoá.`);
  }
  return chosen;
}

// The newest authenticated time accepted from each machine, per key, beside
// the key: an older text, or another one of the same time, is a replay.
const seenFile = () => path.join(path.dirname(keyFile()), 'seen.json');
function readSeen() {
  try {
    const seen = JSON.parse(fs.readFileSync(seenFile(), 'utf8'));
    return seen && typeof seen === 'object' ? seen : {};
  } catch {
    return {};  // none yet; a broken one is written anew
  }
}
function writeSeen(seen) {
  const failed = writePrivate(seenFile(), JSON.stringify(seen));
  if (failed) fail(`Không ghi được ${seenFile()}: ${failed}`);
}

function push() {
  let data;
  try {
    data = readStdin();
  } catch (e) {
    fail(`Không đọc được dữ liệu vào: ${e.message}`);
  }
  const me = place();
  const to = store();
  // The store's key and the other machines' member files, in one read.
  const { keyId: storeKid, files: members } = to.texts([me.member], true);
  const key = sealing(to, storeKid, 'chưa gửi gì');
  const stored = seal(data, me.writer, key, process.env.TAVRIK_SECRET === '1');
  to.put(me.text, stored);
  // What this machine last wrote: another machine writing the same file
  // (one identity on two machines) shows as a difference.
  const seen = readSeen();
  (seen.pushed ??= {})[me.text] = digestOf(stored);
  writeSeen(seen);
  // Stored, but a machine with another key cannot read it: told instead of
  // success, so that the split is seen where it can be mended.
  const split = key ? otherKeys(members.filter((f) => !isOwn(f.name, me)), key) : [];
  if (split.length) fail(`Đã gửi lên kho, nhưng ${splitReason(split, to.describe())}.`);
}

// Why a text opened from `machine` is a replay of what this machine
// accepted from it before (`before`: { time, digest }), or undefined.
function replayed(before, opened, digest, machine) {
  if (before && (opened.time < before.time || (opened.time === before.time && digest !== before.digest))) {
    return `Chữ từ máy ${machine} cũ hơn chữ máy này đã nhận từ máy đó: kho đưa lại chữ cũ, không nhận.`;
  }
  return undefined;
}

// The newest text of another machine, by the time sealed in it; any text
// refused (broken, replayed, misnamed, unreadable) ends the pull with its
// reason. This machine's own id or name, as any file, is never pulled.
function pull() {
  const from = store();
  const me = place();
  const { keyId: storeKid, files: listed } = from.texts([me.text]);
  const files = listed.filter((f) => !isOwn(f.name, me));
  const key = sealing(from, storeKid, 'chưa lấy gì');
  const shown = shownNames(files, key);
  const kid = key && keyId(key);
  const seen = kid ? readSeen() : {};
  const last = (seen[kid] ??= {});
  let newest = null;
  let changed = false;
  for (const { name, bytes, mtime, refused } of files.filter((f) => isText(f.name)).sort((a, b) => (a.name < b.name ? -1 : 1))) {
    const { writer, misspelt } = writerOf(name) ?? {};
    if (refused && (writer ?? misspelt) !== undefined) fail(refused);
    // Another spelling would pass a text off as another machine's.
    if (misspelt !== undefined) fail(`Tệp ${name} trong kho là cách viết khác của tên máy ${misspelt}: không nhận.`);
    if (writer === undefined) continue;  // no machine writes such a name
    const machine = shown(writer);
    const opened = open(bytes, writer, key, mtime, machine);
    if (opened.refused) fail(opened.refused);
    if (kid) {
      const digest = digestOf(bytes);
      const before = last[writer];
      const replay = replayed(before, opened, digest, machine);
      if (replay) fail(replay);
      if (!before || opened.time > before.time) {
        last[writer] = { time: opened.time, digest };
        changed = true;
      }
    }
    if (!newest || (opened.time ?? 0) > (newest.time ?? 0)) newest = { ...opened, machine };
  }
  if (changed) writeSeen(seen);
  // Nothing to paste, where a machine with another key may well have sent
  // something: that is what to mend.
  const split = !newest && key ? otherKeys(files, key) : [];
  if (split.length) fail(`Chưa lấy được gì: ${splitReason(split, from.describe())}.`);
  if (!newest) return;
  const old = tooOld(newest);
  if (old) fail(old);
  // The agent asks for the mark on a descriptor of its own.
  const meta = Number(process.env.TAVRIK_META_FD);
  if (newest.secret && Number.isInteger(meta) && meta > 2) {
    try {
      fs.writeSync(meta, 'secret\n');
    } catch {
      // nobody listens there after all
    }
  }
  writeStdout(newest.text);
}

const HELP = `tavrik: gửi chữ trong clipboard sang máy kia, cùng tavrik-agent.

Lệnh:
  tavrik setup KHO [--machine TÊN] [--no-autostart] [--no-encryption]
                        thiết lập máy này: KHO là một thư mục (chung hoặc đồng
                        bộ), ssh://[NGƯỜI@]MÁY[:CỔNG]/ĐƯỜNG/DẪN hoặc
                        [NGƯỜI@]MÁY:ĐƯỜNG/DẪN; thử kho, đặt tên máy,
                        tạo khoá mã hoá (hoặc ghép để nhận khoá), ghi
                        config.json, cho tavrik-agent chạy khi đăng nhập
  tavrik pair           hiện một mã ghép và trao khoá của máy này cho máy mới
                        gõ đúng mã ấy khi tavrik setup hỏi
  tavrik status         mọi khâu từ máy này tới máy kia; mã 0 khi dùng được
  tavrik config [KHOÁ [GIÁ-TRỊ]]
                        xem cài đặt và chúng từ đâu ra, hoặc đặt machine, ttl
                        (90, 10m, 2h, off), secretTtl
  tavrik hotkeys [set [--copy PHÍM] [--paste PHÍM]]
                        xem phím tắt của tavrik-agent, hoặc đổi chúng
  tavrik autostart off  thôi cho tavrik-agent chạy khi đăng nhập, và dừng nó
  tavrik key new        tạo khoá mã hoá chữ bằng tay (setup tự tạo)
  tavrik clip push --stdin | clip pull --print | clip clear
                        gửi, lấy, xoá chữ của máy này (tavrik-agent dùng)

Cài đặt trong config.json (TAVRIK_CONFIG, mặc định ~/.config/tavrik/config.json;
trên Windows %LOCALAPPDATA%\\tavrik\\config.json); biến cùng tên thắng tệp:
  store      TAVRIK_STORE       kho (mặc định ~/.local/share/tavrik/store)
  machine    TAVRIK_MACHINE     tên máy này trong kho (mặc định tên máy)
  ttl        TAVRIK_TTL         số giây sau đó chữ bị từ chối, kèm tuổi (mặc định: không)
  secretTtl  TAVRIK_SECRET_TTL  như trên cho chữ bí mật (mặc định 120)
Biến khác: TAVRIK_KEY_FILE (khoá, mặc định ~/.config/tavrik/key),
TAVRIK_SSH_CONFIG (tệp cấu hình ssh khác), TAVRIK_PAIR_WAIT (số giây chờ ghép,
mặc định 600), TAVRIK_SSH_WAIT (số giây tối đa cho một lần chạy ssh, mặc định 90).
`;

function main(args) {
  const command = args.join(' ');
  if (['--help', '-h', 'help'].includes(command)) return void process.stdout.write(HELP);
  if (command === '--version') return void process.stdout.write(`tavrik ${VERSION}\n`);
  if (args[0] === 'setup') return lib('setup').setup(args.slice(1));
  if (command === 'autostart off') return lib('setup').autostartOff();
  if (args[0] === 'config') return lib('config').config(args.slice(1));
  if (command === 'status') {
    const { status, agentSays } = lib('status');
    return status({ store, loadKey, keyFile, sealing, open, place, digestOf, pushed: () => readSeen().pushed ?? {},
                    tooOld, replayed: (writer, opened, bytes, machine) =>
                      replayed(readSeen()[keyId(loadKey())]?.[writer], opened, digestOf(bytes), machine),
                    agent: () => agentSays(attempt(lib('setup').agentPath).value) });
  }
  if (command === 'clip push --stdin') return push();
  if (command === 'clip pull --print') return pull();
  if (command === 'clip clear') return store().remove(place().text);
  if (command === 'key new') return keyNew();
  if (command === 'pair') return lib('pair').admit(store(), machineName());
  if (command === 'hotkeys') return lib('hotkeys').set([]);
  if (args[0] === 'hotkeys' && args[1] === 'set') return lib('hotkeys').set(args.slice(2));
  fail('Cách dùng: tavrik setup KHO [--machine TÊN] [--no-autostart] [--no-encryption] | tavrik pair | ' +
       'tavrik status | tavrik config [KHOÁ [GIÁ-TRỊ]] | tavrik autostart off | ' +
       'tavrik clip push --stdin | tavrik clip pull --print | tavrik clip clear | tavrik key new | ' +
       'tavrik hotkeys set [--copy PHÍM] [--paste PHÍM]', 2);
}

// The one place a refusal becomes the last line of standard error and the
// exit status; a fault of this tool still ends in one line the agent can
// show, not a stack trace.
try {
  main(process.argv.slice(2));
} catch (e) {
  const refusal = e instanceof Refusal ? e
    : new Refusal(clean(`Lỗi trong tavrik (hãy báo lại): ${e?.stack?.split('\n').slice(0, 2).join(' ') ?? e}`), 1);
  process.stderr.write(`${refusal.message}\n`);
  process.exitCode = refusal.status;
}
