#!/usr/bin/python3
# Mutter's monitors as DisplayConfig reports them, one line each, sorted:
#   <connector> <width>x<height> at <x>,<y>[ primary]   (a monitor showing part of the desktop)
#   <connector> <width>x<height> unplaced
# The size is the current mode's. A witness independent of the server's own reading of the state.
import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio  # noqa: E402

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
reply = bus.call_sync("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                      "org.gnome.Mutter.DisplayConfig", "GetCurrentState", None, None,
                      Gio.DBusCallFlags.NONE, 5000, None)
serial, monitors, logical, properties = reply.unpack()
origin = {}
main = set()
for x, y, scale, transform, primary, specs, _ in logical:
    for connector, *_ in specs:
        origin[connector] = (x, y)
        if primary:
            main.add(connector)
lines = []
for (connector, vendor, product, monitor_serial), modes, _ in monitors:
    current = [m for m in modes if m[6].get("is-current")]
    size = "%dx%d" % (current[0][1], current[0][2]) if current else "0x0"
    where = "at %d,%d" % origin[connector] if connector in origin else "unplaced"
    if connector in main:
        where += " primary"
    lines.append("%s %s %s" % (connector, size, where))
print("\n".join(sorted(lines)))
