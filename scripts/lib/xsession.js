'use strict';
// A private X server and the command-line clipboard and keyboard tools,
// for the demonstration and the integration tests.
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Long enough for a loaded machine and a sanitizer build: it only bounds
// how long a failing test takes.
// `seen`: what was there instead, for the failure.
async function waitFor(what, check, ms = 30000, seen = undefined) {
  const end = Date.now() + ms;
  for (;;) {
    const value = check();
    if (value) return value;
    if (Date.now() > end) {
      throw new Error(`timed out waiting for ${what}${seen ? `; saw ${JSON.stringify(seen())}` : ''}`);
    }
    await sleep(25);
  }
}

// The end of `child` (a launched process, with its `exited`): its
// { code, signal }, or a failure with what it said by `ms`.
async function ended(child, what, ms = 30000) {
  let timer;
  const late = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out waiting for ${what} to end; saw ` +
                                              JSON.stringify({ out: child.out, err: child.err }))), ms);
  });
  try {
    return await Promise.race([child.exited, late]);
  } finally {
    clearTimeout(timer);
  }
}

// Xvfb on a free display number, which it tells us itself.
function startXvfb(args = []) {
  const proc = spawn('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-screen', '0', '320x240x24', ...args],
                     { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  return new Promise((resolve, reject) => {
    let text = '';
    proc.stdio[3].on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve({ proc, display: `:${text.trim()}` });
    });
    proc.on('error', reject);
    proc.on('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
  });
}

// xdotool key COMBO, or xdotool with the words given.
function key(env, ...args) {
  execFileSync('xdotool', args.length === 1 ? ['key', args[0]] : args, { env, timeout: 30000 });
}

function readClipboard(env, target = 'UTF8_STRING') {
  return execFileSync('xclip', ['-o', '-selection', 'clipboard', '-t', target],
                      { env, timeout: 5000, maxBuffer: 64 << 20, stdio: ['ignore', 'pipe', 'ignore'] });
}

// An xclip that owns the clipboard with `data` until it is stopped or
// another client takes the clipboard; resolves once it answers.
async function ownClipboard(env, data, target = 'UTF8_STRING') {
  const xclip = spawn('xclip', ['-quiet', '-selection', 'clipboard', '-t', target, '-i'],
                      { env, stdio: ['pipe', 'ignore', 'ignore'] });
  xclip.stdin.end(data);
  const expected = Buffer.from(data);
  await waitFor('xclip to own the clipboard', () => {
    try {
      return readClipboard(env, target).equals(expected);
    } catch {
      return false;
    }
  });
  return xclip;
}

// A process's name, state and parent, from the kernel; null once it is gone.
function stat(pid) {
  try {
    const text = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const [state, ppid] = text.slice(text.lastIndexOf(')') + 2).split(' ');
    return { name: text.slice(text.indexOf('(') + 1, text.lastIndexOf(')')), state, ppid: Number(ppid) };
  } catch {
    return null;
  }
}
// Whether a process runs (a zombie has ended).
const alive = (pid) => (stat(pid)?.state ?? 'Z') !== 'Z';
// The processes whose parent is `pid`, and theirs: { pid, name, state, ppid }.
const below = (pid) => {
  const all = fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p)).map((p) => ({ pid: Number(p), ...stat(p) }));
  const under = (parent) => all.filter((p) => p.ppid === parent).flatMap((p) => [p, ...under(p.pid)]);
  return under(pid);
};

module.exports = { sleep, waitFor, ended, startXvfb, key, readClipboard, ownClipboard, alive, below };
