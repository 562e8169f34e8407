import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import type { IncomingPayload } from '../../src/protocol/envelope.ts';
import { controlCharacter, stripKeyInput, typedWithModifiers } from '../../src/terminal/keys.ts';
import { maxCells, openTerminal, openedSession, resizeTerminal, terminalEvent } from '../../src/terminal/terminal-payloads.ts';

const none = { ctrl: false, alt: false };
const ctrl = { ctrl: true, alt: false };
const alt = { ctrl: false, alt: true };
const incoming = (type: string, data: Record<string, unknown>) => ({ type, data }) as IncomingPayload;

describe('terminal keys', () => {
  it('Ctrl turns letters and the usual punctuation into control characters, case alike', () => {
    assert.equal(controlCharacter('c'), '\x03');
    assert.equal(controlCharacter('C'), '\x03');
    assert.equal(controlCharacter('['), '\x1b');
    assert.equal(controlCharacter(' '), '\x00');
    assert.equal(controlCharacter('?'), '\x7f');
    // Nothing to do for a digit without a control meaning.
    assert.equal(controlCharacter('5'), '5');
  });

  it('latched modifiers act on the first character typed only', () => {
    assert.equal(typedWithModifiers('ls', ctrl), '\x0cs');
    assert.equal(typedWithModifiers('x', { ctrl: true, alt: true }), '\x1b\x18');
    assert.equal(typedWithModifiers('hello', none), 'hello');
    // A character outside the basic plane stays whole behind Alt.
    assert.equal(typedWithModifiers('😀a', alt), '\x1b😀a');
    assert.equal(typedWithModifiers('', ctrl), '');
  });

  it('strip keys: arrows follow the cursor mode the program chose, every key carries modifiers the xterm way', () => {
    assert.equal(stripKeyInput('ArrowUp', none, false), '\x1b[A');
    assert.equal(stripKeyInput('ArrowRight', none, true), '\x1bOC');
    assert.equal(stripKeyInput('ArrowLeft', ctrl, true), '\x1b[1;5D');
    assert.equal(stripKeyInput('ArrowRight', alt, false), '\x1b[1;3C');
    assert.equal(stripKeyInput('Tab', alt, false), '\x1b\t');
    assert.equal(stripKeyInput('|', none, false), '|');
    assert.equal(stripKeyInput('/', ctrl, false), '\x1f');
  });
});

// What the real agent sends and takes (input, output, an opened terminal) is what WebTerminalTest
// types and reads; here, the limits and the records it does not send.
describe('terminal records', () => {
  it('keep sizes within what a pseudo-terminal takes', () => {
    assert.deepEqual(openTerminal(52.7, 30).data, { cols: 52, rows: 30 });
    assert.deepEqual(resizeTerminal('S', 0, 1e9).data, { sessionId: 'S', cols: 1, rows: maxCells });
    assert.deepEqual(openTerminal(Number.NaN, 24).data, { cols: 1, rows: 24 });
  });

  it('read a negative exit code, and tell a record of a known terminal that cannot be read', () => {
    assert.deepEqual(terminalEvent(incoming('terminal.exit', { sessionId: 'S', exitCode: -1 })), { kind: 'exit', sessionId: 'S', exitCode: -1 });
    for (const bad of [{ data: 'not base64!' }, { data: 42 }, {}]) {
      assert.deepEqual(terminalEvent(incoming('terminal.output', { sessionId: 'S', ...bad })), { kind: 'malformed', sessionId: 'S' });
    }
    for (const code of [1.5, '0', 2 ** 31, null]) {
      assert.deepEqual(terminalEvent(incoming('terminal.exit', { sessionId: 'S', exitCode: code })), { kind: 'malformed', sessionId: 'S' });
    }
  });

  it('ignore records and opened replies that name no terminal, and payloads of other kinds', () => {
    for (const sessionId of [undefined, 7, '', 'x'.repeat(65)]) {
      assert.equal(terminalEvent(incoming('terminal.output', { sessionId, data: 'aGk=' })), undefined);
    }
    assert.equal(terminalEvent(incoming('file.list.result', { sessionId: 'S' })), undefined);
    assert.equal(terminalEvent({ type: 'ack' }), undefined);
    assert.equal(openedSession(incoming('terminal.opened', { sessionId: 12 })), undefined);
    assert.equal(openedSession({ type: 'ack' }), undefined);
  });
});
