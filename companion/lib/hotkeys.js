'use strict';
// `tavrik hotkeys set [--copy HOTKEY] [--paste HOTKEY]`: the installed
// autostart entry gets the new hotkeys, the agent is started again from it,
// and what the new agent says is reported; when it cannot hold them, the
// previous options and agent come back.
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');
const { fail, parseOptions } = require('./report.js');
const autostart = require('./autostart.js');

const SYNTAX = `Một phím tắt gồm các phím bổ trợ (cmd, ctrl, alt, shift) và một phím
(a-z, 0-9, return, tab, space, escape, f1-f12) nối bằng "+", ví dụ
cmd+shift+f12 hoặc alt+space.`;

const { sleep, STATUS } = autostart;

// The agent's names: modifiers (any number, at least one) and one key.
const MODIFIERS = { cmd: 'cmd', command: 'cmd', meta: 'cmd', ctrl: 'ctrl', control: 'ctrl', alt: 'alt', opt: 'alt',
                    option: 'alt', shift: 'shift' };
const KEY = /^([a-z0-9]|return|tab|space|escape|f[1-9]|f1[0-2])$/;

// `text` as its modifiers and its key, one way of writing each ({ value }),
// or why not. The agent would take the last of several keys: refused here,
// so that what it claims is what was asked.
function readHotkey(text) {
  const pieces = text.toLowerCase().split('+').filter(Boolean).map((p) => p.replace(/^[\p{Zs}\t]+|[\p{Zs}\t]+$/gu, ''));
  const keys = pieces.filter((p) => !Object.hasOwn(MODIFIERS, p));
  const modifiers = [...new Set(pieces.filter((p) => Object.hasOwn(MODIFIERS, p)).map((p) => MODIFIERS[p]))].sort();
  if (keys.length > 1) return { error: `Phím tắt "${text}" có hơn một phím (${keys.join(', ')}); chỉ được một.` };
  // A key alone would be taken from every other program.
  if (keys.length === 1 && KEY.test(keys[0]) && modifiers.length === 0) {
    return { error: `Phím tắt "${text}" cần ít nhất một phím bổ trợ (cmd, ctrl, alt hoặc shift), ví dụ ctrl+alt+${keys[0]}.` };
  }
  if (keys.length === 0 || !KEY.test(keys[0]) || modifiers.length === 0) {
    return { error: `Phím tắt không đọc được: "${text}". ${SYNTAX.replace(/\n/g, ' ')}` };
  }
  return { value: [...modifiers, keys[0]].join('+') };
}

const option = (argv, name, fallback) => {
  const at = argv.indexOf(name, 1);
  return at > 0 && at + 1 < argv.length ? argv[at + 1] : fallback;
};
function withOption(argv, name, value) {
  const out = [...argv];
  const at = out.indexOf(name, 1);
  if (at > 0 && at + 1 < out.length) out[at + 1] = value;
  else out.push(name, value);
  return out;
}

// launchd's agent: its lines since `from` up to its status line; { gone }
// once it ended without one; null while it starts.
function launchdSaid(from) {
  const lines = autostart.launchdLines(from);
  const at = lines.findIndex((l) => STATUS.test(l));
  if (at >= 0) return lines.slice(0, at + 1).join('\n') + '\n';
  return autostart.launchdRunning() ? null : { gone: lines.pop() };
}

// How long a log is now: where the next agent's lines start.
function sizeOf(file) {
  try {
    return fs.statSync(file).size;
  } catch {
    return 0;
  }
}

// Writes the entry and starts the agent from it; the agent's start-up lines
// ({ said }), or { error }, or { later } where nothing can start it now.
function restart(kind, argv) {
  let failed = autostart.write(kind, argv);
  let pid;
  let logFrom;
  if (failed) return { error: failed };
  if (kind === 'systemd') {
    failed = autostart.run('systemctl', ['--user', 'daemon-reload']) ||
      autostart.run('systemctl', ['--user', 'restart', `app-${autostart.APP_ID}`]);
    if (failed) return { error: `systemctl --user không chạy lại được app-${autostart.APP_ID}: ${failed}` };
  } else if (kind === 'launchd') {
    logFrom = sizeOf(autostart.launchdLog());
    failed = autostart.reloadLaunchd();
    if (failed) return { error: failed };
  } else {
    if (kind === 'xdg' && !process.env.DISPLAY && !process.env.WAYLAND_DISPLAY) return { later: true };
    autostart.stop();
    logFrom = sizeOf(autostart.logFile());
    pid = autostart.startDetached(argv);
  }
  // The status line comes once the keys are claimed: through a portal's
  // dialog that may take the user a while.
  for (const until = Date.now() + 150000; Date.now() < until; sleep(100)) {
    if (kind === 'launchd') {
      const said = launchdSaid(logFrom);
      if (typeof said === 'string') return { said };
      if (said) return { error: said.gone || 'tavrik-agent đã dừng' };
      continue;
    }
    const status = spawnSync(argv[0], ['--trigger', 'status'], { encoding: 'utf8', timeout: 10000 });
    if (status.status === 0 && STATUS.test(status.stdout)) return { said: status.stdout };
    if (pid !== undefined && !autostart.alive(pid)) break;
  }
  // What the agent started here wrote, after the lines of those before it.
  const log = pid !== undefined && fs.existsSync(autostart.logFile())
    ? fs.readFileSync(autostart.logFile()).subarray(logFrom).toString() : '';
  return { error: log.split('\n').filter(Boolean).pop() || 'tavrik-agent không trả lời --trigger status' };
}

// A display may free the keys of the agent just stopped a moment after it
// has gone: a refusal is tried again a few times before it counts.
function restartHolding(kind, argv) {
  let now = restart(kind, argv);
  for (let i = 0; i < 3 && now.said && now.said.includes('HỎNG'); i++) {
    sleep(500);
    now = restart(kind, argv);
  }
  return now;
}

function set(args) {
  const usage = 'Cách dùng: tavrik hotkeys set [--copy PHÍM] [--paste PHÍM]';
  const { values, positionals } = parseOptions(args, { copy: { type: 'string' }, paste: { type: 'string' } }, usage);
  if (positionals.length > 0) fail(usage, 2);
  const asked = Object.fromEntries(Object.entries(values).map(([name, value]) => [`--${name}`, value]));
  const entry = autostart.installed();
  if (!entry) {
    if (Object.keys(asked).length === 0) {
      return void process.stdout.write(`Chưa cài tự khởi động. Chạy tavrik setup KHO trước; tavrik-agent nhận phím bằng\n--copy PHÍM (gửi đi) và --paste PHÍM (lấy về).\n${SYNTAX}\n`);
    }
    fail('Chưa cài tự khởi động nên không có gì để đổi: chạy tavrik setup KHO trước.');
  }
  const copy = option(entry.argv, '--copy', 'ctrl+alt+c');
  const paste = option(entry.argv, '--paste', 'ctrl+alt+b');
  if (Object.keys(asked).length === 0) {
    return void process.stdout.write(`Phím gửi đi: ${copy}\nPhím lấy về: ${paste}\n` +
      `Đổi bằng: tavrik hotkeys set --copy PHÍM --paste PHÍM (trong ${autostart.KINDS[entry.kind].file()}).\n${SYNTAX}\n`);
  }
  // Refused before anything restarts: a text the agent would read otherwise,
  // or both keys alike.
  const wanted = { '--copy': copy, '--paste': paste, ...asked };
  const read = Object.values(wanted).map(readHotkey);
  const wrong = read.find((r) => r.error);
  if (wrong) fail(`${wrong.error} Không đổi gì.`);
  if (read[0].value === read[1].value) {
    fail(`Phím gửi đi và phím lấy về trùng nhau (${wanted['--copy']}, ${wanted['--paste']}); không đổi gì.`);
  }
  let argv = entry.argv;
  for (const [name, value] of Object.entries(asked)) argv = withOption(argv, name, value);
  // Tried again only where the new keys are ones the agent just stopped held.
  const before = [copy, paste].map((k) => readHotkey(k).value);
  const swapped = read.some((r, i) => before.includes(r.value) && r.value !== before[i]);
  const now = swapped ? restartHolding(entry.kind, argv) : restart(entry.kind, argv);
  if (now.later) {
    return void process.stdout.write(`Đã đổi phím trong ${autostart.KINDS[entry.kind].file()}; ` +
      'tavrik-agent dùng phím mới từ lần đăng nhập tới.\n');
  }
  if (now.said && !now.said.includes('HỎNG')) return void process.stdout.write(now.said);
  // Held, unreadable, or no answer: the previous options, and agent, again.
  const reason = now.error || now.said.trim().split('\n').pop();
  const back = restart(entry.kind, entry.argv);
  fail(`Không đổi được phím (${reason}); đã trả lại ${copy} và ${paste}` +
       `${back.said ? '' : `, nhưng tavrik-agent cũ không chạy lại được: ${back.error}`}.`);
}

module.exports = { set };
