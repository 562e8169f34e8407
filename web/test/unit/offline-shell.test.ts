// What the service worker may answer from its cache: the shell's files and page loads inside the
// page's folder, never the API, the relay or anything a user's data travels in.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { cacheName, classifyRequest, shellFiles, staleCaches } from '../../src/offline/shell.ts';

const scope = 'https://lumora.example/app/';
const handling = (url: string, mode = 'cors', method = 'GET') => classifyRequest({ url, mode, method }, scope);

describe('request classification', () => {
  it('answers every page load inside the folder with the one page, its query included', () => {
    for (const url of [scope, `${scope}index.html`, `${scope}?code=abc&state=x`, `${scope}somewhere/else`]) {
      assert.deepEqual(handling(url, 'navigate'), { kind: 'shell', file: 'index.html' }, url);
    }
  });

  it('serves each shell file from the cache', () => {
    for (const file of shellFiles) assert.deepEqual(handling(scope + file), { kind: 'shell', file });
  });

  it('never keeps the API, the relay, other folders, other origins or writes', () => {
    const network = [
      handling('https://lumora.example/devices'),
      handling('https://lumora.example/auth/refresh'),
      handling('https://lumora.example/relay/room?token=t'),
      handling('https://lumora.example/auth/dev/login', 'navigate'),
      handling('https://lumora.example/app', 'navigate'), // the server's redirect to /app/
      handling('https://elsewhere.example/app/app.js'),
      handling(`${scope}app.js.map`),
      handling(`${scope}app.js?v=2`),
      handling(`${scope}sw.js`),
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
