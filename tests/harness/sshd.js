'use strict';
// A real OpenSSH server on 127.0.0.1 with a port, host key, user key and
// configuration of its own, for the companion's tests and benchmark. Its
// client configuration names five hosts: tavrikhost (the right key),
// badkey (a key it refuses), nowhere (a closed port), newhost (a host key
// not known yet), and 127.0.0.1 (the right key, the port left to the
// address).
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { alive } = require('../../scripts/lib/xsession.js');

const SSHD = '/usr/sbin/sshd';
const hasSshd = () => fs.existsSync(SSHD) && process.getuid() === 0;

const freePort = () => new Promise((resolve) => {
  const server = net.createServer().listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});
const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, '127.0.0.1', () => { c.destroy(); resolve(true); }).on('error', () => resolve(false));
});

// Everything goes in `root`, which the caller removes.
async function startSshd(root) {
  const file = (name) => path.join(root, name);
  for (const key of ['host_key', 'user_key', 'other_key']) {
    execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-f', file(key)]);
  }
  fs.copyFileSync(file('user_key.pub'), file('authorized_keys'));
  fs.mkdirSync('/run/sshd', { recursive: true, mode: 0o755 });  // sshd's privilege separation
  const port = await freePort();
  const closed = await freePort();
  fs.writeFileSync(file('sshd_config'), [
    `Port ${port}`, 'ListenAddress 127.0.0.1', `HostKey ${file('host_key')}`,
    `AuthorizedKeysFile ${file('authorized_keys')}`, `PidFile ${file('sshd.pid')}`,
    'StrictModes no', 'UsePAM no', 'PasswordAuthentication no', 'KbdInteractiveAuthentication no',
    'PubkeyAuthentication yes', 'PermitRootLogin prohibit-password', '',
  ].join('\n'));
  const host = (name, key, p = port, known = 'known_hosts') => [
    `Host ${name}`, '  HostName 127.0.0.1', ...(p ? [`  Port ${p}`] : []), '  User root',
    `  IdentityFile ${file(key)}`, '  IdentitiesOnly yes', '  HostKeyAlias tavrik-test',
    `  UserKnownHostsFile ${file(known)}`, '  StrictHostKeyChecking yes', '  LogLevel ERROR',
  ].join('\n');
  fs.writeFileSync(file('ssh_config'), [host('tavrikhost', 'user_key'), host('badkey', 'other_key'),
                                        host('nowhere', 'user_key', closed),
                                        host('newhost', 'user_key', port, 'none_known'),
                                        host('127.0.0.1', 'user_key', null), ''].join('\n'));
  fs.writeFileSync(file('known_hosts'), `tavrik-test ${fs.readFileSync(file('host_key.pub'))}`);
  // Its log is a file, complete as soon as a login has happened.
  const proc = spawn(SSHD, ['-D', '-E', file('sshd.log'), '-f', file('sshd_config')], { stdio: 'ignore' });
  const gone = new Promise((r) => proc.on('exit', r));
  const deadline = Date.now() + 30000;
  while (!(await listening(port))) {
    if (Date.now() > deadline || proc.exitCode !== null) throw new Error('sshd did not start');
    await new Promise((r) => setTimeout(r, 50));
  }
  return {
    pid: proc.pid,
    port,
    config: file('ssh_config'),
    logins: () => (fs.readFileSync(file('sshd.log'), 'utf8').match(/Accepted publickey/g) || []).length,
    // Ends the connections the companion keeps in `controlDir`, and waits
    // until each is gone: `-O exit` only asks.
    endShared(controlDir) {
      for (const socket of fs.existsSync(controlDir) ? fs.readdirSync(controlDir) : []) {
        const ask = (command) => spawnSync('ssh', ['-o', `ControlPath=${path.join(controlDir, socket)}`,
                                                   '-O', command, 'x'], { encoding: 'utf8', timeout: 30000 }).stderr;
        const pid = (/\(pid=(\d+)\)/.exec(ask('check')) || [])[1];
        ask('exit');
        const deadline = Date.now() + 30000;
        while (pid && alive(pid)) {
          if (Date.now() > deadline) throw new Error(`ssh master ${pid} did not exit`);
          Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 10);
        }
      }
    },
    async stop() {
      proc.kill();
      await gone;
    },
  };
}

module.exports = { hasSshd, startSshd };
