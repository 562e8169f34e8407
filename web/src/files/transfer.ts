// Downloads and uploads in 256 KiB pieces with several requests in flight, so that the relay's
// round trip is paid once per window rather than once per piece.
import type { IncomingPayload, OutgoingPayload } from '../protocol/envelope.ts';
import { chunkSize, decodePiece, downloadRequest, uploadRequest } from './file-records.ts';

export interface Requester {
  request(payload: OutgoingPayload): Promise<IncomingPayload>;
}

export interface TransferOptions {
  signal: AbortSignal;
  onProgress?: (done: number, total: number) => void;
  chunk?: number;
  window?: number;
}

export const defaultWindow = 8;

// A transfer the person stopped.
export class TransferCancelled extends Error {
  constructor() {
    super('cancelled');
  }
}

// An answer the panel cannot use (the agent's own errors arrive as AgentError).
export class BadAnswer extends Error {}

function stopIfCancelled(signal: AbortSignal): void {
  if (signal.aborted) throw new TransferCancelled();
}

// `promise`, or TransferCancelled as soon as the signal fires.
function unlessCancelled<T>(promise: Promise<T>, signal: AbortSignal): Promise<T> {
  stopIfCancelled(signal);
  return new Promise<T>((resolve, reject) => {
    const cancelled = () => reject(new TransferCancelled());
    signal.addEventListener('abort', cancelled, { once: true });
    promise.then(resolve, reject).finally(() => signal.removeEventListener('abort', cancelled));
  });
}

// A request whose failure is handled even if nobody waits for it any more.
function sent(link: Requester, payload: OutgoingPayload): Promise<IncomingPayload> {
  const reply = link.request(payload);
  reply.catch(() => undefined);
  return reply;
}

// Reads `path` from its start, handing each piece to `write` in order (which may keep it); the
// bytes received.
export async function download(
  link: Requester,
  path: string,
  write: (data: Uint8Array) => Promise<void>,
  options: TransferOptions,
): Promise<number> {
  const chunk = options.chunk ?? chunkSize;
  const window = options.window ?? defaultWindow;
  let inFlight: Array<Promise<IncomingPayload>> = [];
  let nextOffset = 0;
  let received = 0;
  let total = -1; // unknown until the first answer
  for (;;) {
    // The first request alone tells the size; then the window fills up to the end. A file that
    // grew meanwhile is followed one request at a time until the agent reports its end.
    while (inFlight.length < window && (inFlight.length === 0 || (total >= 0 && nextOffset < total))) {
      inFlight.push(sent(link, downloadRequest(path, nextOffset, chunk)));
      nextOffset += chunk;
    }
    const reply = await unlessCancelled(inFlight.shift() as Promise<IncomingPayload>, options.signal);
    const piece = decodePiece(reply, chunk);
    if (!piece) throw new BadAnswer(`unexpected answer ${reply.type} to a download`);
    if (piece.offset !== received) throw new BadAnswer(`answer for offset ${piece.offset} instead of ${received}`);
    // `write` may take the bytes over (transfer them to another context): read the length first.
    const length = piece.data.length;
    await unlessCancelled(write(piece.data), options.signal);
    received += length;
    total = piece.totalSize;
    options.onProgress?.(received, Math.max(total, received));
    if (piece.eof || length === 0) return received;
    if (length !== chunk) {
      // A short piece that is not the end (the file changed meanwhile): the requests already out
      // aim at the wrong offsets, so start again from here.
      inFlight = [];
      nextOffset = received;
    }
  }
}

export interface UploadSource {
  readonly size: number;
  read(start: number, end: number): Promise<Uint8Array>;
}

// Writes `source` to `path` (created or replaced by the first piece, cut after the last).
// On cancel or failure it waits for the pieces already sent, so that nothing is written to
// `path` after it returns.
export async function upload(link: Requester, source: UploadSource, path: string, options: TransferOptions): Promise<number> {
  const chunk = options.chunk ?? chunkSize;
  const window = options.window ?? defaultWindow;
  const size = source.size;
  const piece = async (offset: number) => {
    const data = await source.read(offset, Math.min(offset + chunk, size));
    if (data.length !== Math.min(chunk, size - offset)) throw new BadAnswer('the file changed while it was read');
    return data;
  };
  const acknowledged = async (reply: Promise<IncomingPayload>) => {
    const answer = await reply;
    if (answer.type !== 'ack') throw new BadAnswer(`unexpected answer ${answer.type} to an upload`);
  };

  const first = await piece(0);
  let sentBytes = first.length;
  await unlessCancelled(acknowledged(link.request(uploadRequest(path, first, 0, sentBytes === size))), options.signal);
  let done = sentBytes;
  options.onProgress?.(done, size);

  const inFlight: Array<{ length: number; reply: Promise<void> }> = [];
  try {
    while (sentBytes < size || inFlight.length > 0) {
      if (inFlight.length >= window || sentBytes >= size) {
        const oldest = inFlight.shift() as { length: number; reply: Promise<void> };
        await unlessCancelled(oldest.reply, options.signal);
        done += oldest.length;
        options.onProgress?.(done, size);
        continue;
      }
      stopIfCancelled(options.signal);
      const data = await piece(sentBytes);
      const reply = acknowledged(link.request(uploadRequest(path, data, sentBytes, sentBytes + data.length === size)));
      reply.catch(() => undefined);
      inFlight.push({ length: data.length, reply });
      sentBytes += data.length;
    }
  } catch (error) {
    await Promise.allSettled(inFlight.map((pending) => pending.reply));
    throw error;
  }
  return size;
}
