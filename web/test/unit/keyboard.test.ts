import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import { characterKeyCode, keyCodes } from '../../src/protocol/key-codes.ts';
import { KeyboardSender } from '../../src/screen/keyboard.ts';
import { sourceFile } from './support.ts';

// The agent's table from Mac key codes to X keysyms: code by keysym name.
function agentTable(): Map<string, number> {
  const table = new Map<string, number>();
  for (const [, code, name] of sourceFile('src/platform/linux/mac_key_codes.cc').matchAll(/t\[0x([0-9A-Fa-f]+)\] = XKB_KEY_(\w+);/g)) {
    if (!table.has(name)) table.set(name, parseInt(code, 16));
  }
  return table;
}

describe('key codes', () => {
  const agent = agentTable();

  it('name the keys the agent maps them to', () => {
    const named: Record<string, string> = {
      Enter: 'Return', Tab: 'Tab', ' ': 'space', Backspace: 'BackSpace', Escape: 'Escape', Meta: 'Super_L',
      Shift: 'Shift_L', Alt: 'Alt_L', Control: 'Control_L', Delete: 'Delete', Home: 'Home', PageUp: 'Prior',
      End: 'End', PageDown: 'Next', ArrowLeft: 'Left', ArrowRight: 'Right', ArrowDown: 'Down', ArrowUp: 'Up',
    };
    for (let f = 1; f <= 12; f++) named[`F${f}`] = `F${f}`;
    assert.deepEqual(Object.keys(named).sort(), Object.keys(keyCodes).sort());
    for (const [key, keysym] of Object.entries(named)) {
      assert.equal(keyCodes[key as keyof typeof keyCodes], agent.get(keysym), `${key} is ${keysym}`);
    }
  });

  it('give printable characters their US-layout key', () => {
    const punctuation: Record<string, string> = {
      '=': 'equal', '-': 'minus', ']': 'bracketright', '[': 'bracketleft', "'": 'apostrophe', ';': 'semicolon',
      '\\': 'backslash', ',': 'comma', '/': 'slash', '.': 'period', '`': 'grave',
    };
    for (const c of 'abcdefghijklmnopqrstuvwxyz0123456789') assert.equal(characterKeyCode(c)?.keyCode, agent.get(c), c);
    for (const [c, keysym] of Object.entries(punctuation)) assert.equal(characterKeyCode(c)?.keyCode, agent.get(keysym), c);
    assert.deepEqual(characterKeyCode('Q'), { keyCode: agent.get('q'), shift: true });
    assert.equal(characterKeyCode('한'), undefined);
    assert.equal(characterKeyCode('ab'), undefined);
  });
});

const keys = (payloads: { type: string; data: Record<string, unknown> }[]) =>
  payloads.map((p) => (p.type === 'input.key' ? `${p.data.action}:${p.data.keyCode}` : `${p.type}:${String(p.data.text)}`));

describe('keyboard sender', () => {
  // Typed text reaching the computer is WebEndToEndTest.TouchesAndTypingReachTheXScreen's.
  it('wraps the next key in latched modifiers, then lets go of them', () => {
    const k = new KeyboardSender();
    k.toggle('Control');
    k.toggle('Alt');
    assert.deepEqual(keys(k.named('ArrowLeft')!), ['down:59', 'down:58', 'press:123', 'up:58', 'up:59']);
    assert.equal(k.isLatched('Control'), false);
    assert.deepEqual(keys(k.named('Tab')!), ['press:48']);
  });

  it('turns a typed character under a latch into its key, with Shift for capitals', () => {
    const k = new KeyboardSender();
    k.toggle('Control');
    assert.deepEqual(keys(k.typed('c')), ['down:59', 'press:8', 'up:59']);
    k.toggle('Meta');
    assert.deepEqual(keys(k.typed('Z')), ['down:55', 'down:56', 'press:6', 'up:56', 'up:55']);
    k.toggle('Control');
    assert.deepEqual(keys(k.typed('한')), ['input.text:한'], 'no key for it: typed as text, latch dropped');
    assert.equal(k.isLatched('Control'), false);
  });

  it('sends a hardware keyboard\'s held modifiers around the key, with what the strip latched', () => {
    const k = new KeyboardSender();
    k.toggle('Alt');
    assert.deepEqual(keys(k.held('c', ['Control'])!), ['down:59', 'down:58', 'press:8', 'up:58', 'up:59']);
    assert.equal(k.held('한', ['Control']), undefined);
    assert.deepEqual(keys(k.named('Tab')!), ['press:48'], 'the latch was used up');
  });

  it('untoggles a latch pressed twice, and copies and pastes with Command', () => {
    const k = new KeyboardSender();
    assert.equal(k.toggle('Alt'), true);
    assert.equal(k.toggle('Alt'), false);
    assert.deepEqual(keys(k.copy()), ['down:55', 'press:8', 'up:55']);
    k.toggle('Control');
    assert.deepEqual(keys(k.paste()), ['down:55', 'press:9', 'up:55'], 'other latches do not leak into the shortcut');
  });
});
