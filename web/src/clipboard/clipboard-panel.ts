// Placeholder until the panel is built: it holds the link it will use.
import type { AgentLink } from '../session/agent-link.ts';
import type { Panel } from '../ui/computer-tabs.ts';

export class ClipboardPanel implements Panel {
  constructor(
    readonly link: AgentLink,
    readonly root: HTMLElement,
  ) {}

  show(): void {}
  hide(): void {}
}
