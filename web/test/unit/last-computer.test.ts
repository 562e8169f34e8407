// The computer opened at start: the one used last, only while still paired here and held by the
// account.
import assert from 'node:assert/strict';
import { it } from 'node:test';
import type { PairingKeys } from '../../src/relay/crypto.ts';
import { lastComputer } from '../../src/session/last-computer.ts';

const paired = (fingerprint: string, pending = false) => ({ fingerprint, name: 'old', keys: {} as PairingKeys, pending });
const device = (fingerprint: string) => ({ id: fingerprint, name: 'desk', platform: '', status: '', pairingFingerprint: fingerprint });

it('opens the computer used last unless it is unknown, forgotten here, pending or gone from the account', () => {
  assert.deepEqual(lastComputer('a', [paired('b'), paired('a')], [device('a')]), { ...paired('a'), name: 'desk' });
  assert.equal(lastComputer(null, [paired('a')], [device('a')]), undefined);
  assert.equal(lastComputer('a', [], [device('a')]), undefined);
  assert.equal(lastComputer('a', [paired('a', true)], [device('a')]), undefined);
  assert.equal(lastComputer('a', [paired('a')], [device('b')]), undefined);
});
