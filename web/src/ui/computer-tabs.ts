// The computer's four panels behind one tab bar: the screen, its files, terminals and clipboard.
// Each panel is told when it comes into view and when it leaves; only one shows at a time.
import { byId } from './dom.ts';

export const panelNames = ['screen', 'files', 'terminal', 'clipboard'] as const;
export type PanelName = (typeof panelNames)[number];

export interface Panel {
  show(): void;
  hide(): void;
}

export class ComputerTabs {
  private current: PanelName = 'screen';

  constructor(
    private readonly panels: Record<PanelName, Panel>,
    private readonly onChange: (name: PanelName) => void,
  ) {
    for (const button of byId('computer-tabs').querySelectorAll<HTMLButtonElement>('button[data-panel]')) {
      button.onclick = () => this.select(button.dataset.panel as PanelName);
    }
    this.mark();
  }

  get active(): PanelName {
    return this.current;
  }

  select(name: PanelName): void {
    if (name === this.current) return;
    this.panels[this.current].hide();
    this.current = name;
    this.mark();
    this.panels[name].show();
    this.onChange(name);
  }

  private mark(): void {
    for (const name of panelNames) byId(`panel-${name}`).hidden = name !== this.current;
    byId('view-screen').dataset.panel = this.current;
    for (const button of byId('computer-tabs').querySelectorAll<HTMLButtonElement>('button[data-panel]')) {
      button.setAttribute('aria-selected', String(button.dataset.panel === this.current));
    }
  }
}
