// What the service worker may answer from its cache: only the application shell, the same files
// in every account. Everything else (the API, the relay, anything outside the page's folder)
// carries a user's data and goes to the network untouched, but for downloads the page itself
// streams through the worker.
import { downloadFolder, isDownloadId } from './download-stream.ts';

// The files the page needs to start with no network, relative to the worker's scope.
export const shellFiles = [
  'index.html',
  'app.js',
  'app.css',
  'xterm.css',
  'manifest.webmanifest',
  'icon.svg',
  'icon-192.png',
  'icon-512.png',
] as const;

export type RequestHandling = { kind: 'shell'; file: string } | { kind: 'download'; id: string } | { kind: 'network' };

export interface RequestFacts {
  url: string;
  method: string;
  mode: string; // Request.mode: a page load is 'navigate'
}

// `scope` is the worker's scope, e.g. https://host/app/.
export function classifyRequest(request: RequestFacts, scope: string): RequestHandling {
  const network: RequestHandling = { kind: 'network' };
  if (request.method !== 'GET') return network;
  let url: URL;
  let base: URL;
  try {
    url = new URL(request.url);
    base = new URL(scope);
  } catch {
    return network;
  }
  if (url.origin !== base.origin || !url.pathname.startsWith(base.pathname)) return network;
  const name = url.pathname.slice(base.pathname.length);
  // A download the page streams through the worker (opened as a page load in a hidden frame).
  if (name.startsWith(downloadFolder)) {
    const id = name.slice(downloadFolder.length).split('/')[0] ?? '';
    return isDownloadId(id) ? { kind: 'download', id } : network;
  }
  // Every page load inside the folder is the one page; its query (an OAuth answer) is read by the
  // script, not by the server.
  if (request.mode === 'navigate') return { kind: 'shell', file: 'index.html' };
  if (url.search === '' && (shellFiles as readonly string[]).includes(name)) return { kind: 'shell', file: name };
  return network;
}

// One cache a version of the shell, so a new bundle never mixes with an old one.
export const cachePrefix = 'lumora-shell-';
export const cacheName = (version: string): string => cachePrefix + version;

// The caches a worker of `version` deletes when it takes over: older shells, nothing else.
export const staleCaches = (names: readonly string[], version: string): string[] =>
  names.filter((name) => name.startsWith(cachePrefix) && name !== cacheName(version));

// What the page posts to a new worker that waits, once the page has loaded all it needs.
export const takeOverMessage = 'takeOver';
