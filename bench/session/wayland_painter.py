#!/usr/bin/python3
# The session benchmark's test client on a Wayland desktop: a fullscreen GTK 3 window showing a
# desktop-like picture that scrolls and a square in the middle that toggles between black and
# white, told what to show through descriptor 3 and answering there once the compositor has the
# new picture ("drawn NS", steady-clock nanoseconds).
#   wayland_painter.py PICTURE WIDTH HEIGHT   (PICTURE: raw RGB rows, twice WIDTH wide)
# Commands, one a line: "scroll STEP", "square 0|1". Says "ready NS" once shown at WIDTHxHEIGHT.
import os
import socket
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import Gdk, GdkPixbuf, GLib, Gtk  # noqa: E402

picture, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
channel = socket.socket(fileno=3)
pending = None  # the answer owed once the next frame is on its way to the compositor
ready = False


def now():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def say(text):
    channel.sendall((text + "\n").encode())


with open(picture, "rb") as f:
    data = f.read()
pixbuf = GdkPixbuf.Pixbuf.new_from_bytes(GLib.Bytes.new(data), GdkPixbuf.Colorspace.RGB, False, 8,
                                         2 * width, height, 2 * width * 3)
style = Gtk.CssProvider()
style.load_from_data(b".white { background: #ffffff; } .black { background: #000000; }")
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), style,
                                         Gtk.STYLE_PROVIDER_PRIORITY_USER)

window = Gtk.Window(title="vl-bench-painter")
overlay = Gtk.Overlay()
layout = Gtk.Layout()
image = Gtk.Image.new_from_pixbuf(pixbuf)
layout.put(image, 0, 0)
overlay.add(layout)
square = Gtk.Box()
square.set_size_request(256, 256)
square.set_halign(Gtk.Align.CENTER)
square.set_valign(Gtk.Align.CENTER)
square.get_style_context().add_class("black")
overlay.add_overlay(square)
window.add(overlay)


def after_paint(clock):
    global pending, ready
    allocation = window.get_allocation()
    if not ready and allocation.width == width and allocation.height == height:
        ready = True
        pending = "ready"
    if pending is not None:
        # Connected after GDK's own handler, which has committed the frame by now.
        say("%s %d" % (pending, now()))
        pending = None


def command(source, condition):
    global pending
    line = b""
    while not line.endswith(b"\n"):
        chunk = channel.recv(1)
        if not chunk:
            Gtk.main_quit()
            return False
        line += chunk
    words = line.decode().split()
    if words[0] == "scroll":
        layout.move(image, -((int(words[1]) * 4) % width), 0)
    elif words[0] == "square":
        context = square.get_style_context()
        context.remove_class("white" if words[1] == "0" else "black")
        context.add_class("black" if words[1] == "0" else "white")
    pending = "drawn"
    window.queue_draw()
    return True


def realized(widget):
    widget.get_frame_clock().connect("after-paint", after_paint)


window.connect("realize", realized)
window.connect("destroy", Gtk.main_quit)
GLib.io_add_watch(channel.fileno(), GLib.IO_IN, command)
window.fullscreen()
window.show_all()
Gtk.main()
