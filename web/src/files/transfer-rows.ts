// The transfers under way, each a row with its progress and a cancel button, and a record of
// every transfer for the tests and the bench (window.lumora.transfers).
import { t } from '../i18n/index.ts';
import { formatPercent, formatSize } from '../i18n/format.ts';

export interface TransferRecord {
  kind: 'download' | 'upload';
  name: string;
  bytes: number;
  total: number;
  startedAt: number; // performance.now() of the tap that started it
  endedAt?: number;
  state: 'running' | 'done' | 'cancelled' | 'failed';
  via?: 'worker' | 'blob';
}

const kept = 50;

function records(): TransferRecord[] {
  const global = window as unknown as { lumora?: { transfers?: TransferRecord[] } };
  global.lumora ??= {};
  global.lumora.transfers ??= [];
  return global.lumora.transfers;
}

export class TransferRow {
  readonly record: TransferRecord;
  private readonly row: HTMLLIElement;
  private readonly bar: HTMLProgressElement;
  private readonly text: HTMLSpanElement;
  private readonly cancel: HTMLButtonElement;

  constructor(list: HTMLElement, kind: TransferRecord['kind'], name: string, total: number, startedAt: number, onCancel: () => void) {
    this.record = { kind, name, bytes: 0, total, startedAt, state: 'running' };
    const all = records();
    all.push(this.record);
    if (all.length > kept) all.splice(0, all.length - kept);

    this.row = document.createElement('li');
    this.row.className = 'file-progress';
    this.row.dataset.kind = kind;
    this.row.dataset.name = name;
    this.row.dataset.state = 'running';
    const title = document.createElement('span');
    title.className = 'file-progress-name';
    title.textContent = `${kind === 'download' ? '↓' : '↑'} ${name}`;
    this.bar = document.createElement('progress');
    this.bar.max = 1;
    this.bar.value = 0;
    this.text = document.createElement('span');
    this.text.className = 'file-progress-text';
    this.cancel = document.createElement('button');
    this.cancel.className = 'file-cancel quiet';
    this.cancel.textContent = t('filesCancel');
    this.cancel.onclick = onCancel;
    this.row.append(title, this.cancel, this.bar, this.text);
    list.append(this.row);
    this.progress(0, total);
  }

  progress(done: number, total: number): void {
    this.record.bytes = done;
    this.record.total = total;
    this.bar.value = total > 0 ? done / total : 0;
    this.row.dataset.bytes = String(done);
    this.text.textContent = t('filesProgress', { done: formatSize(done), total: formatSize(total), percent: formatPercent(done, total) });
  }

  finish(state: Exclude<TransferRecord['state'], 'running'>): void {
    this.record.state = state;
    this.record.endedAt = performance.now();
    this.row.dataset.state = state;
    this.cancel.hidden = true;
    if (state === 'done') this.text.textContent = t('filesDone', { total: formatSize(this.record.bytes) });
    // A finished row stays a moment so that the person sees how it ended.
    setTimeout(() => this.row.remove(), state === 'done' ? 4000 : 1500);
  }
}
