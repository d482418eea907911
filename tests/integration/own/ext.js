'use strict';
// The scenarios only this desktop runs; `d` is its adapter.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { waylandRoute } = require('../../harness/rig.js');

module.exports = (d) => {
  test('ext-data-control-v1 is preferred over the wlr protocol', async () => {
    const agent = await d.start([], {}, { mode: 'both' });
    assert.equal(agent.err.split('\n')[0], waylandRoute('data-control (ext-data-control-v1)'));
  });
};
