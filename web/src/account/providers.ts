// The sign-in providers the service accepts (GET /auth/providers).
export interface Provider {
  id: 'google' | 'github' | 'dev';
  clientId?: string;
  authorizeUrl?: string;
  tokenUrl?: string;
}

const usable: ReadonlySet<string> = new Set(['google', 'github', 'dev']);

// Providers this page can sign in with; an entry missing what its flow needs is left out.
export function parseProviders(body: unknown): Provider[] {
  const list = (body as { providers?: unknown } | null)?.providers;
  if (!Array.isArray(list)) return [];
  const out: Provider[] = [];
  for (const entry of list) {
    if (typeof entry !== 'object' || entry === null) continue;
    const e = entry as Record<string, unknown>;
    if (typeof e.id !== 'string' || !usable.has(e.id)) continue;
    const p: Provider = { id: e.id as Provider['id'] };
    if (typeof e.clientId === 'string') p.clientId = e.clientId;
    if (typeof e.authorizeUrl === 'string') p.authorizeUrl = e.authorizeUrl;
    if (typeof e.tokenUrl === 'string') p.tokenUrl = e.tokenUrl;
    if (p.id !== 'dev' && (!p.clientId || !p.authorizeUrl)) continue;
    if (p.id === 'google' && !p.tokenUrl) continue;
    out.push(p);
  }
  return out;
}

export async function fetchProviders(origin: string): Promise<Provider[]> {
  const response = await fetch(origin + '/auth/providers', { cache: 'no-store' });
  if (!response.ok) return [];
  return parseProviders(await response.json());
}
