// One computer: the reconnecting session with it, its status, and its panels. The screen panel
// (the picture, touch input and the keyboard) lives here; files, terminals and the clipboard
// reach the computer through the session's AgentLink.
import type { ApiClient } from '../account/api-client.ts';
import { issueRelayToken } from '../account/devices.ts';
import { t } from '../i18n/index.ts';
import type { TextKey } from '../i18n/texts.ts';
import type { DisplayInfo, OutgoingPayload } from '../protocol/envelope.ts';
import type { ModifierKey } from '../protocol/key-codes.ts';
import { ScreenDecoder } from '../screen/decoder.ts';
import { GestureRecognizer, type Gesture, type PointerSample } from '../screen/gestures.ts';
import { KeyboardSender } from '../screen/keyboard.ts';
import { PointerActions } from '../screen/pointer-actions.ts';
import { ScreenRenderer } from '../screen/renderer.ts';
import { Viewport } from '../screen/viewport.ts';
import { AgentError } from '../session/control-client.ts';
import { AgentLinkHub } from '../session/agent-link.ts';
import { type PairedDevice, forgetPaired } from '../session/paired-devices.ts';
import { ClipboardPanel } from '../clipboard/clipboard-panel.ts';
import { FilesPanel } from '../files/files-panel.ts';
import { TerminalPanel } from '../terminal/terminal-panel.ts';
import { ComputerTabs, type Panel } from './computer-tabs.ts';
import { confirmAction } from './confirm.ts';
import { type ConnectionState, ReconnectingSession, type StatusReason } from '../session/reconnecting-session.ts';
import { byId } from './dom.ts';
import { attachKeyboardInput } from './keyboard-input.ts';
import type { LumoraHooks } from './hooks.ts';

const reasonText: Record<StatusReason, TextKey | undefined> = {
  none: undefined,
  noHost: 'statusNoHost',
  notRegistered: 'statusNotRegistered',
  wrongSecret: 'statusWrongSecret',
  signedOut: 'statusSignedOut',
  lost: 'statusReconnecting',
};

const even = (n: number) => Math.max(2, Math.floor(n / 2) * 2);

export class ScreenView {
  private session: ReconnectingSession | undefined;
  private readonly viewport = new Viewport();
  private readonly gestures = new GestureRecognizer();
  private readonly pointer = new PointerActions(this.viewport);
  private readonly keyboard = new KeyboardSender();
  private readonly decoder: ScreenDecoder;
  private readonly renderer: ScreenRenderer;
  private readonly root = byId('view-screen');
  private readonly canvas = byId<HTMLCanvasElement>('screen-canvas');
  private readonly cursor = byId('cursor');
  private readonly status = byId('screen-status');
  private readonly notice = byId('notice');
  private longPressTimer: ReturnType<typeof setTimeout> | undefined;
  private noticeShown = false;
  private wakeLock: WakeLockSentinel | undefined;
  private chosenDisplay: number | undefined;
  private device: PairedDevice | undefined;
  private readonly link = new AgentLinkHub();
  private readonly tabs: ComputerTabs;

  constructor(
    private readonly api: ApiClient,
    private readonly deviceID: string,
    private readonly hooks: LumoraHooks,
    onBack: () => void,
  ) {
    this.decoder = new ScreenDecoder(hooks.stats, () => this.renderer.request());
    this.renderer = new ScreenRenderer(this.canvas, this.viewport, () => this.decoder.take(), () => {
      hooks.stats.drawnFrames++;
      hooks.stats.lastDrawnAt = performance.timeOrigin + performance.now();
      this.placeCursor();
    });
    byId('screen-back').onclick = onBack;
    byId('reconnect').onclick = () => this.session?.reconnectNow();
    byId('forget-computer').onclick = () => void this.forget(onBack);
    const screenPanel: Panel = { show: () => this.renderer.request(), hide: () => this.decoder.reset() };
    this.tabs = new ComputerTabs(
      {
        screen: screenPanel,
        files: new FilesPanel(this.link, byId('panel-files')),
        terminal: new TerminalPanel(this.link, byId('panel-terminal')),
        clipboard: new ClipboardPanel(this.link, byId('panel-clipboard')),
      },
      () => this.session?.setStreaming(this.wantsStream()),
    );
    byId('mode-toggle').onclick = () => this.setMode(this.pointer.mode === 'direct' ? 'trackpad' : 'direct');
    this.attachPointer();
    this.attachKeys();
    document.addEventListener('visibilitychange', () => this.visibilityChanged());
    window.addEventListener('resize', () => this.renderer.request());
    this.setMode('direct');
  }

  open(device: PairedDevice): void {
    this.close();
    this.device = device;
    this.tabs.select('screen');
    this.noticeShown = false;
    this.notice.hidden = true;
    this.chosenDisplay = undefined;
    this.hooks.stats.openedAt = performance.timeOrigin + performance.now();
    // The first frame of this device, not of the page.
    this.hooks.stats.firstFrameAt = undefined;
    const relayBase = location.origin.replace(/^http/, 'ws');
    this.session = new ReconnectingSession({
      relayBase,
      fingerprint: device.fingerprint,
      keys: device.keys,
      deviceID: this.deviceID,
      issueToken: () => issueRelayToken(this.api, device.fingerprint),
      openSocket: (url) => new WebSocket(url),
      chooseDisplay: (displays) => this.chooseDisplay(displays),
      streamSize: () => ({ maxWidth: even(screen.width * devicePixelRatio), maxHeight: even(screen.height * devicePixelRatio) }),
      streaming: () => this.wantsStream(),
      onFrame: (frame) => this.decoder.push(frame),
      onEvent: (payload) => this.link.event(payload),
      onMalformedFrame: () => this.hooks.stats.droppedFrames++,
      onState: (state, reason, retryInMs) => this.showState(state, reason, retryInMs),
    });
    this.link.use(this.session);
    this.session.start();
  }

  close(): void {
    this.session?.stop();
    this.session = undefined;
    this.link.use(undefined);
    this.link.changed('connecting');
    this.decoder.reset();
    this.renderer.clear();
    byId('display-chooser').hidden = true;
    void this.wakeLock?.release().catch(() => undefined);
    this.wakeLock = undefined;
  }

  // The picture is wanted while the page is in view on the screen panel; elsewhere the computer
  // need not capture at all.
  private wantsStream(): boolean {
    return document.visibilityState === 'visible' && this.tabs.active === 'screen';
  }

  private showState(state: ConnectionState, reason: StatusReason, retryInMs?: number): void {
    this.status.dataset.state = state;
    this.hooks.state.connection = state;
    const key = reasonText[reason];
    const seconds = Math.round((retryInMs ?? 0) / 1000);
    this.status.textContent =
      state === 'connected'
        ? t('statusConnectedRelay', { host: location.host })
        : key
          ? t(key, { seconds })
          : state === 'failed'
            ? t('statusFailed')
            : t('statusConnecting');
    // Waiting out a backoff, or given up: the person may try again now.
    byId('reconnect').hidden = !(state === 'failed' || (state === 'reconnecting' && (retryInMs ?? 0) > 0));
    // A pairing the computer refuses will not start working by itself: offer to drop it.
    const problem = state === 'failed' && (reason === 'wrongSecret' || reason === 'notRegistered');
    byId('connection-problem').hidden = !problem;
    if (problem) {
      byId('connection-detail').textContent = this.status.textContent;
      this.status.textContent = t('statusFailed');
    }
    // The last picture stays, dimmed, so nobody takes it for the live screen.
    this.root.dataset.connection = state;
    if (state === 'connected') void this.keepAwake();
    else this.decoder.reset();
    this.link.changed(state);
  }

  private async forget(leave: () => void): Promise<void> {
    const device = this.device;
    if (!device || !(await confirmAction(t('forgetComputerConfirm')))) return;
    this.close();
    await forgetPaired(device.fingerprint).catch(() => undefined);
    leave();
  }

  private async keepAwake(): Promise<void> {
    if (this.wakeLock && !this.wakeLock.released) return;
    this.wakeLock = await navigator.wakeLock?.request('screen').catch(() => undefined);
  }

  private visibilityChanged(): void {
    if (!this.session) return;
    const visible = document.visibilityState === 'visible';
    if (!visible) this.decoder.reset();
    this.session.setStreaming(this.wantsStream());
    if (visible && this.session.connected) void this.keepAwake();
  }

  private chooseDisplay(displays: DisplayInfo[]): Promise<DisplayInfo | undefined> {
    const remembered = displays.find((d) => d.id === this.chosenDisplay);
    if (remembered || displays.length <= 1) return Promise.resolve(remembered ?? displays[0]);
    const chooser = byId('display-chooser');
    const list = byId('display-list');
    return new Promise((resolve) => {
      list.replaceChildren(
        ...displays.map((display) => {
          const item = document.createElement('li');
          const button = document.createElement('button');
          button.type = 'button';
          button.textContent = `${display.name} (${display.width}×${display.height})`;
          button.onclick = () => {
            chooser.hidden = true;
            this.chosenDisplay = display.id;
            resolve(display);
          };
          item.append(button);
          return item;
        }),
      );
      chooser.hidden = false;
    });
  }

  private setMode(mode: 'direct' | 'trackpad'): void {
    this.pointer.mode = mode;
    this.root.dataset.mode = mode;
    byId('mode-toggle').textContent = mode === 'direct' ? t('modeDirect') : t('modeTrackpad');
    this.cursor.hidden = mode !== 'trackpad';
    this.placeCursor();
  }

  private placeCursor(): void {
    if (this.pointer.mode !== 'trackpad') return;
    const at = this.viewport.toView(this.pointer.cursor);
    this.cursor.style.transform = `translate(${at.x}px, ${at.y}px)`;
  }

  send(payloads: OutgoingPayload[]): void {
    for (const payload of payloads) {
      this.session?.request(payload).catch((error: unknown) => {
        if (error instanceof AgentError && error.code === 'unavailable' && !this.noticeShown) {
          this.noticeShown = true;
          this.notice.textContent = t('noRemoteInput');
          this.notice.hidden = false;
        }
      });
    }
  }

  private attachPointer(): void {
    const sample = (event: PointerEvent): PointerSample => {
      const rect = this.canvas.getBoundingClientRect();
      return { id: event.pointerId, x: event.clientX - rect.left, y: event.clientY - rect.top, t: event.timeStamp };
    };
    const apply = (gestures: Gesture[]) => {
      for (const gesture of gestures) this.send(this.pointer.handle(gesture));
      if (gestures.length > 0) {
        this.placeCursor();
        this.renderer.request();
      }
      clearTimeout(this.longPressTimer);
      const deadline = this.gestures.deadline();
      if (deadline !== undefined) {
        this.longPressTimer = setTimeout(() => apply(this.gestures.tick(deadline)), Math.max(0, deadline - performance.now()));
      }
    };
    this.canvas.addEventListener('pointerdown', (event) => {
      event.preventDefault();
      this.canvas.setPointerCapture(event.pointerId);
      apply(this.gestures.pointerDown(sample(event)));
    });
    this.canvas.addEventListener('pointermove', (event) => apply(this.gestures.pointerMove(sample(event))));
    this.canvas.addEventListener('pointerup', (event) => apply(this.gestures.pointerUp(sample(event))));
    this.canvas.addEventListener('pointercancel', (event) => apply(this.gestures.pointerCancel(sample(event))));
    this.canvas.addEventListener('contextmenu', (event) => event.preventDefault());
  }

  private attachKeys(): void {
    const field = byId<HTMLTextAreaElement>('keyboard-input');
    const strip = document.querySelectorAll<HTMLButtonElement>('button[data-key]');
    const showLatches = () => {
      for (const button of strip) {
        const name = button.dataset.key as ModifierKey;
        if (name === 'Control' || name === 'Alt' || name === 'Meta') button.dataset.latched = String(this.keyboard.isLatched(name));
      }
    };
    byId('keyboard-button').onclick = () => field.focus();
    attachKeyboardInput(field, this.keyboard, (payloads) => this.send(payloads), showLatches);
    for (const button of strip) {
      // Keep the phone keyboard up while the strip is used.
      button.addEventListener('pointerdown', (event) => event.preventDefault());
      button.onclick = () => {
        const name = button.dataset.key!;
        if (name === 'Control' || name === 'Alt' || name === 'Meta') this.keyboard.toggle(name);
        else if (name === 'copy') this.send(this.keyboard.copy());
        else if (name === 'paste') this.send(this.keyboard.paste());
        else this.send(this.keyboard.named(name) ?? []);
        showLatches();
      };
    }
  }
}
