import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { parsePairingLink } from '../../src/protocol/pairing-link.ts';
import { toHexString } from './support.ts';

const code = '8d1a4a4bdae5c4bd8ccaa3221d37fc19';
const read = (text: string) => {
  const secret = parsePairingLink(text);
  return secret && toHexString(secret);
};

describe('pairing links', () => {
  it('takes the code from the web link, the desktop link or the bare code', () => {
    assert.equal(read(`https://lumora.example/app/#pair=${code}`), code);
    assert.equal(read(`  http://127.0.0.1:8780/app/#pair=${code}\n`), code);
    assert.equal(read(`lumora://pair?host=10.0.0.2&cp=47800&mp=47801&code=${code}`), code);
    assert.equal(read(code.toUpperCase().replace(/(.{4})/g, '$1-').slice(0, -1)), code);
  });

  it('refuses other links and malformed codes', () => {
    for (const text of [
      `https://lumora.example/app/?pair=${code}`,
      `https://lumora.example/other/#pair=${code}`,
      `lumora://PAIR?code=${code}`,
      `lumora://pair?host=h`,
      `ftp://x/app/#pair=${code}`,
      code.slice(0, 30),
      code.slice(0, 31) + 'g',
    ]) {
      assert.equal(parsePairingLink(text), undefined, text);
    }
  });
});
