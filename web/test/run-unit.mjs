// Runs the unit tests: each test/unit/*.test.ts compiled by esbuild into a temporary folder,
// then node's test runner over them. Exits with the runner's status.
import { build } from 'esbuild';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const unit = join(here, 'unit');
const out = mkdtempSync(join(tmpdir(), 'lumora-web-unit-'));
try {
  const tests = readdirSync(unit).filter((name) => name.endsWith('.test.ts'));
  await build({
    entryPoints: tests.map((name) => join(unit, name)),
    outdir: out,
    outExtension: { '.js': '.mjs' },
    bundle: true,
    format: 'esm',
    platform: 'node',
    target: 'node20',
    sourcemap: 'inline',
    logLevel: 'warning',
  });
  const files = readdirSync(out).filter((name) => name.endsWith('.mjs')).map((name) => join(out, name));
  const env = { ...process.env, LUMORA_SOURCE_DIR: resolve(here, '../..') };
  const run = spawnSync(process.execPath, ['--test', ...files], { stdio: 'inherit', env });
  process.exitCode = run.status ?? 1;
} finally {
  rmSync(out, { recursive: true, force: true });
}
