// Offers the window list and window moves to the Vantrel Link server on the session bus: on
// Wayland only the compositor knows where windows are, and Mutter alone has no interface for it.
// It also offers the pointer's position and text typed through the shell's input method, which
// Mutter's remote desktop cannot give: it has no pointer query, and its virtual keyboard types
// only what the current layout has a key for.
/* exported init */
const { GLib, Gio, Meta } = imports.gi;
const Main = imports.ui.main;

const BUS_NAME = 'com.vantrellink.Windows';
const OBJECT_PATH = '/com/vantrellink/Windows';
const INPUT_INTERFACE = `<node>
  <interface name="com.vantrellink.Input">
    <!-- Where the pointer is, in desktop coordinates. -->
    <method name="Pointer">
      <arg type="i" direction="out" name="x"/>
      <arg type="i" direction="out" name="y"/>
    </method>
    <!-- Commits the text to the focused text field, as the on-screen keyboard does; false when
         no focused client takes text that way. -->
    <method name="CommitText">
      <arg type="s" direction="in" name="text"/>
      <arg type="b" direction="out" name="committed"/>
    </method>
  </interface>
</node>`;
const INTERFACE = `<node>
  <interface name="com.vantrellink.Windows">
    <!-- Front to back: id, pid, title, application id, frame x, y, width, height, monitor,
         kind, the order windows were made in, and whether it is minimised. -->
    <method name="List">
      <arg type="a(uissiiiiiuub)" direction="out" name="windows"/>
    </method>
    <method name="MoveResize">
      <arg type="u" direction="in" name="id"/>
      <arg type="i" direction="in" name="x"/>
      <arg type="i" direction="in" name="y"/>
      <arg type="i" direction="in" name="width"/>
      <arg type="i" direction="in" name="height"/>
      <arg type="b" direction="out" name="found"/>
    </method>
    <method name="Activate">
      <arg type="u" direction="in" name="id"/>
      <arg type="b" direction="out" name="found"/>
    </method>
    <method name="Focused">
      <arg type="u" direction="out" name="id"/>
    </method>
    <signal name="WindowCreated">
      <arg type="u" name="id"/>
      <arg type="i" name="pid"/>
    </signal>
    <signal name="WindowClosed">
      <arg type="u" name="id"/>
    </signal>
    <signal name="FocusChanged">
      <arg type="u" name="id"/>
    </signal>
  </interface>
</node>`;

// The server's WindowKind, in its order.
const Kind = { NORMAL: 0, DIALOG: 1, DOCK: 2, DESKTOP: 3, NOTIFICATION: 4, UTILITY: 5, OTHER: 6 };

function kindOf(window) {
    switch (window.get_window_type()) {
    case Meta.WindowType.NORMAL:
        return Kind.NORMAL;
    case Meta.WindowType.DIALOG:
    case Meta.WindowType.MODAL_DIALOG:
        return Kind.DIALOG;
    case Meta.WindowType.DOCK:
        return Kind.DOCK;
    case Meta.WindowType.DESKTOP:
        return Kind.DESKTOP;
    case Meta.WindowType.NOTIFICATION:
        return Kind.NOTIFICATION;
    case Meta.WindowType.UTILITY:
        return Kind.UTILITY;
    default:
        return Kind.OTHER;
    }
}

// The server's window ids are 32 bits. Mutter's own are 64 and cut short they could collide, so
// each window gets the next number of a counter of ours, kept on the window itself: a property of
// its own keeps the window's wrapper alive, so the number stays with the window until it goes.
// The counter lives as long as the shell, across disabling; a session would need four billion
// windows to run out of numbers.
const ID_KEY = '_vantrelLinkWindowId';
const CLOSED_KEY = '_vantrelLinkClosed';
let lastID = 0;

function idOf(window) {
    if (!window[ID_KEY])
        window[ID_KEY] = ++lastID;
    return window[ID_KEY];
}

// The windows the server sees: menus and tooltips are not the window manager's to move.
function listable(window) {
    return window && !window.is_override_redirect() && !window[CLOSED_KEY];
}

class InputService {
    constructor() {
        this._dbus = Gio.DBusExportedObject.wrapJSObject(INPUT_INTERFACE, this);
    }

    enable() {
        this._dbus.export(Gio.DBus.session, OBJECT_PATH);
    }

    disable() {
        this._dbus.unexport();
    }

    Pointer() {
        const [x, y] = global.get_pointer();
        return [x, y];
    }

    CommitText(text) {
        if (!Main.inputMethod.currentFocus)
            return false;
        Main.inputMethod.commit(text);
        return true;
    }
}

class WindowsService {
    constructor() {
        this._dbus = Gio.DBusExportedObject.wrapJSObject(INTERFACE, this);
        this._input = new InputService();
    }

    enable() {
        this._dbus.export(Gio.DBus.session, OBJECT_PATH);
        this._input.enable();
        this._unmanaging = new Map();
        for (const window of global.display.list_all_windows()) {
            // Numbers given out by an earlier load of this file stay on their windows.
            lastID = Math.max(lastID, window[ID_KEY] ?? 0);
            this._watch(window);
        }
        this._created = global.display.connect('window-created', (display, window) => {
            if (!this._watch(window))
                return;
            this._dbus.emit_signal('WindowCreated',
                new GLib.Variant('(ui)', [idOf(window), window.get_pid()]));
        });
        this._focus = global.display.connect('notify::focus-window', () => {
            this._dbus.emit_signal('FocusChanged',
                new GLib.Variant('(u)', [this.Focused()]));
        });
        this._name = Gio.bus_own_name(Gio.BusType.SESSION, BUS_NAME, Gio.BusNameOwnerFlags.NONE,
            null, null, null);
    }

    disable() {
        Gio.bus_unown_name(this._name);
        global.display.disconnect(this._created);
        global.display.disconnect(this._focus);
        for (const [window, handler] of this._unmanaging)
            window.disconnect(handler);
        this._unmanaging.clear();
        this._input.disable();
        this._dbus.unexport();
    }

    // Reports the window's end; false for a window the server does not see.
    _watch(window) {
        if (!listable(window))
            return false;
        if (this._unmanaging.has(window))
            return true;
        this._unmanaging.set(window, window.connect('unmanaging', () => {
            // Its actor may outlive it while it fades out; the window is no longer listed.
            window[CLOSED_KEY] = true;
            window.disconnect(this._unmanaging.get(window));
            this._unmanaging.delete(window);
            this._dbus.emit_signal('WindowClosed', new GLib.Variant('(u)', [idOf(window)]));
        }));
        return true;
    }

    // Minimised windows included, as the window manager still has them.
    _windows() {
        const windows = global.get_window_actors()
            .map(actor => actor.get_meta_window())
            .filter(listable);
        return global.display.sort_windows_by_stacking(windows).reverse();
    }

    _find(id) {
        return this._windows().find(window => idOf(window) === id) ?? null;
    }

    List() {
        return this._windows().map(window => {
            const frame = window.get_frame_rect();
            const appID = window.get_gtk_application_id() || window.get_wm_class() || '';
            return [idOf(window), window.get_pid(), window.get_title() ?? '', appID,
                frame.x, frame.y, frame.width, frame.height,
                window.get_monitor(), kindOf(window), window.get_stable_sequence(),
                window.minimized];
        });
    }

    MoveResize(id, x, y, width, height) {
        const window = this._find(id);
        if (!window)
            return false;
        if (window.is_fullscreen())
            window.unmake_fullscreen();
        if (window.get_maximized())
            window.unmaximize(Meta.MaximizeFlags.BOTH);
        window.move_resize_frame(true, x, y, width, height);
        return true;
    }

    Activate(id) {
        const window = this._find(id);
        if (!window)
            return false;
        Main.activateWindow(window, global.get_current_time());
        return true;
    }

    Focused() {
        const window = global.display.focus_window;
        return window ? idOf(window) : 0;
    }
}

function init() {
    return new WindowsService();
}
