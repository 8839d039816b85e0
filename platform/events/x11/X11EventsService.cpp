#include "platform/events/x11/X11EventsService.h"

#include "base/Log.h"
#include "platform/events/TypedText.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace vl {
namespace {

enum Family { shiftFamily, controlFamily, altFamily, superFamily };

// The virtual key codes of the input logic, as keysyms of this desktop.
struct VirtualKeyRow {
    std::uint16_t virtualKey;
    std::uint32_t keysym;
};

constexpr VirtualKeyRow virtualKeyTable[] = {
    {0, XK_a},       {1, XK_s},          {2, XK_d},
    {3, XK_f},       {4, XK_h},          {5, XK_g},
    {6, XK_z},       {7, XK_x},          {8, XK_c},
    {9, XK_v},       {11, XK_b},         {12, XK_q},
    {13, XK_w},      {14, XK_e},         {15, XK_r},
    {16, XK_y},      {17, XK_t},         {18, XK_1},
    {19, XK_2},      {20, XK_3},         {21, XK_4},
    {22, XK_6},      {23, XK_5},         {24, XK_equal},
    {25, XK_9},      {26, XK_7},         {27, XK_minus},
    {28, XK_8},      {29, XK_0},         {30, XK_bracketright},
    {31, XK_o},      {32, XK_u},         {33, XK_bracketleft},
    {34, XK_i},      {35, XK_p},         {36, XK_Return},
    {37, XK_l},      {38, XK_j},         {39, XK_apostrophe},
    {40, XK_k},      {41, XK_semicolon}, {42, XK_backslash},
    {43, XK_comma},  {44, XK_slash},     {45, XK_n},
    {46, XK_m},      {47, XK_period},    {48, XK_Tab},
    {49, XK_space},  {50, XK_grave},     {51, XK_BackSpace},
    {53, XK_Escape}, {56, XK_Shift_L},   {57, XK_Caps_Lock},
    {58, XK_Alt_L},  {59, XK_Control_L}, {60, XK_Shift_R},
    {61, XK_Alt_R},  {62, XK_Control_R}, {96, XK_F5},
    {97, XK_F6},     {98, XK_F7},        {99, XK_F3},
    {100, XK_F8},    {101, XK_F9},       {103, XK_F11},
    {109, XK_F10},   {111, XK_F12},      {115, XK_Home},
    {116, XK_Prior}, {117, XK_Delete},   {118, XK_F4},
    {119, XK_End},   {120, XK_F2},       {121, XK_Next},
    {122, XK_F1},    {123, XK_Left},     {124, XK_Right},
    {125, XK_Down},  {126, XK_Up},
};

// The right and left Command keys (54, 55) act as the configured key.
std::uint32_t keysymForVirtualKey(std::uint16_t code, CommandKey command) {
    const bool control = command == CommandKey::control;
    if (code == 54) return control ? XK_Control_R : XK_Super_R;
    if (code == 55) return control ? XK_Control_L : XK_Super_L;
    for (const auto& row : virtualKeyTable)
        if (row.virtualKey == code) return row.keysym;
    return XK_VoidSymbol;
}

std::optional<Family> familyOf(std::uint32_t keysym) {
    switch (keysym) {
        case XK_Shift_L:
        case XK_Shift_R:
            return shiftFamily;
        case XK_Control_L:
        case XK_Control_R:
            return controlFamily;
        case XK_Alt_L:
        case XK_Alt_R:
        case XK_Meta_L:
        case XK_Meta_R:
            return altFamily;
        case XK_Super_L:
        case XK_Super_R:
            return superFamily;
        default:
            return std::nullopt;
    }
}

constexpr std::uint32_t familyKeysym[4] = {XK_Shift_L, XK_Control_L, XK_Alt_L, XK_Super_L};

int xButton(int buttonNumber) {
    switch (buttonNumber) {
        case 1:
            return 3;  // right
        case 2:
            return 2;  // middle
        default:
            return 1;
    }
}

}  // namespace

std::optional<CommandKey> commandKeyFromText(const std::string& text) {
    if (text == "control") return CommandKey::control;
    if (text == "super") return CommandKey::super;
    return std::nullopt;
}

std::uint32_t X11EventsService::Keymap::keysym(std::uint8_t keycode, int column) const {
    const std::size_t index = static_cast<std::size_t>(keycode - minKeycode) * perKeycode +
                              static_cast<std::size_t>(column);
    return keycode >= minKeycode && column < perKeycode && index < keysyms.size() ? keysyms[index]
                                                                                  : 0;
}

std::unique_ptr<X11EventsService> X11EventsService::open(const Options& options) {
    int screenNumber = 0;
    xcb_connection_t* connection =
        xcb_connect(options.display.empty() ? nullptr : options.display.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    if (!xtest || !xtest->present) {
        xcb_disconnect(connection);
        return nullptr;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    const std::uint32_t root = screens.data->root;
    return std::unique_ptr<X11EventsService>(new X11EventsService(connection, root, options));
}

X11EventsService::X11EventsService(xcb_connection_t* connection, std::uint32_t root,
                                   const Options& options)
    : connection_(connection), root_(root), options_(options) {
    if (options_.pixelsPerWheelClick <= 0)
        options_.pixelsPerWheelClick = defaultPixelsPerWheelClick;
    // Keycodes with no symbol at all are ours to remap for text.
    const Keymap map = keymap();
    // Without the keymap no keycode is known to be free: text cannot be typed then.
    if (map.perKeycode == 0) return;
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    for (int keycode = setup->min_keycode; keycode <= setup->max_keycode; ++keycode) {
        bool empty = true;
        for (int column = 0; column < map.perKeycode && empty; ++column)
            empty = map.keysym(static_cast<std::uint8_t>(keycode), column) == 0;
        if (empty) spare_.push_back(SpareKey{static_cast<std::uint8_t>(keycode), 0, {}});
    }
}

X11EventsService::~X11EventsService() {
    {
        std::lock_guard lock(mutex_);
        restoreSpareKeys();
    }
    xcb_disconnect(connection_);
}

bool X11EventsService::alive() const {
    return !xcb_connection_has_error(connection_);
}

bool X11EventsService::fake(std::uint8_t type, std::uint8_t detail, int x, int y) {
    xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, root_,
                        static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
    return alive();
}

bool X11EventsService::flush() {
    return xcb_flush(connection_) > 0 && alive();
}

bool X11EventsService::sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    return alive();
}

X11EventsService::Keymap X11EventsService::keymap() {
    Keymap map;
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    map.minKeycode = setup->min_keycode;
    auto* reply = xcb_get_keyboard_mapping_reply(
        connection_,
        xcb_get_keyboard_mapping(
            connection_, setup->min_keycode,
            static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr);
    if (!reply) return map;
    map.perKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
    map.keysyms.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
    std::free(reply);
    return map;
}

std::uint8_t X11EventsService::keycodeFor(const Keymap& map, std::uint32_t keysym) const {
    if (map.perKeycode == 0) return 0;
    const int keycodes = static_cast<int>(map.keysyms.size() / map.perKeycode);
    // The unshifted column first, so no modifier is needed for it.
    for (int column = 0; column < map.perKeycode; ++column)
        for (int k = 0; k < keycodes; ++k) {
            const auto keycode = static_cast<std::uint8_t>(map.minKeycode + k);
            if (map.keysym(keycode, column) == keysym) return keycode;
        }
    return 0;
}

std::array<std::vector<std::uint8_t>, 4> X11EventsService::heldModifiers(const Keymap& map) {
    std::array<std::vector<std::uint8_t>, 4> held;
    auto* reply = xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr);
    if (!reply) return held;
    for (int keycode = map.minKeycode; keycode < 256; ++keycode) {
        if (!(reply->keys[keycode / 8] & (1 << (keycode % 8)))) continue;
        if (auto family = familyOf(map.keysym(static_cast<std::uint8_t>(keycode), 0)))
            held[*family].push_back(static_cast<std::uint8_t>(keycode));
    }
    std::free(reply);
    return held;
}

X11EventsService::SpareKey* X11EventsService::spareKeyMappedTo(std::uint32_t keysym) {
    for (SpareKey& key : spare_)
        if (key.keysym == keysym) return &key;
    return nullptr;
}

X11EventsService::SpareKey& X11EventsService::remapNextSpareKey(std::uint32_t keysym) {
    SpareKey& key = spare_[nextSpare_];
    nextSpare_ = (nextSpare_ + 1) % spare_.size();
    // A client may still be translating the key's last press with its old symbol.
    const auto sinceUse = Clock::now() - key.used;
    if (key.keysym != 0 && sinceUse < spareKeyRest)
        std::this_thread::sleep_for(spareKeyRest - sinceUse);
    std::vector<xcb_keysym_t> keysyms(2, keysym);
    xcb_change_keyboard_mapping(connection_, 1, key.keycode, 2, keysyms.data());
    key.keysym = keysym;
    return key;
}

void X11EventsService::restoreSpareKeys() {
    for (SpareKey& key : spare_) {
        if (key.keysym == 0) continue;
        const xcb_keysym_t none[2] = {0, 0};
        xcb_change_keyboard_mapping(connection_, 1, key.keycode, 2, none);
        key.keysym = 0;
    }
    sync();
}

bool X11EventsService::post(const PointerEvent& event) {
    std::lock_guard lock(mutex_);
    const int x = static_cast<int>(std::lround(event.point.x));
    const int y = static_cast<int>(std::lround(event.point.y));
    bool ok = fake(XCB_MOTION_NOTIFY, 0, x, y);
    const auto button = static_cast<std::uint8_t>(xButton(event.buttonNumber));
    switch (event.type) {
        case PointerEventType::leftDown:
        case PointerEventType::rightDown:
        case PointerEventType::otherDown:
            ok = fake(XCB_BUTTON_PRESS, button) && ok;
            break;
        case PointerEventType::leftUp:
        case PointerEventType::rightUp:
        case PointerEventType::otherUp:
            ok = fake(XCB_BUTTON_RELEASE, button) && ok;
            break;
        default:
            break;
    }
    return flush() && ok;
}

bool X11EventsService::post(const KeyEvent& event) {
    std::lock_guard lock(mutex_);
    if (!event.text.empty()) {
        // The press types the text; the release that carries it again has nothing left to do.
        return event.isDown ? typeText(event.text) && sync() : alive();
    }
    // Key events are few: each is processed by the server before the next, so the modifiers
    // pressed around one are never seen with another.
    return postKeyCode(event) && sync();
}

bool X11EventsService::typeText(const std::string& text) {
    const Keymap map = keymap();
    // Held modifiers would turn the text into shortcuts or other levels: let go of them meanwhile.
    const auto held = heldModifiers(map);
    for (const auto& keycodes : held)
        for (std::uint8_t keycode : keycodes) fake(XCB_KEY_RELEASE, keycode);

    // The text goes out in runs: first every remap a run needs, then, once the server has applied
    // them all, the run's keys. A program reads the keymap when it translates its first key;
    // had it read it between a key's remap and a later one, that later key would reach it
    // without a symbol.
    std::vector<std::uint8_t> run;
    auto typeRun = [&] {
        if (run.empty()) return;
        sync();
        for (std::uint8_t keycode : run) {
            fake(XCB_KEY_PRESS, keycode);
            fake(XCB_KEY_RELEASE, keycode);
        }
        flush();
        const auto sent = Clock::now();
        for (SpareKey& key : spare_)
            if (std::find(run.begin(), run.end(), key.keycode) != run.end()) key.used = sent;
        run.clear();
    };
    bool ok = true;
    for (const CodePoint& point : codePoints(text)) {
        const auto keysym = keysymForCodePoint(point.value);
        if (!keysym) continue;
        if (spare_.empty()) {
            ok = false;
            continue;
        }
        SpareKey* key = spareKeyMappedTo(*keysym);
        if (!key) {
            // A key this run still has to press keeps its symbol until the run is out.
            const std::uint8_t next = spare_[nextSpare_].keycode;
            if (std::find(run.begin(), run.end(), next) != run.end()) typeRun();
            key = &remapNextSpareKey(*keysym);
        }
        run.push_back(key->keycode);
    }
    typeRun();
    for (const auto& keycodes : held)
        for (std::uint8_t keycode : keycodes) fake(XCB_KEY_PRESS, keycode);
    return flush() && ok;
}

bool X11EventsService::postKeyCode(const KeyEvent& event) {
    const std::uint32_t keysym = keysymForVirtualKey(event.virtualKey, options_.commandKey);
    if (keysym == XK_VoidSymbol) return false;
    const Keymap map = keymap();
    const std::uint8_t keycode = keycodeFor(map, keysym);
    if (keycode == 0) return false;
    // A modifier key is pressed or released as it is; a release needs no matching either.
    if (familyOf(keysym) || keysym == XK_Caps_Lock || !event.isDown) {
        fake(event.isDown ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
        return flush();
    }

    std::array<bool, 4> wanted{};
    wanted[shiftFamily] = event.flags & modifierFlag::shift;
    wanted[controlFamily] = event.flags & modifierFlag::control;
    wanted[altFamily] = event.flags & modifierFlag::option;
    if (event.flags & modifierFlag::command)
        wanted[options_.commandKey == CommandKey::control ? controlFamily : superFamily] = true;

    const auto held = heldModifiers(map);
    std::vector<std::uint8_t> pressed, released;
    for (int family = 0; family < 4; ++family) {
        if (wanted[family] && held[family].empty()) {
            if (std::uint8_t modifier = keycodeFor(map, familyKeysym[family])) {
                fake(XCB_KEY_PRESS, modifier);
                pressed.push_back(modifier);
            }
        } else if (!wanted[family]) {
            for (std::uint8_t modifier : held[family]) {
                fake(XCB_KEY_RELEASE, modifier);
                released.push_back(modifier);
            }
        }
    }
    fake(XCB_KEY_PRESS, keycode);
    for (std::uint8_t modifier : pressed) fake(XCB_KEY_RELEASE, modifier);
    for (std::uint8_t modifier : released) fake(XCB_KEY_PRESS, modifier);
    return flush();
}

bool X11EventsService::post(const ScrollEvent& event) {
    std::lock_guard lock(mutex_);
    if (event.pixels == 0) return alive();
    const bool up = event.pixels > 0;
    std::int64_t& remainder = scrollRemainder_[up ? 0 : 1];
    remainder += std::llabs(static_cast<std::int64_t>(event.pixels));
    const std::int64_t clicks =
        std::min<std::int64_t>(remainder / options_.pixelsPerWheelClick, maxClicksPerEvent);
    remainder = clicks == maxClicksPerEvent ? 0 : remainder % options_.pixelsPerWheelClick;
    const std::uint8_t button = up ? 4 : 5;
    for (std::int64_t i = 0; i < clicks; ++i) {
        fake(XCB_BUTTON_PRESS, button);
        fake(XCB_BUTTON_RELEASE, button);
    }
    return flush();
}

std::optional<std::string> X11EventsService::warp(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    const auto x = static_cast<std::int16_t>(std::lround(point.x));
    const auto y = static_cast<std::int16_t>(std::lround(point.y));
    auto cookie = xcb_warp_pointer_checked(connection_, XCB_NONE, root_, 0, 0, 0, 0, x, y);
    if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
        const int code = error->error_code;
        std::free(error);
        return "X error " + std::to_string(code);
    }
    if (!alive()) return std::string("the X connection is gone");
    return std::nullopt;
}

std::optional<DisplayPoint> X11EventsService::location() {
    std::lock_guard lock(mutex_);
    auto* reply =
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
    if (!reply) return std::nullopt;
    const DisplayPoint point{static_cast<double>(reply->root_x),
                             static_cast<double>(reply->root_y)};
    std::free(reply);
    return point;
}

}  // namespace vl
