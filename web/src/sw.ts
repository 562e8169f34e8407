// The service worker: the page starts with no network from the shell it cached, and never keeps
// anything else. Each bundle brings its own cache name, so a new version installs beside the old
// one and takes over as soon as the open page has loaded all it needs: the next load runs it.
import { DownloadStreams, isDownloadOffer } from './offline/download-stream.ts';
import { cacheName, classifyRequest, shellFiles, staleCaches, takeOverMessage } from './offline/shell.ts';

// Set by build.mjs: a hash of the shell's files.
declare const SHELL_VERSION: string;

// The few parts of the worker's scope used here; the DOM library this project type-checks
// against does not describe a worker's global.
interface ExtendableEvent extends Event {
  waitUntil(work: Promise<unknown>): void;
}
interface FetchEvent extends ExtendableEvent {
  readonly request: Request;
  respondWith(response: Promise<Response>): void;
}
interface WorkerMessageEvent extends Event {
  readonly data: unknown;
  readonly ports: readonly MessagePort[];
}
interface WorkerScope {
  readonly registration: { readonly scope: string };
  skipWaiting(): Promise<void>;
  readonly clients: { claim(): Promise<void> };
  addEventListener(type: 'install' | 'activate', listener: (event: ExtendableEvent) => void): void;
  addEventListener(type: 'fetch', listener: (event: FetchEvent) => void): void;
  addEventListener(type: 'message', listener: (event: WorkerMessageEvent) => void): void;
}
const worker = self as unknown as WorkerScope;
const shellCache = cacheName(SHELL_VERSION);
const downloads = new DownloadStreams();

worker.addEventListener('install', (event) => {
  event.waitUntil(
    (async () => {
      const cache = await caches.open(shellCache);
      // Past the HTTP cache: the files must be this version's.
      await cache.addAll(shellFiles.map((file) => new Request(new URL(file, worker.registration.scope), { cache: 'reload' })));
    })(),
  );
});

worker.addEventListener('message', (event) => {
  if (event.data === takeOverMessage) void worker.skipWaiting();
  else if (isDownloadOffer(event.data) && event.ports[0]) downloads.offer(event.data, event.ports[0]);
});

worker.addEventListener('activate', (event) => {
  event.waitUntil(
    (async () => {
      await Promise.all(staleCaches(await caches.keys(), SHELL_VERSION).map((name) => caches.delete(name)));
      await worker.clients.claim();
    })(),
  );
});

worker.addEventListener('fetch', (event) => {
  const handling = classifyRequest(event.request, worker.registration.scope);
  if (handling.kind === 'download') {
    event.respondWith(Promise.resolve(downloads.respond(handling.id)));
    return;
  }
  // Not answering leaves the request to the browser, as if there were no worker.
  if (handling.kind !== 'shell') return;
  const url = new URL(handling.file, worker.registration.scope).href;
  event.respondWith(
    caches.open(shellCache).then(async (cache) => (await cache.match(url)) ?? fetch(event.request)),
  );
});
