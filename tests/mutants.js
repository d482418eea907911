#!/usr/bin/env node
'use strict';
// Puts each fault of tests/mutations.tsv into the code in turn, builds, runs
// the tests that must catch it, and puts the file back: prints what caught
// each one, or MISSED. A fault that no longer applies (its text is gone) or
// does not build is said so, never counted as caught.
//   node tests/mutants.js [WORD]        only the faults whose name has WORD
//   node tests/mutants.js --all WORD... each fault named runs the whole suite
//                                       (under Wine for the Windows backend's
//                                       files), to show what alone catches it
// Each line of the table: name, file, text, replacement, tests (a CTest
// regex; "windows:" first runs them under Wine through scripts/test windows;
// "package" runs scripts/package --check; "fuzz" the store fuzzer for a
// minute from one seed), and what --all found, if run.
// In the texts, \n stands for a line break and \t for a tab.
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const root = path.join(__dirname, '..');  // the checkout
const unescaped = (s) => s.replace(/\\n/g, '\n').replace(/\\t/g, '\t');
const all = process.argv[2] === '--all';
const words = process.argv.slice(all ? 3 : 2);
const rows = fs.readFileSync(path.join(__dirname, 'mutations.tsv'), 'utf8').split('\n')
  .filter((l) => l && !l.startsWith('#')).map((l) => l.split('\t'))
  .filter(([name]) => !words.length || words.some((w) => name.includes(w)));

// In a session of its own, ended whole afterwards: a run that hung, or a
// fault that leaves processes behind, must not reach the next run. Its bound
// is past CTest's own (600 s at most) and a build, so that a fault which
// makes every wait run out is told by the names CTest gives.
const sidFile = path.join(require('node:os').tmpdir(), `tavrik-mutants-${process.pid}`);
function sh(command, env = {}) {
  const r = spawnSync('setsid', ['--wait', 'bash', '-c', `echo $$ > ${sidFile}; ${command}`], {
    cwd: root, encoding: 'utf8', maxBuffer: 256 << 20, timeout: 900000, killSignal: 'SIGKILL',
    env: { ...process.env, ...env } });
  spawnSync('pkill', ['-KILL', '-s', fs.readFileSync(sidFile, 'utf8').trim()]);
  return r;
}

// What failed in a CTest run: its tests, and the node tests ("not ok") or
// GoogleTest cases inside them.
function failures(output) {
  const tests = new Set();
  const cases = new Set();
  for (const m of output.matchAll(/^\s*\d+ - (\S+) \((Failed|Timeout|SEGFAULT|Subprocess aborted)\)/gm)) tests.add(m[1]);
  for (const m of output.matchAll(/^ {4,}not ok \d+ - (.+)$/gm)) cases.add(`"${m[1].trim()}"`);  // not a suite
  for (const m of output.matchAll(/^\[  FAILED  \] (\S+) \(/gm)) cases.add(m[1]);
  return { tests: [...tests], cases: [...cases] };
}

let missed = 0;
for (const [name, file, from, to, tests] of rows) {
  const target = path.join(root, file);
  const original = fs.readFileSync(target, 'utf8');
  const text = unescaped(from);
  const count = original.split(text).length - 1;
  let said;
  if (count !== 1) {
    said = `NOT APPLIED (the text occurs ${count} times)`;
  } else {
    fs.writeFileSync(target, original.replace(text, () => unescaped(to)));
    try {
      const windows = all ? file.startsWith('platform/windows/') : tests.startsWith('windows:');
      const regex = all ? '.' : tests.replace(/^windows:/, '');
      const run = windows ? sh('scripts/test windows', { TAVRIK_CTEST_ARGS: `-R ${regex}` })
        : tests === 'package' && !all ? sh('cmake --build build -j2 >/dev/null && scripts/package --check')
        : tests === 'fuzz' && !all ? sh('node fuzz/store.js 60 1')
          : sh(`cmake --build build -j2 >/dev/null && ctest --test-dir build --output-on-failure -R '${regex}'`);
      const out = `${run.stdout}${run.stderr}`;
      if (run.status === 0) said = 'MISSED';
      else if (/error:|Error \d+|make.*\*\*\*/.test(out) && !/tests? failed/i.test(out)) said = 'DOES NOT BUILD';
      else if (run.error) said = 'caught (hung past 15 minutes)';
      else {
        // Alone: one test failed, and at most one case inside it.
        const by = failures(out);
        const alone = all && by.tests.length === 1 && by.cases.filter((c) => c !== by.tests[0]).length <= 1;
        said = `caught ${alone ? 'only ' : ''}by ${[...new Set([...by.tests, ...by.cases])].join(', ') || tests}`;
      }
    } finally {
      fs.writeFileSync(target, original);
    }
  }
  if (said === 'MISSED') missed++;
  process.stdout.write(`| ${name} | ${said} |\n`);
}
// The tree as it was.
sh('cmake --build build -j2 >/dev/null');
process.exitCode = missed ? 1 : 0;
