// A phone for the browser end-to-end tests and the benchmark: Debian's Chromium, headless, in a
// Pixel 7 context (touch, mobile viewport), driven by one JSON command a line on standard input,
// each answered by one JSON line on standard output: {"ok":true,"value":…} or
// {"ok":false,"error":"…"}. A command that fails is answered, never fatal, so that a test sees
// why and goes on to take its screenshots. What the page logs goes to standard error.
//
//   node phone.mjs [--camera FILE.y4m|FILE.mjpeg]
//
// With --camera, getUserMedia gets Chromium's fake camera playing FILE, already permitted.

import { createInterface } from 'node:readline';
import { chromium, devices } from 'playwright-core';

const cameraAt = process.argv.indexOf('--camera');
const camera = cameraAt > 0 ? process.argv[cameraAt + 1] : undefined;

const started = Date.now();
function note(line) {
  process.stderr.write(`[phone +${((Date.now() - started) / 1000).toFixed(3)}s] ${line}\n`);
}

const args = ['--no-sandbox', '--disable-dev-shm-usage'];
if (camera) {
  args.push('--use-fake-device-for-media-stream', `--use-file-for-fake-video-capture=${camera}`,
            '--use-fake-ui-for-media-stream');
}
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args });
// English whatever the machine's settings, so that tests may read the page's words.
const context = await browser.newContext({
  ...devices['Pixel 7'],
  locale: 'en-US',
  permissions: camera ? ['camera'] : [],
});
const page = await context.newPage();
page.on('console', (message) => note(`console.${message.type()}: ${message.text()}`));
page.on('pageerror', (error) => note(`page error: ${error.stack ?? error}`));
// Several fingers at once need the protocol's own touch events.
const cdp = await context.newCDPSession(page);

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The page's policy forbids evaluating strings in it (waitForFunction does): the expression is
// evaluated from outside, as eval does, until it is truthy. One that throws counts as false.
async function poll(expr, timeout) {
  const deadline = Date.now() + timeout;
  let why = 'it stayed false';
  for (;;) {
    try {
      const value = await page.evaluate(expr);
      if (value) return value;
    } catch (error) {
      why = String(error.message ?? error).split('\n')[0];
    }
    if (Date.now() >= deadline) throw new Error(`${expr}: not within ${timeout} ms (${why})`);
    await pause(50);
  }
}

// Every finger follows its own path of the same number of points: the first touches down, the
// last lifts.
async function drag({ paths, stepMs = 16 }) {
  const touchesAt = (step) => paths.map((path, id) => ({ x: path[step][0], y: path[step][1], id }));
  await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: touchesAt(0) });
  for (let step = 1; step < paths[0].length; ++step) {
    await pause(stepMs);
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchMove', touchPoints: touchesAt(step) });
  }
  await pause(stepMs);
  await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
}

// Where the remote picture lies on the page, in CSS pixels: fitted whole into the screen canvas
// and centred, as the page shows it before any zoom or pan. Null before the first picture.
function pictureRect(selector) {
  const canvas = document.querySelector(selector);
  const size = window.lumora?.stats?.lastDecoded;
  if (!(canvas instanceof HTMLCanvasElement) || !size) return null;
  const box = canvas.getBoundingClientRect();
  const scale = Math.min(box.width / size.width, box.height / size.height);
  const width = size.width * scale;
  const height = size.height * scale;
  return {
    left: box.left + (box.width - width) / 2, top: box.top + (box.height - height) / 2,
    width, height, pictureWidth: size.width, pictureHeight: size.height,
  };
}

// The colour the canvas shows at each point of the picture (`rect`), given in fractions of its
// width and height, read from a copy so that it works whatever context the page draws with.
function readPicture({ selector, points, rect }) {
  const canvas = document.querySelector(selector);
  const { width, height } = canvas;
  const box = canvas.getBoundingClientRect();
  const copy = new OffscreenCanvas(width, height);
  const context = copy.getContext('2d', { willReadFrequently: true });
  context.drawImage(canvas, 0, 0);
  const pixels = points.map(([fx, fy]) => {
    const x = Math.floor((rect.left - box.left + fx * rect.width) * (width / box.width));
    const y = Math.floor((rect.top - box.top + fy * rect.height) * (height / box.height));
    const [r, g, b] = context.getImageData(Math.min(x, width - 1), Math.min(y, height - 1), 1, 1).data;
    return [r, g, b];
  });
  return { width: rect.pictureWidth, height: rect.pictureHeight, pixels };
}

const operations = {
  goto: async ({ url, timeout }) => void (await page.goto(url, { timeout })),
  tap: async ({ selector, timeout }) => page.locator(selector).tap({ timeout }),
  tapAt: async ({ x, y }) => page.touchscreen.tap(x, y),
  drag,
  fill: async ({ selector, text, timeout }) => page.locator(selector).fill(text, { timeout }),
  // Key by key, as a keyboard would: into `selector`, or wherever the focus is.
  type: async ({ selector, text, delay = 10, timeout }) =>
    selector ? page.locator(selector).pressSequentially(text, { delay, timeout })
             : page.keyboard.type(text, { delay }),
  eval: async ({ expr }) => page.evaluate(expr),
  // A selector reaching `state` (attached, detached, visible, hidden), or `expr` becoming truthy.
  waitFor: async ({ selector, state = 'visible', expr, timeout = 10000 }) => {
    if (expr !== undefined) return poll(expr, timeout);
    await page.locator(selector).first().waitFor({ state, timeout });
  },
  screenshot: async ({ path }) => void (await page.screenshot({ path, fullPage: true })),
  // The page's viewport changes size, as when the phone turns.
  viewport: async ({ width, height }) => page.setViewportSize({ width, height }),
  pictureRect: async ({ selector = '#screen-canvas' }) => page.evaluate(pictureRect, selector),
  canvasPixels: async ({ selector = '#screen-canvas', points }) => {
    const rect = await page.evaluate(pictureRect, selector);
    if (!rect) throw new Error('no picture on the canvas yet');
    return page.evaluate(readPicture, { selector, points: points.map((p) => [p[0], p[1]]), rect });
  },

  // The page's origin may read and write the clipboard without asking. Without this, reads are
  // refused at once (NotAllowedError, no prompt). Headless Chromium counts its pages as focused
  // (document.hasFocus() holds even with another page in front), so clipboard calls need no
  // focusing here.
  grantClipboard: async () => {
    const { origin } = new URL(page.url());
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin });
  },
  // Files chosen in the <input type=file> at `selector`, as the phone's chooser would hand them.
  setFiles: async ({ selector, files, timeout }) => page.locator(selector).setInputFiles(files, { timeout }),
  // Taps `selector` and waits for the download it starts; saves it to `to` once complete.
  // The name the page suggested.
  download: async ({ selector, to, timeout = 60000 }) => {
    const [download] = await Promise.all([
      page.waitForEvent('download', { timeout }),
      page.locator(selector).tap({ timeout }),
    ]);
    await download.saveAs(to);
    const failure = await download.failure();
    if (failure) throw new Error(`the download failed: ${failure}`);
    return { name: download.suggestedFilename() };
  },
};

// The commands come from our own tests: one JSON object a line.
async function answer(line) {
  const command = JSON.parse(line);
  const operation = Object.hasOwn(operations, command.op) ? operations[command.op] : undefined;
  if (!operation) return { ok: false, error: `no such operation: ${command.op}` };
  try {
    const value = await operation(command);
    return value === undefined ? { ok: true } : { ok: true, value };
  } catch (error) {
    const reason = String(error.message ?? error).split('\n')[0];
    note(`${command.op} failed: ${reason}`);
    return { ok: false, error: reason };
  }
}

process.stdout.write(`${JSON.stringify({ ok: true, value: 'ready' })}\n`);
for await (const line of createInterface({ input: process.stdin })) {
  if (line.trim() === '') continue;
  process.stdout.write(`${JSON.stringify(await answer(line))}\n`);
}
await browser.close();
