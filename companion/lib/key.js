'use strict';
// The key that seals texts, and the id the store knows it by.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { fail } = require('./report.js');
const { userDir } = require('./settings.js');
const { KEY_ID: KEY_ID_FILE } = require('./names.js');

const KEY_BYTES = 32;

function keyFile() {
  if (process.env.TAVRIK_KEY_FILE) return process.env.TAVRIK_KEY_FILE;
  return path.join(userDir('XDG_CONFIG_HOME', '.config'), 'tavrik', 'key');
}

function loadKey() {
  const file = keyFile();
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    if (e.code === 'ENOENT') return null;
    fail(`Không đọc được khoá ${file}: ${e.message}`);
  }
  // Whoever else reads it reads every text: refused, not used.
  const { mode } = fs.statSync(file);
  if (process.platform !== 'win32' && mode & 0o077) {
    fail(`Khoá ${file} để người dùng khác đọc được (quyền ${(mode & 0o777).toString(8)}): không dùng. ` +
         `Hãy chạy: chmod 600 ${file}`);
  }
  const key = Buffer.from(text.trim(), 'base64');
  if (key.length !== KEY_BYTES) fail(`Khoá ${file} không hợp lệ (cần 32 byte viết bằng base64).`);
  return key;
}

// Writes `key` as the key file, private from birth, never over another.
function writeKey(key) {
  const file = keyFile();
  try {
    fs.mkdirSync(path.dirname(file), { recursive: true, mode: 0o700 });
    fs.writeFileSync(file, `${key.toString('base64')}\n`, { mode: 0o600, flag: 'wx' });
    fs.chmodSync(file, 0o600);
  } catch (e) {
    if (e.code === 'EEXIST') fail(`Đã có khoá ở ${file}; không ghi đè. Xoá nó trước nếu thật sự muốn khoá mới.`);
    fail(`Không ghi được khoá ${file}: ${e.message}`);
  }
  return file;
}

const newKey = () => writeKey(crypto.randomBytes(KEY_BYTES));

// What the store records of the key: one-way, so it tells the key apart
// and nothing of it.
const keyId = (key) => Buffer.from(crypto.hkdfSync('sha256', key, '', 'tavrik key id v1', 16)).toString('hex');

module.exports = { KEY_ID_FILE, keyFile, loadKey, writeKey, newKey, keyId };
