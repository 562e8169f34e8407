// The picture fitted into the view, with zoom and pan. Pure geometry in CSS pixels: the view
// maps to the picture's normalised coordinates (0…1) for input, and back for the cursor.
import type { Point } from '../protocol/payloads.ts';

export interface Size {
  width: number;
  height: number;
}

const maxZoom = 8;

export class Viewport {
  private zoom = 1;
  private offsetX = 0; // picture origin in view pixels
  private offsetY = 0;

  constructor(
    private view: Size = { width: 1, height: 1 },
    private picture: Size = { width: 1, height: 1 },
  ) {
    this.fit();
  }

  resize(view: Size, picture: Size = this.picture): void {
    const changed = picture.width !== this.picture.width || picture.height !== this.picture.height;
    this.view = view;
    this.picture = picture;
    if (changed) this.zoom = 1;
    this.clamp();
  }

  get scale(): number {
    return this.fitScale() * this.zoom;
  }

  // Where the picture lies in the view.
  get rect(): { x: number; y: number; width: number; height: number } {
    return { x: this.offsetX, y: this.offsetY, width: this.picture.width * this.scale, height: this.picture.height * this.scale };
  }

  toPicture(viewX: number, viewY: number): Point {
    const r = this.rect;
    return { x: (viewX - r.x) / r.width, y: (viewY - r.y) / r.height };
  }

  toView(point: Point): { x: number; y: number } {
    const r = this.rect;
    return { x: r.x + point.x * r.width, y: r.y + point.y * r.height };
  }

  // A view-pixel motion as a motion in normalised picture coordinates.
  deltaToPicture(dx: number, dy: number): Point {
    const r = this.rect;
    return { x: dx / r.width, y: dy / r.height };
  }

  panBy(dx: number, dy: number): void {
    this.offsetX += dx;
    this.offsetY += dy;
    this.clamp();
  }

  // Zooms by factor keeping the picture point under (cx, cy) where it is.
  zoomAt(factor: number, cx: number, cy: number): void {
    const anchor = this.toPicture(cx, cy);
    this.zoom = Math.min(maxZoom, Math.max(1, this.zoom * factor));
    const r = this.rect;
    this.offsetX = cx - anchor.x * r.width;
    this.offsetY = cy - anchor.y * r.height;
    this.clamp();
  }

  private fitScale(): number {
    return Math.min(this.view.width / this.picture.width, this.view.height / this.picture.height);
  }

  private fit(): void {
    this.zoom = 1;
    this.clamp();
  }

  // Smaller than the view on an axis: centred; larger: no empty margin at either edge.
  private clamp(): void {
    const w = this.picture.width * this.scale;
    const h = this.picture.height * this.scale;
    this.offsetX = w <= this.view.width ? (this.view.width - w) / 2 : Math.min(0, Math.max(this.view.width - w, this.offsetX));
    this.offsetY = h <= this.view.height ? (this.view.height - h) / 2 : Math.min(0, Math.max(this.view.height - h, this.offsetY));
  }
}
