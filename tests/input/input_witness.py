#!/usr/bin/python3
# A GTK 3 window for the input tests: an entry, a scrolled list, a paned and a table with column
# headers, plus a second small window. Prints every event it receives and every change of the
# widgets' state, one line each, flushed, so a test can wait for them.
import json
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def say(*words):
    print(" ".join(str(w) for w in words), flush=True)


def on_event(event, _data=None):
    kind = event.type.value_nick
    window = event.get_window()
    top = window.get_toplevel() if window else None
    title = titles.get(top, "?") if top else "?"
    ok, rx, ry = event.get_root_coords()
    detail = ""
    if event.type in (Gdk.EventType.BUTTON_PRESS, Gdk.EventType._2BUTTON_PRESS,
                      Gdk.EventType._3BUTTON_PRESS, Gdk.EventType.BUTTON_RELEASE):
        detail = " button=%d" % event.button.button
    elif event.type in (Gdk.EventType.KEY_PRESS, Gdk.EventType.KEY_RELEASE):
        detail = " key=%s" % Gdk.keyval_name(event.key.keyval)
    if ok:
        say("event", kind, "window=%s" % title, "x=%d y=%d%s" % (rx, ry, detail))
    else:
        say("event", kind, "window=%s%s" % (title, detail))
    Gtk.main_do_event(event)


titles = {}


def root_rect(widget):
    window = widget.get_window()
    if window is None:
        return None
    top = widget.get_toplevel()
    x, y = widget.translate_coordinates(top, 0, 0)
    _, ox, oy = top.get_window().get_origin()
    allocation = widget.get_allocation()
    return ox + x, oy + y, allocation.width, allocation.height


def handle_rect(paned):
    handle = paned.get_handle_window()
    if handle is None:
        return None
    _, x, y = handle.get_origin()
    return x, y, handle.get_width(), handle.get_height()


def report_geometry(widgets):
    for name, widget in widgets.items():
        rect = handle_rect(widget) if isinstance(widget, Gtk.Paned) else root_rect(widget)
        if rect:
            say("geometry", name, *rect)
    return False


def toplevel(title, width, height, x, y):
    window = Gtk.Window(title=title)
    window.set_default_size(width, height)
    window.move(x, y)
    window.connect("destroy", Gtk.main_quit)
    window.connect("configure-event", lambda w, e: say(
        "configure", title.replace(" ", "_"), e.x, e.y, e.width, e.height) and False)
    return window


def main():
    width, height = 760, 520
    main_window = toplevel("Vl Input Witness", width, height, 40, 60)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
    main_window.add(box)

    entry = Gtk.Entry()
    entry.connect("changed", lambda e: say("entry-text", json.dumps(e.get_text(), ensure_ascii=False)))

    def selection(e, _param):
        bounds = e.get_selection_bounds()
        if bounds:
            say("entry-selection", json.dumps(e.get_text()[bounds[0]:bounds[1]], ensure_ascii=False))
    entry.connect("notify::selection-bound", selection)
    entry.connect("notify::cursor-position", selection)
    entry.connect("focus-in-event", lambda e, _: say("entry-focus") and False)
    box.pack_start(entry, False, False, 0)

    paned = Gtk.Paned(orientation=Gtk.Orientation.HORIZONTAL)
    paned.set_wide_handle(True)
    paned.set_position(300)
    paned.connect("notify::position", lambda p, _: say("paned", p.get_position()))
    box.pack_start(paned, True, True, 0)

    rows = Gtk.ListStore(str)
    for i in range(200):
        rows.append(["row %d" % i])
    listview = Gtk.TreeView(model=rows)
    listview.set_headers_visible(False)
    listview.append_column(Gtk.TreeViewColumn("Row", Gtk.CellRendererText(), text=0))
    list_scroll = Gtk.ScrolledWindow()
    list_scroll.set_overlay_scrolling(False)
    list_scroll.set_policy(Gtk.PolicyType.NEVER, Gtk.PolicyType.ALWAYS)
    list_scroll.add(listview)
    list_scroll.get_vadjustment().connect(
        "value-changed", lambda a: say("list-scroll", int(a.get_value())))
    paned.pack1(list_scroll, True, False)

    table_store = Gtk.ListStore(str, str, str)
    for i in range(8):
        table_store.append(["file %d" % i, "%d kB" % (i * 3), "text"])
    table = Gtk.TreeView(model=table_store)
    for index, (name, column_width) in enumerate([("Name", 140), ("Size", 100), ("Kind", 100)]):
        column = Gtk.TreeViewColumn(name, Gtk.CellRendererText(), text=index)
        column.set_resizable(True)
        column.set_sizing(Gtk.TreeViewColumnSizing.FIXED)
        column.set_fixed_width(column_width)
        column.connect("notify::width", lambda c, _, n=name: say("column", n, c.get_width()))
        table.append_column(column)
    table_scroll = Gtk.ScrolledWindow()
    table_scroll.set_overlay_scrolling(False)
    table_scroll.add(table)
    paned.pack2(table_scroll, True, False)

    widgets = {"entry": entry, "listbar": list_scroll.get_vscrollbar(), "table": table,
               "handle": paned}
    main_window.connect("configure-event", lambda w, e: GLib.idle_add(report_geometry, widgets) and False)
    main_window.connect("map-event", lambda w, e: GLib.idle_add(report_geometry, widgets) and False)

    back = toplevel("Vl Input Back", 300, 200, 900, 80)
    back.add(Gtk.Label(label="behind"))

    for window in (main_window, back):
        window.show_all()
        titles[window.get_window()] = window.get_title().replace(" ", "_")
    main_window.present()
    Gdk.event_handler_set(on_event)
    say("ready")
    Gtk.main()


if __name__ == "__main__":
    sys.exit(main())
