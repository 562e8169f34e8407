// Reads a QR code from the rear camera: BarcodeDetector where the browser has it, else jsQR on
// canvas frames.
import jsQR from 'jsqr';

interface Detector {
  detect(source: CanvasImageSource): Promise<{ rawValue: string }[]>;
}
type DetectorClass = new (options: { formats: string[] }) => Detector;

export class QrScanner {
  private stream: MediaStream | undefined;
  private running = false;

  constructor(private readonly video: HTMLVideoElement) {}

  async start(onText: (text: string) => void): Promise<void> {
    this.stream = await navigator.mediaDevices.getUserMedia({ video: { facingMode: { ideal: 'environment' } }, audio: false });
    this.video.srcObject = this.stream;
    this.video.hidden = false;
    await this.video.play();
    this.running = true;
    const Native = (globalThis as { BarcodeDetector?: DetectorClass }).BarcodeDetector;
    const detector: Detector | undefined = Native ? new Native({ formats: ['qr_code'] }) : undefined;
    const canvas = document.createElement('canvas');
    const context = canvas.getContext('2d', { willReadFrequently: true })!;
    const scan = async () => {
      if (!this.running) return;
      let found: string | undefined;
      if (this.video.videoWidth > 0) {
        if (detector) {
          found = (await detector.detect(this.video).catch(() => []))[0]?.rawValue;
        } else {
          canvas.width = this.video.videoWidth;
          canvas.height = this.video.videoHeight;
          context.drawImage(this.video, 0, 0);
          const image = context.getImageData(0, 0, canvas.width, canvas.height);
          found = jsQR(image.data, image.width, image.height)?.data;
        }
      }
      if (found && this.running) {
        this.stop();
        onText(found);
        return;
      }
      setTimeout(() => void scan(), 200);
    };
    void scan();
  }

  stop(): void {
    this.running = false;
    for (const track of this.stream?.getTracks() ?? []) track.stop();
    this.stream = undefined;
    this.video.srcObject = null;
    this.video.hidden = true;
  }
}
