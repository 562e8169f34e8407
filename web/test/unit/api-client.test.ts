// The account API client's token handling, against a stand-in that answers as the service does:
// one refresh token, used once, rotated on every refresh.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { ApiClient, ApiError } from '../../src/account/api-client.ts';
import { memoryTokens } from './support.ts';

function service(options: { refreshWorks: boolean }) {
  let generation = 0;
  const calls: string[] = [];
  const json = (status: number, body: unknown) => new Response(JSON.stringify(body), { status, headers: { 'Content-Type': 'application/json' } });
  const fetcher = async (url: string, init?: RequestInit) => {
    const path = new URL(url).pathname;
    calls.push(path);
    if (path === '/auth/refresh') {
      await new Promise((r) => setTimeout(r, 5)); // long enough for callers to pile up
      const body = JSON.parse(String(init?.body));
      if (!options.refreshWorks || body.refreshToken !== `r${generation}`) return json(401, { error: 'unauthorized', message: 'refresh token reused' });
      generation++;
      return json(200, { accessToken: `a${generation}`, refreshToken: `r${generation}`, user: {} });
    }
    const auth = (init?.headers as Record<string, string>).Authorization;
    if (auth !== `Bearer a${generation}`) return json(401, { error: 'unauthorized', message: 'expired' });
    return json(200, [{ id: 'd1', name: 'desk' }]);
  };
  return { fetcher, calls };
}

describe('API client', () => {
  it('refreshes once for concurrent callers whose token expired, then retries them', async () => {
    const { fetcher, calls } = service({ refreshWorks: true });
    const store = memoryTokens({ accessToken: 'stale', refreshToken: 'r0' });
    let signedOut = 0;
    const api = new ApiClient('http://svc.test', store, fetcher, () => signedOut++);
    await Promise.all([api.request('GET', '/devices'), api.request('GET', '/devices'), api.request('GET', '/devices')]);
    assert.equal(calls.filter((c) => c === '/auth/refresh').length, 1);
    assert.deepEqual(store.tokens, { accessToken: 'a1', refreshToken: 'r1' });
    assert.equal(signedOut, 0);
  });

  it('signs out when the refresh is refused, and says why the request failed', async () => {
    const { fetcher } = service({ refreshWorks: false });
    const store = memoryTokens({ accessToken: 'stale', refreshToken: 'r0' });
    let signedOut = 0;
    const api = new ApiClient('http://svc.test', store, fetcher, () => signedOut++);
    await assert.rejects(api.request('GET', '/devices'), (e: unknown) => e instanceof ApiError && e.status === 401 && e.code === 'unauthorized');
    assert.equal(store.tokens, undefined);
    assert.ok(signedOut >= 1);
    assert.equal(api.signedIn, false);
  });
});
