// What the page reads from the service about providers and devices, and the OAuth redirect's
// state check (a redirect the page did not start must not sign anyone in).
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { ApiClient } from '../../src/account/api-client.ts';
import { parseDevices } from '../../src/account/devices.ts';
import { authorizationUrl, codeChallenge, completeRedirect } from '../../src/account/oauth.ts';
import { parseProviders } from '../../src/account/providers.ts';
import { chooseLanguage } from '../../src/i18n/index.ts';
import { memoryTokens } from './support.ts';

// sessionStorage in memory, with the three calls the sign-in makes.
function memoryStorage(): Storage {
  const items = new Map<string, string>();
  const calls = { getItem: (key: string) => items.get(key) ?? null, setItem: (key: string, value: string) => void items.set(key, value), removeItem: (key: string) => void items.delete(key) };
  return calls as unknown as Storage;
}

describe('providers and devices', () => {
  it('keeps the providers this page can use, with what their flow needs', () => {
    const listed = parseProviders({ providers: [
      { id: 'google', clientId: 'g', authorizeUrl: '/a', tokenUrl: '/t' },
      { id: 'google', clientId: 'g', authorizeUrl: '/a' }, // no token endpoint: unusable here
      { id: 'github', clientId: 'h', authorizeUrl: '/b' },
      { id: 'apple', clientId: 'x' },
      { id: 'dev' },
      'junk',
    ] });
    assert.deepEqual(listed.map((p) => p.id), ['google', 'github', 'dev']);
    assert.deepEqual(parseProviders({ providers: 'none' }), []);
  });

  it('reads devices and skips malformed entries', () => {
    const devices = parseDevices([
      { id: 'a', name: 'desk', platform: 'linux', status: 'registered', pairingFingerprint: 'f', lastSeenAt: '2026-01-01T00:00:00Z' },
      { id: 'b' },
      null,
    ]);
    assert.deepEqual(devices, [{ id: 'a', name: 'desk', platform: 'linux', status: 'registered', pairingFingerprint: 'f', lastSeenAt: '2026-01-01T00:00:00Z' }]);
  });

  it('speaks Korean to Korean browsers and English otherwise', () => {
    assert.equal(chooseLanguage(['ko-KR', 'en-US']), 'ko');
    assert.equal(chooseLanguage(['fr-FR', 'ko']), 'ko');
    assert.equal(chooseLanguage(['de-DE']), 'en');
  });
});

describe('OAuth redirect', () => {
  const origin = 'http://svc.test';
  const github = { id: 'github' as const, clientId: 'cid', authorizeUrl: '/dev/github/authorize' };

  function api(logins: unknown[]) {
    const fetcher = async (_url: string, init?: RequestInit) => {
      logins.push(JSON.parse(String(init?.body)));
      return new Response(JSON.stringify({ accessToken: 'a', refreshToken: 'r' }), { status: 200 });
    };
    return new ApiClient(origin, memoryTokens(), fetcher, () => {});
  }

  it('asks for an S256 challenge of the verifier it keeps, and signs in with code and verifier', async () => {
    const storage = memoryStorage();
    const url = new URL(await authorizationUrl(github, origin, storage));
    assert.equal(url.origin + url.pathname, origin + '/dev/github/authorize');
    assert.equal(url.searchParams.get('redirect_uri'), origin + '/app/');
    assert.equal(url.searchParams.get('code_challenge_method'), 'S256');
    const saved = JSON.parse(storage.getItem('lumora.oauth')!);
    assert.equal(url.searchParams.get('code_challenge'), await codeChallenge(saved.verifier));
    const logins: unknown[] = [];
    const query = new URLSearchParams({ code: 'C', state: url.searchParams.get('state')! });
    assert.equal(await completeRedirect(query, origin, storage, api(logins)), 'signedIn');
    assert.deepEqual(logins, [{ provider: 'github', token: 'C', codeVerifier: saved.verifier }]);
    assert.equal(storage.getItem('lumora.oauth'), null, 'the verifier is used once');
  });

  it('refuses a redirect with another state, or one it never started', async () => {
    const storage = memoryStorage();
    await authorizationUrl(github, origin, storage);
    const logins: unknown[] = [];
    assert.equal(await completeRedirect(new URLSearchParams({ code: 'C', state: 'forged' }), origin, storage, api(logins)), 'refused');
    assert.equal(await completeRedirect(new URLSearchParams({ code: 'C', state: 'x' }), origin, memoryStorage(), api(logins)), 'refused');
    assert.deepEqual(logins, []);
    assert.equal(await completeRedirect(new URLSearchParams(), origin, storage, api(logins)), 'none');
  });
});
