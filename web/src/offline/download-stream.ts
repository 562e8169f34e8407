// Downloads streamed through the service worker: the page hands the worker a MessagePort and a
// name, then opens a one-time address under the worker's scope; the worker answers it with an
// attachment whose body it pulls from the page piece by piece. The browser writes it to disk as
// it comes, so no part of the file waits in memory beyond a few pieces, and nothing is cached.

// What the page posts to the worker (the port travels with it).
export const downloadMessage = 'lumora-download';
export interface DownloadOffer {
  type: typeof downloadMessage;
  id: string;
  name: string;
}

// Worker → page on the port.
export type WorkerSays = { type: 'registered' } | { type: 'pull' } | { type: 'cancel' };
// Page → worker on the port.
export type PageSays = { type: 'chunk'; data: Uint8Array } | { type: 'end' } | { type: 'abort' };

// The address the page opens, relative to the worker's scope.
export const downloadFolder = 'download/';
export const downloadAddress = (id: string, name: string): string => `${downloadFolder}${id}/${encodeURIComponent(name)}`;
export const isDownloadId = (id: string): boolean => /^[0-9a-f]{32}$/.test(id);

export function isDownloadOffer(value: unknown): value is DownloadOffer {
  if (typeof value !== 'object' || value === null) return false;
  const { type, id, name } = value as Record<string, unknown>;
  return type === downloadMessage && typeof id === 'string' && isDownloadId(id) && typeof name === 'string';
}

// Content-Disposition for any name: a plain ASCII stand-in and the exact name in UTF-8.
export function attachmentHeader(name: string): string {
  const plain = name.replace(/[^\x20-\x7e]|["\\]/g, '_') || 'download';
  const exact = encodeURIComponent(name).replace(/['()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
  return `attachment; filename="${plain}"; filename*=UTF-8''${exact}`;
}

interface Offered {
  name: string;
  port: MessagePort;
}

// The worker's side: offers waiting for their one request.
export class DownloadStreams {
  private readonly offered = new Map<string, Offered>();

  offer(offer: DownloadOffer, port: MessagePort): void {
    this.offered.set(offer.id, { name: offer.name, port });
    port.postMessage({ type: 'registered' } satisfies WorkerSays);
  }

  // The answer to the download's address; each offer answers once.
  respond(id: string): Response {
    const offered = this.offered.get(id);
    this.offered.delete(id);
    if (!offered) return new Response('This download is over.', { status: 404, headers: { 'Cache-Control': 'no-store' } });
    const { port } = offered;
    let delivered: (() => void) | undefined;
    const body = new ReadableStream<Uint8Array>(
      {
        start(controller) {
          port.onmessage = (event: MessageEvent<PageSays>) => {
            const said = event.data;
            if (said.type === 'chunk') controller.enqueue(said.data);
            else if (said.type === 'end') controller.close();
            else controller.error(new Error('the download was stopped'));
            if (said.type !== 'chunk') port.close();
            delivered?.();
            delivered = undefined;
          };
        },
        // One piece asked for each time the browser has room for it.
        pull() {
          return new Promise<void>((resolve) => {
            delivered = resolve;
            port.postMessage({ type: 'pull' } satisfies WorkerSays);
          });
        },
        cancel() {
          port.postMessage({ type: 'cancel' } satisfies WorkerSays);
          port.close();
        },
      },
      new CountQueuingStrategy({ highWaterMark: 4 }),
    );
    return new Response(body, {
      headers: {
        'Content-Type': 'application/octet-stream',
        'Content-Disposition': attachmentHeader(offered.name),
        'Cache-Control': 'no-store',
        'X-Content-Type-Options': 'nosniff',
      },
    });
  }
}
