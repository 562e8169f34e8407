// Asks before something that cannot be undone, in the page itself (a browser's own confirm()
// box looks alike for every site and some embedded browsers never show it).
import { byId } from './dom.ts';

export function confirmAction(question: string): Promise<boolean> {
  const dialog = byId<HTMLDialogElement>('confirm-dialog');
  byId('confirm-text').textContent = question;
  dialog.returnValue = '';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true });
    dialog.showModal();
  });
}
