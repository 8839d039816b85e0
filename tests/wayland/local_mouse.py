#!/usr/bin/python3
# A mouse of the desktop's own, as a witness of pointer confinement: moves the pointer by DX DY
# through a remote-desktop session of its own (Mutter's relative motion, as a physical mouse
# moves it), then prints where GNOME Shell has the pointer before, once it changed, and after
# SECONDS:
#   local_mouse.py DX DY SECONDS   ->   "before X Y", "moved X Y" and "after X Y"
# The position is read through our shell extension's Pointer method.
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

dx, dy, wait = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)


def call(name, path, interface, method, args=None):
    return bus.call_sync(name, path, interface, method, args, None, Gio.DBusCallFlags.NONE, 5000,
                         None).unpack()


def pointer():
    return call("com.vantrellink.Windows", "/com/vantrellink/Windows", "com.vantrellink.Input",
                "Pointer")


session, = call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                "org.gnome.Mutter.RemoteDesktop", "CreateSession")
interface = "org.gnome.Mutter.RemoteDesktop.Session"
call("org.gnome.Mutter.RemoteDesktop", session, interface, "Start")
before = pointer()
print("before %d %d" % before, flush=True)
call("org.gnome.Mutter.RemoteDesktop", session, interface, "NotifyPointerMotionRelative",
     GLib.Variant("(dd)", (dx, dy)))
# Mutter applies the motion at its next frame.
deadline = time.monotonic() + 2
while pointer() == before and time.monotonic() < deadline:
    time.sleep(0.005)
print("moved %d %d" % pointer(), flush=True)
time.sleep(wait)
print("after %d %d" % pointer(), flush=True)
call("org.gnome.Mutter.RemoteDesktop", session, interface, "Stop")
