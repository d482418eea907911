'use strict';
// Where the texts are kept: a folder (local-store.js), or a folder on
// another machine reached over SSH (ssh-store.js); the names of its files
// are names.js's. Each machine writes its own file; every operation ends
// the run with a reason when it fails. A store, of either kind:
//
//   describe()      where it is, as the user wrote it
//   within(sub)     the store of a folder within it, made when written to
//   put(name, b)    writes a file whole: a reader sees the old bytes or the new
//   get(name)       a file's bytes, or null when there is none
//   texts(mine, membersOnly)
//                   { keyId, files }: the key id key-id records (null for
//                   none), and every text and member file (or member file
//                   alone) but those named in `mine`, each { name, bytes,
//                   mtime } or { name, refused }
//   keyId()         the key id alone
//   remove(name), names(), make(), drop() (the folder, if empty)
//
// Every read goes one guarded way: never through a link, never a FIFO or
// a device, never past the limit of its kind (names.js); the store's folder
// and those within it are real directories; a key id has its shape.
const crypto = require('node:crypto');
const { fail } = require('./report.js');
const { idIn } = require('./names.js');
const { memberName, sealedWithAnother } = require('./form.js');
const { localStore } = require('./local-store.js');
const ssh = () => require('./ssh-store.js');

// The name each writer shows, from the member files among `files`: a
// machine with an id sealed its name there with the store's key (`key`),
// or wrote it plainly in a store without one; one without an id shows its
// name. Anything else shows the id.
function shownNames(files, key) {
  const names = new Map();
  for (const { name, bytes } of files.filter((f) => f.bytes && idIn(f.name, 'member'))) {
    const shown = memberName(bytes, idIn(name, 'member'), key);
    if (shown) names.set(idIn(name, 'member'), shown);
  }
  return (writer) => names.get(writer) ?? writer;
}

// The ids of the machines among `files` whose member file is sealed with
// another key than `key`, the store's: they cannot read what is sealed
// with it, nor it theirs.
const otherKeys = (files, key) => files.filter((f) => f.bytes && idIn(f.name, 'member') &&
  sealedWithAnother(f.bytes, idIn(f.name, 'member'), key)).map((f) => idIn(f.name, 'member'));
// What the user of a machine with another key is to do, in one sentence.
const splitReason = (ids, where) => `máy ${ids.join(', ')} giữ một khoá khác khoá của kho, nên không đọc được chữ ` +
  `máy này gửi: ở máy đó, chạy tavrik setup ${where} rồi gõ mã mà tavrik pair ở máy này hiện`;

// Write, read back and remove a probe: the store works, or the run ends
// with why.
function roundTrip(store) {
  const probe = `probe-${crypto.randomBytes(8).toString('hex')}`;
  const bytes = crypto.randomBytes(64);
  store.put(probe, bytes);
  const back = store.get(probe);
  store.remove(probe);
  if (!back || !back.equals(bytes)) fail(`Kho ${store.describe()} không trả lại đúng dữ liệu thử.`);
}

// An SSH address (ssh://HOST/PATH, or scp's HOST:PATH) rather than a folder;
// an absolute path is none, without loading the SSH store.
const isSsh = (where) => !where.startsWith('/') && ssh().sshAddress(where) !== undefined;
// The store as the other machine is to give it to tavrik setup: an SSH
// address as typed here; a folder is the other machine's own copy of it.
const asTheOtherTypesIt = (where) => (isSsh(where) ? where : 'THƯ-MỤC (thư mục đồng bộ với kho này, trên máy kia)');
// The store at `where` (a folder, or an SSH address); `from` names it in
// a refusal.
const storeAt = (where, from) => (isSsh(where) ? ssh().sshStore(where, from) : localStore(where));

module.exports = { shownNames, otherKeys, splitReason, roundTrip, isSsh, asTheOtherTypesIt, storeAt };
