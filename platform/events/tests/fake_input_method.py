#!/usr/bin/python3
# A stand-in for an input method framework on the bus of $DBUS_SESSION_BUS_ADDRESS:
#   fake_input_method.py fcitx5 ENGINE    answers CurrentInputMethod with ENGINE
#   fake_input_method.py fcitx5 --hang    takes the question and never answers
#   fake_input_method.py ibus ENGINE      publishes GlobalEngine with ENGINE as its name
# Prints "ready" once its name is owned.
import os
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

FCITX = """<node><interface name="org.fcitx.Fcitx.Controller1">
<method name="CurrentInputMethod"><arg type="s" direction="out"/></method>
</interface></node>"""
IBUS = """<node><interface name="org.freedesktop.IBus">
<property name="GlobalEngine" type="v" access="read"/>
</interface></node>"""

kind, engine = sys.argv[1], sys.argv[2]
held = []


def method(_conn, _sender, _path, _iface, _name, _params, invocation):
    if engine == "--hang":
        held.append(invocation)
        return
    invocation.return_value(GLib.Variant("(s)", (engine,)))


def get_property(_conn, _sender, _path, _iface, _name):
    description = GLib.Variant("(sa{sv}ss)", ("IBusEngineDesc", {}, engine, engine.upper()))
    return GLib.Variant("v", description)


def main():
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    connection = Gio.DBusConnection.new_for_address_sync(
        os.environ["DBUS_SESSION_BUS_ADDRESS"], flags, None, None)
    if kind == "fcitx5":
        info = Gio.DBusNodeInfo.new_for_xml(FCITX).interfaces[0]
        connection.register_object("/controller", info, method, None, None)
        name = "org.fcitx.Fcitx5"
    else:
        info = Gio.DBusNodeInfo.new_for_xml(IBUS).interfaces[0]
        connection.register_object("/org/freedesktop/IBus", info, None, get_property, None)
        name = "org.freedesktop.IBus"
    Gio.bus_own_name_on_connection(connection, name, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: print("ready", flush=True), None)
    GLib.MainLoop().run()


main()
