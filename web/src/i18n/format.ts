// Sizes and dates as a person reads them, in the page's language.
import { currentLanguage } from './index.ts';

const units = ['B', 'kB', 'MB', 'GB', 'TB', 'PB'];

export function formatSize(bytes: number): string {
  let value = bytes;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit += 1;
  }
  if (unit === 0) return `${bytes} B`;
  const digits = value < 10 ? 1 : 0;
  return `${value.toLocaleString(currentLanguage(), { maximumFractionDigits: digits, minimumFractionDigits: digits })} ${units[unit]}`;
}

export function formatDate(seconds: number): string {
  return new Date(seconds * 1000).toLocaleString(currentLanguage(), { dateStyle: 'medium', timeStyle: 'short' });
}

export function formatPercent(done: number, total: number): string {
  return total > 0 ? `${Math.floor((done * 100) / total)} %` : '';
}
