// The hidden textarea that raises the phone's keyboard. Composed text (Korean and other IMEs) is
// sent when the composition ends, plain text as it is typed; Enter and Backspace as keys.
import type { OutgoingPayload } from '../protocol/envelope.ts';
import type { ModifierKey } from '../protocol/key-codes.ts';
import type { KeyboardSender } from '../screen/keyboard.ts';

const keysFromKeydown = new Set(['Enter', 'Backspace', 'Tab', 'Escape', 'ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight', 'Delete', 'Home', 'End', 'PageUp', 'PageDown']);

export function attachKeyboardInput(field: HTMLTextAreaElement, keyboard: KeyboardSender, send: (payloads: OutgoingPayload[]) => void, onChange: () => void): void {
  let composing = false;
  const emit = (payloads: OutgoingPayload[] | undefined) => {
    if (!payloads || payloads.length === 0) return;
    send(payloads);
    onChange();
  };
  const clear = () => {
    if (!composing) field.value = '';
  };

  field.addEventListener('compositionstart', () => {
    composing = true;
  });
  field.addEventListener('compositionend', (event) => {
    composing = false;
    emit(keyboard.typed(event.data ?? ''));
    clear();
  });
  field.addEventListener('keydown', (event) => {
    if (composing || event.isComposing) return;
    const modifiers: ModifierKey[] = [];
    if (event.ctrlKey) modifiers.push('Control');
    if (event.altKey) modifiers.push('Alt');
    if (event.metaKey) modifiers.push('Meta');
    const payloads = keysFromKeydown.has(event.key)
      ? keyboard.named(event.key)
      : modifiers.length > 0
        ? keyboard.held(event.key, modifiers)
        : undefined;
    if (!payloads) return;
    event.preventDefault();
    emit(payloads);
  });
  field.addEventListener('input', (event) => {
    const e = event as InputEvent;
    if (composing || e.isComposing) return;
    switch (e.inputType) {
      case 'insertText':
      case 'insertReplacementText':
      case 'insertFromPaste':
        emit(keyboard.typed(e.data ?? field.value));
        break;
      case 'deleteContentBackward':
        // Keyboards that report every key as "Unidentified" still delete through here.
        emit(keyboard.named('Backspace'));
        break;
      case 'insertLineBreak':
      case 'insertParagraph':
        emit(keyboard.named('Enter'));
        break;
    }
    clear();
  });
}
