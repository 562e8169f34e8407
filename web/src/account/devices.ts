// The account's devices (GET /devices) as the page shows them.
import type { ApiClient } from './api-client.ts';

export interface Device {
  id: string;
  name: string;
  platform: string;
  status: string;
  pairingFingerprint?: string;
  lastSeenAt?: string;
}

export function parseDevices(body: unknown): Device[] {
  if (!Array.isArray(body)) {
    const inner = (body as { devices?: unknown } | null)?.devices;
    if (!Array.isArray(inner)) return [];
    body = inner;
  }
  const out: Device[] = [];
  for (const entry of body as unknown[]) {
    if (typeof entry !== 'object' || entry === null) continue;
    const e = entry as Record<string, unknown>;
    if (typeof e.id !== 'string' && typeof e.id !== 'number') continue;
    if (typeof e.name !== 'string') continue;
    const device: Device = {
      id: String(e.id),
      name: e.name,
      platform: typeof e.platform === 'string' ? e.platform : '',
      status: typeof e.status === 'string' ? e.status : '',
    };
    if (typeof e.pairingFingerprint === 'string') device.pairingFingerprint = e.pairingFingerprint;
    if (typeof e.lastSeenAt === 'string') device.lastSeenAt = e.lastSeenAt;
    out.push(device);
  }
  return out;
}

export async function listDevices(api: ApiClient): Promise<Device[]> {
  return parseDevices(await api.request<unknown>('GET', '/devices'));
}

export interface RelayToken {
  token: string;
  room: string;
  expiresInSeconds: number;
}

export async function issueRelayToken(api: ApiClient, fingerprint: string): Promise<RelayToken> {
  const body = await api.request<Record<string, unknown>>('POST', '/relay/token', { fingerprint });
  if (typeof body.token !== 'string' || typeof body.room !== 'string' || typeof body.expiresInSeconds !== 'number') {
    throw new Error('the relay token answer is malformed');
  }
  return { token: body.token, room: body.room, expiresInSeconds: body.expiresInSeconds };
}
