// Installs the service worker that lets the page start offline and from the home screen. Browsers
// offer service workers only in a secure context; elsewhere the page simply runs online.
export function registerServiceWorker(): void {
  if (!isSecureContext || !('serviceWorker' in navigator)) return;
  // The worker only speeds up the next start; the page works the same when this fails.
  navigator.serviceWorker.register('sw.js', { scope: './', updateViaCache: 'none' }).catch(() => undefined);
}
