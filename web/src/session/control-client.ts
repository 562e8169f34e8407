// Requests on the control room, matched to their replies by correlationID, each with a time
// limit. An "error" reply rejects with the agent's code.
import { type IncomingEnvelope, type IncomingPayload, type OutgoingPayload, decodeEnvelope, encodeEnvelope, newMessageID } from '../protocol/envelope.ts';

export class AgentError extends Error {
  constructor(
    readonly code: string,
    message: string,
  ) {
    super(message);
  }
}

interface Waiting {
  resolve(payload: IncomingPayload): void;
  reject(error: Error): void;
  timer: ReturnType<typeof setTimeout>;
}

export class ControlClient {
  private readonly waiting = new Map<string, Waiting>();
  private closed = false;

  constructor(
    private readonly sendBytes: (bytes: Uint8Array) => void,
    private readonly onUnsolicited: (envelope: IncomingEnvelope) => void = () => {},
    private readonly timeoutMs = 10000,
  ) {}

  request(payload: OutgoingPayload): Promise<IncomingPayload> {
    if (this.closed) return Promise.reject(new AgentError('closed', 'the session has ended'));
    const id = newMessageID();
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.waiting.delete(id);
        reject(new AgentError('timeout', `no answer to ${payload.type}`));
      }, this.timeoutMs);
      this.waiting.set(id, {
        resolve: (reply) => (reply.type === 'error' ? reject(new AgentError(reply.code, reply.message)) : resolve(reply)),
        reject,
        timer,
      });
      this.sendBytes(encodeEnvelope(payload, id));
    });
  }

  // For requests the agent never answers (terminal input and resize).
  notify(payload: OutgoingPayload): void {
    if (!this.closed) this.sendBytes(encodeEnvelope(payload));
  }

  // Returns false when the bytes are not an envelope: the caller ends the session.
  receive(bytes: Uint8Array): boolean {
    const decoded = decodeEnvelope(bytes);
    if (!decoded.ok) return false;
    const envelope = decoded.value;
    const waiter = envelope.correlationID === undefined ? undefined : this.waiting.get(envelope.correlationID);
    if (!waiter) {
      this.onUnsolicited(envelope);
      return true;
    }
    this.waiting.delete(envelope.correlationID!);
    clearTimeout(waiter.timer);
    waiter.resolve(envelope.payload);
    return true;
  }

  close(): void {
    this.closed = true;
    for (const waiter of this.waiting.values()) {
      clearTimeout(waiter.timer);
      waiter.reject(new AgentError('closed', 'the session has ended'));
    }
    this.waiting.clear();
  }
}
