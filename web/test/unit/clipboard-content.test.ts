import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import {
  baseName,
  maxRecordBytes,
  readClipboardContent,
  recordBytes,
  setClipboardImage,
  setClipboardText,
} from '../../src/clipboard/clipboard-content.ts';
import { toBase64 } from '../../src/protocol/base64.ts';
import type { IncomingPayload } from '../../src/protocol/envelope.ts';

const png = Uint8Array.of(0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13);
const content = (data: Record<string, unknown>): IncomingPayload => ({ type: 'clipboard.content', data });
const problem = (data: Record<string, unknown>) => {
  const read = readClipboardContent(content(data));
  return read.ok ? 'read' : read.problem;
};

describe('the computer\'s clipboard as it answers', () => {
  // Text as the real agent sends it is what WebClipboardTest fetches.
  it('refuses wrong types, missing fields and bytes that are not Base64', () => {
    for (const data of [
      { kind: 'TEXT', text: 'a' },
      { kind: 'text', text: 42 },
      { kind: 'image', imageData: 'iVBORw0KGgo' },
      { kind: 'file', fileName: 'a.txt' },
      { kind: 'file', fileName: 'dir/', fileData: 'aGk=' },
    ]) {
      assert.equal(problem(data), 'malformed', JSON.stringify(data));
    }
    assert.deepEqual(readClipboardContent({ type: 'file.list.result', data: { kind: 'empty' } }), { ok: false, problem: 'malformed' });
  });

  it('tells a picture that is not PNG from a malformed answer', () => {
    assert.equal(problem({ kind: 'image', imageData: toBase64(Uint8Array.of(0xff, 0xd8, 0xff, 0xe0, 1, 2, 3, 4, 5)) }), 'notPNG');
    assert.equal(problem({ kind: 'image', imageData: toBase64(png.subarray(0, 8)) }), 'notPNG');
  });
});

describe('what the phone sends', () => {
  it('measures a record as it travels: UTF-8, escapes and Base64 included', () => {
    const overhead = recordBytes(setClipboardText(''));
    assert.equal(recordBytes(setClipboardText('안녕')) - overhead, 6);
    assert.equal(recordBytes(setClipboardText('\u0001"')) - overhead, 8);
    // A picture of 12 MiB is 16 MiB in Base64: more than the relay carries in one message.
    assert.ok(recordBytes(setClipboardImage(new Uint8Array(12 * 1024 * 1024))) > maxRecordBytes);
    assert.ok(recordBytes(setClipboardImage(new Uint8Array(11 * 1024 * 1024))) < maxRecordBytes);
  });
});

describe('names and sizes shown', () => {
  it('keeps only the last part of a path, without control characters', () => {
    assert.equal(baseName('C:\\Users\\ada\\report.pdf'), 'report.pdf');
    assert.equal(baseName('a\u0000b\u001b[31m.txt'), 'ab[31m.txt');
    assert.equal(baseName('.'), '');
  });

});
