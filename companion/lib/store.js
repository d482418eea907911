'use strict';
// Where the texts are kept: a folder, or a folder on another machine reached
// over SSH. Each machine writes its own file; every operation ends the run
// with a reason when it fails.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
// Loaded only for an SSH store: a local one never starts a process.
const spawnSync = (...a) => require('node:child_process').spawnSync(...a);
const { fail, warn } = require('./report.js');

// The store's record that its texts are sealed, and with which key.
const KEY_ID = 'key-id';

// One file per machine; a name is made safe for any file system and shell.
const PREFIX = 'clip-';
const fileOf = (machine) => PREFIX + encodeURIComponent(machine).replace(/[.!'()*~]/g,
  (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
// The machine a name of `prefix` was written for, or undefined for a name no
// machine writes: of other characters than fileOf's, undecodable, or
// (unless `anySpelling`) another spelling of a machine's name.
function decoded(file, prefix, anySpelling = false) {
  if (!file.startsWith(prefix) || !/^[A-Za-z0-9%_-]*$/.test(file.slice(prefix.length))) return undefined;
  try {
    const machine = decodeURIComponent(file.slice(prefix.length));
    return anySpelling || prefix + fileOf(machine).slice(PREFIX.length) === file ? machine : undefined;
  } catch {
    return undefined;
  }
}
const machineOf = (file) => decoded(file, PREFIX);
const spelledAs = (file) => decoded(file, PREFIX, true);
// Each machine that was set up names itself too, before it pushes.
const MEMBER = 'machine-';
// The files of a machine with an id.
const BY_ID = { text: 'text.', member: 'member.' };
const memberOf = (machine) => MEMBER + fileOf(machine).slice(PREFIX.length);
const isMember = (file) => file.startsWith(MEMBER) || file.startsWith(BY_ID.member);
// The machine a file of the store belongs to, or undefined.
const ownerOf = (file) => decoded(file, PREFIX) ?? decoded(file, MEMBER);

// A machine set up with an id has its files under it: two machines of one
// name never share a file. One set up before ids, or by variables alone,
// keeps the files of its name. `writer` is what its texts are sealed as.
const ID = /^[0-9a-f]{16}$/;
const newId = () => crypto.randomBytes(8).toString('hex');
const placeOf = ({ id, name }) => (id ? { text: BY_ID.text + id, member: BY_ID.member + id, writer: id }
  : { text: fileOf(name), member: memberOf(name), writer: name });
// The id in a file name of `kind` ('text' or 'member'), or undefined.
const idIn = (file, kind) => (file.startsWith(BY_ID[kind]) && ID.test(file.slice(BY_ID[kind].length))
  ? file.slice(BY_ID[kind].length) : undefined);
// Who wrote a text file: { writer }, { misspelt } for another spelling of a
// name, or undefined for a file no machine writes as a text.
function writerOf(file) {
  if (file.startsWith(BY_ID.text)) return idIn(file, 'text') && { writer: idIn(file, 'text') };
  const machine = machineOf(file);
  if (machine !== undefined) return { writer: machine };
  const misspelt = spelledAs(file);
  return misspelt === undefined ? undefined : { misspelt };
}
const isText = (file) => file.startsWith(PREFIX) || file.startsWith(BY_ID.text);
// The name each writer shows, from the member files among `files`: a
// machine with an id wrote its name there; one without shows its name.
function shownNames(files) {
  const names = new Map();
  for (const { name, bytes } of files.filter((f) => idIn(f.name, 'member'))) {
    try {
      const { name: shown } = JSON.parse(bytes.toString());
      if (typeof shown === 'string' && shown) names.set(idIn(name, 'member'), shown.replace(/[\p{C}]/gu, '').slice(0, 64));
    } catch {
      // unreadable: the id stands for it
    }
  }
  return (writer) => names.get(writer) ?? writer;
}

// The user's ssh configuration, or the one TAVRIK_SSH_CONFIG names.
const sshConfig = () => (process.env.TAVRIK_SSH_CONFIG ? ['-F', process.env.TAVRIK_SSH_CONFIG] : []);

// Why ssh could not connect to `host`, from its standard error.
function sshRefusal(host, err) {
  const said = err.replace(/\r/g, '').split('\n').filter((l) => l.trim()).pop() || 'không rõ lỗi';
  if (/Permission denied/.test(said)) return `${host} từ chối khoá SSH của máy này (${said}).`;
  return `Không kết nối được tới ${host} qua SSH: ${said}`;
}

// ---- a store in a directory -----------------------------------------------

// A folder others can write is refused: they could plant links and files
// there. One they can only read is warned about. On NTFS the mode bits say
// only whether a file is read-only: who may read or write is the ACL's to
// say, which the profile gives the user, SYSTEM and the administrators.
const writableByOthers = (where, fix) =>
  `Người dùng khác ghi được vào thư mục kho ${where}: không dùng kho này. Hãy chạy: ${fix}`;
function checkOpen(dir) {
  const { mode } = fs.statSync(dir);
  if (process.platform === 'win32') return;
  if (mode & 0o022) fail(writableByOthers(dir, `chmod 700 ${dir}`));
  if (mode & 0o077) warn(`Cảnh báo: người dùng khác đọc được thư mục kho ${dir}; hãy chạy: chmod 700 ${dir}`);
}
// Created anew, never through a link someone planted.
const EXCLUSIVE = fs.constants.O_WRONLY | fs.constants.O_CREAT | fs.constants.O_EXCL | (fs.constants.O_NOFOLLOW ?? 0);
const tempName = (name) => `.${name}.${crypto.randomBytes(8).toString('hex')}.tmp`;

// Setup makes the store; nothing else does: a store folder that is gone (a
// sync folder not mounted, or moved) is told, never taken for an empty one.
// A folder within it (`inner`) is made when needed, and empty while missing.
const missing = (dir) => `Không thấy kho ${dir} — thư mục đồng bộ chưa gắn hoặc đã dời?`;
const localStore = (dir, inner = false) => ({
  describe: () => dir,
  within: (sub) => localStore(path.join(dir, sub), true),
  put(name, bytes) {
    const target = path.join(dir, name);
    const temp = path.join(dir, tempName(name));
    let made = false;
    const exists = fs.existsSync(dir);
    if (!inner && !exists) fail(missing(dir));
    try {
      if (!exists) {
        fs.mkdirSync(dir, { mode: 0o700 });
        fs.chmodSync(dir, 0o700);
      }
      checkOpen(dir);
      // Written aside, private from birth, then renamed: a pull sees the old
      // text or the new one.
      const fd = fs.openSync(temp, EXCLUSIVE, 0o600);
      made = true;
      try {
        fs.fchmodSync(fd, 0o600);
        fs.writeSync(fd, bytes);
      } finally {
        fs.closeSync(fd);
      }
      fs.renameSync(temp, target);
    } catch (e) {
      if (made) try { fs.rmSync(temp, { force: true }); } catch { /* nothing to clean */ }
      fail(`Không ghi được vào kho ${dir}: ${e.message}`);
    }
  },
  // The texts of the other machines (all but the files `mine`) and the
  // member files, [{ name, bytes, mtime }], and the id of the key the
  // store's texts are sealed with (null for none).
  texts(mine) {
    let names;
    try {
      checkOpen(dir);
      names = fs.readdirSync(dir);
    } catch (e) {
      fail(e.code === 'ENOENT' ? missing(dir) : `Không đọc được kho ${dir}: ${e.message}`);
    }
    const files = [];
    for (const name of names.filter((n) => (isText(n) || n.startsWith(BY_ID.member)) && !mine.includes(n))) {
      try {
        files.push({ name, bytes: fs.readFileSync(path.join(dir, name)), mtime: fs.statSync(path.join(dir, name)).mtimeMs });
      } catch (e) {
        if (e.code !== 'ENOENT') fail(`Không đọc được kho ${dir}: ${e.message}`);  // else removed meanwhile
      }
    }
    return { keyId: this.get(KEY_ID)?.toString().trim() || null, files };
  },
  remove(name) {
    try {
      fs.rmSync(path.join(dir, name), { force: true });
    } catch (e) {
      fail(`Không xoá được chữ trong kho ${dir}: ${e.message}`);
    }
  },
  get(name) {
    try {
      return fs.readFileSync(path.join(dir, name));
    } catch (e) {
      if (!inner && !fs.existsSync(dir)) fail(missing(dir));
      if (e.code === 'ENOENT' || e.code === 'ENOTDIR') return null;
      fail(`Không đọc được kho ${dir}: ${e.message}`);
    }
  },
  names() {
    try {
      checkOpen(dir);
      return fs.readdirSync(dir).filter((n) => !n.startsWith('.'));
    } catch (e) {
      if (e.code === 'ENOENT' && inner) return [];
      fail(e.code === 'ENOENT' ? missing(dir) : `Không đọc được kho ${dir}: ${e.message}`);
    }
  },
  // Removes the folder if it is empty.
  drop() {
    try {
      fs.rmdirSync(dir);
    } catch {
      // not empty, or gone already
    }
  },
  make() {
    try {
      if (!fs.existsSync(dir)) fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
      fs.chmodSync(dir, 0o700);
    } catch (e) {
      fail(`Không tạo được thư mục kho ${dir}: ${e.message}`);
    }
  },
});

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
  const g = spawnSync('ssh', [...config, '-G', ...destination], { stdio: ['ignore', 'pipe', 'ignore'] });
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
const REMOTE_DIR = `${HOME_DIR}[ -d "$d" ] || { echo "TAVRIK_NO_DIR" >&2; exit 3; }; ` +
  'case $(ls -ld "$d" | cut -c5-10) in ?w????|????w?) echo "TAVRIK_WRITABLE" >&2; exit 5;; ' +
  '*r*) echo "TAVRIK_OPEN" >&2;; esac; ';

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
                        { input, maxBuffer: 512 << 20, stdio: ['pipe', 'pipe', 'pipe'] });
    if (r.error) fail(`Không chạy được ssh: ${r.error.message}`);
    const err = r.stderr.toString().replace(/\r/g, '');
    if (err.includes('TAVRIK_OPEN')) {
      warn(`Cảnh báo: người dùng khác đọc được thư mục kho ${remotePath} trên ${host}; hãy chạy chmod 700 ở đó.`);
    }
    if (r.status === 0) return r.stdout;
    if (err.includes('TAVRIK_NO_DIR') && inner && empty !== undefined) return empty;
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
    texts(mine) {
      // Each file copied aside first, so that its length and bytes agree:
      // "NAME LENGTH" on a line, then the bytes; key-id among them.
      const out = ssh(`${REMOTE_DIR}cd "$d" || exit 4; t=$(mktemp) || exit 4; trap 'rm -f "$t"' EXIT; ` +
                      `for f in ${KEY_ID} clip-* text.* member.*; do case $f in "$2"|"$3"|*[!A-Za-z0-9%_.-]*) continue;; esac; ` +
                      '[ -f "$f" ] && cat -- "$f" > "$t" 2>/dev/null || continue; ' +
                      `printf '%s %s\\n' "$f" $(wc -c < "$t"); cat -- "$t"; done`, [mine[0], mine[1] ?? mine[0]]);
      const files = [];
      let keyId = null;
      for (let at = 0; at < out.length;) {
        const end = out.indexOf(0x0a, at);
        const [name, length] = out.subarray(at, end < 0 ? at : end).toString().split(' ').map((w, i) => (i ? Number(w) : w));
        if (end < 0 || !Number.isSafeInteger(length) || end + 1 + length > out.length) {
          fail(`Kho trên ${host} trả lời không đọc được (tệp ${name}).`);
        }
        const bytes = out.subarray(end + 1, end + 1 + length);
        at = end + 1 + length;
        if (name === KEY_ID) keyId = bytes.toString().trim() || null;
        else files.push({ name, bytes, mtime: undefined });
      }
      return { keyId, files };
    },
    remove(name) {
      ssh(`${REMOTE_DIR}rm -f -- "$d/$2"`, [name], undefined, NONE);
    },
    get(name) {
      // Opened before the mark is printed: one removed meanwhile is none.
      const out = ssh(`${REMOTE_DIR}[ -f "$d/$2" ] && { command exec 3< "$d/$2"; } 2>/dev/null || exit 0; ` +
                      'printf y; exec cat <&3', [name], undefined, NONE);
      return out.length === 0 ? null : out.subarray(1);
    },
    names() {
      const listed = ssh(`${REMOTE_DIR}cd "$d" 2>/dev/null || { echo TAVRIK_NO_DIR >&2; exit 3; }; ls`, [], undefined, NONE);
      return listed.toString().split('\n').filter(Boolean);
    },
    drop() {
      ssh(`${HOME_DIR}rmdir -- "$d" 2>/dev/null; exit 0`, []);
    },
    make() {
      ssh(`${HOME_DIR}umask 077; mkdir -p -- "$d" && chmod 700 -- "$d"`, []);
    },
  };
}

// The store at `where` (a folder, or ssh://HOST/PATH); `from` names it in
// a refusal.
// Write, read back and remove a probe: the store works, or the run ends
// with why.
function roundTrip(store) {
  const probe = `probe-${crypto.randomBytes(8).toString('hex')}`;
  const bytes = crypto.randomBytes(64);
  store.put(probe, bytes);
  const back = store.get(probe);
  store.remove(probe);
  if (!back || !back.equals(bytes)) fail(`Kho ${store.describe()} không trả lại đúng dữ liệu thử.`);
}

const isSsh = (where) => sshAddress(where) !== undefined;
// The store as the other machine is to give it to tavrik setup: an SSH
// address as typed here; a folder is the other machine's own copy of it.
const asTheOtherTypesIt = (where) => (isSsh(where) ? where : 'THƯ-MỤC (thư mục đồng bộ với kho này, trên máy kia)');
const storeAt = (where, from) => (isSsh(where) ? sshStore(where, from) : localStore(where));


module.exports = { KEY_ID, newId, placeOf, idIn, writerOf, isText, shownNames, fileOf, machineOf, spelledAs, memberOf, isMember, ownerOf, sshConfig, sshRefusal, sshAddress,
                   isSsh, asTheOtherTypesIt, roundTrip, storeAt };
