// Pairing by pasting a link or scanning the computer's QR code.
import { t } from '../i18n/index.ts';
import { parsePairingLink } from '../protocol/pairing-link.ts';
import { byId, showMessage } from './dom.ts';
import { QrScanner } from './qr-scanner.ts';

export function setUpPairView(onSecret: (secret: Uint8Array) => void, onBack: () => void): { reset(): void; fail(key: Parameters<typeof showMessage>[1]): void } {
  const error = byId('pair-error');
  const input = byId<HTMLInputElement>('pair-link');
  const scanButton = byId<HTMLButtonElement>('pair-scan');
  const scanner = new QrScanner(byId<HTMLVideoElement>('pair-video'));
  let scanning = false;

  const stopScanning = () => {
    scanner.stop();
    scanning = false;
    scanButton.textContent = t('pairScan');
  };
  const submit = (text: string) => {
    const secret = parsePairingLink(text);
    if (!secret) return showMessage(error, 'pairInvalid');
    showMessage(error, undefined);
    onSecret(secret);
  };

  byId<HTMLFormElement>('pair-form').onsubmit = (event) => {
    event.preventDefault();
    submit(input.value);
  };
  scanButton.onclick = () => {
    if (scanning) return stopScanning();
    scanning = true;
    scanButton.textContent = t('pairScanStop');
    showMessage(error, undefined);
    scanner
      .start((text) => {
        stopScanning();
        input.value = text;
        submit(text);
      })
      .catch(() => {
        stopScanning();
        showMessage(error, 'pairCameraFailed');
      });
  };
  byId('pair-back').onclick = () => {
    stopScanning();
    onBack();
  };
  return {
    reset() {
      stopScanning();
      input.value = '';
      showMessage(error, undefined);
    },
    fail(key) {
      showMessage(error, key);
    },
  };
}
