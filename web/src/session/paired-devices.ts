// Computers this browser is paired with, in IndexedDB: the pairing secret only as
// non-extractable CryptoKeys (structured-cloneable), with the room fingerprint and a name.
import type { PairingKeys } from '../relay/crypto.ts';

export interface PairedDevice {
  fingerprint: string;
  name: string;
  keys: PairingKeys;
  // A secret taken from a link before sign-in, not yet matched with the account's devices.
  pending?: boolean;
}

const dbName = 'lumora';
const storeName = 'paired';

function openDatabase(): Promise<IDBDatabase> {
  return new Promise((resolve, reject) => {
    const request = indexedDB.open(dbName, 1);
    request.onupgradeneeded = () => request.result.createObjectStore(storeName, { keyPath: 'fingerprint' });
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
  });
}

async function run<T>(mode: IDBTransactionMode, work: (store: IDBObjectStore) => IDBRequest<T>): Promise<T> {
  const db = await openDatabase();
  try {
    return await new Promise<T>((resolve, reject) => {
      const request = work(db.transaction(storeName, mode).objectStore(storeName));
      request.onsuccess = () => resolve(request.result);
      request.onerror = () => reject(request.error);
    });
  } finally {
    db.close();
  }
}

export const savePaired = (device: PairedDevice): Promise<IDBValidKey> => run('readwrite', (s) => s.put(device));
export const forgetPaired = (fingerprint: string): Promise<undefined> => run('readwrite', (s) => s.delete(fingerprint));
export const allPaired = (): Promise<PairedDevice[]> => run('readonly', (s) => s.getAll() as IDBRequest<PairedDevice[]>);
