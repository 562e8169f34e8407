// OAuth authorization code with PKCE (S256) through a redirect back to /app/. The verifier and
// state wait in sessionStorage for the redirect; the page then signs in with the service.
import { toBase64Url } from '../protocol/base64.ts';
import { exactBuffer, randomBytes, utf8 } from '../protocol/bytes.ts';
import type { ApiClient } from './api-client.ts';
import type { Provider } from './providers.ts';

const pendingKey = 'lumora.oauth';

interface Pending {
  provider: 'google' | 'github';
  state: string;
  verifier: string;
  tokenUrl?: string;
  clientId: string;
}

export async function codeChallenge(verifier: string): Promise<string> {
  return toBase64Url(new Uint8Array(await crypto.subtle.digest('SHA-256', exactBuffer(utf8(verifier)))));
}

export const redirectUri = (origin: string): string => origin + '/app/';

export async function authorizationUrl(provider: Provider, origin: string, storage: Storage): Promise<string> {
  if (provider.id === 'dev' || !provider.authorizeUrl || !provider.clientId) throw new Error('not an OAuth provider');
  const pending: Pending = {
    provider: provider.id,
    state: toBase64Url(randomBytes(16)),
    verifier: toBase64Url(randomBytes(32)),
    clientId: provider.clientId,
  };
  if (provider.tokenUrl) pending.tokenUrl = provider.tokenUrl;
  storage.setItem(pendingKey, JSON.stringify(pending));
  const url = new URL(provider.authorizeUrl, origin);
  url.searchParams.set('response_type', 'code');
  url.searchParams.set('client_id', provider.clientId);
  url.searchParams.set('redirect_uri', redirectUri(origin));
  url.searchParams.set('state', pending.state);
  url.searchParams.set('code_challenge', await codeChallenge(pending.verifier));
  url.searchParams.set('code_challenge_method', 'S256');
  if (provider.id === 'google') url.searchParams.set('scope', 'openid email profile');
  return url.href;
}

export type RedirectOutcome = 'none' | 'signedIn' | 'refused';

// Finishes a sign-in when this page load is the provider's redirect (?code=…&state=…).
export async function completeRedirect(query: URLSearchParams, origin: string, storage: Storage, api: ApiClient): Promise<RedirectOutcome> {
  const code = query.get('code');
  const state = query.get('state');
  if (!code && !query.get('error')) return 'none';
  const saved = storage.getItem(pendingKey);
  storage.removeItem(pendingKey);
  let pending: Pending;
  try {
    pending = JSON.parse(saved ?? '') as Pending;
  } catch {
    return 'refused';
  }
  if (!code || !state || state !== pending.state) return 'refused';
  if (pending.provider === 'github') {
    await api.login({ provider: 'github', token: code, codeVerifier: pending.verifier });
    return 'signedIn';
  }
  if (!pending.tokenUrl) return 'refused';
  const form = new URLSearchParams({
    grant_type: 'authorization_code',
    code,
    client_id: pending.clientId,
    redirect_uri: redirectUri(origin),
    code_verifier: pending.verifier,
  });
  const response = await fetch(new URL(pending.tokenUrl, origin).href, { method: 'POST', body: form });
  if (!response.ok) return 'refused';
  const body = (await response.json()) as { id_token?: unknown };
  if (typeof body.id_token !== 'string') return 'refused';
  await api.login({ provider: 'google', token: body.id_token });
  return 'signedIn';
}
