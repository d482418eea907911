'use strict';
// Pairing: a machine without the key gets it from one that has it, through
// the store alone, after the six-digit code the holder shows is typed on the
// joiner. The code never reaches the store.
//
// The code is SPAKE2's password (RFC 9382, P-256/SHA-256, spake2.js): a
// balanced PAKE, so a store keeper who plays either side learns nothing of
// the code from the messages and gets one guess per run, 10^-6. A is the
// joiner's machine name, B the holder's; the associated data binds the
// pairing's id and the id of the key asked for. Each side checks the other's
// confirmation MAC over the whole transcript before it trusts anything:
//
//   joiner  start    { machine: A, keyId, time, share: pA }
//   holder  answer   { machine: B, share: pB, confirm: cB }
//   joiner  confirm  { confirm: cA }                 once cB verifies
//   holder  key      AES-256-GCM under HKDF(Ke), AAD TT, once cA verifies
//   joiner  done     { machine: A', mac: HMAC(KcA, "done" || TT || A') }
//                    A': the name it takes once it sees the others' names
//   either  fail-joiner / fail-holder: only ever a reason to stop early
//
// Each message is a file `pairing/ID-STEP`, written whole: a synced folder
// brings files late and in any order, so each side polls for the one it
// needs. The side that reads the other's last word removes the pairing's
// files; the side that wrote its last word waits a while for that, then
// removes them itself; a deadline removes them too.
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');
const { fail, warn, attempt, say } = require('./report.js');
const { loadKey, keyId } = require('./key.js');
const { sleep } = require('./autostart.js');
const spake2 = require('./spake2.js');
const { asTheOtherTypesIt } = require('./store.js');
const { printable } = require('./form.js');

const FOLDER = 'pairing';
const VERSION = 2;
const POLL_MS = 300;
// Clocks of two machines differ: a request dated this far ahead still counts.
const SKEW_MS = 60_000;
// How long a side that said its last word waits for the other to clean up.
const LINGER_MS = 120_000;
const waitSeconds = () => Number(process.env.TAVRIK_PAIR_WAIT) || 600;
const minutes = () => Math.max(1, Math.round(waitSeconds() / 60));

const b64 = (bytes) => Buffer.from(bytes).toString('base64');
// A field of a message as bytes (of `size`, when given), or a refusal.
function field(message, name, size) {
  const bytes = typeof message[name] === 'string' ? Buffer.from(message[name], 'base64') : Buffer.alloc(0);
  if (size ? bytes.length !== size : bytes.length === 0) fail(`Tin ghép hỏng (trường ${name}).`);
  return bytes;
}
const text = (message, name) => {
  if (typeof message[name] !== 'string' || !printable(message[name])) fail(`Tin ghép hỏng (trường ${name}).`);
  return message[name];
};
// A message of the pairing folder, or null: read the store's one guarded
// way, JSON of an object, or nothing.
function message(box, file) {
  const bytes = attempt(() => box.get(file)).value;
  try {
    const m = bytes && JSON.parse(bytes.toString());
    return m && typeof m === 'object' ? m : null;
  } catch {
    return null;
  }
}

const aadOf = (id, kid) => Buffer.from(`tavrik pair v${VERSION}\0${id}\0${kid}`);
const wrapKey = (keys) => Buffer.from(crypto.hkdfSync('sha256', keys.Ke, keys.TT, 'tavrik pair key', 32));
const doneMac = (keys, name) =>
  crypto.createHmac('sha256', keys.KcA).update('done').update(keys.TT).update(name).digest();
const AGAIN = ' Thử lại được: tavrik pair ở máy có khoá cho một mã mới, rồi tavrik setup ở máy mới.';
const newCode = () => String(crypto.randomInt(0, 1000000)).padStart(6, '0');

// One pairing's messages in the store's pairing folder `box`.
function channel(box, id) {
  const name = (step) => `${id}-${step}`;
  return {
    put: (step, message) => box.put(name(step), Buffer.from(JSON.stringify({ v: VERSION, id, ...message }))),
    // The message of `step`, or null; one of another pairing or version,
    // or unreadable (a link, a FIFO, too large, not JSON), counts as none.
    read(step, names) {
      if (!names.includes(name(step))) return null;
      const m = message(box, name(step));
      return m && m.v === VERSION && m.id === id ? m : null;
    },
    // Waits until `step` is there (its message) or the deadline (null).
    // The other side's stop ends the run: it is told, never trusted. Once
    // the key was sent, an unauthenticated stop says nothing of whether
    // the other side has it.
    wait(step, until, other, sent = false) {
      for (;;) {
        const names = box.names();
        if (this.read(`fail-${other}`, names)) {
          this.removeAll();
          if (sent) {
            fail('máy mới báo dừng mà lời báo không xác thực được: máy đó có thể đã nhận khoá hoặc chưa; ' +
                 'chạy tavrik status ở máy đó');
          }
          fail(`máy kia đã dừng ghép (${other === 'holder' ? 'máy giữ khoá' : 'máy mới'} báo không khớp hay ` +
               'hết giờ); không có gì được trao');
        }
        const m = this.read(step, names);
        if (m || Date.now() >= until) return m;
        sleep(POLL_MS);
      }
    },
    // After this side's last word: until the other side removed `theirs`,
    // for a while at most; then nothing of the pairing is left.
    linger(theirs, until) {
      const end = Math.min(until, Date.now() + LINGER_MS);
      while (Date.now() < end && box.names().some((n) => theirs.some((step) => n === name(step)))) sleep(POLL_MS);
      this.removeAll();
    },
    removeAll: () => box.names().filter((n) => n.startsWith(`${id}-`)).forEach((n) => box.remove(n)),
  };
}

// A line typed on standard input (a terminal or a pipe) by `until`; null
// for none. Read by a child, since only a child's wait can end.
function readLine(until) {
  const script = "let s='';process.stdin.on('data',(d)=>{s+=d;if(s.includes('\\n'))" +
    "process.stdout.write(s.split('\\n')[0],()=>process.exit(0))}).on('end',()=>process.stdout.write(s))";
  const r = spawnSync(process.execPath, ['-e', script], { stdio: ['inherit', 'pipe', 'inherit'], encoding: 'utf8',
                                                         timeout: Math.max(1, until - Date.now()) });
  return r.status === 0 && r.stdout.trim() ? r.stdout : null;
}

// The joiner, `machine` in the store: the key the store knows as `kid`, and
// the name `rename(key)` chooses once the others' names open with it
// ({ name, instead }; undefined where it refuses, as setup will again).
function join(store, kid, machine, rename) {
  const id = crypto.randomBytes(8).toString('hex');
  const until = Date.now() + waitSeconds() * 1000;
  const box = store.within(FOLDER);
  const c = channel(box, id);
  process.stdout.write('Kho này mã hoá chữ mà máy này chưa có khoá: cần ghép với một máy đã có khoá.\n' +
    `Trên máy đó, chạy: tavrik pair\nrồi gõ vào đây mã ghép nó hiện (tối đa ${minutes()} phút): `);
  const typed = readLine(until);
  if (!process.stdin.isTTY) say('');  // a terminal ended the line itself
  const code = typed === null ? '' : typed.replace(/\s/g, '');
  if (!/^\d{6}$/.test(code)) {
    fail(`Ghép không thành: ${typed === null ? 'không gõ mã ghép nào' : 'mã ghép là sáu chữ số'}; chạy lại tavrik setup.`);
  }
  const side = spake2.start('A', spake2.passwordScalar(code, id));
  let started = false;
  const result = attempt(() => {
    box.make();
    c.put('start', { machine, keyId: kid, time: Date.now(), share: b64(side.share) });
    started = true;
    say('Đang chờ máy giữ khoá…');
    const answer = c.wait('answer', until, 'holder');
    if (!answer) fail(`không có máy nào trả lời trong ${minutes()} phút: chạy tavrik pair trên một máy đã có khoá`);
    const holder = text(answer, 'machine');
    const keys = spake2.finish(side, field(answer, 'share', 65), machine, holder, aadOf(id, kid));
    if (!keys || !spake2.sameMac(field(answer, 'confirm', 32), keys.cB)) {
      c.put('fail-joiner', { reason: 'code' });
      c.linger(['answer'], until);
      fail('mã ghép không khớp mã máy giữ khoá hiện (gõ sai, hoặc có kẻ đứng giữa); không nhận gì');
    }
    c.put('confirm', { confirm: b64(keys.cA) });
    const sent = c.wait('key', until, 'holder');
    if (!sent) fail(`máy kia không gửi khoá trong ${minutes()} phút`);
    let key = null;
    try {
      const decipher = crypto.createDecipheriv('aes-256-gcm', wrapKey(keys), field(sent, 'nonce', 12));
      decipher.setAAD(keys.TT);
      decipher.setAuthTag(field(sent, 'tag', 16));
      key = Buffer.concat([decipher.update(field(sent, 'sealed', 32)), decipher.final()]);
    } catch { /* told below */ }
    if (!key || keyId(key) !== kid) {
      c.put('fail-joiner', { reason: 'key' });
      c.linger(['answer', 'key'], until);
      fail('khoá nhận được không mở được, hay không phải khoá của kho');
    }
    const named = attempt(() => rename(key)).value;
    const final = named?.name ?? machine;
    c.put('done', { machine: final, mac: b64(doneMac(keys, final)) });
    c.linger(['answer', 'key'], until);
    return { key, holder, named };
  });
  if (started && result.error) attempt(() => c.removeAll());
  attempt(() => box.drop());
  if (result.error) fail(`Ghép không thành: ${result.error}.${AGAIN}`);
  say(`Đã nhận khoá từ máy "${printable(result.value.holder)}".`);
  return result.value;
}

// The newest request for the key `kid` made since `since`: { id, m }, or
// null. Requests dated ahead of the clock by more than the skew are ignored;
// one from an older tavrik is told to update once.
function request(box, kid, since, told) {
  let newest = null;
  for (const name of box.names().filter((n) => /^[0-9a-f]{16}-(start|commit)$/.test(n))) {
    const id = name.slice(0, 16);
    const m = message(box, name);
    if (!m || m.id !== id || m.keyId !== kid || typeof m.time !== 'number') continue;
    if (m.v === 1 && name.endsWith('-commit') && !told.has(id)) {
      told.add(id);
      warn(`Máy "${printable(m.machine)}" dùng bản tavrik cũ: cập nhật tavrik ở máy đó rồi chạy lại tavrik setup.`);
      attempt(() => box.put(`${id}-fail-holder`, Buffer.from(JSON.stringify({ v: 1, id, reason: 'version' }))));
    }
    if (m.v !== VERSION || !name.endsWith('-start') || m.time < since - SKEW_MS || m.time > Date.now() + SKEW_MS) {
      continue;
    }
    if (!newest || m.time > newest.m.time) newest = { id, m };
  }
  return newest;
}

// `tavrik pair`, on the machine named `machine`: shows a new code and hands
// this machine's key to the joiner that proves it knows it.
function admit(store, machine) {
  const key = loadKey();
  if (!key) fail('Máy này chưa có khoá, nên không có gì để trao: chạy tavrik pair trên máy đã có khoá.');
  const kid = keyId(key);
  const since = Date.now();
  const until = since + waitSeconds() * 1000;
  const box = store.within(FOLDER);
  box.make();
  const code = newCode();
  say(`Trên máy mới, chạy: tavrik setup ${asTheOtherTypesIt(store.describe())}\nrồi gõ mã ghép này khi nó hỏi ` +
      `(tối đa ${minutes()} phút):\n${code.slice(0, 3)} ${code.slice(3)}\nĐang chờ máy mới… (Ctrl+C để dừng)`);
  const told = new Set();
  let found = null;
  while (!(found = request(box, kid, since, told)) && Date.now() < until) sleep(POLL_MS);
  if (!found) {
    attempt(() => box.drop());
    fail(`Ghép không thành: không có máy nào xin khoá trong ${minutes()} phút.`);
  }
  const { id, m: asked } = found;
  const c = channel(box, id);
  const result = attempt(() => {
    const joiner = text(asked, 'machine');
    const side = spake2.start('B', spake2.passwordScalar(code, id));
    const keys = spake2.finish(side, field(asked, 'share', 65), joiner, machine, aadOf(id, kid));
    if (!keys) {
      c.put('fail-holder', { reason: 'broken' });
      c.linger(['start'], until);
      fail('tin ghép hỏng');
    }
    c.put('answer', { machine, share: b64(side.share), confirm: b64(keys.cB) });
    const confirm = c.wait('confirm', until, 'joiner');
    if (!confirm) {
      c.removeAll();
      fail(`máy mới không trả lời trong ${minutes()} phút`);
    }
    if (!spake2.sameMac(field(confirm, 'confirm', 32), keys.cA)) {
      c.put('fail-holder', { reason: 'code' });
      c.linger(['start', 'confirm'], until);
      fail('mã máy mới dùng không khớp mã hiện ở đây (gõ sai, hoặc có kẻ đứng giữa); khoá không rời máy này');
    }
    const iv = crypto.randomBytes(12);
    const cipher = crypto.createCipheriv('aes-256-gcm', wrapKey(keys), iv);
    cipher.setAAD(keys.TT);
    const sealed = Buffer.concat([cipher.update(key), cipher.final()]);
    c.put('key', { nonce: b64(iv), sealed: b64(sealed), tag: b64(cipher.getAuthTag()) });
    const done = c.wait('done', until, 'joiner', true);
    c.removeAll();
    if (!done) fail(`máy mới không báo đã nhận khoá trong ${minutes()} phút`);
    const final = typeof done.machine === 'string' ? done.machine : '';
    if (!spake2.sameMac(field(done, 'mac', 32), doneMac(keys, final)) || !printable(final)) {
      fail('lời báo đã nhận khoá không xác thực được');
    }
    return final;
  });
  attempt(() => c.removeAll());
  attempt(() => box.drop());
  if (result.error) fail(`Ghép không thành: ${result.error}.${AGAIN}`);
  say(`Đã trao khoá cho máy "${printable(result.value)}".`);
}

module.exports = { join, admit, readLine };
