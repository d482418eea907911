'use strict';
// How a run ends badly or warns: a failure is thrown as a Refusal, which
// main() alone turns into the last line of standard error (the one the
// agent shows) and the exit status; within attempt() it is a value
// instead, and warnings are kept for the caller to show.

// No control character from the store or another program (a carriage
// return, an escape sequence, a bidirectional override) reaches the
// terminal: none but the line breaks between lines.
const clean = (text) => String(text).replace(/[\p{Cc}\u202a-\u202e\u2066-\u2069]/gu, (c) => (c === '\n' ? c : ''));
class Refusal extends Error {
  constructor(reason, status) {
    super(reason);
    this.status = status;
  }
}
let attempts = 0;
const warnings = [];

function fail(reason, status = 1) {
  throw new Refusal(clean(reason), status);
}

function warn(line) {
  if (attempts > 0) warnings.push(clean(line));
  else process.stderr.write(`${clean(line)}\n`);
}

// { value } of fn(), or { error } with the reason it failed with.
function attempt(fn) {
  attempts++;
  try {
    return { value: fn() };
  } catch (e) {
    if (e instanceof Refusal) return { error: e.message };
    throw e;
  } finally {
    attempts--;
  }
}

// A command's options and words by node:util's parseArgs, `options` as it
// takes them; anything it does not know is refused with `usage`, status 2.
function parseOptions(args, options, usage) {
  try {
    return require('node:util').parseArgs({ args, options, allowPositionals: true, strict: true });
  } catch {
    return fail(usage, 2);
  }
}

// What a command prints on standard output, cleaned the same way.
const say = (text) => process.stdout.write(`${clean(text)}\n`);

// The warnings kept since the last call.
const takeWarnings = () => warnings.splice(0);

// How long ago `ms` was, in the user's words.
function age(ms) {
  const s = Math.max(0, Math.round((Date.now() - ms) / 1000));
  if (s < 90) return `${s} giây trước`;
  if (s < 5400) return `${Math.round(s / 60)} phút trước`;
  if (s < 129600) return `${Math.round(s / 3600)} giờ trước`;
  return `${Math.round(s / 86400)} ngày trước`;
}

module.exports = { Refusal, fail, warn, attempt, takeWarnings, age, say, parseOptions, clean };
