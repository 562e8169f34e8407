// Small DOM helpers: lookup by id, texts from the table, one visible view.
import { t } from '../i18n/index.ts';
import type { TextKey } from '../i18n/texts.ts';

export function byId<T extends HTMLElement = HTMLElement>(id: string): T {
  const element = document.getElementById(id);
  if (!element) throw new Error(`#${id} is missing from the page`);
  return element as T;
}

export function applyTexts(root: ParentNode = document): void {
  for (const element of root.querySelectorAll<HTMLElement>('[data-text]')) {
    element.textContent = t(element.dataset.text as TextKey);
  }
}

export type ViewName = 'signin' | 'devices' | 'pair' | 'screen';
const views: ViewName[] = ['signin', 'devices', 'pair', 'screen'];

export function showView(name: ViewName): void {
  for (const view of views) byId(`view-${view}`).hidden = view !== name;
}

export function showMessage(element: HTMLElement, key: TextKey | undefined): void {
  element.hidden = key === undefined;
  element.textContent = key === undefined ? '' : t(key);
}
