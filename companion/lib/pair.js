'use strict';
// Pairing: a machine without the key gets it from one that has it, through
// the store alone, after a six-digit code read on one is typed on the other.
//
// The design is ZRTP's hash commitment (RFC 6189, 4.4.1.1) with a short
// code compared by the user as in Bluetooth's numeric comparison (Secure
// Simple Pairing). The joiner commits to its X25519
// key and a nonce before it sees the holder's key, so whoever sits in the
// store and swaps keys must fix its own before it can know the code either
// side will show: one chance in a million per pairing.
//
//   joiner  commit   { keyId, machine, time, commit: SHA-256(id, pkJ, nonce) }
//   holder  answer   { pk: pkH }
//   joiner  reveal   { pk: pkJ, nonce }   the holder checks the commitment
//   both    T = SHA-256(id, keyId, commit, pkJ, pkH, nonce); code = HKDF(T)
//   holder  key      AES-256-GCM under HKDF(X25519(skH, pkJ), T), AAD T
//   joiner  done, or fail-joiner; holder fail-holder
//
// Each message is a file `pairing/ID-STEP`, written whole: a synced folder
// brings files late and in any order, so each side polls for the one it
// needs. The holder removes the pairing's files at its end, once the joiner
// has answered the last message or at the deadline.
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');
const { fail, attempt } = require('./report.js');
const { loadKey, keyId } = require('./key.js');
const { sleep } = require('./autostart.js');

const FOLDER = 'pairing';
const VERSION = 1;
const POLL_MS = 300;
const waitSeconds = () => Number(process.env.TAVRIK_PAIR_WAIT) || 600;
const minutes = () => Math.max(1, Math.round(waitSeconds() / 60));
const say = (text) => process.stdout.write(`${text}\n`);

const b64 = (bytes) => Buffer.from(bytes).toString('base64');
// A field of `size` bytes from a message, or a refusal.
function field(message, name, size) {
  const bytes = typeof message[name] === 'string' ? Buffer.from(message[name], 'base64') : Buffer.alloc(0);
  if (bytes.length !== size) fail(`Tin ghép hỏng (trường ${name}).`);
  return bytes;
}

// Length-prefixed, so that no two different transcripts hash alike.
const hash = (...parts) => {
  const h = crypto.createHash('sha256').update(`tavrik pair v${VERSION}`);
  for (const p of parts) h.update(Buffer.from([p.length >> 8, p.length & 0xff])).update(p);
  return h.digest();
};
const commitOf = (id, pk, nonce) => hash(Buffer.from(id), pk, nonce);
const transcriptOf = (id, kid, commit, pkJ, pkH, nonce) => hash(Buffer.from(id), Buffer.from(kid), commit, pkJ, pkH, nonce);
function codeOf(transcript) {
  const n = Buffer.from(crypto.hkdfSync('sha256', transcript, '', 'tavrik pair code', 4)).readUInt32BE() % 1000000;
  const digits = String(n).padStart(6, '0');
  return `${digits.slice(0, 3)} ${digits.slice(3)}`;
}

function keyPair() {
  const { publicKey, privateKey } = crypto.generateKeyPairSync('x25519');
  return { privateKey, pk: Buffer.from(publicKey.export({ format: 'jwk' }).x, 'base64url') };
}
// The key that seals the key in transit: from the X25519 secret and the
// whole transcript.
function wrapKey(privateKey, otherPk, transcript) {
  const publicKey = crypto.createPublicKey({ key: { kty: 'OKP', crv: 'X25519', x: otherPk.toString('base64url') },
                                            format: 'jwk' });
  const secret = crypto.diffieHellman({ privateKey, publicKey });
  return Buffer.from(crypto.hkdfSync('sha256', secret, transcript, 'tavrik pair key', 32));
}

// One pairing's messages in the store's pairing folder `box`.
function channel(box, id) {
  const name = (step) => `${id}-${step}`;
  return {
    put: (step, message) => box.put(name(step), Buffer.from(JSON.stringify({ v: VERSION, id, ...message }))),
    // The message of `step`, or null; one of another pairing or
    // unreadable counts as none.
    read(step, names) {
      if (!names.includes(name(step))) return null;
      const bytes = box.get(name(step));
      try {
        const m = JSON.parse(bytes.toString());
        return m && m.v === VERSION && m.id === id ? m : null;
      } catch {
        return null;
      }
    },
    // Whether the other side said it stopped.
    otherStopped: false,
    // Waits until `step` is there (its message) or the deadline (null);
    // the other side's failure ends the run.
    wait(step, until, other) {
      for (;;) {
        const names = box.names();
        const failed = this.read(`fail-${other}`, names);
        if (failed) {
          this.otherStopped = true;
          fail(`Máy kia đã dừng ghép: ${REASONS[failed.reason] || 'không rõ lý do'}`);
        }
        const m = this.read(step, names);
        if (m || Date.now() >= until) return m;
        sleep(POLL_MS);
      }
    },
    has: (step) => box.names().includes(name(step)),
    remove: (steps) => steps.forEach((s) => box.remove(name(s))),
    removeAll: () => box.names().filter((n) => n.startsWith(`${id}-`)).forEach((n) => box.remove(n)),
  };
}

const REASONS = {
  broken: 'tin ghép hỏng',
  code: 'mã ghép gõ vào không khớp mã của máy giữ khoá',
  commit: 'khoá của máy mới không khớp với cam kết nó gửi trước đó',
  late: 'hết giờ chờ',
  key: 'khoá nhận được không mở được',
};

// The joiner: a pairing for the key the store knows as `kid`; the key.
function join(store, kid, machine) {
  const id = crypto.randomBytes(8).toString('hex');
  const mine = keyPair();
  const nonce = crypto.randomBytes(32);
  const commit = commitOf(id, mine.pk, nonce);
  const until = Date.now() + waitSeconds() * 1000;
  const box = store.within(FOLDER);
  const c = channel(box, id);
  let answered = false;
  let reason = 'broken';
  const result = attempt(() => {
    box.make();
    c.put('commit', { keyId: kid, machine, time: Date.now(), commit: b64(commit) });
    say(`Kho này mã hoá chữ mà máy này chưa có khoá: cần ghép với một máy đã có khoá.\n` +
        `Trên máy đó, chạy: tavrik pair\nĐang chờ máy đó trả lời (tối đa ${minutes()} phút)…`);
    const answer = c.wait('answer', until, 'holder');
    if (!answer) fail(`không có máy nào trả lời trong ${minutes()} phút: chạy tavrik pair trên một máy đã có khoá`);
    answered = true;
    const pkH = field(answer, 'pk', 32);
    c.put('reveal', { pk: b64(mine.pk), nonce: b64(nonce) });
    const transcript = transcriptOf(id, kid, commit, mine.pk, pkH, nonce);
    say(`Mã ghép (gõ vào tavrik pair trên máy kia):\n${codeOf(transcript)}\nĐang chờ khoá…`);
    const sent = c.wait('key', until, 'holder');
    reason = 'late';
    if (!sent) fail(`máy kia không gửi khoá trong ${minutes()} phút`);
    reason = 'key';
    let key = null;
    try {
      const decipher = crypto.createDecipheriv('aes-256-gcm', wrapKey(mine.privateKey, pkH, transcript),
                                               field(sent, 'nonce', 12));
      decipher.setAAD(transcript);
      decipher.setAuthTag(field(sent, 'tag', 16));
      key = Buffer.concat([decipher.update(field(sent, 'sealed', 32)), decipher.final()]);
    } catch { /* told below */ }
    if (!key || keyId(key) !== kid) fail(REASONS.key);
    c.put('done', {});
    return key;
  });
  if (result.error && answered && !c.otherStopped) {
    attempt(() => c.put('fail-joiner', { reason }));
  }
  // The holder removes the rest; with no holder, nobody else will.
  attempt(() => (answered ? c.remove(['commit', 'reveal']) : c.removeAll()));
  if (result.error) fail(`Ghép không thành: ${result.error}.`);
  return result.value;
}

// The newest request for the key `kid` made within the wait, or null.
function request(box, kid) {
  let newest = null;
  for (const name of box.names().filter((n) => /^[0-9a-f]{16}-commit$/.test(n))) {
    const id = name.slice(0, 16);
    const m = channel(box, id).read('commit', [name]);
    if (!m || m.keyId !== kid || typeof m.time !== 'number' || Date.now() - m.time > waitSeconds() * 1000) continue;
    if (!newest || m.time > newest.m.time) newest = { id, m };
  }
  return newest;
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

// `tavrik pair`: hands this machine's key to a joiner that shows the code
// the user types here.
function admit(store) {
  const key = loadKey();
  if (!key) fail('Máy này chưa có khoá, nên không có gì để trao: chạy tavrik pair trên máy đã có khoá.');
  const kid = keyId(key);
  const until = Date.now() + waitSeconds() * 1000;
  const box = store.within(FOLDER);
  box.make();
  say(`Đang chờ máy mới xin khoá (chạy tavrik setup ${store.describe()} trên máy đó; tối đa ${minutes()} phút)…`);
  let found = null;
  while (!(found = request(box, kid)) && Date.now() < until) sleep(POLL_MS);
  if (!found) fail(`Ghép không thành: không có máy nào xin khoá trong ${minutes()} phút.`);
  const { id, m: asked } = found;
  const c = channel(box, id);
  const mine = keyPair();
  let sent = false;
  // Told to the joiner too, then here.
  const refuse = (reason, text) => {
    c.put('fail-holder', { reason });
    fail(text);
  };
  const result = attempt(() => {
    const commit = field(asked, 'commit', 32);
    c.put('answer', { pk: b64(mine.pk) });
    const reveal = c.wait('reveal', until, 'joiner');
    if (!reveal) fail(`máy mới không trả lời trong ${minutes()} phút`);
    const [pkJ, nonce] = [field(reveal, 'pk', 32), field(reveal, 'nonce', 32)];
    if (!commitOf(id, pkJ, nonce).equals(commit)) refuse('commit', REASONS.commit);
    const transcript = transcriptOf(id, kid, commit, pkJ, mine.pk, nonce);
    const machine = String(asked.machine || '').replace(/[\p{C}]/gu, '').slice(0, 64);
    process.stdout.write(`Máy "${machine}" xin khoá. Gõ mã ghép hiện trên máy đó: `);
    const typed = readLine(until);
    if (typed === null) refuse('late', 'không gõ mã ghép nào');
    if (typed.replace(/\s/g, '') !== codeOf(transcript).replace(' ', '')) {
      refuse('code', `${REASONS.code}; khoá không rời máy này`);
    }
    const iv = crypto.randomBytes(12);
    const cipher = crypto.createCipheriv('aes-256-gcm', wrapKey(mine.privateKey, pkJ, transcript), iv);
    cipher.setAAD(transcript);
    const sealed = Buffer.concat([cipher.update(key), cipher.final()]);
    c.put('key', { nonce: b64(iv), sealed: b64(sealed), tag: b64(cipher.getAuthTag()) });
    sent = true;
    // The joiner's word that it has the key.
    const done = c.wait('done', until, 'joiner');
    if (!done) fail(`máy mới không báo đã nhận khoá trong ${minutes()} phút`);
    return machine;
  });
  // After a refusal, the joiner's removing its request says it has read it.
  if (result.error && !sent) {
    while (c.has('commit') && Date.now() < until && !c.otherStopped) sleep(POLL_MS);
  }
  attempt(() => c.removeAll());
  if (result.error) fail(`Ghép không thành: ${result.error}.`);
  say(`Đã trao khoá cho máy "${result.value}".`);
}

module.exports = { join, admit, commitOf, keyPair };
