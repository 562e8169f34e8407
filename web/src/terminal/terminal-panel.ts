// The computer's terminals: shells on the computer, each on a pseudo-terminal sized to this
// phone, several at once behind chips, typed into with the phone's keyboard and a strip of the
// keys it lacks. They live as long as the connection: when it ends, so do they.
import { t } from '../i18n/index.ts';
import type { IncomingPayload } from '../protocol/envelope.ts';
import type { AgentLink } from '../session/agent-link.ts';
import type { ConnectionState } from '../session/reconnecting-session.ts';
import type { Panel } from '../ui/computer-tabs.ts';
import { isStripKey, type Modifiers, stripKeyInput, typedWithModifiers } from './keys.ts';
import { carryScriptStylesThroughCssom } from './script-styles.ts';
import { TerminalTab } from './terminal-tab.ts';
import {
  closeTerminal,
  openedSession,
  openTerminal,
  resizeTerminal,
  type TerminalEvent,
  terminalEvent,
  terminalInput,
} from './terminal-payloads.ts';

// Input goes out in pieces of at most this many bytes, so that a long paste never makes one
// oversized message.
const inputPiece = 16 * 1024;
// Events the agent may send for a terminal whose opening reply has not been handled yet.
const maxHeldBytes = 1 << 20;

export interface TerminalHook {
  number: number;
  state: string;
  sessionId?: string;
  exitCode?: number;
  cols: number;
  rows: number;
  selected: boolean;
  text: string;
}

export class TerminalPanel implements Panel {
  private readonly tabs: TerminalTab[] = [];
  private readonly stage: HTMLElement;
  private readonly chips: HTMLElement;
  private readonly newButton: HTMLButtonElement;
  private readonly empty: HTMLElement;
  private readonly strip: HTMLButtonElement[];
  private readonly modifiers: Modifiers = { ctrl: false, alt: false };
  private readonly encoder = new TextEncoder();
  private numbered = 0;
  private shown = false;
  private opening = 0;
  private held: TerminalEvent[] = [];
  private heldBytes = 0;

  constructor(
    readonly link: AgentLink,
    readonly root: HTMLElement,
  ) {
    this.stage = part(root, '.term-stage');
    this.chips = part(root, '.term-chips');
    this.newButton = part<HTMLButtonElement>(root, '.term-new');
    this.empty = part(root, '.term-empty');
    this.strip = [...root.querySelectorAll<HTMLButtonElement>('button[data-term-key]')];
    this.newButton.onclick = () => void this.open();
    for (const button of this.strip) {
      // The terminal keeps the focus, and so the phone's keyboard stays up.
      button.addEventListener('pointerdown', (event) => event.preventDefault());
      button.onclick = () => this.stripKey(button.dataset.termKey);
    }
    link.onEvent((payload) => this.event(payload));
    link.onConnection((state) => this.connectionChanged(state));
    new ResizeObserver(() => this.selected()?.fit()).observe(this.stage);
    // Leaving the page ends the connection and so the shells; say so at once where possible.
    window.addEventListener('pagehide', () => {
      for (const tab of this.tabs) this.endOnComputer(tab);
    });
    this.exposeToTests();
    this.showEmpty();
  }

  show(): void {
    this.shown = true;
    if (this.tabs.length === 0 && this.link.connected) void this.open();
    else this.selected()?.fit();
  }

  hide(): void {
    this.shown = false;
  }

  private selected(): TerminalTab | undefined {
    return this.tabs.find((tab) => tab.selected);
  }

  private async open(): Promise<void> {
    if (!this.link.connected) return;
    carryScriptStylesThroughCssom();
    const tab: TerminalTab = new TerminalTab(++this.numbered, this.stage, this.chips, {
      select: () => this.select(tab),
      close: () => this.close(tab),
    });
    this.tabs.push(tab);
    this.select(tab);
    tab.term.onData((data) => this.send(tab, typedWithModifiers(data, this.takeModifiers())));
    tab.term.onBinary((data) => this.sendBytes(tab, Uint8Array.from(data, (c) => c.charCodeAt(0) & 0xff)));
    tab.term.onResize(({ cols, rows }) => {
      if (tab.state === 'running' && tab.sessionId) this.link.notify(resizeTerminal(tab.sessionId, cols, rows));
    });
    const cols = tab.term.cols;
    const rows = tab.term.rows;
    ++this.opening;
    try {
      const sessionId = openedSession(await this.link.request(openTerminal(cols, rows)));
      if (!sessionId) throw new Error(t('terminalBadReply'));
      if (!this.tabs.includes(tab) || tab.state === 'ended') {
        // Closed, or its connection ended, while it was opening.
        void this.link.request(closeTerminal(sessionId)).catch(() => undefined);
        return;
      }
      tab.running(sessionId);
      if (tab.term.cols !== cols || tab.term.rows !== rows) {
        this.link.notify(resizeTerminal(sessionId, tab.term.cols, tab.term.rows));
      }
      this.release(sessionId);
      if (tab.selected) tab.term.focus();
    } catch (error) {
      tab.ended(t('terminalOpenFailed', { reason: error instanceof Error ? error.message : String(error) }));
    } finally {
      if (--this.opening === 0) {
        this.held = [];
        this.heldBytes = 0;
      }
    }
  }

  private select(chosen: TerminalTab): void {
    for (const tab of this.tabs) tab.select(tab === chosen);
    this.showEmpty();
  }

  private close(tab: TerminalTab): void {
    this.endOnComputer(tab);
    const at = this.tabs.indexOf(tab);
    if (at < 0) return;
    const wasSelected = tab.selected;
    this.tabs.splice(at, 1);
    tab.dispose();
    const next = this.tabs[Math.min(at, this.tabs.length - 1)];
    if (wasSelected && next) this.select(next);
    this.showEmpty();
  }

  private endOnComputer(tab: TerminalTab): void {
    if (tab.state !== 'running' || !tab.sessionId || !this.link.connected) return;
    void this.link.request(closeTerminal(tab.sessionId)).catch(() => undefined);
  }

  private send(tab: TerminalTab, data: string): void {
    this.sendBytes(tab, this.encoder.encode(data));
  }

  private sendBytes(tab: TerminalTab, bytes: Uint8Array): void {
    if (tab.state !== 'running' || !tab.sessionId || bytes.length === 0) return;
    for (let at = 0; at < bytes.length; at += inputPiece) {
      this.link.notify(terminalInput(tab.sessionId, bytes.subarray(at, at + inputPiece)));
    }
  }

  private stripKey(name: string | undefined): void {
    if (!isStripKey(name)) return;
    if (name === 'Control' || name === 'Alt') {
      const which = name === 'Control' ? 'ctrl' : 'alt';
      this.modifiers[which] = !this.modifiers[which];
      this.showLatches();
      return;
    }
    const tab = this.selected();
    if (!tab) return;
    this.send(tab, stripKeyInput(name, this.takeModifiers(), tab.term.modes.applicationCursorKeysMode));
  }

  // The latched modifiers, for the key that uses them; they let go after it.
  private takeModifiers(): Modifiers {
    const taken = { ...this.modifiers };
    if (taken.ctrl || taken.alt) {
      this.modifiers.ctrl = this.modifiers.alt = false;
      this.showLatches();
    }
    return taken;
  }

  private showLatches(): void {
    for (const button of this.strip) {
      const key = button.dataset.termKey;
      if (key === 'Control') button.dataset.latched = String(this.modifiers.ctrl);
      if (key === 'Alt') button.dataset.latched = String(this.modifiers.alt);
    }
  }

  private event(payload: IncomingPayload): void {
    const event = terminalEvent(payload);
    if (!event) return;
    const tab = this.tabs.find((candidate) => candidate.sessionId === event.sessionId && candidate.state === 'running');
    if (tab) this.apply(tab, event);
    else if (this.opening > 0) this.hold(event);
  }

  private apply(tab: TerminalTab, event: TerminalEvent): void {
    switch (event.kind) {
      case 'output':
        tab.term.write(event.bytes);
        break;
      case 'exit':
        tab.ended(t('terminalExited', { code: event.exitCode }), event.exitCode);
        break;
      case 'malformed':
        tab.term.write(`\r\n[${t('terminalUnreadable')}]\r\n`);
        break;
    }
  }

  // A reply and the events after it may be handled in either order; events of a terminal that
  // is still opening wait for it (within a bound: a peer that floods them loses them).
  private hold(event: TerminalEvent): void {
    const size = event.kind === 'output' ? event.bytes.length : 16;
    if (this.heldBytes + size > maxHeldBytes) return;
    this.heldBytes += size;
    this.held.push(event);
  }

  private release(sessionId: string): void {
    const mine = this.held.filter((event) => event.sessionId === sessionId);
    this.held = this.held.filter((event) => event.sessionId !== sessionId);
    const tab = this.tabs.find((candidate) => candidate.sessionId === sessionId);
    for (const event of mine) if (tab?.state === 'running') this.apply(tab, event);
  }

  private connectionChanged(state: ConnectionState): void {
    const connected = state === 'connected';
    this.newButton.disabled = !connected;
    if (connected) {
      if (this.shown && this.tabs.length === 0) void this.open();
      return;
    }
    // The agent ended every shell of the connection with it.
    for (const tab of this.tabs) tab.ended(t('terminalConnectionEnded'));
  }

  private showEmpty(): void {
    this.empty.hidden = this.tabs.length > 0;
  }

  // Read-only: each terminal's state and text, for the browser tests (window.lumora.terminals).
  private exposeToTests(): void {
    const hooks = (window as unknown as { lumora?: object }).lumora;
    if (!hooks) return;
    Object.defineProperty(hooks, 'terminals', {
      configurable: true,
      enumerable: true,
      get: (): TerminalHook[] =>
        this.tabs.map((tab) => ({
          number: tab.number,
          state: tab.state,
          sessionId: tab.sessionId,
          exitCode: tab.exitCode,
          cols: tab.term.cols,
          rows: tab.term.rows,
          selected: tab.selected,
          text: tab.text(),
        })),
    });
  }
}

function part<T extends HTMLElement = HTMLElement>(root: HTMLElement, selector: string): T {
  const element = root.querySelector<T>(selector);
  if (!element) throw new Error(`${selector} is missing from the terminal panel`);
  return element;
}
