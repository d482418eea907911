'use strict';
// The scenarios every desktop runs, written once. An adapter,
// ../harness/desktops/$TAVRIK_DESKTOP.js, starts its session, owns and reads
// the clipboard with the desktop's own clients, presses or triggers, and
// names the scenarios it runs; what is one desktop's own is in own/.
const { describe, test, before, after, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { STATUS_LINE, COMPANION, SANITIZED, peakMiB, sleep, waitFor, pushed, pulled, stumbled, advice,
        nothingToSend, nothingToFetch } = require('../harness/rig.js');

const d = require(`../harness/desktops/${process.env.TAVRIK_DESKTOP}.js`);
// What an adapter does unless it says otherwise.
d.start ??= (args, env, options) => d.rig.startAgent(args, env, options);
d.trigger ??= (action) => d.rig.run(['--trigger', action]);
d.press ??= (action) => d.trigger(action);
d.close ??= () => d.rig.close();
let rig;

// The agent, and the advice to bind the triggers that an agent with no
// hotkey gives until a trigger has come.
async function start(args = [], env = {}, options = {}) {
  const agent = await d.start(args, env, options);
  const status = STATUS_LINE.exec(agent.err);
  if (status && status[0].split('HỎNG').length === 3 && !fs.existsSync(path.join(rig.root, 'tavrik', 'trigger-used'))) {
    await rig.expect(advice(rig.agentPath));
  }
  return agent;
}
const trigger = (action) => assert.deepEqual(d.trigger(action), [0, '', '']);
async function pushes(text, options) {
  await d.copy(text, options);
  await d.press('push');
  await rig.expect(...pushed);
  assert.ok(rig.read('pushed').equals(Buffer.from(rig.wine ? text.replace(/\n/g, '\r\n') : text)));
}
// `paste`: read back (not when it may be cleared by then).
async function pulls(text, meta, paste = true) {
  rig.write('pull-output', text);
  if (meta !== undefined) rig.write('meta', meta);
  await d.press('pull');
  await rig.expect(...pulled);
  if (!paste) return null;
  const got = await d.paste();
  assert.ok(got.text.equals(Buffer.from(text)));
  return got;
}
const reversed = (text) => [...text].reverse().join('');

const SCENARIOS = {
  texts: ['texts go out and come in byte for byte: Vietnamese, blanks, a few MiB', async () => {
    const agent = await start();
    const line = 'Sóng Âm — tiếng Việt có dấu: ắ ặ ẫ ỹ, e\u0301 tổ hợp 🇻🇳 0123456789\n';
    for (const text of [line, '   ', line.repeat(Math.ceil((d.mib ?? 4) * (1 << 20) / Buffer.byteLength(line)))]) {
      await pushes(text);
      await pulls(reversed(text));
    }
    if (rig.wine) return;
    assert.equal(rig.replaced, 'replaced');  // one bubble, updated
    assert.equal(agent.out, '');
    for (const [action, flag] of [['push', '--stdin'], ['pull', '--print']]) {
      assert.equal(rig.read(`argv-${action}`).toString(), [rig.nodeRecorder, COMPANION, 'clip', action, flag, ''].join('\x1f'));
    }
  }],

  empty: ['no text to push starts no tool; a pull of nothing or a failure leaves the clipboard', async () => {
    await start();
    await d.press('push');  // nobody owns the clipboard
    await d.copy(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0, 1, 2]), { target: 'image/png' });
    await d.press('push');
    await d.copy('');
    await d.press('push');
    await rig.expect(...nothingToSend, ...nothingToSend, ...nothingToSend);
    assert.deepEqual(rig.runs(), []);
    await d.copy('giữ nguyên');
    await d.press('pull');
    await rig.expect(...nothingToFetch);
    rig.write('fail', 'không có mạng');
    rig.write('pull-output', 'không dùng');
    await d.press('pull');
    await rig.expect(...stumbled('không có mạng'));
    assert.equal((await d.paste()).text.toString(), 'giữ nguyên');
  }],

  busy: ['presses during a run are dropped', async () => {
    await start();
    await pulls('x');
    rig.write('hold', '');
    await d.press('pull');
    await waitFor('the run', () => rig.runs().length === 2);
    await d.press('pull');
    await d.press('push');
    await d.handled();
    rig.remove('hold');
    await rig.expect(...pulled);
    await pushes('sau đó');  // the push pressed during the run left nothing behind
    assert.deepEqual(rig.runs(), ['pull', 'pull', 'push']);
  }],

  secret: ['a secret keeps its mark both ways and is cleared after --clear-secrets, but not a text copied since', async () => {
    await start(['--clear-secrets', '0']);
    await pushes('mật khẩu: hunter2', { secret: true });
    const { TAVRIK_SECRET: secret, ...marked } = JSON.parse(rig.read('push-env'));
    await pushes('thường');
    assert.deepEqual([secret, JSON.parse(rig.read('push-env'))], ['1', marked]);  // that one variable, nothing else
    assert.equal((await pulls('bí mật về', 'secret\n')).secret, true);
    assert.equal((await pulls('không bí mật', 'secrets\nkhác\n')).secret, false);  // anything else marks nothing

    await rig.reset();
    await start(['--clear-secrets', '1']);
    await pulls('xoá sau một giây', 'secret\n', false);
    await waitFor('the secret to be cleared', () => d.cleared());
    await pulls('lần nữa', 'secret\n', false);
    const due = Date.now() + 1000;
    await d.copy('chép sau đó');
    await sleep(due - Date.now() + 50);  // timers due before a press run before it
    await d.press('push');
    await rig.expect(...pushed);
    assert.equal(rig.read('pushed').toString(), 'chép sau đó');
  }],

  stall: ['an owner that stalls is told; the press after it is served', async () => {
    for (const [how, reason, bound] of d.stalls) {
      const agent = await start();
      await d.stall(how);
      rig.write('pull-output', 'sau đó');
      await d.press('push');
      await d.press('pull');  // may arrive while the agent waits for the owner
      await rig.expect(...stumbled(reason), ...pulled);
      assert.equal((await d.paste()).text.toString(), 'sau đó');
      if (!SANITIZED && bound) assert.ok(peakMiB(agent.pid) < bound, `peak ${peakMiB(agent.pid)} MiB`);
      await rig.reset();
    }
  }],

  unreachable: ['a clipboard out of reach is told as such, and reached once it may be', async () => {
    const { env, why, recover, options, route } = await d.unreachable();
    const agent = await start([], env, { mayRefuse: true, ...options });
    if (route) assert.equal(/^tavrik: Wayland .*$/m.exec(agent.err)[0], route);
    await d.copy('đã có chữ');
    trigger('push');
    await rig.expect(...stumbled(`Không với tới được clipboard: ${why}.`));
    if (!recover) return;
    await recover();
    trigger('push');
    await rig.expect(...pushed);
    assert.equal(rig.read('pushed').toString(), 'đã có chữ');
    rig.write('pull-output', 'về rồi');
    trigger('pull');
    await rig.expect(...pulled);
    assert.equal((await d.paste()).text.toString(), 'về rồi');
  }],

  silent: ['twenty --trigger clients that say nothing hold up neither presses, pastes nor a real trigger', async () => {
    const env = { XDG_RUNTIME_DIR: rig.root };
    await start([], env);
    const silent = Array.from({ length: 20 }, () => net.connect(path.join(rig.root, 'tavrik-agent.sock')));
    await Promise.all(silent.map((c) => new Promise((r) => c.on('connect', r))));
    await pulls('chữ');  // the reading client gives the agent 5 s
    trigger('push');
    await rig.expect(...pushed);
    silent.forEach((c) => c.destroy());
  }],

  status: ['--trigger status repeats the start-up lines; a second agent exits 1; a trigger given up is not run', async () => {
    const agent = await start();
    const { index, 0: line } = STATUS_LINE.exec(agent.err);
    const told = agent.err.slice(0, index).split('\n').filter((l) => l.startsWith('tavrik: '));
    assert.deepEqual(d.trigger('status'), [0, [...told, line].join('\n'), '']);
    const [status, , said] = rig.run(['--node', rig.local(rig.nodeRecorder), '--cli', rig.companion]);
    assert.equal(status, 1);
    assert.match(said, new RegExp(`^tavrik: tavrik-agent đang chạy rồi \\(pid \\d+, nhận --trigger ở ${d.socket}\\); bản này thoát\n$`));
    if (rig.wine) return;
    await d.copy('không gửi');
    agent.kill('SIGSTOP');
    const late = d.trigger('push');
    agent.kill('SIGCONT');
    assert.deepEqual(late, [1, '', 'tavrik-agent không trả lời lệnh --trigger push\n']);
    await waitFor('the late trigger dropped', () => agent.err.includes(
      'tavrik: bỏ lệnh --trigger push: lệnh đã thôi chờ câu trả lời\n'));
    rig.write('pull-output', 'chỉ lần này');
    trigger('pull');
    await rig.expect(...pulled);
    assert.deepEqual(rig.runs(), ['pull']);
  }],
};

describe(`tavrik-agent: ${d.name}`, { skip: d.skip?.() }, () => {
  before(async () => {
    rig = await d.open();
  });
  afterEach(() => rig.reset());
  after(() => d.close());
  for (const key of d.runs) test(...SCENARIOS[key]);
  const own = path.join(__dirname, 'own', `${process.env.TAVRIK_DESKTOP}.js`);
  if (fs.existsSync(own)) require(own)(d, { start, pulls });
});
