'use strict';
// A store in a folder of this machine (store.js says what a store does).
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { fail, warn, attempt, Refusal } = require('./report.js');
const { KEY_ID, isListed, isText, limitOf, keyIdIn } = require('./names.js');

const { O_RDONLY, O_WRONLY, O_CREAT, O_EXCL, O_NOFOLLOW = 0, O_NONBLOCK = 0, O_DIRECTORY = 0 } = fs.constants;

// What a store refuses to read, in the same words for every kind of store.
const notRegular = (name, where) =>
  `Tệp ${name} trong kho ${where} không phải tệp thường (mà là liên kết, FIFO, thiết bị hay thư mục): không đọc.`;
const tooLarge = (name, where, limit) => `Tệp ${name} trong kho ${where} lớn quá (hơn ${limit} byte): không đọc.`;
const badKeyId = (where) => `Tệp key-id trong kho ${where} không phải mã khoá tavrik ghi (32 chữ số hex): không dùng.`;
const linked = (where) => `Kho ${where} là một liên kết, không phải thư mục thật: không dùng. Nếu chính bạn tạo ` +
  'liên kết ấy, hãy dùng thư mục nó trỏ tới.';
const writableByOthers = (where, fix) =>
  `Người dùng khác ghi được vào thư mục kho ${where}: không dùng kho này. Hãy chạy: ${fix}`;

// The key id that key-id (`bytes`) records, null for none, or a refusal.
function recorded(bytes, where) {
  const id = bytes ? keyIdIn(bytes) : null;
  if (id === undefined) fail(badKeyId(where));
  return id;
}

// A refusal already told (within attempt()) keeps its words: its reason,
// or undefined for an error of the file system.
const told = (e) => (e instanceof Refusal ? e.message : undefined);

// The one way in to a file of the store: never through a link, never a
// FIFO or a device (opened without blocking, then fstat), and never past
// the limit of its kind. { bytes, mtime }, or null when there is none.
function readFile(dir, name) {
  const file = path.join(dir, name);
  const limit = limitOf(name);
  let fd;
  try {
    fd = fs.openSync(file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  } catch (e) {
    if (e.code === 'ENOENT') return null;
    // Linux and macOS say ELOOP of a link, FreeBSD EMLINK.
    fail(e.code === 'ELOOP' || e.code === 'EMLINK' ? notRegular(name, dir) : `Không đọc được tệp ${name} trong kho ${dir}: ${e.message}`);
  }
  try {
    const st = fs.fstatSync(fd);
    if (!st.isFile()) fail(notRegular(name, dir));
    if (st.size > limit) fail(tooLarge(name, dir, limit));
    // One that grows meanwhile is read to one byte past the limit at most.
    let bytes = Buffer.allocUnsafe(st.size + 1);
    let got = 0;
    for (let n; (n = fs.readSync(fd, bytes, got, bytes.length - got, null)) > 0;) {
      got += n;
      if (got > limit) fail(tooLarge(name, dir, limit));
      if (got === bytes.length) bytes = Buffer.concat([bytes, Buffer.allocUnsafe(Math.min(bytes.length, limit + 1 - got))]);
    }
    return { bytes: bytes.subarray(0, got), mtime: st.mtimeMs };
  } catch (e) {
    return fail(told(e) ?? `Không đọc được tệp ${name} trong kho ${dir}: ${e.message}`);
  } finally {
    fs.closeSync(fd);
  }
}

// The store's folder, and every folder within it, is a real directory:
// a link planted there would take reads and writes elsewhere. A folder
// others can write is refused: they could plant links and files there.
// One they can only read is warned about. On NTFS the mode bits say only
// whether a file is read-only: who may read or write is the ACL's to say,
// which the profile gives the user, SYSTEM and the administrators.
function checkOpen(dir, warnOpen = true) {
  const st = fs.lstatSync(dir);
  if (st.isSymbolicLink()) fail(linked(dir));
  if (!st.isDirectory()) fail(`Kho ${dir} không phải thư mục.`);
  if (process.platform === 'win32') return;
  if (st.mode & 0o022) fail(writableByOthers(dir, `chmod 700 ${dir}`));
  if (st.mode & 0o077 && warnOpen) warn(`Cảnh báo: người dùng khác đọc được thư mục kho ${dir}; hãy chạy: chmod 700 ${dir}`);
}

// Private to this user, whatever the umask; never a link's target.
function makePrivate(dir) {
  if (!O_DIRECTORY) return fs.chmodSync(dir, 0o700);
  const fd = fs.openSync(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  try {
    fs.fchmodSync(fd, 0o700);
  } finally {
    fs.closeSync(fd);
  }
  return undefined;
}

// Created anew, never through a link someone planted.
const EXCLUSIVE = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
const tempName = (name) => `.${name}.${crypto.randomBytes(8).toString('hex')}.tmp`;

// Setup makes the store; nothing else does: a store folder that is gone (a
// sync folder not mounted, or moved) is told, never taken for an empty one.
// A folder within it (`inner`) is made when needed, and empty while missing.
const missing = (dir) => `Không thấy kho ${dir} — thư mục đồng bộ chưa gắn hoặc đã dời?`;
const localStore = (dir, inner = false) => ({
  describe: () => dir,
  within: (sub) => localStore(path.join(dir, sub), true),
  put(name, bytes) {
    const target = path.join(dir, name);
    const temp = path.join(dir, tempName(name));
    let made = false;
    const exists = fs.existsSync(dir);
    if (!inner && !exists) fail(missing(dir));
    try {
      if (!exists) this.make();
      checkOpen(dir);
      // Written aside, private from birth, then renamed: a pull sees the old
      // text or the new one.
      const fd = fs.openSync(temp, EXCLUSIVE, 0o600);
      made = true;
      try {
        fs.fchmodSync(fd, 0o600);
        fs.writeSync(fd, bytes);
      } finally {
        fs.closeSync(fd);
      }
      fs.renameSync(temp, target);
    } catch (e) {
      if (made) try { fs.rmSync(temp, { force: true }); } catch { /* nothing to clean */ }
      fail(told(e) ?? `Không ghi được vào kho ${dir}: ${e.message}`);
    }
  },
  // The texts and member files that are not `mine`, each { name, bytes,
  // mtime } or { name, refused }, and the id of the key the store's texts
  // are sealed with (null for none).
  texts(mine, membersOnly = false) {
    const files = [];
    for (const name of this.names().filter((n) => isListed(n) && !mine.includes(n) && (!membersOnly || !isText(n)))) {
      const read = attempt(() => readFile(dir, name));
      if (read.error) files.push({ name, refused: read.error });
      else if (read.value) files.push({ name, ...read.value });  // else removed meanwhile
    }
    return { keyId: recorded(readFile(dir, KEY_ID)?.bytes, dir), files };
  },
  keyId() {
    return recorded(this.get(KEY_ID), dir);
  },
  remove(name) {
    try {
      fs.rmSync(path.join(dir, name), { force: true });
    } catch (e) {
      fail(`Không xoá được chữ trong kho ${dir}: ${e.message}`);
    }
  },
  get(name) {
    if (!inner && !fs.existsSync(dir)) fail(missing(dir));
    try {
      checkOpen(dir, false);
    } catch (e) {
      if (e.code === 'ENOENT' || e.code === 'ENOTDIR') return null;
      fail(told(e) ?? `Không đọc được kho ${dir}: ${e.message}`);
    }
    return readFile(dir, name)?.bytes ?? null;
  },
  names() {
    try {
      checkOpen(dir);
      return fs.readdirSync(dir).filter((n) => !n.startsWith('.'));
    } catch (e) {
      if (e.code === 'ENOENT' && inner) return [];
      return fail(told(e) ?? (e.code === 'ENOENT' ? missing(dir) : `Không đọc được kho ${dir}: ${e.message}`));
    }
  },
  // Removes the folder if it is empty.
  drop() {
    try {
      fs.rmdirSync(dir);
    } catch {
      // not empty, or gone already
    }
  },
  // Each missing folder made in turn, the first error told: never a loop
  // where a folder cannot be made (as under /proc).
  make() {
    try {
      const made = [];
      for (let d = dir; !fs.existsSync(d) && path.dirname(d) !== d; d = path.dirname(d)) made.unshift(d);
      for (const d of made) fs.mkdirSync(d, { mode: 0o700 });
      if (fs.lstatSync(dir).isSymbolicLink()) fail(linked(dir));
      makePrivate(dir);
    } catch (e) {
      fail(told(e) ?? `Không tạo được thư mục kho ${dir}: ${e.message}`);
    }
  },
});

module.exports = { localStore, recorded, notRegular, tooLarge, linked, writableByOthers, tempName };
