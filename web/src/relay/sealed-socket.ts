// A relay room as a message channel: the WebSocket, the session handshake, then sealed messages
// with a counter per direction. Any message that does not open ends the session.
import { exactBuffer } from '../protocol/bytes.ts';
import { type Channel, type PairingKeys, type SessionKeys, open, seal } from './crypto.ts';
import { startHandshake } from './handshake.ts';

// The part of WebSocket this module uses, so tests can stand in for the relay.
export interface MessageSocket {
  binaryType: BinaryType;
  readonly readyState: number;
  send(data: ArrayBuffer): void;
  close(code?: number): void;
  onopen: ((event: Event) => void) | null;
  onmessage: ((event: MessageEvent) => void) | null;
  onclose: ((event: CloseEvent) => void) | null;
  onerror: ((event: Event) => void) | null;
}

export type CloseReason =
  | 'unreachable' // the socket never opened: refused upgrade (no host, bad token) or network
  | 'handshake' // the other end failed the handshake
  | 'tampered' // a sealed message did not open
  | 'restart' // the relay's instance is going away (1012): join again at once, on another
  | 'closed'; // the relay or the agent ended the session

export interface SealedSocketEvents {
  onMessage(plaintext: Uint8Array): void;
  onClose(reason: CloseReason): void;
}

const handshakeTimeoutMs = 15000;
// The close code of a relay instance that is draining: its rooms are open on the others.
const serviceRestart = 1012;

export class SealedSocket {
  private sendCounter = 0;
  private receiveCounter = 0;
  private sending: Promise<void> = Promise.resolve();
  private receiving: Promise<void> = Promise.resolve();
  private ended = false;

  private constructor(
    private readonly socket: MessageSocket,
    private readonly keys: SessionKeys,
    private readonly events: SealedSocketEvents,
  ) {}

  static connect(socket: MessageSocket, pairing: PairingKeys, channel: Channel, events: SealedSocketEvents): Promise<SealedSocket> {
    socket.binaryType = 'arraybuffer';
    const handshake = startHandshake(pairing, channel);
    return new Promise((resolve, reject) => {
      let opened = false;
      let settled = false;
      const fail = (reason: CloseReason) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        socket.onmessage = socket.onclose = socket.onerror = null;
        socket.close();
        reject(new RelayClosedError(reason));
      };
      const timer = setTimeout(() => fail('handshake'), handshakeTimeoutMs);
      socket.onopen = () => {
        opened = true;
        socket.send(exactBuffer(handshake.hello));
      };
      socket.onerror = () => {};
      socket.onclose = () => fail(opened ? 'closed' : 'unreachable');
      socket.onmessage = (event) => {
        if (!(event.data instanceof ArrayBuffer)) return; // the relay's own text messages
        socket.onmessage = null;
        void handshake.answer(new Uint8Array(event.data)).then((result) => {
          if (settled) return;
          if (!result.ok) return fail('handshake');
          settled = true;
          clearTimeout(timer);
          socket.send(exactBuffer(result.proof));
          resolve(new SealedSocket(socket, result.keys, events).attach());
        }, () => fail('handshake'));
      };
    });
  }

  private attach(): this {
    this.socket.onmessage = (event) => {
      if (!(event.data instanceof ArrayBuffer)) return;
      const sealed = new Uint8Array(event.data);
      const counter = this.receiveCounter++;
      this.receiving = this.receiving.then(async () => {
        if (this.ended) return;
        const plaintext = await open(this.keys.agentToPhone, counter, sealed);
        if (plaintext === undefined) return this.end('tampered');
        if (!this.ended) this.events.onMessage(plaintext);
      });
    };
    this.socket.onclose = (event) => {
      const reason: CloseReason = event.code === serviceRestart ? 'restart' : 'closed';
      // Messages already received are still delivered before the close.
      void this.receiving.then(() => this.end(reason));
    };
    return this;
  }

  send(plaintext: Uint8Array): void {
    if (this.ended) return;
    const counter = this.sendCounter++;
    this.sending = this.sending.then(async () => {
      const sealed = await seal(this.keys.phoneToAgent, counter, plaintext);
      if (!this.ended && this.socket.readyState === 1) this.socket.send(exactBuffer(sealed));
    });
  }

  close(): void {
    this.end('closed');
  }

  private end(reason: CloseReason): void {
    if (this.ended) return;
    this.ended = true;
    this.socket.onmessage = this.socket.onclose = null;
    this.socket.close(1000);
    this.events.onClose(reason);
  }
}

export class RelayClosedError extends Error {
  constructor(readonly reason: CloseReason) {
    super(`relay room ${reason}`);
  }
}
