#!/usr/bin/env node
// tavrik: the companion tool of tavrik-agent. Stores the clipboard text of
// one machine for the other, in a store directory that both machines see
// (a shared or synced folder).
//
//   tavrik clip push --stdin    store standard input, byte for byte
//   tavrik clip pull --print    print the text last stored by another machine
//   tavrik hotkeys set          how to change the agent's hotkeys
//
// TAVRIK_STORE    the store directory (default: $XDG_DATA_HOME/tavrik/store,
//                 or ~/.local/share/tavrik/store)
// TAVRIK_MACHINE  this machine's name in the store (default: the host name)
//
// Exit status 0 on success; otherwise the reason is the last line of
// standard error, which the agent shows to the user.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function storeDir() {
  if (process.env.TAVRIK_STORE) return process.env.TAVRIK_STORE;
  const data = process.env.XDG_DATA_HOME || path.join(os.homedir(), '.local', 'share');
  return path.join(data, 'tavrik', 'store');
}

function machineName() {
  return process.env.TAVRIK_MACHINE || os.hostname();
}

// One file per machine; a name is made safe for any file system.
const PREFIX = 'clip-';
const fileOf = (machine) => PREFIX + encodeURIComponent(machine).replace(/\./g, '%2E');

function fail(reason, status = 1) {
  process.stderr.write(`${reason}\n`);
  process.exit(status);
}

// A descriptor someone made non-blocking answers EAGAIN: wait a little.
const pause = new Int32Array(new SharedArrayBuffer(4));
function retryOnEagain(io) {
  for (;;) {
    try {
      return io();
    } catch (e) {
      if (e.code !== 'EAGAIN') throw e;
      Atomics.wait(pause, 0, 0, 5);
    }
  }
}

function readStdin() {
  const chunks = [];
  for (;;) {
    const buf = Buffer.allocUnsafe(1 << 20);
    const n = retryOnEagain(() => fs.readSync(0, buf, 0, buf.length, null));
    if (n === 0) break;
    chunks.push(buf.subarray(0, n));
  }
  return Buffer.concat(chunks);
}

function push() {
  const dir = storeDir();
  let data;
  try {
    data = readStdin();
  } catch (e) {
    fail(`Không đọc được dữ liệu vào: ${e.message}`);
  }
  const target = path.join(dir, fileOf(machineName()));
  const temp = path.join(dir, `.${fileOf(machineName())}.${process.pid}.tmp`);
  try {
    fs.mkdirSync(dir, { recursive: true });
    // Written aside, then renamed: a pull sees the old text or the new one.
    fs.writeFileSync(temp, data);
    fs.renameSync(temp, target);
  } catch (e) {
    try { fs.rmSync(temp, { force: true }); } catch { /* nothing to clean */ }
    fail(`Không ghi được vào kho ${dir}: ${e.message}`);
  }
}

function pull() {
  const dir = storeDir();
  const mine = fileOf(machineName());
  let names;
  try {
    names = fs.readdirSync(dir);
  } catch (e) {
    if (e.code === 'ENOENT') return;  // nothing stored yet
    fail(`Không đọc được kho ${dir}: ${e.message}`);
  }
  // The newest text from any other machine.
  let newest = null;
  for (const name of names) {
    if (!name.startsWith(PREFIX) || name === mine) continue;
    try {
      const { mtimeMs } = fs.statSync(path.join(dir, name));
      if (!newest || mtimeMs > newest.mtimeMs) newest = { name, mtimeMs };
    } catch { /* replaced or removed meanwhile */ }
  }
  if (!newest) return;
  let data;
  try {
    data = fs.readFileSync(path.join(dir, newest.name));
  } catch (e) {
    fail(`Không đọc được kho ${dir}: ${e.message}`);
  }
  for (let off = 0; off < data.length;) {
    off += retryOnEagain(() => fs.writeSync(1, data, off));
  }
}

const HOTKEYS_HELP = `Phím tắt của tavrik-agent được đặt bằng tuỳ chọn dòng lệnh:

  tavrik-agent --cli ĐƯỜNG/DẪN/tavrik.js --copy ctrl+alt+c --paste ctrl+alt+b

--copy là phím gửi clipboard đi, --paste là phím lấy về. Một phím tắt gồm
các phím bổ trợ (cmd, ctrl, alt, shift) và một phím (a-z, 0-9, return, tab,
space, escape, f1-f12) nối bằng "+", ví dụ cmd+shift+f12 hoặc alt+space.

Sửa dòng Exec= trong ~/.config/autostart/tavrik-agent.desktop, hoặc ExecStart=
trong ~/.config/systemd/user/tavrik-agent.service (rồi chạy
systemctl --user daemon-reload && systemctl --user restart tavrik-agent),
hoặc ProgramArguments trong ~/Library/LaunchAgents/vn.tavrik.agent.plist trên
macOS, rồi khởi động lại tavrik-agent.
`;

function main(args) {
  const command = args.join(' ');
  if (command === 'clip push --stdin') return push();
  if (command === 'clip pull --print') return pull();
  if (command === 'hotkeys set') return void process.stdout.write(HOTKEYS_HELP);
  fail('Cách dùng: tavrik clip push --stdin | tavrik clip pull --print | tavrik hotkeys set', 2);
}

main(process.argv.slice(2));
