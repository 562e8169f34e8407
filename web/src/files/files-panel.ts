// The computer's files: folders to walk from the home, a file's actions (download, rename, move,
// delete), and uploads from the phone into the folder shown. Every change is followed by a fresh
// listing, so what the panel shows is what the computer has.
import { t } from '../i18n/index.ts';
import type { AgentLink } from '../session/agent-link.ts';
import type { Panel } from '../ui/computer-tabs.ts';
import { confirmAction } from '../ui/confirm.ts';
import { toHex } from '../protocol/bytes.ts';
import { type FailedAction, describeFailure } from './errors.ts';
import { type FileEntry, type Listing, decodeListing, listRequest, moveRequest, removeRequest } from './file-records.ts';
import { formatDate, formatSize } from '../i18n/format.ts';
import { crumbsOf, isPlainName, joinPath, parentOf, uploadTemporaryName } from './paths.ts';
import { openSaveTarget } from './save-target.ts';
import { TransferRow } from './transfer-rows.ts';
import { BadAnswer, TransferCancelled, download, upload } from './transfer.ts';

const element = <T extends HTMLElement>(root: HTMLElement, selector: string): T => {
  const found = root.querySelector<T>(selector);
  if (!found) throw new Error(`${selector} is missing from the files panel`);
  return found;
};

export class FilesPanel implements Panel {
  private visible = false;
  private listing: Listing | undefined;
  private home: string | undefined; // the agent's answer for "~"
  private selected: FileEntry | undefined;
  private moving: FileEntry | undefined; // chosen for a move by browsing
  private listed = 0; // the latest listing asked for; older answers are dropped

  private readonly list: HTMLUListElement;
  private readonly crumbs: HTMLElement;
  private readonly pathText: HTMLElement;
  private readonly error: HTMLElement;
  private readonly empty: HTMLElement;
  private readonly transfers: HTMLElement;
  private readonly actions: HTMLElement;
  private readonly renameForm: HTMLFormElement;
  private readonly moveForm: HTMLFormElement;
  private readonly moveBar: HTMLElement;

  constructor(
    readonly link: AgentLink,
    readonly root: HTMLElement,
  ) {
    this.list = element(root, '#file-list');
    this.crumbs = element(root, '#files-crumbs');
    this.pathText = element(root, '#files-path');
    this.error = element(root, '#files-error');
    this.empty = element(root, '#files-empty');
    this.transfers = element(root, '#files-transfers');
    this.actions = element(root, '#file-actions');
    this.renameForm = element(root, '#file-rename-form');
    this.moveForm = element(root, '#file-move-form');
    this.moveBar = element(root, '#files-move-bar');

    const upload = element<HTMLInputElement>(root, '#files-upload');
    upload.onchange = () => {
      const files = [...(upload.files ?? [])];
      upload.value = '';
      if (this.listing && files.length > 0) void this.uploadAll(files, this.listing.path);
    };
    element(root, '#file-download').onclick = () => this.selected && void this.download(this.selected);
    element(root, '#file-rename').onclick = () => this.openForm(this.renameForm);
    element(root, '#file-move').onclick = () => this.openForm(this.moveForm);
    element(root, '#file-delete').onclick = () => this.selected && void this.remove(this.selected);
    element(root, '#file-actions-close').onclick = () => this.select(undefined);
    this.renameForm.onsubmit = (event) => {
      event.preventDefault();
      if (this.selected) void this.rename(this.selected, element<HTMLInputElement>(root, '#file-rename-name').value.trim());
    };
    this.moveForm.onsubmit = (event) => {
      event.preventDefault();
      if (this.selected) void this.moveTo(this.selected, element<HTMLInputElement>(root, '#file-move-to').value.trim());
    };
    element(root, '#file-move-browse').onclick = () => {
      this.moving = this.selected;
      this.select(undefined);
      this.showMoveBar();
    };
    element(root, '#files-move-here').onclick = () => {
      const moving = this.moving;
      this.moving = undefined;
      this.showMoveBar();
      if (moving && this.listing) void this.moveTo(moving, this.listing.path);
    };
    element(root, '#files-move-cancel').onclick = () => {
      this.moving = undefined;
      this.showMoveBar();
    };
    link.onConnection((state) => {
      if (state === 'connected' && this.visible) void this.open(this.listing?.path ?? '~');
    });
  }

  show(): void {
    this.visible = true;
    void this.open(this.listing?.path ?? '~');
  }

  hide(): void {
    this.visible = false;
  }

  // Lists `path` and shows it; a failure leaves the last listing in place. A refresh after a
  // change keeps the change's failure in view.
  private async open(path: string, keepError = false): Promise<void> {
    const ticket = ++this.listed;
    try {
      const reply = await this.link.request(listRequest(path));
      const listing = decodeListing(reply);
      if (!listing) throw new BadAnswer('not a listing');
      // The agent answers with the path as asked ("~"); its entries carry the folder's real one.
      const first = listing.entries[0];
      if (!listing.path.startsWith('/') && first?.path.startsWith('/')) listing.path = parentOf(first.path);
      if (ticket !== this.listed) return;
      if (path === '~') this.home = listing.path;
      this.listing = listing;
      if (!keepError) this.clearError();
      this.render();
    } catch (error) {
      if (ticket === this.listed) this.fail('filesFailedList', path === '~' ? t('filesHome') : path, error);
    }
  }

  private refresh(): Promise<void> {
    return this.open(this.listing?.path ?? '~', true);
  }

  private render(): void {
    const listing = this.listing;
    if (!listing) return;
    this.pathText.textContent = listing.path;
    this.crumbs.replaceChildren(
      ...crumbsOf(listing.path).map((crumb) => {
        const button = document.createElement('button');
        button.className = 'crumb quiet';
        button.dataset.path = crumb.path;
        button.textContent = crumb.label;
        button.onclick = () => void this.open(crumb.path);
        return button;
      }),
    );
    this.list.replaceChildren(...listing.entries.map((entry) => this.entryRow(entry)));
    this.empty.hidden = listing.entries.length > 0;
    if (this.selected && !listing.entries.some((entry) => entry.path === this.selected?.path)) this.select(undefined);
  }

  private entryRow(entry: FileEntry): HTMLLIElement {
    const row = document.createElement('li');
    row.className = 'file-entry';
    row.dataset.name = entry.name;
    row.dataset.kind = entry.isDirectory ? 'dir' : 'file';
    const open = document.createElement('button');
    open.className = 'file-open';
    const name = document.createElement('span');
    name.className = 'file-name';
    name.textContent = entry.name;
    const details = document.createElement('span');
    details.className = 'file-details';
    const size = document.createElement('span');
    size.className = 'file-size';
    size.textContent = entry.isDirectory ? '' : formatSize(entry.size);
    const date = document.createElement('span');
    date.className = 'file-date';
    date.textContent = entry.modified === undefined ? '' : formatDate(entry.modified);
    details.append(size, date);
    open.append(name, details);
    open.onclick = () => {
      if (entry.isDirectory) void this.open(entry.path);
      else if (!this.moving) this.select(entry);
    };
    row.append(open);
    if (entry.isDirectory) {
      const more = document.createElement('button');
      more.className = 'file-more quiet';
      more.textContent = '⋯';
      more.setAttribute('aria-label', t('filesActionsOf', { name: entry.name }));
      more.onclick = () => !this.moving && this.select(entry);
      row.append(more);
    }
    return row;
  }

  private select(entry: FileEntry | undefined): void {
    this.selected = entry;
    this.actions.hidden = !entry;
    this.renameForm.hidden = true;
    this.moveForm.hidden = true;
    if (!entry) return;
    element(this.root, '#file-actions-name').textContent = entry.name;
    element(this.root, '#file-download').hidden = entry.isDirectory;
    for (const row of this.list.querySelectorAll<HTMLElement>('li.file-entry')) {
      row.classList.toggle('selected', row.dataset.name === entry.name);
    }
  }

  private openForm(form: HTMLFormElement): void {
    if (!this.selected) return;
    this.renameForm.hidden = form !== this.renameForm;
    this.moveForm.hidden = form !== this.moveForm;
    const input = element<HTMLInputElement>(form, 'input');
    input.value = form === this.renameForm ? this.selected.name : (this.listing?.path ?? '');
    input.focus();
  }

  private showMoveBar(): void {
    this.moveBar.hidden = !this.moving;
    if (this.moving) element(this.root, '#files-move-text').textContent = t('filesMoveChoose', { name: this.moving.name });
  }

  private async rename(entry: FileEntry, name: string): Promise<void> {
    if (!isPlainName(name)) return this.showError(t('filesBadName', { name }));
    if (name === entry.name) return this.select(undefined);
    await this.change('filesFailedRename', entry.name, () => this.link.request(moveRequest(entry.path, joinPath(parentOf(entry.path), name))));
  }

  // Moves into the folder `folder` (typed, '~' for the home, or the one shown).
  private async moveTo(entry: FileEntry, folder: string): Promise<void> {
    let target = folder;
    if (this.home && (target === '~' || target.startsWith('~/'))) target = this.home + target.slice(1);
    if (!target.startsWith('/')) return this.showError(t('filesBadFolder', { name: folder }));
    await this.change('filesFailedMove', entry.name, () => this.link.request(moveRequest(entry.path, joinPath(target, entry.name))));
  }

  private async remove(entry: FileEntry): Promise<void> {
    if (!(await confirmAction(t('filesDeleteConfirm', { name: entry.name })))) return;
    await this.change('filesFailedDelete', entry.name, () => this.link.request(removeRequest(entry.path)));
  }

  private async change(action: FailedAction, name: string, work: () => Promise<unknown>): Promise<void> {
    try {
      const reply = (await work()) as { type?: string };
      if (reply.type !== 'ack') throw new BadAnswer('not an ack');
      this.clearError();
      this.select(undefined);
    } catch (error) {
      this.fail(action, name, error);
    }
    await this.refresh();
  }

  private async download(entry: FileEntry): Promise<void> {
    const startedAt = performance.now();
    const stop = new AbortController();
    const row = new TransferRow(this.transfers, 'download', entry.name, entry.size, startedAt, () => stop.abort());
    let target: Awaited<ReturnType<typeof openSaveTarget>> | undefined;
    try {
      target = await openSaveTarget(entry.name, this.root, () => stop.abort());
      row.record.via = target.via;
      const into = target;
      await download(this.link, entry.path, (data) => into.write(data), {
        signal: stop.signal,
        onProgress: (done, total) => row.progress(done, total),
      });
      await target.close();
      row.finish('done');
    } catch (error) {
      target?.abort();
      this.ended(row, 'filesFailedDownload', entry.name, error);
    }
  }

  // One after another, each into a hidden name first, so that a stopped upload never leaves a
  // piece of a file or harms the file it would replace.
  private async uploadAll(files: File[], folder: string): Promise<void> {
    for (const file of files) await this.uploadOne(file, folder);
  }

  private async uploadOne(file: File, folder: string): Promise<void> {
    const startedAt = performance.now();
    const name = file.name;
    const destination = joinPath(folder, name);
    let replace = false;
    try {
      const present = decodeListing(await this.link.request(listRequest(folder)));
      const existing = present?.entries.find((entry) => entry.name === name);
      if (existing?.isDirectory) return this.showError(t('filesFolderInTheWay', { name }));
      if (existing) {
        if (!(await confirmAction(t('filesReplaceConfirm', { name })))) return;
        replace = true;
      }
    } catch (error) {
      return this.fail('filesFailedUpload', name, error);
    }
    const stop = new AbortController();
    const row = new TransferRow(this.transfers, 'upload', name, file.size, startedAt, () => stop.abort());
    const temporary = joinPath(folder, uploadTemporaryName(name, toHex(crypto.getRandomValues(new Uint8Array(6)))));
    try {
      await upload(
        this.link,
        { size: file.size, read: async (start, end) => new Uint8Array(await file.slice(start, end).arrayBuffer()) },
        temporary,
        { signal: stop.signal, onProgress: (done, total) => row.progress(done, total) },
      );
      if (replace) await this.link.request(removeRequest(destination));
      await this.link.request(moveRequest(temporary, destination));
      row.finish('done');
    } catch (error) {
      // The piece written so far goes; an error here only means there was none.
      await this.link.request(removeRequest(temporary)).catch(() => undefined);
      this.ended(row, 'filesFailedUpload', name, error);
    }
    if (this.listing?.path === folder) await this.refresh();
  }

  private ended(row: TransferRow, action: FailedAction, name: string, error: unknown): void {
    if (error instanceof TransferCancelled) {
      row.finish('cancelled');
      return;
    }
    row.finish('failed');
    this.fail(action, name, error);
  }

  private fail(action: FailedAction, name: string, error: unknown): void {
    this.showError(describeFailure(action, name, error));
  }

  private showError(text: string): void {
    this.error.textContent = text;
    this.error.hidden = false;
  }

  private clearError(): void {
    this.error.hidden = true;
    this.error.textContent = '';
  }
}
