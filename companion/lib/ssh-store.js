'use strict';
// A store in a folder of another machine, reached over SSH (store.js says
// what a store does). The remote side reads as a local store does: no
// link, nothing but a regular file, at most the limit of its kind.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { fail, warn } = require('./report.js');
const { KEY_ID, isListed, isText, limitOf, SMALL_LIMIT } = require('./names.js');
const { STORED_LIMIT } = require('./form.js');
const { recorded, notRegular, tooLarge, linked, writableByOthers, tempName } = require('./local-store.js');
const spawnSync = (...a) => require('node:child_process').spawnSync(...a);

// The user's ssh configuration, or the one TAVRIK_SSH_CONFIG names.
const sshConfig = () => (process.env.TAVRIK_SSH_CONFIG ? ['-F', process.env.TAVRIK_SSH_CONFIG] : []);

// Why ssh could not connect to `host`, from its standard error.
function sshRefusal(host, err) {
  const said = err.replace(/\r/g, '').split('\n').filter((l) => l.trim()).pop() || 'không rõ lỗi';
  if (/Permission denied/.test(said)) return `${host} từ chối khoá SSH của máy này (${said}).`;
  // scp's HOST:PATH cannot carry a port: the form that can, where the
  // default one was refused.
  const port = /port 22\b/.test(said) ? ` Nếu máy ấy nghe SSH ở cổng khác, viết kho dạng ssh://${host}:CỔNG/ĐƯỜNG/DẪN.` : '';
  return `Không kết nối được tới ${host} qua SSH: ${said}${port}`;
}

// ---- a store over SSH ------------------------------------------------------

// One ssh run per operation. The remote side needs only a POSIX shell: the
// script and every value travel as single-quoted words, so no name, path or
// text can run anything on either side.
const quote = (s) => `'${String(s).replace(/'/g, "'\\''")}'`;

// Shared start of every remote script: $d is the store, ~/ taken from $HOME.
// One connection for a run of presses: OpenSSH's own multiplexing, the
// connection kept a few minutes after the last use, unless the user's ssh
// configuration already says how to share connections (or Windows, whose
// OpenSSH cannot).
function sharedConnection(config, destination) {
  if (process.platform === 'win32') return [];
  const g = spawnSync('ssh', [...config, '-G', ...destination], { stdio: ['ignore', 'pipe', 'ignore'], timeout: 10000 });
  const chosen = g.stdout ? g.stdout.toString() : '';
  if (g.status !== 0 || !/^controlmaster false$/m.test(chosen) || !/^controlpersist no$/m.test(chosen) ||
      /^controlpath /m.test(chosen)) {
    return [];
  }
  const dir = controlDir();
  if (!dir) return [];
  // One connection per configuration and host name as given, not only per
  // address and user (%C): two names may mean two keys.
  const name = crypto.createHash('sha256').update([...config, ...destination].join('\0')).digest('hex').slice(0, 8);
  // The first -o wins: these come before the general ones. Silence on an
  // idle shared link is noticed in about eight seconds.
  return ['-o', 'ControlMaster=auto', '-o', `ControlPath=${dir}/${name}-%C`, '-o', 'ControlPersist=300',
          '-o', 'ServerAliveInterval=2', '-o', 'ServerAliveCountMax=3'];
}

// A directory only this user can enter, short enough that its sockets (49
// characters, and 17 more while ssh creates one) stay within the 104 bytes
// macOS allows a socket path.
function controlDir() {
  const uid = process.getuid();
  const candidates = [process.env.XDG_RUNTIME_DIR && path.join(process.env.XDG_RUNTIME_DIR, 'tavrik-ssh'),
                      path.join('/tmp', `tavrik-ssh-${uid}`)];
  for (const dir of candidates.filter((d) => d && d.length + 67 <= 103)) {
    try {
      fs.mkdirSync(dir, { mode: 0o700 });
    } catch (e) {
      if (e.code !== 'EEXIST') continue;
    }
    try {
      const st = fs.lstatSync(dir);
      if (st.isDirectory() && st.uid === uid && (st.mode & 0o077) === 0) return dir;
    } catch {
      // gone again: try the next
    }
  }
  warn('Cảnh báo: không có thư mục riêng cho kết nối SSH dùng chung; mỗi lần bấm sẽ kết nối lại.');
  return null;
}

const HOME_DIR = 'd=$1; case $d in "~/"*) d="$HOME/${d#"~/"}";; "~") d=$HOME;; esac; ';
const REMOTE_DIR = `${HOME_DIR}[ -h "$d" ] && { echo "TAVRIK_LINK" >&2; exit 6; }; ` +
  '[ -d "$d" ] || { echo "TAVRIK_NO_DIR" >&2; exit 3; }; ' +
  'case $(ls -ld "$d" | cut -c5-10) in ?w????|????w?) echo "TAVRIK_WRITABLE" >&2; exit 5;; ' +
  '*r*) echo "TAVRIK_OPEN" >&2;; esac; ';
// The remote half of the one way in to a file ($f, at most $n bytes): a
// link or anything but a regular file says "odd"; one past the limit says
// "big" (its first $n + 1 bytes copied aside, no more); else its length,
// then its bytes. Copied aside first, so that its length and bytes agree.
const READ_ONE = 'if [ -h "$f" ] || ! [ -f "$f" ]; then printf \'%s odd\\n\' "$f"; ' +
  'elif head -c $((n + 1)) -- "$f" > "$t" 2>/dev/null </dev/null; then s=$(($(wc -c < "$t"))); ' +
  'if [ "$s" -gt "$n" ]; then printf \'%s big\\n\' "$f"; else printf \'%s %s\\n\' "$f" "$s"; cat -- "$t"; fi; fi; ';
const TEMP = 't=$(mktemp) || exit 4; trap \'rm -f "$t"\' EXIT; ';
// An ssh run that takes longer, a host that stopped answering above all,
// is ended: within the agent's own bound for a press (TAVRIK_SSH_WAIT).
const deadline = () => Number(process.env.TAVRIK_SSH_WAIT) || 90;

// An SSH store as people write it: ssh://[USER@]HOST[:PORT]/PATH (PATH
// absolute, or ~/... under the remote home), or scp's [USER@]HOST:PATH (a
// relative PATH under the remote home); an IPv6 HOST in brackets. Its parts:
// { host (as written), target (for ssh), port, path }; { bad } for an
// ssh:// address without them; undefined for a local path (a Windows drive
// letter is no host).
function sshAddress(where) {
  const url = /^ssh:\/\/(?:([^@/]+)@)?(\[[^\]/]+\]|[^:/[\]]+)(?::(\d+))?(\/.*)?$/.exec(where);
  const scp = !url && /^(?:([^@/:]+)@([^:/@[\]]+|\[[^\]/]+\])|(\[[^\]/]+\]|[^:/@[\]]{2,})):(?!\/\/)(.*)$/.exec(where);
  if (!url && !scp) return where.startsWith('ssh://') ? { bad: true } : undefined;
  const [user, host, port] = url ? [url[1], url[2], url[3]] : [scp[1], scp[2] || scp[3], undefined];
  const remote = url ? (url[4] || '').replace(/^\/~/, '~') : scp[4].replace(/^(?![/~])(?=.)/, '~/');
  if (!remote || remote === '/') return { bad: true };
  const bare = host.replace(/^\[(.*)\]$/, '$1');
  return { host, target: user ? `${user}@${bare}` : bare, port: port ? ['-p', port] : [], path: remote };
}

function sshStore(url, from, inner = false) {
  const address = sshAddress(url);
  if (address.bad) {
    fail(`${from} không hợp lệ: ${url} (cần ssh://[NGƯỜI@]MÁY[:CỔNG]/ĐƯỜNG/DẪN, ssh://MÁY/~/ĐƯỜNG/DẪN ` +
         'hoặc [NGƯỜI@]MÁY:ĐƯỜNG/DẪN).');
  }
  const { host, target, port, path: remotePath } = address;

  const config = sshConfig();
  // Connects within ten seconds; through a shared connection (below), a
  // link that went silent ends that connection within about as long.
  const options = [...config, ...port, ...sharedConnection(config, [...port, '--', target]), '-o', 'BatchMode=yes',
                   '-o', 'ConnectTimeout=10', '-o', 'ServerAliveInterval=10', '-o', 'ServerAliveCountMax=3'];

  const NONE = Buffer.alloc(0);
  // In a folder within the store (pairing), one the other side removed
  // meanwhile is empty for a read or a removal: `empty` is then returned.
  function ssh(script, args, input, empty) {
    const command = ['sh', '-c', script, 'tavrik', remotePath, ...args].map(quote).join(' ');
    // ssh ends some of its lines with a carriage return: never shown.
    const r = spawnSync('ssh', [...options, '--', target, command],
                        { input, maxBuffer: 4 * STORED_LIMIT, stdio: ['pipe', 'pipe', 'pipe'],
                          timeout: deadline() * 1000, killSignal: 'SIGKILL' });
    if (r.error?.code === 'ETIMEDOUT') fail(`Kho trên ${host} không trả lời trong ${deadline()} giây.`);
    if (r.error) fail(`Không chạy được ssh: ${r.error.message}`);
    const err = r.stderr.toString().replace(/\r/g, '');
    if (err.includes('TAVRIK_OPEN')) {
      warn(`Cảnh báo: người dùng khác đọc được thư mục kho ${remotePath} trên ${host}; hãy chạy chmod 700 ở đó.`);
    }
    if (r.status === 0) return r.stdout;
    if (err.includes('TAVRIK_NO_DIR') && inner && empty !== undefined) return empty;
    if (err.includes('TAVRIK_LINK')) fail(linked(`${remotePath} trên ${host}`));
    if (err.includes('TAVRIK_NO_DIR')) fail(`Không có thư mục kho ${remotePath} trên ${host}.`);
    if (err.includes('TAVRIK_WRITABLE')) fail(writableByOthers(`${remotePath} trên ${host}`, 'chmod 700 ở đó'));
    if (r.status === 255) fail(sshRefusal(host, err));
    fail(`Kho trên ${host} lỗi: ${err.split('\n').filter((l) => l.trim()).pop() || `mã ${r.status}`}`);
  }

  return {
    describe: () => url,
    within: (sub) => sshStore(`${url}/${sub}`, from, true),
    put(name, bytes) {
      // noclobber: the temporary file is made anew, never through a link.
      ssh(`${REMOTE_DIR}umask 077; set -C; t="$d/$3"; ` +
          'if cat > "$t" && mv -f "$t" "$d/$2"; then exit 0; fi; rm -f "$t"; exit 4', [name, tempName(name)], bytes);
    },
    texts(mine, membersOnly = false) {
      // "NAME LENGTH" on a line, then the bytes; or "NAME odd" or "NAME big".
      const out = ssh(`${REMOTE_DIR}cd "$d" || exit 4; ${TEMP}` +
                      `for f in ${KEY_ID} ${membersOnly ? '' : 'clip-* text.* '}member.*; do case " $2 " in *" $f "*) continue;; esac; ` +
                      'case $f in *[!A-Za-z0-9%_.-]*) continue;; esac; [ -e "$f" ] || [ -h "$f" ] || continue; ' +
                      `case $f in ${KEY_ID}|member.*) n=${SMALL_LIMIT};; *) n=${STORED_LIMIT};; esac; ${READ_ONE}done`,
                      [mine.join(' ')]);
      const files = [];
      let keyId = null;
      const where = `${remotePath} trên ${host}`;
      for (let at = 0; at < out.length;) {
        const end = out.indexOf(0x0a, at);
        const [name, said] = out.subarray(at, end < 0 ? at : end).toString().split(' ');
        const length = Number(said);
        const sent = Number.isSafeInteger(length);
        if (end < 0 || (!sent && said !== 'odd' && said !== 'big') || (sent && end + 1 + length > out.length)) {
          fail(`Kho trên ${host} trả lời không đọc được (tệp ${name}).`);
        }
        const bytes = sent ? out.subarray(end + 1, end + 1 + length) : null;
        at = end + 1 + (sent ? length : 0);
        const refused = !sent ? (said === 'odd' ? notRegular : tooLarge)(name, where, limitOf(name)) : undefined;
        if (name === KEY_ID) {
          if (refused) fail(refused);
          keyId = recorded(bytes, where);
        } else if (isListed(name) && !mine.includes(name) && (!membersOnly || !isText(name))) {
          files.push(refused ? { name, refused } : { name, bytes, mtime: undefined });
        }
      }
      return { keyId, files };
    },
    keyId() {
      return recorded(this.get(KEY_ID), `${remotePath} trên ${host}`);
    },
    remove(name) {
      ssh(`${REMOTE_DIR}rm -f -- "$d/$2"`, [name], undefined, NONE);
    },
    get(name) {
      // Opened before the mark is printed: one removed meanwhile is none.
      const limit = limitOf(name);
      const out = ssh(`${REMOTE_DIR}f="$d/$2"; [ -e "$f" ] || [ -h "$f" ] || exit 0; ` +
                      'if [ -h "$f" ] || ! [ -f "$f" ]; then printf o; exit 0; fi; ' +
                      '{ command exec 3< "$f"; } 2>/dev/null || exit 0; printf y; exec head -c $(($3 + 1)) <&3',
                      [name, limit], undefined, NONE);
      const where = `${remotePath} trên ${host}`;
      if (out.length === 0) return null;
      if (out[0] !== 0x79) fail(notRegular(name, where));
      if (out.length - 1 > limit) fail(tooLarge(name, where, limit));
      return out.subarray(1);
    },
    names() {
      const listed = ssh(`${REMOTE_DIR}cd "$d" 2>/dev/null || { echo TAVRIK_NO_DIR >&2; exit 3; }; ls`, [], undefined, NONE);
      return listed.toString().split('\n').filter(Boolean);
    },
    drop() {
      ssh(`${HOME_DIR}rmdir -- "$d" 2>/dev/null; exit 0`, []);
    },
    make() {
      ssh(`${HOME_DIR}umask 077; mkdir -p -- "$d" || exit 4; [ -h "$d" ] && { echo "TAVRIK_LINK" >&2; exit 6; }; ` +
          'chmod 700 -- "$d"', []);
    },
  };
}

module.exports = { sshConfig, sshRefusal, sshAddress, sshStore };
