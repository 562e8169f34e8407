// node build.mjs OUTDIR — the page's bundle: OUTDIR/app.js (+ map), a copy of static/, and the
// service worker OUTDIR/sw.js, whose cache name is a hash of that shell so that every change to
// it reaches phones on their next start.
import { build } from 'esbuild';
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, readdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const outdir = process.argv[2];
if (!outdir) {
  console.error('usage: node build.mjs OUTDIR');
  process.exit(2);
}
mkdirSync(outdir, { recursive: true });
const common = {
  bundle: true,
  format: 'esm',
  target: 'es2022',
  minify: true,
  sourcemap: true,
  legalComments: 'none',
  logLevel: 'warning',
};
await build({ ...common, entryPoints: [join(here, 'src/main.ts')], outfile: join(resolve(outdir), 'app.js') });
const statics = readdirSync(join(here, 'static')).sort();
for (const name of statics) copyFileSync(join(here, 'static', name), join(outdir, name));
// The terminal's own style sheet, served as a file: the page's policy allows no inline styles.
const libraryFiles = { 'xterm.css': 'node_modules/@xterm/xterm/css/xterm.css' };
for (const [name, from] of Object.entries(libraryFiles)) copyFileSync(join(here, from), join(outdir, name));

const shell = createHash('sha256');
for (const name of ['app.js', ...statics, ...Object.keys(libraryFiles)]) shell.update(name).update('\0').update(readFileSync(join(outdir, name)));
await build({
  ...common,
  entryPoints: [join(here, 'src/sw.ts')],
  outfile: join(resolve(outdir), 'sw.js'),
  define: { SHELL_VERSION: JSON.stringify(shell.digest('hex').slice(0, 16)) },
});
