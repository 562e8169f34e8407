"""A stand-in xdg-desktop-portal BACKEND for the Wayland tests (the real frontend talks to it).

It owns --bus-name and implements, at /org/freedesktop/portal/desktop,
  org.freedesktop.impl.portal.ScreenCast     (CreateSession, SelectSources, Start; version 4,
                                              monitors only, hidden or embedded cursor)
  org.freedesktop.impl.portal.RemoteDesktop  (CreateSession, SelectDevices, Start and every
                                              Notify*; keyboard and pointer) unless
                                              --no-remote-desktop (as wlroots' backend)
and exports org.freedesktop.impl.portal.Session objects (Close, the Closed signal) at the paths
the frontend chooses. It answers every request at once (no dialog), so it exports no Request
objects.

At Start it publishes a PipeWire Video/Source node (video_source.VideoSource) showing what grim
captures of the compositor's output (with the cursor when cursor_mode 2 was asked), and answers
with streams a(ua{sv}) (position (0,0), size, source_type 1), the devices for a remote desktop,
and restore_data when persist_mode was asked. --consent refuse answers Start with response 1.

Every call is appended to --log as one JSON line {"method": "ScreenCast.Start", "args": [...]}
(D-Bus values as JSON: dicts, lists, strings, numbers, booleans), flushed at once.

Its standard input takes commands, one a line (a reply line follows each):
  close-sessions   the backend closes every session itself (emits Session.Closed, as when the
                   user stops sharing) -> "closed <n>"
It ends when its standard input closes, and prints "ready" once it owns its bus name.

/usr/bin/python3 with python3-dbus, python3-gi and what video_source.py needs; grim."""

import argparse
import json
import os
import subprocess
import sys
import threading
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import video_source  # noqa: E402

OBJECT_PATH = "/org/freedesktop/portal/desktop"
SCREEN_CAST = "org.freedesktop.impl.portal.ScreenCast"
REMOTE_DESKTOP = "org.freedesktop.impl.portal.RemoteDesktop"
SESSION = "org.freedesktop.impl.portal.Session"
PROPERTIES = "org.freedesktop.DBus.Properties"

SOURCE_MONITOR = 1
CURSOR_HIDDEN, CURSOR_EMBEDDED = 1, 2
DEVICE_KEYBOARD, DEVICE_POINTER = 1, 2

settings = None
log_file = None


def plain(value):
    """A D-Bus value as JSON-friendly Python."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Double, float)):
        return float(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16,
                          dbus.UInt32, dbus.UInt64, int)):
        return int(value)
    if isinstance(value, bytes):
        return list(value)
    return str(value)


def record(method, *args):
    log_file.write(json.dumps({"method": method, "args": [plain(a) for a in args]}) + "\n")
    log_file.flush()


def node_id(name, limit=10.0):
    """The id of the PipeWire node named `name`, once pw-dump shows it."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            dump = subprocess.run(["pw-dump", "-N"], capture_output=True, check=False,
                                  timeout=5).stdout
            for entry in json.loads(dump or b"[]"):
                props = entry.get("info", {}).get("props", {}) or {}
                if entry.get("type") == "PipeWire:Interface:Node" and \
                        props.get("node.name") == name:
                    return entry["id"]
        except (OSError, ValueError, subprocess.TimeoutExpired):
            pass
        time.sleep(0.02)
    return None


class ScreenFeed:
    """A video source fed from grim captures of the output, about 10 a second."""

    count = 0

    def __init__(self, cursor):
        ScreenFeed.count += 1
        self.name = f"lumora-portal-screen-{os.getpid()}-{ScreenFeed.count}"
        self.cursor = cursor
        self.source = video_source.VideoSource(self.name, settings.width, settings.height,
                                               fps=15, description="Lumora test screen")
        self.running = True
        self.first = threading.Event()
        self.thread = threading.Thread(target=self._capture, daemon=True)

    def start(self):
        self.thread.start()
        self.first.wait(5)
        self.source.start()
        return node_id(self.name)

    def _capture(self):
        command = ["grim", "-t", "ppm"] + (["-c"] if self.cursor else []) + ["-"]
        environment = dict(os.environ, WAYLAND_DISPLAY=settings.wayland_display)
        while self.running:
            try:
                shot = subprocess.run(command, capture_output=True, env=environment,
                                      timeout=5, check=False)
                if shot.returncode == 0 and shot.stdout:
                    self.source.set_picture(video_source.rgba_of_bytes(
                        shot.stdout, settings.width, settings.height, "pnm"))
                    self.first.set()
                else:
                    print(f"backend: grim failed: {shot.stderr.decode(errors='replace')}",
                          file=sys.stderr, flush=True)
            except (OSError, subprocess.TimeoutExpired, GLib.Error) as error:
                print(f"backend: capture failed: {error}", file=sys.stderr, flush=True)
            time.sleep(0.1)

    def stop(self):
        self.running = False
        self.thread.join(6)
        self.source.stop()


class Session(dbus.service.Object):
    def __init__(self, backend, path, kind):
        super().__init__(backend.bus, path)
        self.backend = backend
        self.path = path
        self.kind = kind  # "ScreenCast" or "RemoteDesktop"
        self.cursor_mode = CURSOR_HIDDEN
        self.persist_mode = 0
        self.sources_selected = False
        self.devices = 0
        self.feed = None

    def end(self):
        if self.feed is not None:
            self.feed.stop()
            self.feed = None
        self.backend.sessions.pop(self.path, None)
        self.remove_from_connection()

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        record("Session.Close", self.path)
        self.end()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.UInt32(1)

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary({"version": dbus.UInt32(1)}, signature="sv")


def respond(response, results=None):
    return dbus.UInt32(response), dbus.Dictionary(results or {}, signature="sv")


class ScreenCastBackend(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, OBJECT_PATH)
        self.bus = bus
        self.sessions = {}

    def properties(self):
        result = {
            SCREEN_CAST: {
                "AvailableSourceTypes": dbus.UInt32(SOURCE_MONITOR),
                "AvailableCursorModes": dbus.UInt32(CURSOR_HIDDEN | CURSOR_EMBEDDED),
                "version": dbus.UInt32(4),
            },
        }
        if settings.remote_desktop:
            result[REMOTE_DESKTOP] = {
                "AvailableDeviceTypes": dbus.UInt32(DEVICE_KEYBOARD | DEVICE_POINTER),
                "version": dbus.UInt32(1),
            }
        return result

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties()[interface][name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.properties().get(interface, {}), signature="sv")

    def new_session(self, session_handle, kind):
        # Every request is answered at once, so no org.freedesktop.impl.portal.Request object
        # is exported for the frontend to close (and a client may reuse a handle token).
        session = Session(self, session_handle, kind)
        self.sessions[str(session_handle)] = session
        return session

    def start(self, session):
        """The results of an allowed Start: the stream and, for a remote desktop, devices."""
        results = {}
        if session.sources_selected or session.kind == "ScreenCast":
            if session.feed is None:
                session.feed = ScreenFeed(session.cursor_mode == CURSOR_EMBEDDED)
                node = session.feed.start()
                if node is None:
                    return None
                session.node = node
            stream = dbus.Struct((dbus.UInt32(session.node), dbus.Dictionary({
                "position": dbus.Struct((dbus.Int32(0), dbus.Int32(0))),
                "size": dbus.Struct((dbus.Int32(settings.width), dbus.Int32(settings.height))),
                "source_type": dbus.UInt32(SOURCE_MONITOR),
            }, signature="sv")))
            results["streams"] = dbus.Array([stream], signature="(ua{sv})")
        if session.kind == "RemoteDesktop":
            results["devices"] = dbus.UInt32(session.devices or DEVICE_KEYBOARD | DEVICE_POINTER)
        if session.persist_mode:
            results["persist_mode"] = dbus.UInt32(session.persist_mode)
            results["restore_data"] = dbus.Struct(
                ("lumora-test", dbus.UInt32(1),
                 dbus.Dictionary({"output": "HEADLESS-1"}, signature="sv", variant_level=1)),
                signature="suv")
        return results

    # org.freedesktop.impl.portal.ScreenCast

    @dbus.service.method(SCREEN_CAST, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        record("ScreenCast.CreateSession", handle, session_handle, app_id, options)
        self.new_session(session_handle, "ScreenCast")
        return respond(0, {"session_id": dbus.String(str(session_handle))})

    @dbus.service.method(SCREEN_CAST, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectSources(self, handle, session_handle, app_id, options):
        record("ScreenCast.SelectSources", handle, session_handle, app_id, options)
        session = self.sessions.get(str(session_handle))
        if session is None:
            return respond(2)
        session.cursor_mode = int(options.get("cursor_mode", CURSOR_HIDDEN))
        session.persist_mode = int(options.get("persist_mode", 0))
        session.sources_selected = True
        return respond(0)

    @dbus.service.method(SCREEN_CAST, in_signature="oossa{sv}", out_signature="ua{sv}")
    def Start(self, handle, session_handle, app_id, parent_window, options):
        return self._start("ScreenCast", handle, session_handle, app_id, parent_window, options)

    def _start(self, interface, handle, session_handle, app_id, parent_window, options):
        record(f"{interface}.Start", handle, session_handle, app_id, parent_window, options)
        session = self.sessions.get(str(session_handle))
        if session is None:
            return respond(2)
        if settings.consent == "refuse":
            return respond(1)
        results = self.start(session)
        if results is None:
            return respond(2)
        return respond(0, results)

    def close_sessions(self):
        closed = 0
        for session in list(self.sessions.values()):
            session.Closed()
            session.end()
            closed += 1
        return closed


class RemoteDesktopBackend(ScreenCastBackend):
    """ScreenCast and RemoteDesktop on one object, as GNOME's and KDE's backends. python-dbus
    dispatches on the interface too: ScreenCast.CreateSession still reaches the base class's."""

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        record("RemoteDesktop.CreateSession", handle, session_handle, app_id, options)
        self.new_session(session_handle, "RemoteDesktop")
        return respond(0, {"session_id": dbus.String(str(session_handle))})

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectDevices(self, handle, session_handle, app_id, options):
        record("RemoteDesktop.SelectDevices", handle, session_handle, app_id, options)
        session = self.sessions.get(str(session_handle))
        if session is None:
            return respond(2)
        session.devices = int(options.get("types", DEVICE_KEYBOARD | DEVICE_POINTER))
        return respond(0)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oossa{sv}", out_signature="ua{sv}")
    def Start(self, handle, session_handle, app_id, parent_window, options):
        return self._start("RemoteDesktop", handle, session_handle, app_id, parent_window,
                           options)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}dd", out_signature="")
    def NotifyPointerMotion(self, session_handle, options, dx, dy):
        record("RemoteDesktop.NotifyPointerMotion", session_handle, options, dx, dy)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}udd", out_signature="")
    def NotifyPointerMotionAbsolute(self, session_handle, options, stream, x, y):
        record("RemoteDesktop.NotifyPointerMotionAbsolute", session_handle, options, stream, x, y)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}iu", out_signature="")
    def NotifyPointerButton(self, session_handle, options, button, state):
        record("RemoteDesktop.NotifyPointerButton", session_handle, options, button, state)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}dd", out_signature="")
    def NotifyPointerAxis(self, session_handle, options, dx, dy):
        record("RemoteDesktop.NotifyPointerAxis", session_handle, options, dx, dy)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}ui", out_signature="")
    def NotifyPointerAxisDiscrete(self, session_handle, options, axis, steps):
        record("RemoteDesktop.NotifyPointerAxisDiscrete", session_handle, options, axis, steps)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeycode(self, session_handle, options, key, state):
        record("RemoteDesktop.NotifyKeyboardKeycode", session_handle, options, key, state)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeysym(self, session_handle, options, key, state):
        record("RemoteDesktop.NotifyKeyboardKeysym", session_handle, options, key, state)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}uudd", out_signature="")
    def NotifyTouchDown(self, session_handle, options, stream, slot, x, y):
        record("RemoteDesktop.NotifyTouchDown", session_handle, options, stream, slot, x, y)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}uudd", out_signature="")
    def NotifyTouchMotion(self, session_handle, options, stream, slot, x, y):
        record("RemoteDesktop.NotifyTouchMotion", session_handle, options, stream, slot, x, y)

    @dbus.service.method(REMOTE_DESKTOP, in_signature="oa{sv}u", out_signature="")
    def NotifyTouchUp(self, session_handle, options, slot):
        record("RemoteDesktop.NotifyTouchUp", session_handle, options, slot)


def main():
    global settings, log_file
    parser = argparse.ArgumentParser()
    parser.add_argument("--bus-name", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--wayland-display", required=True)
    parser.add_argument("--consent", choices=["allow", "refuse"], default="allow")
    parser.add_argument("--no-remote-desktop", dest="remote_desktop", action="store_false")
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=800)
    settings = parser.parse_args()
    log_file = open(settings.log, "a", encoding="utf-8")

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    backend = (RemoteDesktopBackend if settings.remote_desktop else ScreenCastBackend)(bus)
    backend.bus_name = dbus.service.BusName(settings.bus_name, bus, do_not_queue=True)
    loop = GLib.MainLoop()

    def on_command(channel, _condition):
        line = channel.readline()
        if not line:
            loop.quit()
            return False
        if line.strip() == "close-sessions":
            print(f"closed {backend.close_sessions()}", flush=True)
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                      GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, on_command)
    print("ready", flush=True)
    try:
        loop.run()
    finally:
        for session in list(backend.sessions.values()):
            session.end()


if __name__ == "__main__":
    main()
