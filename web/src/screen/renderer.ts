// Draws the newest picture on requestAnimationFrame, through the viewport, at device pixels.
import type { Viewport } from './viewport.ts';

export class ScreenRenderer {
  private scheduled = false;
  private picture: VideoFrame | undefined;
  private readonly context: CanvasRenderingContext2D;

  constructor(
    private readonly canvas: HTMLCanvasElement,
    private readonly viewport: Viewport,
    private readonly take: () => VideoFrame | undefined,
    private readonly onDrawn: (picture: VideoFrame) => void,
  ) {
    const context = canvas.getContext('2d', { alpha: false });
    if (!context) throw new Error('no 2D canvas');
    this.context = context;
  }

  get pictureSize(): { width: number; height: number } | undefined {
    return this.picture ? { width: this.picture.displayWidth, height: this.picture.displayHeight } : undefined;
  }

  request(): void {
    if (this.scheduled) return;
    this.scheduled = true;
    requestAnimationFrame(() => {
      this.scheduled = false;
      this.draw();
    });
  }

  clear(): void {
    this.picture?.close();
    this.picture = undefined;
  }

  private draw(): void {
    const fresh = this.take();
    if (fresh) {
      this.picture?.close();
      this.picture = fresh;
    }
    const dpr = window.devicePixelRatio || 1;
    const width = Math.round(this.canvas.clientWidth * dpr);
    const height = Math.round(this.canvas.clientHeight * dpr);
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    const ctx = this.context;
    ctx.fillStyle = '#000';
    ctx.fillRect(0, 0, width, height);
    if (!this.picture) return;
    this.viewport.resize(
      { width: this.canvas.clientWidth, height: this.canvas.clientHeight },
      { width: this.picture.displayWidth, height: this.picture.displayHeight },
    );
    const r = this.viewport.rect;
    ctx.drawImage(this.picture, r.x * dpr, r.y * dpr, r.width * dpr, r.height * dpr);
    if (fresh) this.onDrawn(this.picture);
  }
}
