'use strict';
// The names of the store's files, whose they are, how large each kind may
// be, and the shape of the store's key record.
const crypto = require('node:crypto');
const { STORED_LIMIT } = require('./form.js');

// The store's record that its texts are sealed, and with which key.
const KEY_ID = 'key-id';

// One file per machine; a name is made safe for any file system and shell.
const PREFIX = 'clip-';
const fileOf = (machine) => PREFIX + encodeURIComponent(machine).replace(/[.!'()*~]/g,
  (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
// The machine a name of `prefix` was written for, or undefined for a name no
// machine writes: of other characters than fileOf's, undecodable, or
// (unless `anySpelling`) another spelling of a machine's name.
function decoded(file, prefix, anySpelling = false) {
  if (!file.startsWith(prefix) || !/^[A-Za-z0-9%_-]*$/.test(file.slice(prefix.length))) return undefined;
  try {
    const machine = decodeURIComponent(file.slice(prefix.length));
    return anySpelling || prefix + fileOf(machine).slice(PREFIX.length) === file ? machine : undefined;
  } catch {
    return undefined;
  }
}
const machineOf = (file) => decoded(file, PREFIX);
const spelledAs = (file) => decoded(file, PREFIX, true);
// Each machine that was set up names itself too, before it pushes.
const MEMBER = 'machine-';
// The files of a machine with an id.
const BY_ID = { text: 'text.', member: 'member.' };
const memberOf = (machine) => MEMBER + fileOf(machine).slice(PREFIX.length);
const isMember = (file) => file.startsWith(MEMBER) || file.startsWith(BY_ID.member);
// The machine a file of the store belongs to, or undefined.
const ownerOf = (file) => decoded(file, PREFIX) ?? decoded(file, MEMBER);

// A machine set up with an id has its files under it: two machines of one
// name never share a file. One set up before ids, or by variables alone,
// keeps the files of its name. `writer` is what its texts are sealed as.
const ID = /^[0-9a-f]{16}$/;
const newId = () => crypto.randomBytes(8).toString('hex');
const placeOf = ({ id, name }) => (id ? { text: BY_ID.text + id, member: BY_ID.member + id, writer: id, id, name }
  : { text: fileOf(name), member: memberOf(name), writer: name, name });
// The id in a file name of `kind` ('text' or 'member'), or undefined.
const idIn = (file, kind) => (file.startsWith(BY_ID[kind]) && ID.test(file.slice(BY_ID[kind].length))
  ? file.slice(BY_ID[kind].length) : undefined);
// Who wrote a text file: { writer }, { misspelt } for another spelling of a
// name, or undefined for a file no machine writes as a text.
function writerOf(file) {
  if (file.startsWith(BY_ID.text)) return idIn(file, 'text') && { writer: idIn(file, 'text') };
  const machine = machineOf(file);
  if (machine !== undefined) return { writer: machine };
  const misspelt = spelledAs(file);
  return misspelt === undefined ? undefined : { misspelt };
}
const isText = (file) => file.startsWith(PREFIX) || file.startsWith(BY_ID.text);
// What a store lists of its files for a pull or a look: texts and the
// member files of machines with an id.
const isListed = (file) => isText(file) || idIn(file, 'member') !== undefined;
// A file of this machine (`me`, a place) under any kind or spelling: its
// id or its name, as a text's or a member's. Never read as another's.
function isOwn(file, me) {
  const { writer, misspelt } = writerOf(file) ?? {};
  const owner = writer ?? misspelt ?? idIn(file, 'member') ?? ownerOf(file) ?? decoded(file, MEMBER, true);
  return owner !== undefined && (owner === me.id || owner === me.name);
}

// A copy a sync service left beside a file both machines wrote at once
// (Syncthing, Dropbox, Nextcloud and others): never read, only told.
const isConflictCopy = (file) => /\.sync-conflict-|\(conflicted copy|\(.*conflict.*\)|\.conflict/i.test(file);

// The most a file of each kind may hold: a text, as the agent's largest
// stored; the store's other files are small.
const SMALL_LIMIT = 4096;
const limitOf = (name) => (isText(name) ? STORED_LIMIT : SMALL_LIMIT);

// The key id key-id records: the digest's 32 hex digits on a line, null
// for an empty record, or undefined for anything else.
function keyIdIn(bytes) {
  const m = /^([0-9a-f]{32})?\n?$/.exec(bytes.toString('latin1'));
  return m ? m[1] ?? null : undefined;
}

module.exports = { KEY_ID, fileOf, machineOf, spelledAs, memberOf, isMember, ownerOf, newId, placeOf, idIn, writerOf,
                   isText, isListed, isOwn, isConflictCopy, SMALL_LIMIT, limitOf, keyIdIn };
