import { takeOverMessage } from './shell.ts';

// Installs the service worker that lets the page start offline and from the home screen. Browsers
// offer service workers only in a secure context; elsewhere the page simply runs online.
export function registerServiceWorker(): void {
  if (!isSecureContext || !('serviceWorker' in navigator)) return;
  // Once this page holds all it loads, so that it never runs one version's script in another's
  // page; a new version found meanwhile is told to take over at once, for the next load.
  const whenLoaded = (then: () => void) =>
    document.readyState === 'complete' ? then() : window.addEventListener('load', then, { once: true });
  whenLoaded(() => {
    navigator.serviceWorker
      .register('sw.js', { scope: './', updateViaCache: 'none' })
      .then((registration) => {
        const takeOver = () => registration.waiting?.postMessage(takeOverMessage);
        registration.addEventListener('updatefound', () => {
          const next = registration.installing;
          next?.addEventListener('statechange', () => next.state === 'installed' && takeOver());
        });
        takeOver();
      })
      // The worker only helps the next start; the page works the same without it.
      .catch(() => undefined);
  });
}
