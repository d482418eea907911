'use strict';
// Every relative link of the README and docs/ reaches a file, and every
// #anchor a heading of it, named as GitHub names it.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
// Indented blocks are code, whose lines are neither headings nor links.
const outsideCode = (text) => text.replace(/^( {4}|\t).*$/gm, '');
const pages = ['README.md', ...fs.readdirSync(path.join(root, 'docs')).filter((f) => f.endsWith('.md'))
  .map((f) => path.join('docs', f))];

// GitHub's anchors: lower case, punctuation dropped, spaces as hyphens; a
// repeated heading gets -1, -2...
function anchors(text) {
  const seen = new Map();
  const out = new Set();
  for (const [, heading] of outsideCode(text).matchAll(/^#{1,6} +(.+?) *#* *$/gm)) {
    const slug = heading.replace(/`/g, '').toLowerCase().replace(/[^\p{L}\p{N}\- _]/gu, '').replace(/ /g, '-');
    const n = seen.get(slug) ?? 0;
    seen.set(slug, n + 1);
    out.add(n ? `${slug}-${n}` : slug);
  }
  return out;
}

test('links between the pages', () => {
  const broken = [];
  for (const page of pages) {
    const text = fs.readFileSync(path.join(root, page), 'utf8');
    const prose = outsideCode(text).replace(/`[^`\n]*`/g, '');  // nor are code spans
    for (const [, target] of prose.matchAll(/\]\(([^)\s]+)\)/g)) {
      if (/^[a-z]+:/.test(target)) continue;  // a web address: not ours to check
      const [file, anchor] = target.split('#');
      const to = file ? path.join(path.dirname(path.join(root, page)), file) : path.join(root, page);
      if (!fs.existsSync(to)) broken.push(`${page}: ${target} (no such file)`);
      else if (anchor !== undefined && !anchors(fs.readFileSync(to, 'utf8')).has(anchor)) {
        broken.push(`${page}: ${target} (no such heading)`);
      }
    }
  }
  assert.deepEqual(broken, []);
  assert.ok(pages.length > 5, 'the pages were found');
});
