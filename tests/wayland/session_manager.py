#!/usr/bin/python3
# A stand-in for GNOME's session manager on a test's own bus, with only the inhibitor calls, for
# machines without gnome-session. Prints each call, one line each:
#   inhibit <app> <flags> <reason> -> <cookie>     uninhibit <cookie>
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

INTERFACE = """
<node><interface name="org.gnome.SessionManager">
  <method name="Inhibit">
    <arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="u" direction="out"/>
  </method>
  <method name="Uninhibit"><arg type="u" direction="in"/></method>
  <method name="IsInhibited"><arg type="u" direction="in"/><arg type="b" direction="out"/></method>
</interface></node>"""

inhibitors = {}
next_cookie = [1]


def say(*words):
    print(*words, flush=True)


def called(connection, sender, path, interface, method, args, invocation):
    if method == "Inhibit":
        app, _, reason, flags = args.unpack()
        cookie = next_cookie[0]
        next_cookie[0] += 1
        inhibitors[cookie] = flags
        say("inhibit", app, flags, reason, "->", cookie)
        invocation.return_value(GLib.Variant("(u)", (cookie,)))
    elif method == "Uninhibit":
        (cookie,) = args.unpack()
        inhibitors.pop(cookie, None)
        say("uninhibit", cookie)
        invocation.return_value(None)
    else:
        (flags,) = args.unpack()
        invocation.return_value(
            GLib.Variant("(b)", (any(f & flags for f in inhibitors.values()),)))


def acquired(connection, name):
    connection.register_object("/org/gnome/SessionManager",
                               Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0],
                               called, None, None)


def owned(connection, name):
    say("ready")


Gio.bus_own_name(Gio.BusType.SESSION, "org.gnome.SessionManager", Gio.BusNameOwnerFlags.NONE,
                 acquired, owned, lambda *a: sys.exit(1))
GLib.MainLoop().run()
