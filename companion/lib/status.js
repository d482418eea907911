'use strict';
// `tavrik status`: every link from this machine to the other, one screen.
// Exit 0 when a push and a pull can work; otherwise 1, with the first
// broken link named last.
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');
const { attempt, takeWarnings, age } = require('./report.js');
const { fileOf, ownerOf } = require('./store.js');
const { configFile, resolve } = require('./settings.js');
const autostart = require('./autostart.js');
const { KEY_ID_FILE } = require('./key.js');

// `tools`: what the companion knows of its own texts: { store(), loadKey(),
// keyFile(), sealing(store, storeKeyId, doing), open(bytes, machine, key),
// agent() }.
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
    const store = attempt(() => tools.store());
    const names = store.value && attempt(() => store.value.names());
    const reached = names && !names.error;
    say(`Kho ${settings.store.value}: ${reached ? 'tới được' : `KHÔNG tới được: ${(names || store).error}`}`);
    for (const w of takeWarnings()) say(`  ${w}`);
    if (!reached) broken.push('kho');
    const key = attempt(() => tools.loadKey());
    say(`Khoá ${tools.keyFile()}: ${key.error || (key.value ? 'có (chữ được mã hoá)' : 'không có (chữ không được mã hoá)')}`);
    if (key.error) broken.push('khoá');
    const recorded = reached && names.value.includes(KEY_ID_FILE) && attempt(() => store.value.get(KEY_ID_FILE));
    const sealing = reached && !key.error &&
      attempt(() => tools.sealing(store.value, recorded?.value?.toString().trim() || null, 'chữ không qua được'));
    if (sealing?.error) {
      say(`  ${sealing.error}`);
      broken.push('khoá');
    }
    if (reached) {
      const mine = settings.machine.value;
      const machines = new Set(names.value.map(ownerOf).filter((m) => m !== undefined));
      say('Các máy trong kho:');
      for (const machine of machines) {
        const bytes = names.value.includes(fileOf(machine)) ? attempt(() => store.value.get(fileOf(machine))) : {};
        let text = 'chưa gửi gì';
        if (bytes.error) text = bytes.error;
        if (bytes.value) {
          const opened = tools.open(bytes.value, machine, key.value || null, undefined);
          text = opened.refused || (opened.time ? `gửi lần cuối ${age(opened.time)}` : 'có chữ');
          if (opened.refused && machine !== mine) broken.push(`chữ của máy ${machine}`);
        }
        say(`  ${machine}${machine === mine ? ' (máy này)' : ''}: ${text}`);
      }
      if (![...machines].some((m) => m !== mine)) say('  (chưa có máy nào khác: chạy tavrik setup trên máy kia)');
    }
  }
  const agent = tools.agent();
  say(`tavrik-agent: ${agent ? 'đang chạy' : 'không chạy'}`);
  if (agent) for (const line of agent.trim().split('\n')) say(`  ${line}`);
  else broken.push('tavrik-agent');
  const installed = autostart.installed();
  say(`Tự khởi động: ${installed ? autostart.KINDS[installed.kind].file() : 'chưa cài (tavrik setup KHO cài nó)'}`);
  say(broken.length ? `Chưa dùng được: ${broken[0]}` : 'Gửi đi và lấy về đều dùng được.');
  process.stdout.write(`${lines.join('\n')}\n`);
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
