// Bundles the front end into a build's static folder:
//   node frontend/build.mjs <build>/static
// writes <build>/static/app.js (the sign-in flow) with the IDE as a chunk
// in <build>/static/app-chunks/, loaded once signed in;
// <build>/static/editor.js with its lazily loaded chunks in
// <build>/static/editor-chunks/; and <build>/static/terminal.js with xterm's
// style sheet beside it as terminal.css (minified ES modules). The IDE
// loads the editor and the terminal only when it first needs them.
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

// One build per bundle, so that each keeps its chunks in a folder of its
// own and neither waits for the other's code.
async function bundle(name) {
  const chunks = `${name}-chunks`;
  // Chunk names carry a hash, so old ones would pile up from build to build.
  fs.rmSync(path.join(outdir, chunks), { recursive: true, force: true });
  const result = await esbuild.build({
    absWorkingDir: here,
    entryPoints: [`src/${name}.js`],
    outdir,
    entryNames: '[name]',
    chunkNames: `${chunks}/[name]-[hash]`,
    assetNames: `${chunks}/[name]-[hash]`,
    bundle: true,
    splitting: true,
    format: 'esm',
    minify: true,
    target: 'es2020',
    legalComments: 'none',
    logLevel: 'warning',
    metafile: true,
  });
  const outputs = Object.entries(result.metafile.outputs);
  const total = outputs.reduce((sum, [, info]) => sum + info.bytes, 0);
  console.log(`${name} bundle: ${outputs.length} files, ${Math.round(total / 1024)} KB`);
}

await Promise.all([bundle('app'), bundle('editor'), bundle('terminal')]);
