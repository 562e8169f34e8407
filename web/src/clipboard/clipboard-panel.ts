// The clipboard panel: this phone's clipboard (or text typed into the page) to the computer's,
// and the computer's clipboard to the phone: text to copy, a picture to look at, save or copy,
// a copied file to save. Every action starts from a tap, as browsers require for clipboards.
import { formatSize } from '../i18n/format.ts';
import { t } from '../i18n/index.ts';
import type { TextKey } from '../i18n/texts.ts';
import type { OutgoingPayload } from '../protocol/envelope.ts';
import type { AgentLink } from '../session/agent-link.ts';
import { AgentError } from '../session/control-client.ts';
import type { Panel } from '../ui/computer-tabs.ts';
import {
  type ClipboardContent,
  getClipboard,
  maxRecordBytes,
  readClipboardContent,
  recordBytes,
  setClipboardImage,
  setClipboardText,
} from './clipboard-content.ts';
import { canWritePhoneImage, readPhoneClipboard, writePhoneImage, writePhoneText } from './phone-clipboard.ts';

export class ClipboardPanel implements Panel {
  private readonly sendButton: HTMLButtonElement;
  private readonly sendTextButton: HTMLButtonElement;
  private readonly fetchButton: HTMLButtonElement;
  private readonly textBox: HTMLTextAreaElement;
  private readonly remoteText: HTMLTextAreaElement;
  private readonly image: HTMLImageElement;
  private readonly message: HTMLElement;
  private busy = false;
  // The one object URL the panel holds (the picture or the file), revoked when replaced.
  private objectURL: string | undefined;
  private imageBlob: Blob | undefined;
  // Which fetch the page shows: a slow picture decode must not overwrite a newer answer.
  private fetches = 0;

  constructor(
    readonly link: AgentLink,
    readonly root: HTMLElement,
  ) {
    this.sendButton = this.find('#clipboard-send');
    this.sendTextButton = this.find('#clipboard-send-text');
    this.fetchButton = this.find('#clipboard-fetch');
    this.textBox = this.find('#clipboard-text');
    this.remoteText = this.find('#clipboard-remote-text');
    this.image = this.find('#clipboard-image');
    this.message = this.find('#clipboard-message');
    this.sendButton.onclick = () => void this.run(() => this.sendPhoneClipboard());
    this.sendTextButton.onclick = () => void this.run(() => this.sendTypedText());
    this.fetchButton.onclick = () => void this.run(() => this.fetch());
    this.find('#clipboard-copy').onclick = () => void this.copyText();
    const copyImage = this.find<HTMLButtonElement>('#clipboard-copy-image');
    copyImage.hidden = !canWritePhoneImage();
    copyImage.onclick = () => void this.copyImage();
    link.onConnection(() => this.enable());
    this.enable();
  }

  show(): void {
    this.enable();
  }

  hide(): void {}

  private find<T extends HTMLElement>(selector: string): T {
    const element = this.root.querySelector<T>(selector);
    if (!element) throw new Error(`${selector} is missing from the clipboard panel`);
    return element;
  }

  private enable(): void {
    const usable = this.link.connected && !this.busy;
    for (const button of [this.sendButton, this.sendTextButton, this.fetchButton]) button.disabled = !usable;
  }

  // One exchange with the computer at a time; whatever goes wrong ends as words, never a throw.
  private async run(action: () => Promise<void>): Promise<void> {
    if (this.busy) return;
    this.busy = true;
    this.enable();
    try {
      await action();
    } catch (error) {
      this.say(failureText(error), 'error');
    } finally {
      this.busy = false;
      this.enable();
    }
  }

  private say(text: string | undefined, tone: 'ok' | 'error' = 'ok'): void {
    this.message.hidden = text === undefined;
    this.message.textContent = text ?? '';
    this.message.dataset.tone = tone;
  }

  private async sendPhoneClipboard(): Promise<void> {
    this.say(undefined);
    const read = await readPhoneClipboard();
    switch (read.kind) {
      case 'text':
        return this.send(setClipboardText(read.text), 'clipboardSent');
      case 'image':
        return this.send(setClipboardImage(read.png), 'clipboardSentImage');
      case 'empty':
        return this.say(t('clipboardPhoneEmpty'));
      case 'refused':
      case 'unavailable':
        this.say(t(read.kind === 'refused' ? 'clipboardReadRefused' : 'clipboardReadUnavailable'), 'error');
        this.textBox.focus();
    }
  }

  private async sendTypedText(): Promise<void> {
    const text = this.textBox.value;
    if (!text) return this.say(t('clipboardNothingToSend'), 'error');
    await this.send(setClipboardText(text), 'clipboardSent');
  }

  private async send(payload: OutgoingPayload, done: TextKey): Promise<void> {
    const size = recordBytes(payload);
    if (size > maxRecordBytes) {
      return this.say(t('clipboardTooLarge', { size: formatSize(size), limit: formatSize(maxRecordBytes) }), 'error');
    }
    await this.link.request(payload);
    this.say(t(done));
  }

  private async fetch(): Promise<void> {
    const fetch = ++this.fetches;
    this.say(undefined);
    const read = readClipboardContent(await this.link.request(getClipboard()));
    if (fetch !== this.fetches) return;
    this.clearRemote();
    if (!read.ok) return this.say(t(read.problem === 'notPNG' ? 'clipboardNotImage' : 'clipboardMalformed'), 'error');
    await this.showRemote(read.content, fetch);
  }

  private clearRemote(): void {
    for (const box of ['#clipboard-remote-text-box', '#clipboard-image-box', '#clipboard-file-box']) this.find(box).hidden = true;
    this.remoteText.value = '';
    this.image.removeAttribute('src');
    this.imageBlob = undefined;
    if (this.objectURL) URL.revokeObjectURL(this.objectURL);
    this.objectURL = undefined;
  }

  private async showRemote(content: ClipboardContent, fetch: number): Promise<void> {
    switch (content.kind) {
      case 'empty':
        return this.say(t('clipboardRemoteEmpty'));
      case 'text':
        this.remoteText.value = content.text;
        this.find('#clipboard-remote-text-box').hidden = false;
        return;
      case 'file': {
        const link = this.find<HTMLAnchorElement>('#clipboard-file-link');
        link.href = this.holdURL(new Blob([content.data as BlobPart]));
        link.download = content.name;
        this.find('#clipboard-file').textContent = t('clipboardFileInfo', { name: content.name, size: formatSize(content.data.length) });
        this.find('#clipboard-file-box').hidden = false;
        return;
      }
      case 'image': {
        const blob = new Blob([content.png as BlobPart], { type: 'image/png' });
        const url = this.holdURL(blob);
        this.image.src = url;
        try {
          await this.image.decode();
        } catch {
          if (fetch === this.fetches) {
            this.clearRemote();
            this.say(t('clipboardNotImage'), 'error');
          }
          return;
        }
        if (fetch !== this.fetches) return;
        this.imageBlob = blob;
        this.find<HTMLAnchorElement>('#clipboard-save').href = url;
        this.find('#clipboard-image-size').textContent = t('clipboardImageSize', {
          width: this.image.naturalWidth,
          height: this.image.naturalHeight,
        });
        this.find('#clipboard-image-box').hidden = false;
      }
    }
  }

  private holdURL(blob: Blob): string {
    if (this.objectURL) URL.revokeObjectURL(this.objectURL);
    this.objectURL = URL.createObjectURL(blob);
    return this.objectURL;
  }

  private async copyText(): Promise<void> {
    const copied = await writePhoneText(this.remoteText.value);
    this.say(t(copied ? 'clipboardCopied' : 'clipboardCopyRefused'), copied ? 'ok' : 'error');
  }

  private async copyImage(): Promise<void> {
    if (!this.imageBlob) return;
    const copied = await writePhoneImage(this.imageBlob);
    this.say(t(copied ? 'clipboardCopied' : 'clipboardImageCopyRefused'), copied ? 'ok' : 'error');
  }
}

function failureText(error: unknown): string {
  if (error instanceof AgentError && error.code === 'closed') return t('clipboardNotConnected');
  if (error instanceof AgentError && error.code === 'timeout') return t('clipboardNoAnswer');
  return t('clipboardFailed', { reason: error instanceof Error ? error.message : String(error) });
}
