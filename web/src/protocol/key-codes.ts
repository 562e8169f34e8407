// The protocol's key codes are the Mac's virtual key codes (the agent maps them to its own
// keyboard). Keyed by KeyboardEvent.key for named keys and by the character for printable ones.

export const keyCodes = {
  Enter: 36,
  Tab: 48,
  ' ': 49,
  Backspace: 51,
  Escape: 53,
  Meta: 55,
  Shift: 56,
  Alt: 58,
  Control: 59,
  Delete: 117,
  Home: 115,
  PageUp: 116,
  End: 119,
  PageDown: 121,
  ArrowLeft: 123,
  ArrowRight: 124,
  ArrowDown: 125,
  ArrowUp: 126,
  F1: 122, F2: 120, F3: 99, F4: 118, F5: 96, F6: 97, F7: 98, F8: 100, F9: 101, F10: 109, F11: 103, F12: 111,
} as const satisfies Record<string, number>;

export type NamedKey = keyof typeof keyCodes;
export type ModifierKey = 'Control' | 'Alt' | 'Meta' | 'Shift';
export const modifierKeys: readonly ModifierKey[] = ['Control', 'Alt', 'Meta', 'Shift'];

// The US layout's printable keys by position; a shifted character maps to its key plus Shift.
const printable: Record<string, number> = {
  a: 0, s: 1, d: 2, f: 3, h: 4, g: 5, z: 6, x: 7, c: 8, v: 9, b: 11, q: 12, w: 13, e: 14, r: 15,
  y: 16, t: 17, '1': 18, '2': 19, '3': 20, '4': 21, '6': 22, '5': 23, '=': 24, '9': 25, '7': 26,
  '-': 27, '8': 28, '0': 29, ']': 30, o: 31, u: 32, '[': 33, i: 34, p: 35, l: 37, j: 38, "'": 39,
  k: 40, ';': 41, '\\': 42, ',': 43, '/': 44, n: 45, m: 46, '.': 47, '`': 50,
};

export function namedKeyCode(key: string): number | undefined {
  return Object.prototype.hasOwnProperty.call(keyCodes, key) ? keyCodes[key as NamedKey] : undefined;
}

// The key for one typed character, for shortcuts (Ctrl+C from a latched Ctrl and a typed "c").
export function characterKeyCode(character: string): { keyCode: number; shift: boolean } | undefined {
  if (character.length !== 1) return undefined;
  const lower = character.toLowerCase();
  if (printable[lower] !== undefined) return { keyCode: printable[lower], shift: lower !== character };
  if (character === ' ') return { keyCode: keyCodes[' '], shift: false };
  return undefined;
}
