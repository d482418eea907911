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
//
// Exit status 0 on success; otherwise the reason is the last line of
// standard error, which the agent shows to the user.
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { resolve, configFile, writePrivate } = require('./lib/settings.js');
const { fail, attempt, age } = require('./lib/report.js');
const { placeOf, writerOf, isText, shownNames, storeAt } = require('./lib/store.js');
const { KEY_ID_FILE, keyFile, loadKey, newKey, keyId } = require('./lib/key.js');
// Every press runs this tool once: the other commands' modules (pairing's
// curve above all) load only for them.
const lib = (name) => require(`./lib/${name}.js`);

// Stored texts: "TVRK", a format version, a kind. A plain text (kind 0,
// version 2) goes on with flags (1: a secret), the time of the push in
// milliseconds (big-endian), the text's length (8 bytes), its SHA-256 and
// the text. A sealed one (kind 1, version 3) goes on with a nonce, then the
// AES-256-GCM ciphertext of the flags, the time, the length and the text,
// padded with zeros (padme below), and the tag; the header and the writing
// machine's name are authenticated. Version 2's sealed form kept the flags
// and the time in the clear; version 1 had no flags and no length or checksum.
const MAGIC = Buffer.from('TVRK');
const PLAIN_VERSION = 2;
const VERSION = 3;
const PLAIN = 0;
const SEALED = 1;
const SECRET = 1;
const HEADER = MAGIC.length + 3 + 8;
const HEADER_V1 = MAGIC.length + 2 + 8;
const SEALED_HEADER = MAGIC.length + 2;
const INNER = 1 + 8 + 8;
const CHECK = 8 + 32;
const NONCE = 12;
const TAG = 16;

// Padmé (Nikitin et al., "Reducing Metadata Leakage from Encrypted Files and
// Communication with PURBs", PETS 2019), from 256 bytes: a length shows only
// its top bits, O(log log L) of them, for at most 12 % more bytes.
function padme(length) {
  if (length <= 256) return 256;
  const e = 31 - Math.clz32(length);
  const step = 2 ** (e - (31 - Math.clz32(e)) - 1);
  return Math.ceil(length / step) * step;
}

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

// ---- the stored form -------------------------------------------------------

const sha256 = (data) => crypto.createHash('sha256').update(data).digest();
const digestOf = (stored) => sha256(stored).toString('hex').slice(0, 32);

function seal(data, writer, key, secret) {
  const time = BigInt(Date.now());
  if (!key) {
    const header = Buffer.alloc(HEADER + CHECK);
    MAGIC.copy(header);
    header[4] = PLAIN_VERSION;
    header[5] = PLAIN;
    header[6] = secret ? SECRET : 0;
    header.writeBigUInt64BE(time, 7);
    header.writeBigUInt64BE(BigInt(data.length), HEADER);
    sha256(data).copy(header, HEADER + 8);
    return Buffer.concat([header, data]);
  }
  const header = Buffer.concat([MAGIC, Buffer.from([VERSION, SEALED])]);
  const inner = Buffer.alloc(padme(INNER + data.length));
  inner[0] = secret ? SECRET : 0;
  inner.writeBigUInt64BE(time, 1);
  inner.writeBigUInt64BE(BigInt(data.length), 9);
  data.copy(inner, INNER);
  const nonce = crypto.randomBytes(NONCE);
  const cipher = crypto.createCipheriv('aes-256-gcm', key, nonce);
  cipher.setAAD(Buffer.concat([header, Buffer.from(writer, 'utf8')]));
  const body = Buffer.concat([cipher.update(inner), cipher.final()]);
  return Buffer.concat([header, nonce, body, cipher.getAuthTag()]);
}

// The text, its time and whether it is a secret, or a refusal with the
// reason (never the bytes). `mtime` stands for the time of a file from
// before the header existed.
function open(stored, writer, key, mtime, shown = writer) {
  const from = `Chữ từ máy ${shown}`;
  const cut = { refused: `${from} bị cắt cụt hoặc hỏng (độ dài hay mã kiểm tra không khớp): không nhận.` };
  const unsealed = { refused: `${from} không được mã hoá, mà máy này có khoá: không nhận.` };
  if (!stored.subarray(0, MAGIC.length).equals(MAGIC)) {
    // A file cut inside the magic itself is no old text either.
    if (stored.length < MAGIC.length && MAGIC.subarray(0, stored.length).equals(stored)) return cut;
    if (key) return unsealed;
    return { text: stored, time: mtime, secret: false };
  }
  const version = stored[4];
  if (stored.length > 4 && version > VERSION) {
    return { refused: `${from} được ghi bằng bản tavrik mới hơn (định dạng ${version}); hãy cập nhật tavrik.` };
  }
  const headerLength = { 1: HEADER_V1, 2: HEADER, 3: SEALED_HEADER }[version] ?? HEADER;
  if (stored.length < headerLength) return cut;
  const header = stored.subarray(0, headerLength);
  if (stored[5] === PLAIN) {
    if (key) return unsealed;
    const time = Number(stored.readBigUInt64BE(headerLength - 8));
    const secret = headerLength === HEADER && (stored[6] & SECRET) !== 0;
    if (headerLength === HEADER_V1) return { text: stored.subarray(HEADER_V1), time, secret };
    if (version !== PLAIN_VERSION || stored.length < HEADER + CHECK) return cut;
    const text = stored.subarray(HEADER + CHECK);
    if (BigInt(text.length) !== stored.readBigUInt64BE(HEADER) ||
        !sha256(text).equals(stored.subarray(HEADER + 8, HEADER + CHECK))) {
      return cut;
    }
    return { text, time, secret };
  }
  if (!key) return { refused: `${from} đã được mã hoá; máy này chưa có khoá (${keyFile()}).` };
  const broken = { refused: `${from} không giải mã được: sai khoá, hoặc dữ liệu bị sửa hay cắt cụt.` };
  if (stored[5] !== SEALED || stored.length < headerLength + NONCE + TAG) return broken;
  let plain;
  try {
    const decipher = crypto.createDecipheriv('aes-256-gcm', key,
                                             stored.subarray(headerLength, headerLength + NONCE));
    decipher.setAAD(Buffer.concat([header, Buffer.from(writer, 'utf8')]));
    decipher.setAuthTag(stored.subarray(stored.length - TAG));
    plain = Buffer.concat([decipher.update(stored.subarray(headerLength + NONCE, stored.length - TAG)),
                           decipher.final()]);
  } catch {
    return broken;
  }
  if (version < VERSION) {
    return { text: plain, time: Number(stored.readBigUInt64BE(headerLength - 8)),
             secret: version === 2 && (stored[6] & SECRET) !== 0 };
  }
  const length = plain.length >= INNER ? Number(plain.readBigUInt64BE(9)) : Infinity;
  if (length > plain.length - INNER) return broken;
  return { text: plain.subarray(INNER, INNER + length), time: Number(plain.readBigUInt64BE(1)),
           secret: (plain[0] & SECRET) !== 0 };
}

// A stored text that anyone can read: what turning encryption on removes.
const isPlain = (stored) => !(stored.subarray(0, MAGIC.length).equals(MAGIC) && stored[5] === SEALED);

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
  const key = sealing(to, to.get(KEY_ID_FILE)?.toString().trim() || null, 'chưa gửi gì');
  const stored = seal(data, me.writer, key, process.env.TAVRIK_SECRET === '1');
  to.put(me.text, stored);
  // What this machine last wrote: another machine writing the same file
  // (one identity on two machines) shows as a difference.
  const seen = readSeen();
  (seen.pushed ??= {})[me.text] = digestOf(stored);
  writeSeen(seen);
}

// The newest text of another machine, by the time sealed in it; any text
// refused (broken, replayed, misnamed) ends the pull with its reason.
function pull() {
  const from = store();
  const { keyId: storeKid, files } = from.texts([place().text]);
  const shown = shownNames(files);
  const key = sealing(from, storeKid, 'chưa lấy gì');
  const kid = key && keyId(key);
  const seen = kid ? readSeen() : {};
  const last = (seen[kid] ??= {});
  let newest = null;
  let changed = false;
  for (const { name, bytes, mtime } of files.filter((f) => isText(f.name)).sort((a, b) => (a.name < b.name ? -1 : 1))) {
    const { writer, misspelt } = writerOf(name) ?? {};
    // Another spelling would pass a text off as another machine's.
    if (misspelt !== undefined) fail(`Tệp ${name} trong kho là cách viết khác của tên máy ${misspelt}: không nhận.`);
    if (writer === undefined) continue;  // no machine writes such a name
    const machine = shown(writer);
    const opened = open(bytes, writer, key, mtime, machine);
    if (opened.refused) fail(opened.refused);
    if (kid) {
      const digest = digestOf(bytes);
      const before = last[writer];
      if (before && (opened.time < before.time || (opened.time === before.time && digest !== before.digest))) {
        fail(`Chữ từ máy ${machine} cũ hơn chữ máy này đã nhận từ máy đó: kho đưa lại chữ cũ, không nhận.`);
      }
      if (!before || opened.time > before.time) {
        last[writer] = { time: opened.time, digest };
        changed = true;
      }
    }
    if (!newest || (opened.time ?? 0) > (newest.time ?? 0)) newest = { ...opened, machine };
  }
  if (changed) writeSeen(seen);
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
  tavrik hotkeys set [--copy PHÍM] [--paste PHÍM]
                        đổi phím tắt của tavrik-agent, hoặc xem phím hiện tại
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
mặc định 600).
`;

function main(args) {
  const command = args.join(' ');
  if (command === '--help' || command === 'help') return void process.stdout.write(HELP);
  if (args[0] === 'setup') return lib('setup').setup(args.slice(1), { isPlain });
  if (command === 'autostart off') return lib('setup').autostartOff();
  if (command === 'status') {
    const { status, agentSays } = lib('status');
    return status({ store, loadKey, keyFile, sealing, open, place, digestOf, pushed: () => readSeen().pushed ?? {},
                    agent: () => agentSays(attempt(lib('setup').agentPath).value) });
  }
  if (command === 'clip push --stdin') return push();
  if (command === 'clip pull --print') return pull();
  if (command === 'clip clear') return store().remove(place().text);
  if (command === 'key new') return keyNew();
  if (command === 'pair') return lib('pair').admit(store(), machineName());
  if (args[0] === 'hotkeys' && args[1] === 'set') return lib('hotkeys').set(args.slice(2));
  fail('Cách dùng: tavrik setup KHO [--machine TÊN] [--no-autostart] [--no-encryption] | tavrik pair | ' +
       'tavrik status | tavrik autostart off | ' +
       'tavrik clip push --stdin | tavrik clip pull --print | tavrik clip clear | tavrik key new | ' +
       'tavrik hotkeys set [--copy PHÍM] [--paste PHÍM]', 2);
}

main(process.argv.slice(2));
