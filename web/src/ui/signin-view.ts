// Sign-in: one button per provider the service lists; the dev provider takes an e-mail.
import type { ApiClient } from '../account/api-client.ts';
import { authorizationUrl } from '../account/oauth.ts';
import type { Provider } from '../account/providers.ts';
import { byId, showMessage } from './dom.ts';

export function setUpSignIn(providers: Provider[], api: ApiClient, onSignedIn: () => void): void {
  const error = byId('signin-error');
  if (providers.length === 0) showMessage(error, 'noProviders');
  for (const provider of providers) {
    if (provider.id === 'dev') {
      const form = byId<HTMLFormElement>('dev-form');
      form.hidden = false;
      form.onsubmit = (event) => {
        event.preventDefault();
        const email = byId<HTMLInputElement>('dev-email').value.trim();
        if (!email) return;
        showMessage(error, undefined);
        api.login({ provider: 'dev', token: email }).then(onSignedIn, () => showMessage(error, 'signInFailed'));
      };
      continue;
    }
    const button = document.querySelector<HTMLButtonElement>(`button[data-provider="${provider.id}"]`);
    if (!button) continue;
    button.hidden = false;
    button.onclick = () => {
      authorizationUrl(provider, location.origin, sessionStorage).then(
        (url) => location.assign(url),
        () => showMessage(error, 'signInFailed'),
      );
    };
  }
}
