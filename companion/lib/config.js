'use strict';
// `tavrik config [KEY [VALUE]]`: the settings a user changes, shown with
// where each comes from, and set in config.json with setup's checks.
const { fail, attempt, say } = require('./report.js');
const { configFile, readConfig, resolve, writeConfig } = require('./settings.js');
const { placeOf } = require('./names.js');
const { memberFile } = require('./form.js');

// What it shows and sets, and the variable that wins over each.
const KEYS = { store: 'TAVRIK_STORE', machine: 'TAVRIK_MACHINE', ttl: 'TAVRIK_TTL', secretTtl: 'TAVRIK_SECRET_TTL' };
const USAGE = `Cách dùng: tavrik config [${Object.keys(KEYS).join('|')} [GIÁ-TRỊ]]`;

// One setting on a line: its value and where it came from.
const line = (key, { value, from }) =>
  `${key}: ${value === undefined ? 'không' : value}${key.endsWith('tl') && value !== undefined ? ' giây' : ''} (${from})`;

// A duration as people write it (90, 90s, 10m, 2h, 1d) in seconds; "off"
// for none, where that is allowed.
function seconds(text, offAllowed) {
  if (offAllowed && text === 'off') return undefined;
  const m = /^(\d+)([smhd]?)$/.exec(text);
  const n = m ? Number(m[1]) * { '': 1, s: 1, m: 60, h: 3600, d: 86400 }[m[2]] : 0;
  if (!(n > 0)) {
    fail(`"${text}" không phải một khoảng thời gian: viết 90, 90s, 10m, 2h hoặc 1d${offAllowed ? ', hay off để tắt' : ''}.`);
  }
  return n;
}

// A new name for this machine, as setup would take it: not one another
// machine shows there; the member file says it from now on.
function rename(values, name) {
  const settings = resolve();
  if (!values.id || !values.store) fail('Máy này chưa thiết lập với một mã máy: đổi tên bằng tavrik setup KHO --machine TÊN.');
  const { storeAt } = require('./store.js');
  const { namesIn } = require('./setup.js');
  const { loadKey } = require('./key.js');
  const store = storeAt(settings.store.value, 'Kho');
  const key = settings.sealed.value ? loadKey() : attempt(loadKey).value ?? null;
  if (namesIn(store, [placeOf({ id: values.id }).member], key).has(name)) {
    fail(`Tên máy "${name}" đã có máy khác dùng trong kho ${store.describe()}; chọn tên khác.`);
  }
  store.put(placeOf({ id: values.id }).member, memberFile(name, values.id, key));
  return name;
}

function config(args) {
  const [key, value, ...more] = args;
  if (more.length > 0 || (key !== undefined && !Object.hasOwn(KEYS, key))) fail(USAGE, 2);
  const settings = resolve();
  if (settings.error) fail(settings.error);
  if (value === undefined) {
    say([`Cấu hình: ${configFile()}`, ...(key ? [key] : Object.keys(KEYS)).map((k) => line(k, settings[k]))].join('\n'));
    return;
  }
  const values = readConfig(configFile()).values ?? {};
  if (key === 'store') {
    fail(`Kho mới cần được thử và có thể cần ghép khoá: chạy tavrik setup ${value}.`);
  }
  const chosen = key === 'machine' ? rename(values, value) : seconds(value, key === 'ttl');
  // Undefined ("off") leaves the file without it.
  const failed = writeConfig(JSON.parse(JSON.stringify({ ...values, [key]: chosen })));
  if (failed) fail(failed);
  say(line(key, { value: chosen, from: configFile() }) +
      (process.env[KEYS[key]] ? `\n(${KEYS[key]} đặt trong môi trường này vẫn thắng giá trị trong tệp.)` : ''));
}

module.exports = { config };
