// The page's language from the browser's preference list, and text lookup with {name} fields.
import { type Language, type TextKey, texts } from './texts.ts';

export function chooseLanguage(preferred: readonly string[]): Language {
  for (const tag of preferred) {
    const base = tag.toLowerCase().split('-')[0];
    if (base === 'ko' || base === 'en') return base;
  }
  return 'en';
}

let language: Language = 'en';

export function setLanguage(value: Language): void {
  language = value;
}

export function currentLanguage(): Language {
  return language;
}

export function t(key: TextKey, fields: Record<string, string | number> = {}): string {
  return texts[language][key].replace(/\{(\w+)\}/g, (whole, name: string) => (name in fields ? String(fields[name]) : whole));
}
