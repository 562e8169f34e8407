// The files panel's logic without a page: paths, the checks of the agent's answers, and the
// pipelined transfers against an in-memory agent that answers as the real one does.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import type { IncomingPayload, OutgoingPayload } from '../../src/protocol/envelope.ts';
import { toBase64 } from '../../src/protocol/base64.ts';
import { concatBytes } from '../../src/protocol/bytes.ts';
import { decodeBase64 } from '../../src/files/chunk-codec.ts';
import { decodeListing, decodePiece } from '../../src/files/file-records.ts';
import { crumbsOf, isPlainName, joinPath, parentOf, uploadTemporaryName } from '../../src/files/paths.ts';
import { AgentError } from '../../src/session/control-client.ts';
import { BadAnswer, TransferCancelled, download, upload } from '../../src/files/transfer.ts';

// Walking into a folder and back by its crumbs is WebFilesTest's; here, the root and the home.
describe('paths', () => {
  it('walks to and from the root, and leaves the home unnamed', () => {
    assert.equal(joinPath('/', 'a'), '/a');
    assert.equal(parentOf('/home'), '/');
    assert.deepEqual(crumbsOf('~'), [{ label: '~', path: '~' }]);
  });

  it('takes only one path component as a name, and hides uploads under way', () => {
    for (const bad of ['', '.', '..', 'a/b', '/x', 'a\0b']) assert.equal(isPlainName(bad), false, bad);
    for (const good of ['a', '.hidden', 'é t', '...']) assert.equal(isPlainName(good), true, good);
    assert.equal(uploadTemporaryName('photo.jpg', '0a1b'), '.photo.jpg.lumora-upload-0a1b');
  });
});

const listing = (data: Record<string, unknown>): IncomingPayload => ({ type: 'file.list.result', data });
const piece = (data: Record<string, unknown>): IncomingPayload => ({ type: 'file.download.result', data });

describe('answers from the agent', () => {
  // A listing as the agent sends it is what WebFilesTest browses.
  it('drops only an unreadable date from a listing, and refuses a malformed one', () => {
    const dated = listing({ path: '/h', entries: [{ name: 'g', path: '/h/g', isDirectory: false, size: 3, modified: 'yesterday' }] });
    assert.deepEqual(decodeListing(dated)?.entries, [{ name: 'g', path: '/h/g', isDirectory: false, size: 3 }]);
    for (const bad of [
      { path: 1, entries: [] },
      { path: '/', entries: {} },
      { path: '/', entries: [{ name: 'x', path: '/x', isDirectory: false, size: -1 }] },
      { path: '/', entries: [null] },
    ]) {
      assert.equal(decodeListing(listing(bad)), undefined, JSON.stringify(bad));
    }
    assert.equal(decodeListing({ type: 'ack' }), undefined);
  });

  it('reads a piece only within the length asked for, in canonical Base64', () => {
    const ok = decodePiece(piece({ path: '/f', data: toBase64(new Uint8Array([1, 2, 3])), offset: 0, totalSize: 3, eof: true }), 4);
    assert.deepEqual(ok?.data, new Uint8Array([1, 2, 3]));
    const tooLong = piece({ path: '/f', data: toBase64(new Uint8Array(5)), offset: 0, totalSize: 5, eof: true });
    assert.equal(decodePiece(tooLong, 4), undefined);
    for (const data of ['AQ=', 'AR==', 'A Q==', 7]) {
      assert.equal(decodePiece(piece({ path: '/f', data, offset: 0, totalSize: 1, eof: true }), 4), undefined, String(data));
    }
    assert.equal(decodePiece(piece({ path: '/f', data: '', offset: -1, totalSize: 0, eof: true }), 4), undefined);
    assert.deepEqual(decodeBase64(''), new Uint8Array());
  });
});

// Whole transfers arriving byte for byte are WebFilesTest's; here, what the real agent does not
// do. The agent's file operations on one in-memory file, answering each request a turn later, in
// the order they came (as the agent's one strand does).
class MemoryAgent {
  files = new Map<string, Uint8Array>();
  inFlight = 0;
  requests: Array<Record<string, unknown>> = [];
  // Offsets answered with half the piece asked for, not at the end, as when the file shrank
  // between the agent's size check and its read.
  shortAt = new Set<number>();

  request(payload: OutgoingPayload): Promise<IncomingPayload> {
    this.inFlight += 1;
    this.requests.push({ type: payload.type, ...payload.data });
    return new Promise((resolve, reject) =>
      setTimeout(() => {
        this.inFlight -= 1;
        const answer = this.answer(payload);
        // The session turns an "error" answer into a rejection.
        if (answer.type === 'error') reject(new AgentError(answer.code, answer.message));
        else resolve(answer);
      }, 1),
    );
  }

  private answer({ type, data }: OutgoingPayload): IncomingPayload {
    const path = data.path as string;
    if (type === 'file.download') {
      const offset = data.offset as number;
      const file = this.files.get(path);
      if (!file) return { type: 'error', code: 'internal', message: 'No such file or directory' };
      const length = (data.length as number) / (this.shortAt.has(offset) ? 2 : 1);
      const bytes = file.subarray(offset, offset + length);
      const eof = offset + bytes.length >= file.length && !this.shortAt.has(offset);
      return piece({ path, data: toBase64(bytes), offset, totalSize: file.length, eof });
    }
    // What was written is WebFilesTest's to check.
    if (type === 'file.upload') return { type: 'ack' };
    throw new Error(`unexpected ${type}`);
  }
}

const randomBytes = (n: number) => Uint8Array.from({ length: n }, (_, i) => (i * 7919 + (i >> 8)) & 0xff);
const noStop = () => new AbortController().signal;

describe('download', () => {
  it('starts again from a short piece that is not the end, and refuses a piece out of place', async () => {
    const agent = new MemoryAgent();
    agent.files.set('/f', randomBytes(100));
    agent.shortAt.add(32);
    const parts: Uint8Array[] = [];
    const got = await download(agent, '/f', async (d) => void parts.push(d), { signal: noStop(), chunk: 16, window: 4 });
    assert.equal(got, 100);
    assert.deepEqual(concatBytes(...parts), randomBytes(100));
    assert.ok(agent.requests.some((r) => r.offset === 40), 'asked again from the end of the short piece');

    const liar = { request: async (): Promise<IncomingPayload> => piece({ path: '/f', data: toBase64(new Uint8Array(16)), offset: 16, totalSize: 64, eof: false }) };
    await assert.rejects(download(liar, '/f', async () => {}, { signal: noStop(), chunk: 16 }), BadAnswer);
  });

  it('stops when cancelled and passes the agent\'s error on', async () => {
    const agent = new MemoryAgent();
    agent.files.set('/f', randomBytes(1000));
    const stop = new AbortController();
    let pieces = 0;
    const run = download(agent, '/f', async () => {
      if (++pieces === 3) stop.abort();
    }, { signal: stop.signal, chunk: 16 });
    await assert.rejects(run, TransferCancelled);
    assert.equal(pieces, 3);
    await assert.rejects(download(agent, '/missing', async () => {}, { signal: noStop() }), /No such file/);
  });
});

const sourceOf = (bytes: Uint8Array) => ({ size: bytes.length, read: async (a: number, b: number) => bytes.slice(a, b) });

describe('upload', () => {
  it('on cancel, returns only once every piece sent has been answered', async () => {
    const agent = new MemoryAgent();
    const stop = new AbortController();
    const run = upload(agent, sourceOf(randomBytes(16 * 50)), '/up', {
      signal: stop.signal,
      chunk: 16,
      window: 4,
      onProgress: (done) => done >= 64 && stop.abort(),
    });
    await assert.rejects(run, TransferCancelled);
    assert.equal(agent.inFlight, 0);
    assert.ok(agent.requests.length < 50, `${agent.requests.length} pieces sent`);
  });
});
