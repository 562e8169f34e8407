// Pairing links the page accepts: the web link (<origin>/app/#pair=CODE) and the desktop's
// lumora://pair?…&code=CODE. Only the code matters here; it is the 16-byte pairing secret.
import { fromHex } from './bytes.ts';

export function parsePairingCode(text: string): Uint8Array | undefined {
  const code = text.replace(/[ -]/g, '').toLowerCase();
  if (code.length !== 32) return undefined;
  return fromHex(code);
}

function codeFromWebFragment(fragment: string): string | undefined {
  const params = new URLSearchParams(fragment.replace(/^#/, ''));
  return params.get('pair') ?? undefined;
}

function codeFromAppLink(url: URL): string | undefined {
  // Case-sensitive on purpose: the desktop writes exactly this form.
  const match = /^lumora:\/\/pair\?/.exec(url.href);
  if (!match) return undefined;
  let code: string | undefined;
  for (const [name, value] of url.searchParams) if (name === 'code' && value !== '') code = value;
  return code;
}

export function parsePairingLink(text: string): Uint8Array | undefined {
  const trimmed = text.trim();
  let url: URL;
  try {
    url = new URL(trimmed);
  } catch {
    return parsePairingCode(trimmed);
  }
  let code: string | undefined;
  if (url.protocol === 'lumora:') code = codeFromAppLink(url);
  else if ((url.protocol === 'https:' || url.protocol === 'http:') && url.pathname.startsWith('/app')) {
    code = codeFromWebFragment(url.hash);
  }
  return code === undefined ? undefined : parsePairingCode(code);
}

// The fragment of this page's own address, when it carries a pairing code.
export function pairingCodeInFragment(hash: string): Uint8Array | undefined {
  const code = codeFromWebFragment(hash);
  return code === undefined ? undefined : parsePairingCode(code);
}
