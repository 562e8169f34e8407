// What the computer's panels (files, terminals, clipboard) use of the session with it. The view
// that owns the reconnecting session feeds it; a panel sees one link for as long as the view
// lives, whichever connection is current underneath.
import type { IncomingPayload, OutgoingPayload } from '../protocol/envelope.ts';
import { AgentError } from './control-client.ts';
import type { ConnectionState } from './reconnecting-session.ts';

export interface AgentLink {
  // One request and its reply; rejects with AgentError (the agent's code, or 'closed'/'timeout').
  request(payload: OutgoingPayload): Promise<IncomingPayload>;
  // A message the agent does not answer (terminal input and resize); dropped while disconnected.
  notify(payload: OutgoingPayload): void;
  readonly connected: boolean;
  // What the agent sends unasked (terminal output and exits). Returns the way to stop listening.
  onEvent(listener: (payload: IncomingPayload) => void): () => void;
  // Every change of the connection. What lived on the agent's side of a connection (terminals)
  // is gone once it is no longer 'connected'.
  onConnection(listener: (state: ConnectionState) => void): () => void;
}

export interface LinkTarget {
  request(payload: OutgoingPayload): Promise<IncomingPayload>;
  notify(payload: OutgoingPayload): void;
}

export class AgentLinkHub implements AgentLink {
  private target: LinkTarget | undefined;
  private state: ConnectionState = 'connecting';
  private readonly eventListeners = new Set<(payload: IncomingPayload) => void>();
  private readonly stateListeners = new Set<(state: ConnectionState) => void>();

  // The session requests go to from now on; none while no computer is open.
  use(target: LinkTarget | undefined): void {
    this.target = target;
  }

  get connected(): boolean {
    return this.target !== undefined && this.state === 'connected';
  }

  request(payload: OutgoingPayload): Promise<IncomingPayload> {
    return this.target ? this.target.request(payload) : Promise.reject(new AgentError('closed', 'not connected'));
  }

  notify(payload: OutgoingPayload): void {
    if (this.connected) this.target?.notify(payload);
  }

  onEvent(listener: (payload: IncomingPayload) => void): () => void {
    this.eventListeners.add(listener);
    return () => this.eventListeners.delete(listener);
  }

  onConnection(listener: (state: ConnectionState) => void): () => void {
    this.stateListeners.add(listener);
    return () => this.stateListeners.delete(listener);
  }

  event(payload: IncomingPayload): void {
    for (const listener of [...this.eventListeners]) listener(payload);
  }

  changed(state: ConnectionState): void {
    this.state = state;
    for (const listener of [...this.stateListeners]) listener(state);
  }
}
