'use strict';
// `tavrik status`: every link from this machine to the other, one screen.
// Exit 0 when a push and a pull can work; otherwise 1, with the first
// broken link named last.
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');
const { attempt, takeWarnings, age, say: print } = require('./report.js');
const { ownerOf, isMember, isText, idIn, writerOf, isOwn, isConflictCopy } = require('./names.js');
const { shownNames, otherKeys, splitReason, roundTrip } = require('./store.js');
const { configFile, resolve } = require('./settings.js');
const autostart = require('./autostart.js');
const { isPlain } = require('./form.js');

// Every machine of the store: the text it sent, and whether this machine
// opens it; this machine's own file, and whether another wrote it too.
// What keeps texts from crossing goes into `broken`.
function machines(all, names, tools, key, say, broken, where) {
  const me = tools.place();
  // This machine's own id or name under another file is never another's.
  const files = all.filter((f) => [me.text, me.member].includes(f.name) || !isOwn(f.name, me));
  const shown = shownNames(files, key);
  const writers = new Set(files.map((f) => (isText(f.name) ? writerOf(f.name)?.writer : undefined) ??
    idIn(f.name, 'member')).filter((w) => w !== undefined));
  for (const f of names.filter(isMember)) if (ownerOf(f) !== undefined && !isOwn(f, me)) writers.add(ownerOf(f));
  writers.add(me.writer);
  // Two machines of one name are told apart by their ids.
  const counts = new Map();
  for (const w of writers) counts.set(shown(w), (counts.get(shown(w)) || 0) + 1);
  const label = (w) => (counts.get(shown(w)) > 1 && w !== shown(w) ? `${shown(w)} [${w.slice(0, 6)}]` : shown(w));
  say('Các máy trong kho:');
  let newest = null;  // what a pull would paste
  for (const writer of writers) {
    const file = files.find((f) => isText(f.name) && writerOf(f.name)?.writer === writer);
    let text = 'chưa gửi gì';
    if (file?.refused) {
      text = file.refused;
      broken.push(`chữ của máy ${label(writer)}`);
    } else if (writer === me.writer) {
      const pushed = tools.pushed()[me.text];
      if (file && pushed !== undefined && pushed !== tools.digestOf(file.bytes)) {
        text = 'tệp của máy này có chữ máy này không gửi: một máy khác cùng danh tính ghi vào đó (chạy tavrik setup ' +
               'trên một trong hai máy để có danh tính riêng)';
        broken.push('hai máy cùng một danh tính');
      } else if (file) {
        text = 'đã gửi';
      }
    } else if (file) {
      // As a pull reads it: the key, then what this machine took before.
      const opened = tools.open(file.bytes, writer, key, file.mtime, shown(writer));
      const refused = opened.refused || (key && tools.replayed(writer, opened, file.bytes, shown(writer)));
      text = refused || (opened.time ? `gửi lần cuối ${age(opened.time)}` : 'có chữ');
      if (refused) broken.push(`chữ của máy ${label(writer)}`);
      else if (!newest || (opened.time ?? 0) > (newest.time ?? 0)) newest = { ...opened, machine: label(writer) };
    }
    say(`  ${label(writer)}${writer === me.writer ? ' (máy này)' : ''}: ${text}`);
  }
  // A machine whose key is not the store's (where this one's is): its
  // pastes of this machine's texts fail.
  const split = where ? otherKeys(files, key) : [];
  if (split.length) {
    const reason = splitReason(split.map(label), where);
    say(`  ${reason[0].toUpperCase()}${reason.slice(1)}.`);
    broken.push(`máy ${split.map(label).join(', ')} giữ khoá khác`);
  }
  // A plain member file in a sealed store: from a tavrik that did not yet
  // seal them, or from no machine at all; either way, no word of its key.
  for (const id of where ? unsealed(files) : []) {
    say(`  Máy ${label(id)} có tệp thành viên không mã hoá (của bản tavrik cũ, hay không do máy đó ghi): không biết ` +
        `máy đó có khoá của kho không; ở máy đó, chạy tavrik setup ${where}`);
    broken.push(`máy ${label(id)} chưa cho biết khoá`);
  }
  // Past its expiry, a pull refuses it: a sync that stopped shows here.
  const old = newest && tools.tooOld(newest);
  if (old) {
    say(`  ${old}`);
    broken.push(`chữ của máy ${newest.machine} đã cũ`);
  }
  if (writers.size < 2) {
    say('  (chưa có máy nào khác: chạy tavrik setup trên máy kia)');
    broken.push('chưa có máy kia');
  }
}

const unsealed = (files) => files.filter((f) => f.bytes && idIn(f.name, 'member') && isPlain(f.bytes))
  .map((f) => idIn(f.name, 'member'));

// `tools`: what the companion knows of its own texts: { store(), loadKey(),
// keyFile(), sealing(store, storeKeyId, doing), open(bytes, writer, key,
// mtime, shown), place(), pushed(), digestOf(bytes), tooOld({ time, secret,
// machine }), replayed(writer, opened, bytes, shown), agent() }.
function status(tools) {
  const lines = [];
  const broken = [];
  const say = (line) => lines.push(line);
  const settings = resolve();
  const file = configFile();
  say(`Cấu hình: ${file}${fs.existsSync(file) ? '' : ' (chưa có: chạy tavrik setup KHO)'}`);
  if (settings.error) {
    say(`  ${settings.error}`);
    broken.push('tệp cấu hình');
  } else {
    for (const [key, label] of [['store', 'kho'], ['machine', 'tên máy này'], ['ttl', 'hạn của chữ'],
                                ['secretTtl', 'hạn của chữ bí mật']]) {
      const { value, from } = settings[key];
      say(`  ${label}: ${value === undefined ? 'không' : value}${key.endsWith('tl') && value ? ' giây' : ''} (${from})`);
    }
    // Reached when a probe written there reads back.
    const store = attempt(() => tools.store());
    const names = store.value && attempt(() => roundTrip(store.value) ?? store.value.names());
    const reached = names && !names.error;
    say(`Kho ${settings.store.value}: ${reached ? 'tới được, ghi và đọc lại được' : `KHÔNG tới được: ${(names || store).error}`}`);
    for (const w of takeWarnings()) say(`  ${w}`);
    if (!reached) broken.push('kho');
    const key = attempt(() => tools.loadKey());
    // Said once: a machine that seals and lost its key has no plain texts.
    const none = settings.sealed.value ? 'không có, mà máy này mã hoá chữ' : 'không có (chữ không được mã hoá)';
    say(`Khoá ${tools.keyFile()}: ${key.error || (key.value ? 'có (chữ được mã hoá)' : none)}`);
    if (key.error) broken.push('khoá');
    // Every text, member file and the store's key-id, read once.
    const all = reached && attempt(() => store.value.texts([]));
    const sealing = all?.value && !key.error &&
      attempt(() => tools.sealing(store.value, all.value.keyId, 'chữ không qua được'));
    if (sealing?.error) {
      say(`  ${sealing.error}`);
      broken.push('khoá');
    }
    if (all?.error) {
      say(`  ${all.error}`);
      broken.push('kho');
    }
    // Other machines' keys are told only where this one holds the store's.
    const where = key.value && sealing?.value && all?.value?.keyId ? settings.store.value : undefined;
    if (all?.value) machines(all.value.files, names.value, tools, key.value || null, say, broken, where);
    for (const copy of (reached ? names.value : []).filter(isConflictCopy)) {
      say(`  Tệp ${copy}: bản xung đột dịch vụ đồng bộ để lại, tavrik không đọc nó. Xoá nó khi tavrik status ở mọi ` +
          'máy nói dùng được (tavrik setup tự xoá những bản của key-id và pairing).');
    }
  }
  const agent = tools.agent();
  say(`tavrik-agent: ${agent ? 'đang chạy' : 'không chạy'}`);
  if (agent) for (const line of agent.trim().split('\n')) say(`  ${line}`);
  else broken.push('tavrik-agent');
  const installed = autostart.installed();
  say(`Tự khởi động: ${installed ? autostart.KINDS[installed.kind].file() : 'chưa cài (tavrik setup KHO cài nó)'}`);
  say(broken.length ? `Chưa dùng được: ${broken[0]}` : 'Gửi đi và lấy về đều dùng được.');
  print(lines.join('\n'));
  process.exitCode = broken.length ? 1 : 0;
}

// The running agent's start-up lines, or null.
function agentSays(agentPath) {
  if (process.platform === 'darwin') {
    if (!autostart.launchdRunning()) return null;
    return `${autostart.launchdLines().filter((l) => autostart.STATUS.test(l)).pop() ?? 'chưa có dòng trạng thái'}\n`;
  }
  if (!agentPath) return null;
  const r = spawnSync(agentPath, ['--trigger', 'status'], { encoding: 'utf8', timeout: 10000 });
  return r.status === 0 ? r.stdout : null;
}

module.exports = { status, agentSays };
