// node build.mjs OUTDIR — the page's bundle: OUTDIR/app.js (+ map) and a copy of static/.
import { build } from 'esbuild';
import { copyFileSync, mkdirSync, readdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const outdir = process.argv[2];
if (!outdir) {
  console.error('usage: node build.mjs OUTDIR');
  process.exit(2);
}
mkdirSync(outdir, { recursive: true });
await build({
  entryPoints: [join(here, 'src/main.ts')],
  outfile: join(resolve(outdir), 'app.js'),
  bundle: true,
  format: 'esm',
  target: 'es2022',
  minify: true,
  sourcemap: true,
  legalComments: 'none',
  logLevel: 'warning',
});
for (const name of readdirSync(join(here, 'static'))) copyFileSync(join(here, 'static', name), join(outdir, name));
