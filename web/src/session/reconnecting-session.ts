// Keeps a session with one computer alive: the relay ends rooms after every session and the
// agent rejoins within about a second, so a closed session is opened again with backoff.
import { ApiError } from '../account/api-client.ts';
import type { RelayToken } from '../account/devices.ts';
import type { OutgoingPayload } from '../protocol/envelope.ts';
import { RelayClosedError } from '../relay/sealed-socket.ts';
import { Backoff } from './backoff.ts';
import { AgentError } from './control-client.ts';
import { RelaySession, type RelaySessionOptions } from './relay-session.ts';

export type ConnectionState = 'connecting' | 'connected' | 'reconnecting' | 'failed';

// Why the page is not connected, for the status line (a key into the text table).
export type StatusReason = 'none' | 'noHost' | 'notRegistered' | 'wrongSecret' | 'signedOut' | 'lost';

export interface ReconnectingOptions extends Omit<RelaySessionOptions, 'controlUrl' | 'mediaUrl' | 'onEnded'> {
  relayBase: string; // ws(s)://host
  fingerprint: string;
  issueToken(): Promise<RelayToken>;
  onState(state: ConnectionState, reason: StatusReason, retryInMs?: number): void;
  now?: () => number;
}

const tokenMarginMs = 30000;

export class ReconnectingSession {
  private readonly backoff = new Backoff();
  private session: RelaySession | undefined;
  private token: { value: string; expiresAt: number } | undefined;
  private timer: ReturnType<typeof setTimeout> | undefined;
  private stopped = false;
  private attempting = false;
  private state: ConnectionState = 'connecting';

  constructor(private readonly options: ReconnectingOptions) {}

  start(): void {
    this.setState('connecting', 'none');
    void this.attempt();
  }

  stop(): void {
    this.stopped = true;
    clearTimeout(this.timer);
    const session = this.session;
    this.session = undefined;
    if (!session) return;
    // Ask the computer to stop capturing before the rooms close; leave within a second anyway.
    const asked = this.state === 'connected' ? session.setStreaming(false).catch(() => undefined) : Promise.resolve();
    void Promise.race([asked, new Promise((resolve) => setTimeout(resolve, 1000))]).then(() => session.end('closed'));
  }

  get connected(): boolean {
    return this.state === 'connected';
  }

  request(payload: OutgoingPayload) {
    return this.session ? this.session.request(payload) : Promise.reject(new AgentError('closed', 'not connected'));
  }

  notify(payload: OutgoingPayload): void {
    if (this.state === 'connected') this.session?.notify(payload);
  }

  // The person asked not to wait: an attempt waiting for its backoff (or one that failed for
  // good, e.g. before the computer was paired again) starts now.
  reconnectNow(): void {
    if (this.stopped || this.session || this.attempting) return;
    clearTimeout(this.timer);
    this.backoff.reset();
    this.setState('connecting', 'none');
    void this.attempt();
  }

  setStreaming(on: boolean): void {
    this.session?.setStreaming(on).catch(() => undefined);
  }

  private now(): number {
    return (this.options.now ?? Date.now)();
  }

  private setState(state: ConnectionState, reason: StatusReason, retryInMs?: number) {
    this.state = state;
    this.options.onState(state, reason, retryInMs);
  }

  private async relayToken(): Promise<string> {
    if (!this.token || this.token.expiresAt - tokenMarginMs < this.now()) {
      const issued = await this.options.issueToken();
      this.token = { value: issued.token, expiresAt: this.now() + issued.expiresInSeconds * 1000 };
    }
    return this.token.value;
  }

  private async attempt(): Promise<void> {
    this.attempting = true;
    try {
      await this.tryOnce();
    } finally {
      this.attempting = false;
    }
  }

  private async tryOnce(): Promise<void> {
    if (this.stopped) return;
    let token: string;
    try {
      token = await this.relayToken();
    } catch (error) {
      if (error instanceof ApiError && error.status === 401) return this.fail('signedOut');
      if (error instanceof ApiError && (error.status === 403 || error.status === 404)) return this.fail('notRegistered');
      return this.retry('lost');
    }
    let started = false;
    const room = `${this.options.relayBase}/relay/${this.options.fingerprint}`;
    const session = new RelaySession({
      ...this.options,
      controlUrl: `${room}?token=${encodeURIComponent(token)}`,
      mediaUrl: `${room}-media?token=${encodeURIComponent(token)}`,
      // Only a session that got going is retried from here; one that fails to start is by attempt().
      onEnded: (reason) => {
        if (this.session !== session || !started) return;
        this.session = undefined;
        // A relay instance that goes away for a restart leaves the room to another at once.
        if (reason === 'restart') return this.rejoinNow();
        this.retry('lost');
      },
    });
    this.session = session;
    try {
      await session.start();
    } catch (error) {
      if (this.session !== session) return; // stopped meanwhile
      this.session = undefined;
      session.end('closed');
      return this.classify(error);
    }
    if (this.stopped || this.session !== session) return;
    started = true;
    this.backoff.reset();
    this.setState('connected', 'none');
  }

  private classify(error: unknown): void {
    if (error instanceof RelayClosedError && error.reason === 'handshake') return this.fail('wrongSecret');
    if (error instanceof AgentError && error.code === 'unauthorized') return this.fail('wrongSecret');
    if (error instanceof RelayClosedError && error.reason === 'unreachable') {
      // Refused upgrades look alike to a page (no host, or a token gone stale): ask for a new
      // token next time and say the likely one.
      this.token = undefined;
      return this.retry('noHost');
    }
    this.retry('lost');
  }

  private retry(reason: StatusReason): void {
    if (this.stopped) return;
    const delay = this.backoff.next();
    this.setState('reconnecting', reason, delay);
    clearTimeout(this.timer);
    this.timer = setTimeout(() => void this.attempt(), delay);
  }

  private rejoinNow(): void {
    if (this.stopped) return;
    this.backoff.reset();
    this.setState('reconnecting', 'lost', 0);
    void this.attempt();
  }

  private fail(reason: StatusReason): void {
    if (this.stopped) return;
    this.setState('failed', reason);
  }
}
