// What a phone downloads to edit a Python file: editor.js, the chunks it
// imports, and the Python language chunk with its own imports. Checked
// against a built static folder: QUILLO_STATIC_DIR=<build>/static.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';

const staticDir = process.env.QUILLO_STATIC_DIR;
const LIMIT = 250 * 1024;

// The files a module imports statically (`import{a}from"./x.js"`,
// `import"./x.js"`, `export{a}from"./x.js"`), not `import("./x.js")`.
function staticImports(file) {
  const code = fs.readFileSync(file, 'utf8');
  const found = [];
  for (const match of code.matchAll(/\b(?:import|export)\s*(?:[^"'()]*?\bfrom\s*)?"(\.{1,2}\/[^"]+)"/g)) {
    found.push(path.resolve(path.dirname(file), match[1]));
  }
  return found;
}

function withImports(files) {
  const seen = new Set();
  const queue = [...files];
  while (queue.length) {
    const file = queue.pop();
    if (seen.has(file)) continue;
    seen.add(file);
    queue.push(...staticImports(file));
  }
  return seen;
}

test('the editor with Python support stays under 250 KB gzipped', { skip: !staticDir && 'QUILLO_STATIC_DIR is not set' }, () => {
  const editor = path.join(staticDir, 'editor.js');
  const python = /\bpython:\(\)=>import\("(\.\/[^"]+)"\)/.exec(fs.readFileSync(editor, 'utf8'));
  assert.ok(python, `${editor} has no python: () => import("...") for the Python chunk`);
  const files = withImports([editor, path.resolve(staticDir, python[1])]);
  assert.ok(files.size > 2, `found only ${[...files].join(', ')}: the chunks were not followed`);
  const sizes = [...files].map((file) => [path.relative(staticDir, file), zlib.gzipSync(fs.readFileSync(file)).length]);
  const total = sizes.reduce((sum, [, size]) => sum + size, 0);
  console.log(`the editor for a .py file: ${files.size} files, ${Math.round(total / 1024)} KB gzipped`);
  assert.ok(total < LIMIT, `${Math.round(total / 1024)} KB gzipped: ${sizes.map(([name, size]) => `${name} ${size}`).join(', ')}`);
});
