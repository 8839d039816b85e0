#!/usr/bin/python3
# A Wayland client for the tests: a fullscreen GTK 3 window painted one colour, printing what
# input it receives, one line per event, so a test can check what reached a Wayland client.
#   witness.py R G B [--clipboard TEXT]
#   witness.py R G B --windowed [--second]   (a 400x300 window rather than a fullscreen one;
#                                             with --second, another one titled vl-witness-2)
#   witness.py R G B --entry   (a focused text field fills the window; it prints "text <text>"
#                               whenever its text changes)
# SIGUSR1 minimises the first window as its minimise button would; SIGUSR2 closes the newest
# window still open while the process goes on ("closed <title>"), as a program closes one of its
# windows.
# With --clipboard it also prints the clipboard's text whenever its owner changes
# ("clipboard <length> <text>", or "clipboard none"), and copies TEXT when the C key is pressed, as
# a person would (Wayland takes a copy only from a client that just had input).
import signal
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

red, green, blue = (int(v) for v in sys.argv[1:4])
copy_text = sys.argv[5] if len(sys.argv) > 5 and sys.argv[4] == "--clipboard" else None
windowed = sys.argv[4:5] == ["--windowed"]
second = windowed and "--second" in sys.argv[5:]
entry_mode = sys.argv[4:5] == ["--entry"]


def say(*words):
    print(*words, flush=True)


def button(widget, event):
    say("button", event.button, round(event.x), round(event.y))
    return True


def motion(widget, event):
    say("motion", round(event.x), round(event.y))
    return True


def key(widget, event):
    say("key", Gdk.keyval_name(event.keyval), "U+%04X" % Gdk.keyval_to_unicode(event.keyval))
    if copy_text is not None and Gdk.keyval_name(event.keyval) == "c":
        clipboard.set_text(copy_text, -1)
        say("copied")
    # The text field, when there is one, takes the key too.
    return not entry_mode


def text_arrived(board, text):
    say("clipboard", "none" if text is None else "%d %s" % (len(text), text))


def owner_changed(board, event):
    board.request_text(text_arrived)


def scroll(widget, event):
    if event.direction == Gdk.ScrollDirection.SMOOTH:
        say("scroll", "%.1f" % event.delta_x, "%.1f" % event.delta_y)
    return True


def state(widget, event):
    if event.changed_mask & Gdk.WindowState.FULLSCREEN:
        full = bool(event.new_window_state & Gdk.WindowState.FULLSCREEN)
        say("fullscreen" if full else "not-fullscreen")
    return False


def configured(widget, event):
    say("configure", event.x, event.y, event.width, event.height)
    return False


def allocated(widget, allocation):
    say("size", allocation.width, allocation.height)


window = Gtk.Window(title="vl-witness")
# Painted by a style rule, which needs no cairo bindings.
style = Gtk.CssProvider()
style.load_from_data(b"window { background: rgb(%d, %d, %d); }" % (red, green, blue))
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), style,
                                         Gtk.STYLE_PROVIDER_PRIORITY_USER)
window.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.POINTER_MOTION_MASK |
                  Gdk.EventMask.KEY_PRESS_MASK |
                  Gdk.EventMask.SMOOTH_SCROLL_MASK | Gdk.EventMask.SCROLL_MASK)
window.connect("button-press-event", button)
window.connect("key-press-event", key)
window.connect("motion-notify-event", motion)
window.connect("scroll-event", scroll)
window.connect("size-allocate", allocated)
window.connect("window-state-event", state)
window.connect("configure-event", configured)
quit_handler = window.connect("destroy", Gtk.main_quit)
if copy_text is not None:
    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
    clipboard.connect("owner-change", owner_changed)
if entry_mode:
    entry = Gtk.Entry()
    entry.connect("changed", lambda field: say("text", field.get_text()))
    window.add(entry)
if windowed:
    window.set_default_size(400, 300)
else:
    window.fullscreen()
window.show_all()
if entry_mode:
    entry.grab_focus()
windows = [window]
if second:
    other = Gtk.Window(title="vl-witness-2")
    other.set_default_size(300, 200)
    other.show_all()
    windows.append(other)


def minimise():
    window.iconify()
    say("minimised")
    return GLib.SOURCE_CONTINUE


def close_newest():
    if windows:
        newest = windows.pop()
        if newest is window:
            window.disconnect(quit_handler)
        title = newest.get_title()
        newest.destroy()
        say("closed", title)
    return GLib.SOURCE_CONTINUE


GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, minimise)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR2, close_newest)
say("started", Gdk.Display.get_default().get_name())
Gtk.main()
