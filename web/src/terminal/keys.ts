// What the terminal's key strip and its latching modifiers send to the shell: the same bytes a
// desktop terminal sends for those keys, since that is what the programs on the computer read.

export const stripKeys = ['Escape', 'Tab', 'Control', 'Alt', 'ArrowLeft', 'ArrowUp', 'ArrowDown', 'ArrowRight', '|', '~', '/', '-'] as const;
export type StripKey = (typeof stripKeys)[number];

export interface Modifiers {
  ctrl: boolean;
  alt: boolean;
}

const ESC = '\x1b';
const arrowLetter: Partial<Record<StripKey, string>> = { ArrowUp: 'A', ArrowDown: 'B', ArrowRight: 'C', ArrowLeft: 'D' };

export function isStripKey(name: string | undefined): name is StripKey {
  return (stripKeys as readonly string[]).includes(name ?? '');
}

// The control character Ctrl turns `char` into, or the character itself when Ctrl means nothing
// for it (digits, most punctuation, anything beyond ASCII), as a terminal keyboard does.
export function controlCharacter(char: string): string {
  if (char.length !== 1) return char;
  const code = char.charCodeAt(0);
  if (code >= 0x61 && code <= 0x7a) return String.fromCharCode(code - 0x60); // a–z
  if (code >= 0x40 && code <= 0x5f) return String.fromCharCode(code - 0x40); // @ A–Z [ \ ] ^ _
  if (char === ' ' || char === '2') return '\x00';
  if (char === '?' || char === '8') return '\x7f';
  if (char === '/') return '\x1f';
  return char;
}

// Text typed while modifiers were latched: they act on its first character only (a phone's
// keyboard may hand over a whole word at once), Ctrl as its control character, Alt as an ESC
// before it.
export function typedWithModifiers(data: string, modifiers: Modifiers): string {
  if (data === '' || (!modifiers.ctrl && !modifiers.alt)) return data;
  const first = String.fromCodePoint(data.codePointAt(0)!);
  const rest = data.slice(first.length);
  const changed = modifiers.ctrl ? controlCharacter(first) : first;
  return (modifiers.alt ? ESC : '') + changed + rest;
}

// The bytes (as a string of code points below 0x80) a key of the strip sends. Arrows follow the
// terminal's cursor mode: programs that asked for application cursor keys (full-screen editors,
// pagers) get ESC O x, others ESC [ x; with modifiers, the xterm form ESC [ 1 ; m x.
export function stripKeyInput(key: Exclude<StripKey, 'Control' | 'Alt'>, modifiers: Modifiers, applicationCursor: boolean): string {
  const arrow = arrowLetter[key];
  if (arrow !== undefined) {
    if (modifiers.ctrl || modifiers.alt) return `${ESC}[1;${1 + (modifiers.alt ? 2 : 0) + (modifiers.ctrl ? 4 : 0)}${arrow}`;
    return ESC + (applicationCursor ? 'O' : '[') + arrow;
  }
  if (key === 'Escape') return (modifiers.alt ? ESC : '') + ESC;
  if (key === 'Tab') return modifiers.alt ? ESC + '\t' : '\t';
  return typedWithModifiers(key, modifiers);
}
