// Bundles the editor into a build's static folder:
//   node frontend/build.mjs <build>/static
// writes <build>/static/editor.js and its lazily loaded chunks in
// <build>/static/editor-chunks/ (minified ES modules).
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const outdir = process.argv[2];
if (!outdir) {
  console.error('usage: node frontend/build.mjs <static output folder>');
  process.exit(2);
}

let esbuild;
try {
  esbuild = await import('esbuild');
} catch (_) {
  console.error(`esbuild is not installed in ${here}/node_modules: run scripts/install-deps`);
  process.exit(1);
}

// Chunk names carry a hash, so old ones would pile up from build to build.
fs.rmSync(path.join(outdir, 'editor-chunks'), { recursive: true, force: true });
const result = await esbuild.build({
  absWorkingDir: here,
  entryPoints: ['src/editor.js'],
  outdir,
  entryNames: '[name]',
  chunkNames: 'editor-chunks/[name]-[hash]',
  bundle: true,
  splitting: true,
  format: 'esm',
  minify: true,
  target: 'es2020',
  legalComments: 'none',
  logLevel: 'warning',
  metafile: true,
});
let total = 0;
for (const [file, info] of Object.entries(result.metafile.outputs)) total += info.bytes;
console.log(`editor bundle: ${Object.keys(result.metafile.outputs).length} files, ${Math.round(total / 1024)} KB`);
