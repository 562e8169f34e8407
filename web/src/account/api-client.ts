// The account service's HTTP API with the user's bearer token. A 401 refreshes the tokens once
// (concurrent callers share one refresh) and retries; a failed refresh signs the user out.
import type { TokenStore, Tokens } from './tokens.ts';

export class ApiError extends Error {
  constructor(
    readonly status: number,
    readonly code: string,
    message: string,
  ) {
    super(message);
  }
}

export type Fetch = (input: string, init?: RequestInit) => Promise<Response>;

async function errorOf(response: Response): Promise<ApiError> {
  let code = 'http_' + response.status;
  let message = response.statusText;
  try {
    const body: unknown = await response.json();
    if (typeof body === 'object' && body !== null) {
      const b = body as Record<string, unknown>;
      if (typeof b.error === 'string') code = b.error;
      if (typeof b.message === 'string') message = b.message;
    }
  } catch {
    // a body that is not JSON keeps the status as the reason
  }
  return new ApiError(response.status, code, message);
}

function tokensOf(body: unknown): Tokens {
  const b = body as Record<string, unknown> | null;
  if (!b || typeof b.accessToken !== 'string' || typeof b.refreshToken !== 'string') {
    throw new ApiError(0, 'bad_response', 'the service answered without tokens');
  }
  return { accessToken: b.accessToken, refreshToken: b.refreshToken };
}

export class ApiClient {
  private refreshing: Promise<boolean> | undefined;

  constructor(
    private readonly origin: string,
    private readonly store: TokenStore,
    private readonly fetcher: Fetch,
    private readonly onSignedOut: () => void,
  ) {}

  get signedIn(): boolean {
    return this.store.load() !== undefined;
  }

  async login(body: Record<string, string>): Promise<void> {
    const response = await this.fetcher(this.origin + '/auth/login', jsonRequest('POST', body));
    if (!response.ok) throw await errorOf(response);
    this.store.save(tokensOf(await response.json()));
  }

  async logout(): Promise<void> {
    const tokens = this.store.load();
    this.store.clear();
    if (tokens) {
      await this.fetcher(this.origin + '/auth/logout', jsonRequest('POST', { refreshToken: tokens.refreshToken })).catch(() => undefined);
    }
    this.onSignedOut();
  }

  // JSON of a request with the bearer token; throws ApiError on a refusal.
  async request<T>(method: string, path: string, body?: unknown): Promise<T> {
    let response = await this.send(method, path, body);
    if (response.status === 401 && (await this.refresh())) response = await this.send(method, path, body);
    if (response.status === 401) {
      this.store.clear();
      this.onSignedOut();
    }
    if (!response.ok) throw await errorOf(response);
    return response.status === 204 ? (undefined as T) : ((await response.json()) as T);
  }

  private send(method: string, path: string, body: unknown): Promise<Response> {
    const init = jsonRequest(method, body);
    const tokens = this.store.load();
    if (tokens) (init.headers as Record<string, string>).Authorization = 'Bearer ' + tokens.accessToken;
    return this.fetcher(this.origin + path, init);
  }

  private refresh(): Promise<boolean> {
    this.refreshing ??= this.refreshOnce().finally(() => {
      this.refreshing = undefined;
    });
    return this.refreshing;
  }

  private async refreshOnce(): Promise<boolean> {
    const tokens = this.store.load();
    if (!tokens) return false;
    try {
      const response = await this.fetcher(this.origin + '/auth/refresh', jsonRequest('POST', { refreshToken: tokens.refreshToken }));
      if (!response.ok) throw await errorOf(response);
      this.store.save(tokensOf(await response.json()));
      return true;
    } catch {
      this.store.clear();
      this.onSignedOut();
      return false;
    }
  }
}

function jsonRequest(method: string, body?: unknown): RequestInit {
  const headers: Record<string, string> = {};
  const init: RequestInit = { method, headers, cache: 'no-store' };
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  return init;
}
