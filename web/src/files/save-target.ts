// Where a download's bytes go as they arrive: streamed to disk through the service worker where
// one controls the page, else gathered as Blob parts (which the browser may keep on disk) and
// saved through an object URL.
import { type PageSays, type WorkerSays, downloadAddress, downloadMessage } from '../offline/download-stream.ts';
import { toHex } from '../protocol/bytes.ts';

export interface SaveTarget {
  readonly via: 'worker' | 'blob';
  write(data: Uint8Array): Promise<void>;
  close(): Promise<void>;
  abort(): void;
}

export async function openSaveTarget(name: string, host: HTMLElement, onCancelled: () => void): Promise<SaveTarget> {
  const worker = 'serviceWorker' in navigator ? navigator.serviceWorker.controller : null;
  if (worker) {
    const streamed = await openWorkerTarget(worker, name, host, onCancelled).catch(() => undefined);
    if (streamed) return streamed;
  }
  return blobTarget(name);
}

// Pieces the page holds while the browser writes slower than they arrive.
const queueLimit = 8;
// How long the worker and then the browser may take to start the download.
const startLimitMs = 10000;

async function openWorkerTarget(
  worker: ServiceWorker,
  name: string,
  host: HTMLElement,
  onCancelled: () => void,
): Promise<SaveTarget | undefined> {
  const id = toHex(crypto.getRandomValues(new Uint8Array(16)));
  const { port1: port, port2 } = new MessageChannel();
  const queue: PageSays[] = [];
  let wanted = 0;
  let failure: Error | undefined;
  let room: (() => void) | undefined;
  let registered: (() => void) | undefined;
  const say = (message: PageSays) =>
    message.type === 'chunk' ? port.postMessage(message, [message.data.buffer]) : port.postMessage(message);
  const flush = () => {
    while (wanted > 0 && queue.length > 0) {
      wanted -= 1;
      say(queue.shift() as PageSays);
    }
    if (queue.length < queueLimit || failure) {
      room?.();
      room = undefined;
    }
  };
  let startTimer: ReturnType<typeof setTimeout> | undefined;
  port.onmessage = (event: MessageEvent<WorkerSays>) => {
    const said = event.data;
    if (said.type === 'registered') registered?.();
    else if (said.type === 'pull') {
      clearTimeout(startTimer);
      wanted += 1;
      flush();
    } else if (said.type === 'cancel') {
      failure = new Error('the browser stopped the download');
      flush();
      onCancelled();
    }
  };
  const ready = new Promise<boolean>((resolve) => {
    registered = () => resolve(true);
    setTimeout(() => resolve(false), startLimitMs);
  });
  worker.postMessage({ type: downloadMessage, id, name }, [port2]);
  if (!(await ready)) {
    port.close();
    return undefined;
  }
  const frame = document.createElement('iframe');
  frame.hidden = true;
  frame.className = 'file-download-frame';
  frame.src = new URL(downloadAddress(id, name), worker.scriptURL).href;
  host.append(frame);
  startTimer = setTimeout(() => {
    failure = new Error('the browser did not start the download');
    flush();
  }, startLimitMs);
  const done = () => {
    clearTimeout(startTimer);
    // The frame's page load became the download; it may go once the browser has the last piece.
    setTimeout(() => frame.remove(), startLimitMs);
  };
  return {
    via: 'worker',
    async write(data) {
      if (failure) throw failure;
      queue.push({ type: 'chunk', data: data.byteOffset === 0 && data.byteLength === data.buffer.byteLength ? data : data.slice() });
      flush();
      if (queue.length >= queueLimit) await new Promise<void>((resolve) => (room = resolve));
      if (failure) throw failure;
    },
    async close() {
      queue.push({ type: 'end' });
      flush();
      // The last pieces leave as the browser asks for them.
      while (queue.length > 0 && !failure) await new Promise<void>((resolve) => (room = resolve));
      if (failure) throw failure;
      done();
    },
    abort() {
      queue.length = 0;
      say({ type: 'abort' });
      port.close();
      done();
    },
  };
}

function blobTarget(name: string): SaveTarget {
  let parts: Blob[] = [];
  return {
    via: 'blob',
    async write(data) {
      parts.push(new Blob([data as BlobPart]));
    },
    async close() {
      const url = URL.createObjectURL(new Blob(parts, { type: 'application/octet-stream' }));
      parts = [];
      const link = document.createElement('a');
      link.href = url;
      link.download = name;
      link.click();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
    },
    abort() {
      parts = [];
    },
  };
}
