// One terminal of the panel: its xterm screen, its chip in the panel's tab row, and its state on
// the computer. The panel owns the link and says what happened; this draws it.
import { FitAddon } from '@xterm/addon-fit';
import { Terminal } from '@xterm/xterm';
import { t } from '../i18n/index.ts';

export type TerminalState = 'opening' | 'running' | 'ended';

// Colours of the page's dark screen view.
const theme = { background: '#000000', foreground: '#e8ebef', cursor: '#7bd88f', selectionBackground: '#2f5b9a' };

export class TerminalTab {
  readonly term: Terminal;
  readonly host: HTMLElement;
  readonly chip: HTMLElement;
  state: TerminalState = 'opening';
  sessionId: string | undefined;
  exitCode: number | undefined;
  private readonly fitter = new FitAddon();
  private readonly label: HTMLButtonElement;

  constructor(
    readonly number: number,
    stage: HTMLElement,
    chips: HTMLElement,
    callbacks: { select: () => void; close: () => void },
  ) {
    this.term = new Terminal({
      fontSize: 13,
      fontFamily: 'ui-monospace, "DejaVu Sans Mono", "Noto Sans Mono", Menlo, monospace',
      theme,
      scrollback: 5000,
      cursorBlink: true,
    });
    this.term.loadAddon(this.fitter);
    this.host = document.createElement('div');
    this.host.className = 'term-host';
    this.host.hidden = true;
    stage.append(this.host);
    this.term.open(this.host);

    this.chip = document.createElement('div');
    this.chip.className = 'term-chip';
    this.chip.setAttribute('role', 'tab');
    this.chip.dataset.terminal = String(number);
    this.label = document.createElement('button');
    this.label.type = 'button';
    this.label.className = 'term-label';
    this.label.onclick = callbacks.select;
    const close = document.createElement('button');
    close.type = 'button';
    close.className = 'term-close';
    close.textContent = '×';
    close.setAttribute('aria-label', t('terminalClose'));
    close.onclick = callbacks.close;
    this.chip.append(this.label, close);
    chips.append(this.chip);
    this.showState();
  }

  get selected(): boolean {
    return !this.host.hidden;
  }

  select(selected: boolean): void {
    this.host.hidden = !selected;
    this.chip.setAttribute('aria-selected', String(selected));
    if (selected) this.fit();
  }

  // Columns and rows from the space the terminal has and its font; nothing while it is hidden.
  fit(): void {
    if (this.host.hidden || this.host.clientWidth === 0) return;
    const size = this.fitter.proposeDimensions();
    if (!size || !Number.isFinite(size.cols) || !Number.isFinite(size.rows)) return;
    const cols = Math.max(2, size.cols);
    const rows = Math.max(1, size.rows);
    if (cols !== this.term.cols || rows !== this.term.rows) this.term.resize(cols, rows);
  }

  running(sessionId: string): void {
    this.sessionId = sessionId;
    this.state = 'running';
    this.showState();
  }

  // The shell exited (with its code), or its connection ended (no code), or it never opened.
  ended(message: string, exitCode?: number): void {
    if (this.state === 'ended') return;
    this.state = 'ended';
    this.exitCode = exitCode;
    // Shown in reverse video, and the cursor goes: nothing more is typed here.
    this.term.write(`\r\n\x1b[7m ${message} \x1b[0m\r\n\x1b[?25l`);
    this.showState();
  }

  // The whole buffer as text, one line a row, trailing blanks dropped.
  text(): string {
    const buffer = this.term.buffer.active;
    const lines: string[] = [];
    for (let i = 0; i < buffer.length; ++i) lines.push(buffer.getLine(i)?.translateToString(true) ?? '');
    while (lines.length > 0 && lines[lines.length - 1] === '') lines.pop();
    return lines.join('\n');
  }

  dispose(): void {
    this.term.dispose();
    this.host.remove();
    this.chip.remove();
  }

  private showState(): void {
    this.chip.dataset.state = this.state;
    const name = t('terminalName', { number: this.number });
    if (this.state !== 'ended') this.label.textContent = name;
    else if (this.exitCode === undefined) this.label.textContent = t('terminalNameEnded', { name });
    else this.label.textContent = t('terminalNameExited', { name, code: this.exitCode });
  }
}
