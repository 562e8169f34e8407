// The account's computers with their state; a tap opens one this browser is paired with.
import type { ApiClient } from '../account/api-client.ts';
import { type Device, listDevices } from '../account/devices.ts';
import { currentLanguage, t } from '../i18n/index.ts';
import type { TextKey } from '../i18n/texts.ts';
import { type PairedDevice, allPaired, forgetPaired } from '../session/paired-devices.ts';
import { byId, showMessage } from './dom.ts';

export interface DevicesViewActions {
  open(device: PairedDevice): void;
  pair(): void;
  signOut(): void;
}

function stateText(device: Device, paired: boolean): string {
  const known: Record<string, TextKey> = { connected: 'stateConnected', registered: 'stateRegistered', offline: 'stateOffline' };
  const status = known[device.status] ? t(known[device.status]) : device.status || t('stateUnknown');
  const parts = [status];
  if (device.lastSeenAt) {
    const seen = new Date(device.lastSeenAt);
    if (!Number.isNaN(seen.getTime())) {
      parts.push(t('lastSeen', { time: seen.toLocaleString(currentLanguage(), { dateStyle: 'short', timeStyle: 'short' }) }));
    }
  }
  if (!paired) parts.push(t('notPaired'));
  return parts.join(' · ');
}

export async function renderDevices(api: ApiClient, actions: DevicesViewActions): Promise<void> {
  byId('sign-out').onclick = actions.signOut;
  byId('pair-open').onclick = actions.pair;
  const list = byId<HTMLUListElement>('device-list');
  const message = byId('devices-message');
  let devices: Device[];
  try {
    devices = await listDevices(api);
  } catch {
    list.replaceChildren();
    showMessage(message, 'devicesFailed');
    return;
  }
  const paired = new Map((await allPaired().catch(() => [] as PairedDevice[])).filter((p) => !p.pending).map((p) => [p.fingerprint, p]));
  showMessage(message, devices.length === 0 ? 'devicesEmpty' : undefined);
  list.replaceChildren(
    ...devices.map((device) => {
      const fingerprint = device.pairingFingerprint ?? '';
      const mine = paired.get(fingerprint);
      const item = document.createElement('li');
      item.className = 'device';
      item.dataset.fingerprint = fingerprint;
      item.dataset.status = device.status;
      const text = document.createElement('div');
      text.className = 'device-text';
      const name = document.createElement('span');
      name.className = 'device-name';
      name.textContent = device.name;
      const state = document.createElement('span');
      state.className = 'device-state';
      state.textContent = stateText(device, mine !== undefined);
      text.append(name, state);
      item.append(text);
      if (mine) {
        const forget = document.createElement('button');
        forget.type = 'button';
        forget.className = 'quiet forget';
        forget.textContent = t('forget');
        forget.onclick = (event) => {
          event.stopPropagation();
          void forgetPaired(fingerprint).then(() => renderDevices(api, actions));
        };
        item.append(forget);
      }
      item.onclick = () => (mine ? actions.open({ ...mine, name: device.name }) : actions.pair());
      return item;
    }),
  );
}
