"""A live PipeWire video source for the tests: GStreamer's appsrc (live, timed) -> compositor ->
pipewiresink in "provide" mode, which publishes a Video/Source node that consumers link to, as a
compositor's screencast node. The picture is RGBA (GdkPixbuf's) and is pushed again at a steady
rate, so a consumer that connects late still gets frames; set_picture switches it at any time.

Run as a program it publishes one node named by --node-name showing a PNG file, and reads
commands on its standard input, one a line:
  show <path>   switch to another PNG file (scaled to the node's size)
It ends when its standard input closes.

/usr/bin/python3 with python3-gi, gir1.2-gstreamer-1.0, gir1.2-gdkpixbuf-2.0 and
gstreamer1.0-pipewire (pipewiresink 0.3.65 crashes when fed from a non-live source: this
one is live)."""

import argparse
import os
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, GLib, Gst  # noqa: E402


def rgba_of(pixbuf, width, height):
    """The pixbuf scaled to width x height as packed RGBA bytes."""
    if pixbuf.get_width() != width or pixbuf.get_height() != height:
        pixbuf = pixbuf.scale_simple(width, height, GdkPixbuf.InterpType.BILINEAR)
    if not pixbuf.get_has_alpha():
        pixbuf = pixbuf.add_alpha(False, 0, 0, 0)
    stride = pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    if stride == width * 4:
        return bytes(data[: width * 4 * height])
    return b"".join(data[row * stride: row * stride + width * 4] for row in range(height))


def rgba_of_file(path, width, height):
    return rgba_of(GdkPixbuf.Pixbuf.new_from_file(str(path)), width, height)


def rgba_of_bytes(data, width, height, kind=None):
    """A picture in a file format GdkPixbuf reads (PNG, or "pnm" for grim -t ppm)."""
    loader = GdkPixbuf.PixbufLoader.new_with_type(kind) if kind else GdkPixbuf.PixbufLoader()
    loader.write(data)
    loader.close()
    return rgba_of(loader.get_pixbuf(), width, height)


class VideoSource:
    """One Video/Source node; call from the GLib main loop's thread or any other (thread-safe)."""

    def __init__(self, node_name, width, height, fps=15, description=None):
        Gst.init(None)
        self.width = width
        self.height = height
        self._lock = threading.Lock()
        self._picture = bytes(width * height * 4)
        caps = f"video/x-raw,format=RGBA,width={width},height={height},framerate={fps}/1"
        properties = f'props,media.class="Video/Source",node.name="{node_name}",node.description="{description or node_name}"'
        # The compositor writes its output into pipewiresink's own buffers: 0.3.65's sink fails
        # (the node errors out at the consumer's link, "invalid memory type 4") when it has to
        # copy from buffers of another pool, as appsrc's or videoconvert's. It converts RGBA to
        # BGRx on the way; start-time-selection=first keeps it from sending black frames before
        # the first picture.
        self._pipeline = Gst.parse_launch(
            f'appsrc name=source is-live=true format=time do-timestamp=true caps="{caps}" '
            f"! compositor background=black start-time-selection=first "
            f"! video/x-raw,format=BGRx,width={width},height={height},framerate={fps}/1 "
            f"! pipewiresink name=sink mode=provide sync=false client-name={node_name}")
        sink = self._pipeline.get_by_name("sink")
        sink.set_property("stream-properties", Gst.Structure.from_string(properties)[0])
        self._source = self._pipeline.get_by_name("source")
        self._timer = None
        self._interval = max(1, 1000 // fps)
        self.error = None
        bus = self._pipeline.get_bus()
        bus.add_signal_watch()
        bus.connect("message::error", self._on_error)

    def _on_error(self, _bus, message):
        error, debug = message.parse_error()
        self.error = f"{error.message} ({debug})"
        print(f"video source: {self.error}", file=sys.stderr, flush=True)

    def set_picture(self, rgba):
        with self._lock:
            self._picture = rgba

    def start(self):
        self._pipeline.set_state(Gst.State.PLAYING)
        self._push()
        self._timer = GLib.timeout_add(self._interval, self._push)

    def _push(self):
        with self._lock:
            picture = self._picture
        self._source.emit("push-buffer", Gst.Buffer.new_wrapped(picture))
        return True

    def stop(self):
        if self._timer is not None:
            GLib.source_remove(self._timer)
            self._timer = None
        self._pipeline.set_state(Gst.State.NULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--node-name", required=True)
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=800)
    parser.add_argument("--fps", type=int, default=15)
    parser.add_argument("--image", required=True)
    arguments = parser.parse_args()

    source = VideoSource(arguments.node_name, arguments.width, arguments.height, arguments.fps)
    source.set_picture(rgba_of_file(arguments.image, arguments.width, arguments.height))
    loop = GLib.MainLoop()

    # Tests show the same few pictures over and over: each is decoded once, so that a burst of
    # changes leaves the loop free to keep pushing frames.
    decoded = {}

    def picture_of(path):
        stat = os.stat(path)
        key = (path, stat.st_mtime_ns, stat.st_size)
        if key not in decoded:
            decoded[key] = rgba_of_file(path, arguments.width, arguments.height)
        return decoded[key]

    def on_command(channel, _condition):
        line = channel.readline()
        if not line:
            loop.quit()
            return False
        command, _, argument = line.strip().partition(" ")
        if command == "show":
            try:
                source.set_picture(picture_of(argument))
                print(f"shown {argument}", flush=True)
            except GLib.Error as error:
                print(f"video source: cannot show {argument}: {error.message}", file=sys.stderr,
                      flush=True)
        return True

    channel = GLib.IOChannel.unix_new(sys.stdin.fileno())
    # Below the push timer's priority: commands never hold a due frame back.
    GLib.io_add_watch(channel, GLib.PRIORITY_LOW, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR,
                      on_command)
    source.start()
    print("started", flush=True)
    try:
        loop.run()
    finally:
        source.stop()


if __name__ == "__main__":
    main()
