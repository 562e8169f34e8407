// Standard Base64 with padding, as the envelope carries bytes. Decoding refuses anything that is
// not canonical Base64 instead of guessing.


export function toBase64(bytes: Uint8Array): string {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

export function fromBase64(text: string): Uint8Array | undefined {
  if (text.length % 4 !== 0 || !/^[A-Za-z0-9+/]*={0,2}$/.test(text)) return undefined;
  let binary: string;
  try {
    binary = atob(text);
  } catch {
    return undefined;
  }
  const out = Uint8Array.from(binary, (c) => c.charCodeAt(0));
  // Non-zero padding bits mean a text that no encoder writes: refuse it.
  return toBase64(out) === text ? out : undefined;
}

export function fromBase64Url(text: string): Uint8Array | undefined {
  const standard = text.replace(/-/g, '+').replace(/_/g, '/');
  return fromBase64(standard + '='.repeat((4 - (standard.length % 4)) % 4));
}

export function toBase64Url(bytes: Uint8Array): string {
  return toBase64(bytes).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

