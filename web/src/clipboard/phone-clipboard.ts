// This phone's own clipboard, through the browser's asynchronous clipboard. Browsers allow it
// only during a tap and may ask the person or refuse; every outcome comes back as a value.

export type PhoneClipboard =
  | { kind: 'text'; text: string }
  | { kind: 'image'; png: Uint8Array }
  | { kind: 'empty' }
  | { kind: 'refused' }
  | { kind: 'unavailable' };

// A picture when the browser offers one as PNG, else the text.
export async function readPhoneClipboard(): Promise<PhoneClipboard> {
  const clipboard = navigator.clipboard as Clipboard | undefined;
  try {
    if (clipboard?.read) {
      const items = await clipboard.read();
      const image = items.find((item) => item.types.includes('image/png'));
      if (image) return { kind: 'image', png: new Uint8Array(await (await image.getType('image/png')).arrayBuffer()) };
      const text = items.find((item) => item.types.includes('text/plain'));
      return textRead(text ? await (await text.getType('text/plain')).text() : '');
    }
    if (clipboard?.readText) return textRead(await clipboard.readText());
    return { kind: 'unavailable' };
  } catch {
    // NotAllowedError mostly; a browser that fails otherwise has refused all the same.
    return { kind: 'refused' };
  }
}

const textRead = (text: string): PhoneClipboard => (text ? { kind: 'text', text } : { kind: 'empty' });

export async function writePhoneText(text: string): Promise<boolean> {
  try {
    await navigator.clipboard.writeText(text);
    return true;
  } catch {
    return false;
  }
}

export const canWritePhoneImage = (): boolean =>
  typeof ClipboardItem !== 'undefined' && typeof navigator.clipboard?.write === 'function';

export async function writePhoneImage(png: Blob): Promise<boolean> {
  try {
    await navigator.clipboard.write([new ClipboardItem({ 'image/png': png })]);
    return true;
  } catch {
    return false;
  }
}
