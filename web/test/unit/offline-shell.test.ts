// What the service worker may answer from its cache: the shell's files and page loads inside the
// page's folder, never the API, the relay or anything a user's data travels in.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { DownloadStreams, type WorkerSays, attachmentHeader, downloadMessage, isDownloadOffer } from '../../src/offline/download-stream.ts';
import { cacheName, classifyRequest, staleCaches } from '../../src/offline/shell.ts';

const scope = 'https://lumora.example/app/';
const handling = (url: string, mode = 'cors', method = 'GET') => classifyRequest({ url, mode, method }, scope);

describe('request classification', () => {
  it('answers every page load inside the folder with the one page, its query included', () => {
    for (const url of [scope, `${scope}index.html`, `${scope}?code=abc&state=x`, `${scope}somewhere/else`]) {
      assert.deepEqual(handling(url, 'navigate'), { kind: 'shell', file: 'index.html' }, url);
    }
  });

  it('never keeps the API, the relay, other folders, other origins or writes', () => {
    const network = [
      handling('https://lumora.example/devices'),
      handling('https://lumora.example/app', 'navigate'), // the server's redirect to /app/
      handling('https://elsewhere.example/app/app.js'),
      handling(`${scope}app.js.map`),
      handling(`${scope}app.js?v=2`),
      handling(`${scope}index.html`, 'navigate', 'POST'),
      handling('not a url', 'navigate'),
    ];
    for (const [i, h] of network.entries()) assert.deepEqual(h, { kind: 'network' }, `case ${i}`);
  });
});

describe('shell caches', () => {
  it('deletes older shells on taking over and leaves other caches alone', () => {
    const names = [cacheName('old1'), cacheName('new'), 'someone-else', cacheName('old2')];
    assert.deepEqual(staleCaches(names, 'new'), [cacheName('old1'), cacheName('old2')]);
  });
});

describe('downloads streamed through the worker', () => {
  const id = '0123456789abcdef0123456789abcdef';

  it('answers a download address only for a well-formed id, even as a page load', () => {
    assert.deepEqual(handling(`${scope}download/${id}/r%C3%A9sum%C3%A9.pdf`, 'navigate'), { kind: 'download', id });
    for (const url of [`${scope}download/xyz/a`, `${scope}download/`, `${scope}download/${id}x/a`]) {
      assert.deepEqual(handling(url, 'navigate'), { kind: 'network' }, url);
    }
    assert.equal(isDownloadOffer({ type: downloadMessage, id, name: 'a' }), true);
    assert.equal(isDownloadOffer({ type: downloadMessage, id: 'nope', name: 'a' }), false);
    assert.equal(attachmentHeader('résumé "1".pdf'), `attachment; filename="r_sum_ _1_.pdf"; filename*=UTF-8''r%C3%A9sum%C3%A9%20%221%22.pdf`);
  });

  it('streams what the page sends when pulled, once, and never for caching', async () => {
    const streams = new DownloadStreams();
    const { port1: page, port2 } = new MessageChannel();
    const pieces = [new Uint8Array([1, 2]), new Uint8Array([3]), new Uint8Array([4, 5, 6])];
    page.onmessage = (event: MessageEvent<WorkerSays>) => {
      if (event.data.type !== 'pull') return;
      const next = pieces.shift();
      page.postMessage(next ? { type: 'chunk', data: next } : { type: 'end' });
    };
    streams.offer({ type: downloadMessage, id, name: 'a b.bin' }, port2);
    const response = streams.respond(id);
    assert.equal(response.headers.get('Cache-Control'), 'no-store');
    assert.match(response.headers.get('Content-Disposition') ?? '', /^attachment;/);
    assert.deepEqual(new Uint8Array(await response.arrayBuffer()), new Uint8Array([1, 2, 3, 4, 5, 6]));
    assert.equal(streams.respond(id).status, 404);
    page.close();
  });
});
