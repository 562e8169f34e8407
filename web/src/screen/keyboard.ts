// What keys and text become on the wire. Strip modifiers latch: the next key is sent as
// modifier downs, the key, modifier ups, and the latch clears.
import { type ModifierKey, characterKeyCode, keyCodes, modifierKeys, namedKeyCode } from '../protocol/key-codes.ts';
import type { OutgoingPayload } from '../protocol/envelope.ts';
import { key, text } from '../protocol/payloads.ts';

export class KeyboardSender {
  private readonly latched = new Set<ModifierKey>();

  toggle(modifier: ModifierKey): boolean {
    if (this.latched.has(modifier)) this.latched.delete(modifier);
    else this.latched.add(modifier);
    return this.latched.has(modifier);
  }

  isLatched(modifier: ModifierKey): boolean {
    return this.latched.has(modifier);
  }

  // A named key (Enter, Backspace, arrows …); undefined when the protocol has no code for it.
  named(name: string): OutgoingPayload[] | undefined {
    const code = namedKeyCode(name);
    return code === undefined ? undefined : this.chord(code, []);
  }

  typed(value: string): OutgoingPayload[] {
    if (value === '') return [];
    if (this.latched.size > 0) {
      const mapped = characterKeyCode(value);
      if (mapped) return this.chord(mapped.keyCode, mapped.shift ? ['Shift'] : []);
    }
    this.latched.clear();
    return [text(value)];
  }

  // A character typed with modifiers held on a hardware keyboard (Ctrl+C on a tablet's keyboard).
  held(character: string, modifiers: readonly ModifierKey[]): OutgoingPayload[] | undefined {
    const mapped = characterKeyCode(character);
    if (!mapped) return undefined;
    for (const m of modifiers) this.latched.add(m);
    return this.chord(mapped.keyCode, mapped.shift ? ['Shift'] : []);
  }

  copy(): OutgoingPayload[] {
    return this.shortcut(characterKeyCode('c')!.keyCode);
  }

  paste(): OutgoingPayload[] {
    return this.shortcut(characterKeyCode('v')!.keyCode);
  }

  private shortcut(code: number): OutgoingPayload[] {
    this.latched.clear();
    this.latched.add('Meta');
    return this.chord(code, []);
  }

  private chord(code: number, extra: ModifierKey[]): OutgoingPayload[] {
    const held = modifierKeys.filter((m) => this.latched.has(m) || extra.includes(m));
    this.latched.clear();
    return [
      ...held.map((m) => key(keyCodes[m], 'down')),
      key(code, 'press'),
      ...held.reverse().map((m) => key(keyCodes[m], 'up')),
    ];
  }
}
