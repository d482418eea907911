'use strict';
// How a run ends badly or warns: lines on standard error, the last of which
// the agent shows to the user. No carriage return from another program
// reaches it.

function fail(reason, status = 1) {
  process.stderr.write(`${String(reason).replace(/\r/g, '')}\n`);
  process.exit(status);
}

function warn(line) {
  process.stderr.write(`${String(line).replace(/\r/g, '')}\n`);
}

module.exports = { fail, warn };
