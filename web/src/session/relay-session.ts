// One session with the computer through the relay: both rooms, the pairing proof, the display
// and the stream. It ends as a whole when either room closes; ReconnectingSession starts anew.
import type { DisplayInfo, IncomingPayload, OutgoingPayload } from '../protocol/envelope.ts';
import { type MediaFrame, parseMediaFrame } from '../protocol/media-frame.ts';
import { authBegin, authComplete, listDisplays, startStream, stopStream } from '../protocol/payloads.ts';
import { type CloseReason, type MessageSocket, SealedSocket } from '../relay/sealed-socket.ts';
import type { PairingKeys } from '../relay/crypto.ts';
import { AgentError, ControlClient } from './control-client.ts';
import { exactBuffer } from '../protocol/bytes.ts';

export interface RelaySessionOptions {
  controlUrl: string;
  mediaUrl: string;
  keys: PairingKeys;
  deviceID: string;
  openSocket(url: string): MessageSocket;
  chooseDisplay(displays: DisplayInfo[]): Promise<DisplayInfo | undefined>;
  streamSize(): { maxWidth: number; maxHeight: number };
  streaming(): boolean;
  onFrame(frame: MediaFrame): void;
  onMalformedFrame(): void;
  // What the agent sends on its own (terminal output and exits).
  onEvent(payload: IncomingPayload): void;
  onEnded(reason: CloseReason): void;
}

export class RelaySession {
  private control: SealedSocket | undefined;
  private media: SealedSocket | undefined;
  private client: ControlClient | undefined;
  private display: DisplayInfo | undefined;
  private ended = false;

  constructor(private readonly options: RelaySessionOptions) {}

  // Resolves once the stream is asked for; rejects with the reason the session could not start.
  async start(): Promise<void> {
    const o = this.options;
    const onClose = (reason: CloseReason) => this.end(reason);
    const [media, control] = await Promise.allSettled([
      SealedSocket.connect(o.openSocket(o.mediaUrl), o.keys, 'media', {
        onMessage: (bytes) => {
          const frame = parseMediaFrame(bytes);
          if (frame.ok) o.onFrame(frame.value);
          else o.onMalformedFrame();
        },
        onClose,
      }),
      SealedSocket.connect(o.openSocket(o.controlUrl), o.keys, 'control', {
        onMessage: (bytes) => {
          if (!this.client?.receive(bytes)) this.end('tampered');
        },
        onClose,
      }),
    ]);
    if (media.status === 'fulfilled') this.media = media.value;
    if (control.status === 'fulfilled') this.control = control.value;
    if (media.status === 'rejected' || control.status === 'rejected') {
      this.end('closed');
      throw media.status === 'rejected' ? media.reason : (control as PromiseRejectedResult).reason;
    }
    this.client = new ControlClient(
      (bytes) => this.control?.send(bytes),
      (envelope) => o.onEvent(envelope.payload),
    );
    await this.authenticate();
    const displays = await this.client.request(listDisplays());
    if (displays.type !== 'screen.display_list') throw new AgentError('unexpected', 'expected the display list');
    this.display = await o.chooseDisplay(displays.displays);
    if (o.streaming()) await this.setStreaming(true);
  }

  private async authenticate(): Promise<void> {
    const client = this.client!;
    const challenge = await client.request(authBegin(this.options.deviceID));
    if (challenge.type !== 'auth.challenge') throw new AgentError('unexpected', 'expected auth.challenge');
    const mac = new Uint8Array(await crypto.subtle.sign('HMAC', this.options.keys.mac, exactBuffer(challenge.nonce)));
    const reply = await client.request(authComplete(mac));
    if (reply.type !== 'ack') throw new AgentError('unexpected', 'expected ack');
  }

  async setStreaming(on: boolean): Promise<void> {
    if (!this.client || this.ended) return;
    if (!on) {
      await this.client.request(stopStream());
      return;
    }
    const { maxWidth, maxHeight } = this.options.streamSize();
    await this.client.request(startStream(maxWidth, maxHeight, this.display?.id));
  }

  request(payload: OutgoingPayload) {
    if (!this.client) return Promise.reject(new AgentError('closed', 'not connected'));
    return this.client.request(payload);
  }

  notify(payload: OutgoingPayload): void {
    this.client?.notify(payload);
  }

  end(reason: CloseReason): void {
    if (this.ended) return;
    this.ended = true;
    this.client?.close();
    this.control?.close();
    this.media?.close();
    this.options.onEnded(reason);
  }
}
