'use strict';
// The companion's store over SSH, against a real OpenSSH server on
// 127.0.0.1 with a port, host key, user key and configuration of its own.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const TOOL = path.join(__dirname, '..', '..', 'companion', 'tavrik.js');
const SSHD = '/usr/sbin/sshd';

const freePort = () => new Promise((resolve) => {
  const server = net.createServer().listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});
const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, '127.0.0.1', () => { c.destroy(); resolve(true); }).on('error', () => resolve(false));
});

describe('a store reached over SSH', { skip: !(fs.existsSync(SSHD) && process.getuid() === 0) && 'needs root and sshd' }, () => {
  let root;
  let sshd;
  let env;
  let remote;  // the remote store, as a path on this machine

  before(async () => {
    root = fs.mkdtempSync(path.join(os.tmpdir(), 'tavrik-ssh-'));
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
    const host = (name, key, p = port) => [
      `Host ${name}`, '  HostName 127.0.0.1', `  Port ${p}`, '  User root',
      `  IdentityFile ${file(key)}`, '  IdentitiesOnly yes', '  HostKeyAlias tavrik-test',
      `  UserKnownHostsFile ${file('known_hosts')}`, '  StrictHostKeyChecking yes', '  LogLevel ERROR',
    ].join('\n');
    fs.writeFileSync(file('ssh_config'), [host('tavrikhost', 'user_key'), host('badkey', 'other_key'),
                                          host('nowhere', 'user_key', closed), ''].join('\n'));
    fs.writeFileSync(file('known_hosts'), `tavrik-test ${fs.readFileSync(file('host_key.pub'))}`);
    sshd = spawn(SSHD, ['-D', '-e', '-f', file('sshd_config')], { stdio: 'ignore' });
    sshd.gone = new Promise((r) => sshd.on('exit', r));
    const deadline = Date.now() + 30000;
    while (!(await listening(port))) {
      if (Date.now() > deadline || sshd.exitCode !== null) throw new Error('sshd did not start');
      await new Promise((r) => setTimeout(r, 50));
    }
    remote = path.join(root, "kho chung 'q'");
    fs.mkdirSync(remote, { mode: 0o700 });
    env = { ...process.env, TAVRIK_SSH_CONFIG: file('ssh_config'), TAVRIK_STORE: `ssh://tavrikhost${remote}`,
            TAVRIK_KEY_FILE: file('no-key') };
  });

  after(async () => {
    sshd.kill();
    await sshd.gone;
    fs.rmSync(root, { recursive: true, force: true });
  });

  const tavrik = (machine, args, input, more = {}) => {
    const r = spawnSync(TOOL, args, { input, maxBuffer: 64 << 20, cwd: root, env: { ...env, TAVRIK_MACHINE: machine, ...more } });
    return { status: r.status, out: r.stdout, err: r.stderr.toString(), last: r.stderr.toString().split('\n').filter(Boolean).pop() };
  };

  test('push and pull byte for byte, with odd names and paths, running nothing', () => {
    const odd = `a; touch PWNED $(touch PWNED2) \`touch PWNED3\` 'q" \\ ~`;
    const big = crypto.randomBytes(20e6);
    for (const text of [Buffer.from('Xin chào qua SSH\n'), big]) {
      const p = tavrik(odd, ['clip', 'push', '--stdin'], text);
      assert.equal(p.status, 0, p.err);
      const r = tavrik('máy b', ['clip', 'pull', '--print']);
      assert.equal(r.status, 0, r.err);
      assert.ok(r.out.equals(text));
    }
    const [stored] = fs.readdirSync(remote);
    assert.equal(fs.statSync(path.join(remote, stored)).mode & 0o777, 0o600);
    assert.equal(tavrik(odd, ['clip', 'pull', '--print']).out.length, 0);  // never its own
    for (const dir of [root, remote, os.homedir()]) {
      assert.deepEqual(fs.readdirSync(dir).filter((n) => n.startsWith('PWNED')), [], dir);
    }
    assert.equal(tavrik(odd, ['clip', 'clear']).status, 0);
    assert.deepEqual(fs.readdirSync(remote), []);

    // With a key the remote side holds only ciphertext.
    const key = { TAVRIK_KEY_FILE: path.join(root, 'key') };
    tavrik('a', ['key', 'new'], undefined, key);
    const text = Buffer.from('mật khẩu qua ssh '.repeat(50));
    assert.equal(tavrik('a', ['clip', 'push', '--stdin'], text, key).status, 0);
    assert.equal(fs.readFileSync(path.join(remote, 'clip-a')).indexOf(text.subarray(0, 8)), -1);
    assert.ok(tavrik('b', ['clip', 'pull', '--print'], undefined, key).out.equals(text));
  });

  test('an unreachable host, a refused key and a missing directory each end with a reason', () => {
    for (const [where, reason, args] of [
      ['ssh://nowhere/tmp/x', /^Không kết nối được tới nowhere qua SSH: .*Connection refused/, ['clip', 'pull', '--print']],
      [`ssh://badkey${remote}`, /^badkey từ chối khoá SSH của máy này \(.*Permission denied/, ['clip', 'push', '--stdin']],
      ['ssh://tavrikhost/nonexistent/tavrik', /^Không có thư mục kho \/nonexistent\/tavrik trên tavrikhost\.$/, ['clip', 'pull', '--print']],
    ]) {
      const r = tavrik('a', args, 'x', { TAVRIK_STORE: where });
      assert.deepEqual([r.status !== 0, r.out.length], [true, 0], where);
      assert.match(r.last, reason);
    }
  });
});
