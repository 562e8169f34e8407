// Reconnect delays: 1 s, doubling, at most 30 s; back to 1 s once a session has held.
export class Backoff {
  private attempt = 0;

  constructor(
    private readonly firstMs = 1000,
    private readonly maxMs = 30000,
  ) {}

  next(): number {
    const delay = Math.min(this.maxMs, this.firstMs * 2 ** Math.min(this.attempt, 16));
    this.attempt++;
    return delay;
  }

  reset(): void {
    this.attempt = 0;
  }
}
