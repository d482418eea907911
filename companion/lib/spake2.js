'use strict';
// SPAKE2 (RFC 9382) in its first ciphersuite: P-256, SHA-256, HKDF-SHA256
// and HMAC-SHA256. The group operations are @noble/curves' (audited); the
// rest is Node's. Both sides know w; each sends its share, and both derive
// Ke and the confirmation MACs over the whole transcript (section 4).
const crypto = require('node:crypto');
const { p256 } = require('@noble/curves/p256');

const Point = p256.ProjectivePoint;
const ORDER = p256.CURVE.n;
// The RFC's M and N for P-256 (section 6).
const M = Point.fromHex('02886e2f97ace46e55ba9dd7242579f2993b64e16ef3dcab95afd497333d8fa12f');
const N = Point.fromHex('03d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b49');

const scalarOf = (bytes) => BigInt(`0x${Buffer.from(bytes).toString('hex') || '0'}`) % ORDER;
const bytesOf = (scalar) => Buffer.from(scalar.toString(16).padStart(64, '0'), 'hex');
// 48 bytes reduced: a bias below 2^-128.
function randomScalar() {
  for (;;) {
    const s = scalarOf(crypto.randomBytes(48));
    if (s !== 0n) return s;
  }
}

// w from a short code: any string both sides type alike, salted by `salt`.
const passwordScalar = (code, salt) =>
  scalarOf(Buffer.from(crypto.hkdfSync('sha256', Buffer.from(code), Buffer.from(salt), 'tavrik spake2 w', 48)));

// Each part with its length as 8 bytes, little-endian (section 3.3).
function transcript(...parts) {
  return Buffer.concat(parts.flatMap((p) => {
    const n = Buffer.alloc(8);
    n.writeBigUInt64LE(BigInt(p.length));
    return [n, p];
  }));
}

// One side's start: role 'A' sends pA = x*P + w*M, role 'B' pB = y*P + w*N.
function start(role, w, secret = randomScalar()) {
  const [mine, theirs] = role === 'A' ? [M, N] : [N, M];
  const share = Buffer.from(Point.BASE.multiply(secret).add(mine.multiply(w)).toRawBytes(false));
  return { role, w, secret, theirs, share };
}

// The keys from the other side's share, with the identities A and B and
// the associated data both sides bind: { Ke, Ka, KcA, KcB, cA, cB, TT }, or
// null for a share that is not a point of the group (or whose K is none).
function finish(side, other, idA, idB, aad) {
  let K;
  try {
    const point = Point.fromHex(Buffer.from(other).toString('hex'));
    K = point.subtract(side.theirs.multiply(side.w)).multiply(side.secret);
    if (K.equals(Point.ZERO)) return null;
  } catch {
    return null;
  }
  const [pA, pB] = side.role === 'A' ? [side.share, Buffer.from(other)] : [Buffer.from(other), side.share];
  const TT = transcript(Buffer.from(idA), Buffer.from(idB), pA, pB, Buffer.from(K.toRawBytes(false)),
                        bytesOf(side.w));
  const hash = crypto.createHash('sha256').update(TT).digest();
  const [Ke, Ka] = [hash.subarray(0, 16), hash.subarray(16)];
  const kc = Buffer.from(crypto.hkdfSync('sha256', Ka, Buffer.alloc(0),
                                         Buffer.concat([Buffer.from('ConfirmationKeys'), Buffer.from(aad)]), 32));
  const [KcA, KcB] = [kc.subarray(0, 16), kc.subarray(16)];
  const mac = (key) => crypto.createHmac('sha256', key).update(TT).digest();
  return { Ke, Ka, KcA, KcB, cA: mac(KcA), cB: mac(KcB), TT };
}

// Whether `mac` is `expected`, in constant time.
const sameMac = (mac, expected) => Buffer.isBuffer(mac) && mac.length === expected.length &&
  crypto.timingSafeEqual(mac, expected);

module.exports = { start, finish, passwordScalar, scalarOf, sameMac };
