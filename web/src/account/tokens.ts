// The signed-in user's tokens, kept in localStorage so a reload stays signed in.
export interface Tokens {
  accessToken: string;
  refreshToken: string;
}

export interface TokenStore {
  load(): Tokens | undefined;
  save(tokens: Tokens): void;
  clear(): void;
}

export function localTokenStore(storage: Storage): TokenStore {
  return {
    load() {
      const accessToken = storage.getItem('accessToken');
      const refreshToken = storage.getItem('refreshToken');
      return accessToken && refreshToken ? { accessToken, refreshToken } : undefined;
    },
    save(tokens) {
      storage.setItem('accessToken', tokens.accessToken);
      storage.setItem('refreshToken', tokens.refreshToken);
    },
    clear() {
      storage.removeItem('accessToken');
      storage.removeItem('refreshToken');
    },
  };
}
