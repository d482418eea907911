'use strict';
// The stored form of a text, and of the name a machine shows: sealed with
// the store's key, or plain.
const crypto = require('node:crypto');

// Stored texts: "TVRK", a format version, a kind. A plain text (kind 0,
// version 2) goes on with flags (1: a secret), the time of the push in
// milliseconds (big-endian), the text's length (8 bytes), its SHA-256 and
// the text. A sealed one (kind 1, version 3) goes on with a nonce, then the
// AES-256-GCM ciphertext of the flags, the time, the length and the text,
// padded with zeros (padme below), and the tag; the header and the writing
// machine's id are authenticated. Version 2's sealed form kept the flags
// and the time in the clear; version 1 had no flags and no length or checksum.
// A member file, sealed, is the same with flag 2 and {"name"} as its text:
// it never opens as a text, nor a text as one.
const MAGIC = Buffer.from('TVRK');
const PLAIN_VERSION = 2;
const VERSION = 3;
const PLAIN = 0;
const SEALED = 1;
const SECRET = 1;
const MEMBER = 2;
const HEADER = MAGIC.length + 3 + 8;
const HEADER_V1 = MAGIC.length + 2 + 8;
const SEALED_HEADER = MAGIC.length + 2;
const INNER = 1 + 8 + 8;
const CHECK = 8 + 32;
const NONCE = 12;
const TAG = 16;

// Padmé (Nikitin et al., "Reducing Metadata Leakage from Encrypted Files and
// Communication with PURBs", PETS 2019), from 256 bytes: a length shows only
// its top bits, O(log log L) of them, for at most 12 % more bytes. The inner
// header is padded with the text.
function padme(length) {
  if (length <= 256) return 256;
  const e = 31 - Math.clz32(length);
  const step = 2 ** (e - (31 - Math.clz32(e)) - 1);
  return Math.ceil(length / step) * step;
}

// The largest text the agent hands over (its kMaxText), and the most a
// stored one of it takes, sealed or plain: no file of the store is read past it.
const MAX_TEXT = 256 * 2 ** 20;
const STORED_LIMIT = Math.max(SEALED_HEADER + NONCE + padme(INNER + MAX_TEXT) + TAG, HEADER + CHECK + MAX_TEXT);

const sha256 = (data) => crypto.createHash('sha256').update(data).digest();
const digestOf = (stored) => sha256(stored).toString('hex').slice(0, 32);

function seal(data, writer, key, secret, flags = secret ? SECRET : 0) {
  const time = BigInt(Date.now());
  if (!key) {
    const header = Buffer.alloc(HEADER + CHECK);
    MAGIC.copy(header);
    header[4] = PLAIN_VERSION;
    header[5] = PLAIN;
    header[6] = flags;
    header.writeBigUInt64BE(time, 7);
    header.writeBigUInt64BE(BigInt(data.length), HEADER);
    sha256(data).copy(header, HEADER + 8);
    return Buffer.concat([header, data]);
  }
  const header = Buffer.concat([MAGIC, Buffer.from([VERSION, SEALED])]);
  const inner = Buffer.alloc(padme(INNER + data.length));
  inner[0] = flags;
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
// before the header existed. A member file sealed is opened with `member`.
function open(stored, writer, key, mtime, shown = writer, member = false) {
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
    // Plain texts were never of the sealed-only version.
    if (version === VERSION) return cut;
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
  if (!key) {
    return { refused: `${from} đã được mã hoá; máy này chưa có khoá (${require('./key.js').keyFile()}).` };
  }
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
    if (member) return broken;
    return { text: plain, time: Number(stored.readBigUInt64BE(headerLength - 8)),
             secret: version === 2 && (stored[6] & SECRET) !== 0 };
  }
  const length = plain.length >= INNER ? Number(plain.readBigUInt64BE(9)) : Infinity;
  if (length > plain.length - INNER || ((plain[0] & MEMBER) !== 0) !== member) return broken;
  return { text: plain.subarray(INNER, INNER + length), time: Number(plain.readBigUInt64BE(1)),
           secret: (plain[0] & SECRET) !== 0 };
}

// A stored text that anyone can read: what turning encryption on removes.
const isPlain = (stored) => !(stored.subarray(0, MAGIC.length).equals(MAGIC) && stored[5] === SEALED);

// A name shown for a machine: no control or format character, 64 at most.
const NAME_MAX = 64;
const printable = (name) => String(name).replace(/\p{C}/gu, '').slice(0, NAME_MAX);

// What the member file of the machine `id` says its name is: sealed with
// `key` when there is one, plain JSON in a store without (or from before
// member files were sealed: then refused where there is a key).
function memberFile(name, id, key) {
  const json = Buffer.from(`${JSON.stringify({ name })}\n`);
  return key ? seal(json, id, key, false, MEMBER) : json;
}
// The name a member file shows, or undefined when it shows none that can
// be trusted.
function memberName(bytes, id, key) {
  let json = bytes;
  if (key) {
    const opened = open(bytes, id, key, undefined, id, true);
    if (opened.refused) return undefined;
    json = opened.text;
  } else if (bytes.subarray(0, MAGIC.length).equals(MAGIC)) {
    return undefined;
  }
  try {
    const { name } = JSON.parse(json.toString());
    return typeof name === 'string' && printable(name) ? printable(name) : undefined;
  } catch {
    return undefined;
  }
}

// A member file sealed with another key than `key`: its machine seals its
// texts with that one, which the others cannot open.
const sealedWithAnother = (bytes, id, key) =>
  Boolean(key) && !isPlain(bytes) && open(bytes, id, key, undefined, id, true).refused !== undefined;

module.exports = { STORED_LIMIT, sealedWithAnother, padme, digestOf, seal, open, isPlain, printable, memberFile, memberName };
