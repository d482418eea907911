'use strict';
// The scenarios only this desktop runs; `d` is its adapter.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { waitFor, windowsPath, pulled } = require('../../harness/rig.js');
const { readClipboard } = require('../../../scripts/lib/xsession.js');
const WINE_RUN = require.resolve('../../../scripts/lib/wine-run');

module.exports = (d, { start }) => {
  test('--trigger pull: the text keeps its CR LF for Windows and reaches X with LF', async () => {
    await start();
    d.rig.write('pull-output', 'Kéo về\r\ndòng hai 🇻🇳 ở cuối');
    assert.deepEqual(d.trigger('pull'), [0, '', '']);
    await d.rig.expect(...pulled);
    assert.equal(d.paste().text.toString(), 'Kéo về\r\ndòng hai 🇻🇳 ở cuối');
    await waitFor('the X side to see the pulled text', () => {
      try {
        return readClipboard(d.rig.env).toString() === 'Kéo về\ndòng hai 🇻🇳 ở cuối';
      } catch {
        return false;  // no owner for a moment
      }
    });
  });

  test('a wrong action is refused; tavrik-startup stop ends the agent as a logout does; then none runs', async () => {
    const agent = await start();
    assert.deepEqual(d.trigger('sideways'), [2, '', 'tavrik: --trigger cần push, pull hoặc status\n']);
    const stop = spawnSync(WINE_RUN, [windowsPath(process.env.TAVRIK_STARTUP), 'stop'], { encoding: 'utf8', timeout: 60000 });
    const exited = await Promise.race([agent.exited, new Promise((r) => setTimeout(r, 20000, 'still running'))]);
    assert.deepEqual([stop.status, stop.stderr, exited],
                     [0, 'tavrik-startup: đã dừng tavrik-agent\n', { code: 0, signal: null }]);
    const [status, , said] = d.trigger('push');
    assert.equal(status, 1);
    assert.match(said, new RegExp(`^tavrik: không thấy tavrik-agent nào đang chạy \\(${d.socket}\\)\n$`));
  });
};
