// The phone's own id in auth.begin: random, kept in localStorage so the agent sees one device.
export function deviceID(storage: Storage): string {
  let id = storage.getItem('lumora.deviceID');
  if (!id) {
    id = 'web-' + crypto.randomUUID();
    storage.setItem('lumora.deviceID', id);
  }
  return id;
}
