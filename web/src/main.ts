// The page's wiring: which view shows, and the moves between them.
import { ApiClient } from './account/api-client.ts';
import { listDevices } from './account/devices.ts';
import { completeRedirect } from './account/oauth.ts';
import { fetchProviders } from './account/providers.ts';
import { localTokenStore } from './account/tokens.ts';
import { chooseLanguage, setLanguage, t } from './i18n/index.ts';
import type { TextKey } from './i18n/texts.ts';
import { registerServiceWorker } from './offline/register.ts';
import { pairingCodeInFragment } from './protocol/pairing-link.ts';
import { deviceID } from './session/device-id.ts';
import { lastComputer, lastComputerFingerprint, rememberLastComputer } from './session/last-computer.ts';
import { type PairedDevice, allPaired } from './session/paired-devices.ts';
import { type PairingOutcome, completePendingPairings, pairWithSecret } from './session/pairing.ts';
import { renderDevices } from './ui/devices-view.ts';
import { type ViewName, applyTexts, byId, showView } from './ui/dom.ts';
import { createHooks } from './ui/hooks.ts';
import { setUpPairView } from './ui/pair-view.ts';
import { ScreenView } from './ui/screen-view.ts';
import { setUpSignIn } from './ui/signin-view.ts';
import { missingSupport } from './ui/support.ts';

const pairingErrors: Record<Exclude<PairingOutcome, { ok: true }>['reason'], TextKey> = {
  unknownDevice: 'pairUnknownDevice',
  failed: 'pairFailed',
  needsSignIn: 'pairNeedsSignIn',
};

async function main(): Promise<void> {
  // A pairing code arrives only in the fragment; take it out of the address before anything else.
  const secretFromLink = pairingCodeInFragment(location.hash);
  if (location.hash) history.replaceState(null, '', location.pathname + location.search);
  registerServiceWorker();

  const language = chooseLanguage(navigator.languages ?? [navigator.language]);
  setLanguage(language);
  document.documentElement.lang = language;
  applyTexts();
  const hooks = createHooks();

  const missing = await missingSupport();
  if (missing) {
    const fatal = byId('fatal');
    fatal.textContent = t(missing);
    fatal.hidden = false;
    hooks.state.view = 'unsupported';
    return;
  }

  const go = (view: ViewName) => {
    showView(view);
    hooks.state.view = view;
  };
  let screenView: ScreenView | undefined;
  const api = new ApiClient(location.origin, localTokenStore(localStorage), fetch.bind(globalThis), () => {
    screenView?.close();
    go('signin');
  });

  const openDevices = () => {
    screenView?.close();
    go('devices');
    void renderDevices(api, { open: openScreen, pair: openPair, signOut: () => void api.logout() });
  };
  const openScreen = (device: PairedDevice) => {
    screenView ??= new ScreenView(api, deviceID(localStorage), hooks, openDevices);
    rememberLastComputer(localStorage, device.fingerprint);
    go('screen');
    screenView.open(device);
  };
  const pairView = setUpPairView((secret) => void pair(secret), openDevices);
  const openPair = () => {
    pairView.reset();
    go('pair');
  };
  const showOutcome = (outcome: PairingOutcome | undefined): boolean => {
    if (!outcome) return false;
    if (outcome.ok) {
      openScreen(outcome.device);
      return true;
    }
    if (outcome.reason === 'needsSignIn') return false;
    openPair();
    pairView.fail(pairingErrors[outcome.reason]);
    return true;
  };
  const pair = async (secret: Uint8Array) => {
    const outcome = await pairWithSecret(api, secret);
    if (!showOutcome(outcome) && !api.signedIn) go('signin');
  };
  // At start, the computer used last opens straight away (Back leads to the list).
  const findLastComputer = async () => {
    const [paired, devices] = await Promise.all([allPaired(), listDevices(api)]).catch(() => [[], []]);
    return lastComputer(lastComputerFingerprint(localStorage), paired, devices);
  };
  const afterSignIn = async (openLast = false) => {
    if (showOutcome(await completePendingPairings(api).catch(() => undefined))) return;
    const last = openLast ? await findLastComputer() : undefined;
    if (last) openScreen(last);
    else openDevices();
  };

  const query = new URLSearchParams(location.search);
  if (query.has('code') || query.has('error')) {
    history.replaceState(null, '', location.pathname);
    await completeRedirect(query, location.origin, sessionStorage, api).catch(() => 'refused');
  }
  setUpSignIn(await fetchProviders(location.origin).catch(() => []), api, () => void afterSignIn());

  // A link opened while the page is already showing arrives as a fragment change.
  window.addEventListener('hashchange', () => {
    const secret = pairingCodeInFragment(location.hash);
    history.replaceState(null, '', location.pathname + location.search);
    if (secret) void pair(secret);
  });

  if (secretFromLink) {
    await pair(secretFromLink);
    return;
  }
  if (api.signedIn) await afterSignIn(true);
  else go('signin');
}

void main();
