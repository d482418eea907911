'use strict';
// The companion's settings: a TAVRIK_* variable wins over config.json,
// which wins over the default; resolve() says where each came from.
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// This user's place for the tool's files: XDG's, or on Windows the local
// (not roaming) part of the profile, so that the key stays on this machine.
function userDir(xdg, ...fallback) {
  if (process.env[xdg]) return process.env[xdg];
  if (process.platform === 'win32' && process.env.LOCALAPPDATA) return process.env.LOCALAPPDATA;
  return path.join(os.homedir(), ...fallback);
}

const configFile = () =>
  process.env.TAVRIK_CONFIG || path.join(userDir('XDG_CONFIG_HOME', '.config'), 'tavrik', 'config.json');

// What the file may hold: each setting's variable, kind and default.
const SETTINGS = {
  store: { variable: 'TAVRIK_STORE', kind: 'string',
           fallback: () => path.join(userDir('XDG_DATA_HOME', '.local', 'share'), 'tavrik', 'store') },
  machine: { variable: 'TAVRIK_MACHINE', kind: 'string', fallback: () => os.hostname() },
  ttl: { variable: 'TAVRIK_TTL', kind: 'seconds', fallback: () => undefined },
  secretTtl: { variable: 'TAVRIK_SECRET_TTL', kind: 'seconds', fallback: () => 120 },
  // Written by setup alone: whether this machine seals its texts, and with
  // which key (no variable turns them off); its id in the store.
  sealed: { kind: 'boolean', fallback: () => undefined },
  keyId: { kind: 'keyId', fallback: () => undefined },
  id: { kind: 'id', fallback: () => undefined },
};
const KINDS = { string: 'một chuỗi không rỗng', seconds: 'một số giây dương', boolean: 'true hoặc false',
                keyId: 'mã khoá của tavrik setup (32 chữ số hex)', id: 'mã máy của tavrik setup (16 chữ số hex)' };
const CHECKS = {
  string: (v) => typeof v === 'string' && v !== '',
  seconds: (v) => typeof v === 'number' && v > 0,
  boolean: (v) => typeof v === 'boolean',
  keyId: (v) => typeof v === 'string' && /^[0-9a-f]{32}$/.test(v),
  id: (v) => typeof v === 'string' && /^[0-9a-f]{16}$/.test(v),
};
const valid = (kind, v) => CHECKS[kind](v);

// The file's settings ({} when there is none), or why it is refused.
function readConfig(file) {
  let values;
  try {
    values = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (e) {
    if (e.code === 'ENOENT') return {};
    return { error: `Tệp cấu hình ${file} ${e.code ? `không đọc được: ${e.message}` : `không phải JSON hợp lệ: ${e.message}`}.` };
  }
  if (typeof values !== 'object' || values === null || Array.isArray(values)) {
    return { error: `Tệp cấu hình ${file} cần là một đối tượng JSON.` };
  }
  for (const [key, value] of Object.entries(values)) {
    if (!Object.hasOwn(SETTINGS, key)) return { error: `Tệp cấu hình ${file}: không biết khoá "${key}".` };
    const { kind } = SETTINGS[key];
    if (!valid(kind, value)) return { error: `Tệp cấu hình ${file}: "${key}" cần là ${KINDS[kind]}.` };
  }
  return { values };
}

// Every setting as { value, from }: from the variable's name, the file's
// path, or "mặc định"; or { error } naming what is wrong.
function resolve() {
  const file = configFile();
  const config = readConfig(file);
  if (config.error) return { error: config.error };
  const out = {};
  for (const [key, { variable, kind, fallback }] of Object.entries(SETTINGS)) {
    const set = variable && process.env[variable];
    if (set) {
      const value = kind === 'seconds' ? Number(set) : set;
      if (!valid(kind, value)) return { error: `${variable} không hợp lệ: ${set} (cần ${KINDS[kind]}).` };
      out[key] = { value, from: variable };
    } else if (config.values && Object.hasOwn(config.values, key)) {
      out[key] = { value: config.values[key], from: file };
    } else {
      out[key] = { value: fallback(), from: 'mặc định' };
    }
  }
  return out;
}

// Writes the settings whole: aside, private from birth, then renamed.
// Undefined when done, else why not.
function writeConfig(values) {
  const file = configFile();
  const failed = writePrivate(file, `${JSON.stringify(values, null, 2)}\n`);
  return failed && `Không ghi được tệp cấu hình ${file}: ${failed}`;
}

// Writes `text` as this user's `file`: aside, private from birth, then
// renamed. Undefined when done, else why not.
function writePrivate(file, text) {
  const temp = `${file}.${crypto.randomBytes(8).toString('hex')}.tmp`;
  try {
    fs.mkdirSync(path.dirname(file), { recursive: true, mode: 0o700 });
    fs.writeFileSync(temp, text, { mode: 0o600, flag: 'wx' });
    fs.chmodSync(temp, 0o600);
    fs.renameSync(temp, file);
    return undefined;
  } catch (e) {
    fs.rmSync(temp, { force: true });
    return e.message;
  }
}

module.exports = { userDir, configFile, readConfig, resolve, writeConfig, writePrivate };
