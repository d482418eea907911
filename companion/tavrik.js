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
//   tavrik pair                 hand this machine's key to one that set up
//                               the same store, after its code is typed here
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
//                    %LOCALAPPDATA%\tavrik\store), or ssh://HOST/PATH with
//                    PATH absolute or ~/... under the remote home
// TAVRIK_MACHINE     this machine's name in the store (default: the host name)
// TAVRIK_KEY_FILE    the key (default ~/.config/tavrik/key, on Windows
//                    %LOCALAPPDATA%\tavrik\key); when it exists, texts are
//                    stored encrypted and only encrypted texts read
// TAVRIK_TTL         seconds after which a stored text is ignored (default: never)
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
const { resolve } = require('./lib/settings.js');
const { fail, attempt } = require('./lib/report.js');
const { fileOf, machineOf, storeAt } = require('./lib/store.js');
const { KEY_ID_FILE, keyFile, loadKey, newKey } = require('./lib/key.js');
const { setup, autostartOff, agentPath } = require('./lib/setup.js');
const { admit } = require('./lib/pair.js');
const { status, agentSays } = require('./lib/status.js');
const { set } = require('./lib/hotkeys.js');

// Stored texts: "TVRK", a format version, a kind, flags (1: a secret), the
// time of the push in milliseconds (big-endian), then for kind 0 the text's
// length (8 bytes) and SHA-256, and the text, or for kind 1 a nonce, the
// AES-256-GCM ciphertext and its tag. The header, the nonce's use and the
// writing machine's name are authenticated. Version 1 had no flags and no
// length or checksum.
const MAGIC = Buffer.from('TVRK');
const VERSION = 2;
const PLAIN = 0;
const SEALED = 1;
const SECRET = 1;
const HEADER = MAGIC.length + 3 + 8;
const HEADER_V1 = MAGIC.length + 2 + 8;
const CHECK = 8 + 32;
const NONCE = 12;
const TAG = 16;

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

// `tavrik key new`: a key made by hand; the other machines get it by pairing.
function keyNew() {
  const file = newKey();
  process.stdout.write(`Đã tạo khoá ở ${file}.\n` +
    'Từ giờ chữ được mã hoá trước khi vào kho; máy không có khoá này không đọc được.\n' +
    'Chạy tavrik setup KHO trên máy này để kho ghi nhận khoá; máy kia nhận khoá bằng cách ghép:\n' +
    'tavrik setup KHO ở máy kia, rồi tavrik pair ở máy này.\n');
}

// ---- the stored form -------------------------------------------------------

const sha256 = (data) => crypto.createHash('sha256').update(data).digest();

function seal(data, machine, key, secret) {
  const header = Buffer.alloc(HEADER);
  MAGIC.copy(header);
  header[4] = VERSION;
  header[5] = key ? SEALED : PLAIN;
  header[6] = secret ? SECRET : 0;
  header.writeBigUInt64BE(BigInt(Date.now()), 7);
  if (!key) {
    const check = Buffer.alloc(CHECK);
    check.writeBigUInt64BE(BigInt(data.length));
    sha256(data).copy(check, 8);
    return Buffer.concat([header, check, data]);
  }
  const nonce = crypto.randomBytes(NONCE);
  const cipher = crypto.createCipheriv('aes-256-gcm', key, nonce);
  cipher.setAAD(Buffer.concat([header, Buffer.from(machine, 'utf8')]));
  const body = Buffer.concat([cipher.update(data), cipher.final()]);
  return Buffer.concat([header, nonce, body, cipher.getAuthTag()]);
}

// The text, its time and whether it is a secret, or a refusal with the
// reason (never the bytes). `mtime` stands for the time of a file from
// before the header existed.
function open(stored, machine, key, mtime) {
  const from = `Chữ từ máy ${machine}`;
  const cut = { refused: `${from} bị cắt cụt hoặc hỏng (độ dài hay mã kiểm tra không khớp): không nhận.` };
  if (!stored.subarray(0, MAGIC.length).equals(MAGIC)) {
    // A file cut inside the magic itself is no old text either.
    if (stored.length < MAGIC.length && MAGIC.subarray(0, stored.length).equals(stored)) return cut;
    if (key) return { refused: `${from} không được mã hoá, mà máy này có khoá: không nhận.` };
    return { text: stored, time: mtime, secret: false };
  }
  if (stored.length > 4 && stored[4] > VERSION) {
    return { refused: `${from} được ghi bằng bản tavrik mới hơn (định dạng ${stored[4]}); hãy cập nhật tavrik.` };
  }
  const headerLength = stored[4] === 1 ? HEADER_V1 : HEADER;
  if (stored.length < headerLength) return cut;
  const header = stored.subarray(0, headerLength);
  const time = Number(stored.readBigUInt64BE(headerLength - 8));
  const secret = headerLength === HEADER && (stored[6] & SECRET) !== 0;
  if (stored[5] === PLAIN) {
    if (key) return { refused: `${from} không được mã hoá, mà máy này có khoá: không nhận.` };
    if (headerLength === HEADER_V1) return { text: stored.subarray(HEADER_V1), time, secret };
    if (stored.length < HEADER + CHECK) return cut;
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
  try {
    const decipher = crypto.createDecipheriv('aes-256-gcm', key,
                                             stored.subarray(headerLength, headerLength + NONCE));
    decipher.setAAD(Buffer.concat([header, Buffer.from(machine, 'utf8')]));
    decipher.setAuthTag(stored.subarray(stored.length - TAG));
    const text = Buffer.concat([decipher.update(stored.subarray(headerLength + NONCE, stored.length - TAG)),
                                decipher.final()]);
    return { text, time, secret };
  } catch {
    return broken;
  }
}

// A stored text that anyone can read: what turning encryption on removes.
const isPlain = (stored) => !(stored.subarray(0, MAGIC.length).equals(MAGIC) && stored[5] === SEALED);

// A secret has an expiry of its own, whether or not texts have one.
function expired({ time, secret }) {
  const limits = [setting('ttl').value];
  if (secret) limits.push(setting('secretTtl').value);
  return limits.some((ttl) => ttl !== undefined && (time === undefined || Date.now() - time > ttl * 1000));
}

// ---- the commands ----------------------------------------------------------

const store = () => {
  const { value, from } = setting('store');
  return storeAt(value, from === 'TAVRIK_STORE' ? from : `Kho trong ${from}`);
};

function push() {
  let data;
  try {
    data = readStdin();
  } catch (e) {
    fail(`Không đọc được dữ liệu vào: ${e.message}`);
  }
  const machine = machineName();
  const key = loadKey();
  const to = store();
  // A store whose texts are sealed never gets a plain one.
  if (!key && to.get(KEY_ID_FILE)) {
    fail(`Kho ${to.describe()} mã hoá chữ mà máy này không có khoá (${keyFile()}): chưa gửi gì. ` +
         `Chạy tavrik setup ${to.describe()} để ghép lấy khoá.`);
  }
  to.put(fileOf(machine), seal(data, machine, key, process.env.TAVRIK_SECRET === '1'));
}

function pull() {
  const key = loadKey();
  const found = store().newestOther(fileOf(machineName()));
  if (!found) return;
  const opened = open(found.bytes, machineOf(found.name), key, found.mtime);
  if (opened.refused) fail(opened.refused);
  if (expired(opened)) return;  // as if nothing had been sent
  // The agent asks for the mark on a descriptor of its own.
  const meta = Number(process.env.TAVRIK_META_FD);
  if (opened.secret && Number.isInteger(meta) && meta > 2) {
    try {
      fs.writeSync(meta, 'secret\n');
    } catch {
      // nobody listens there after all
    }
  }
  writeStdout(opened.text);
}

const HELP = `tavrik: gửi chữ trong clipboard sang máy kia, cùng tavrik-agent.

Lệnh:
  tavrik setup KHO [--machine TÊN] [--no-autostart] [--no-encryption]
                        thiết lập máy này: KHO là một thư mục (chung hoặc đồng
                        bộ) hoặc ssh://MÁY/ĐƯỜNG/DẪN; thử kho, đặt tên máy,
                        tạo khoá mã hoá (hoặc ghép để nhận khoá), ghi
                        config.json, cho tavrik-agent chạy khi đăng nhập
  tavrik pair           trao khoá của máy này cho máy đang chờ ghép, khi mã
                        máy đó hiện được gõ vào đây
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
  ttl        TAVRIK_TTL         số giây sau đó chữ bị bỏ qua (mặc định: không)
  secretTtl  TAVRIK_SECRET_TTL  như trên cho chữ bí mật (mặc định 120)
Biến khác: TAVRIK_KEY_FILE (khoá, mặc định ~/.config/tavrik/key),
TAVRIK_SSH_CONFIG (tệp cấu hình ssh khác), TAVRIK_PAIR_WAIT (số giây chờ ghép,
mặc định 600).
`;

function main(args) {
  const command = args.join(' ');
  if (command === '--help' || command === 'help') return void process.stdout.write(HELP);
  if (args[0] === 'setup') return setup(args.slice(1), { isPlain });
  if (command === 'autostart off') return autostartOff();
  if (command === 'status') {
    return status({ store, loadKey, keyFile, open, agent: () => agentSays(attempt(agentPath).value) });
  }
  if (command === 'clip push --stdin') return push();
  if (command === 'clip pull --print') return pull();
  if (command === 'clip clear') return store().remove(fileOf(machineName()));
  if (command === 'key new') return keyNew();
  if (command === 'pair') return admit(store());
  if (args[0] === 'hotkeys' && args[1] === 'set') return set(args.slice(2));
  fail('Cách dùng: tavrik setup KHO [--machine TÊN] [--no-autostart] [--no-encryption] | tavrik pair | ' +
       'tavrik status | tavrik autostart off | ' +
       'tavrik clip push --stdin | tavrik clip pull --print | tavrik clip clear | tavrik key new | ' +
       'tavrik hotkeys set [--copy PHÍM] [--paste PHÍM]', 2);
}

main(process.argv.slice(2));
