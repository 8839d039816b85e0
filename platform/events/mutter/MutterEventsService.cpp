#include "platform/events/mutter/MutterEventsService.h"

#include "platform/events/TypedText.h"
#include "platform/mutter/MutterDisplayConfig.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>

#include <linux/input-event-codes.h>

namespace vl {

namespace {

// Virtual key code → evdev key code, for the codes that do not depend on the options.
constexpr std::pair<std::uint16_t, std::uint32_t> keyTable[] = {
    {0, KEY_A},           {1, KEY_S},           {2, KEY_D},           {3, KEY_F},
    {4, KEY_H},           {5, KEY_G},           {6, KEY_Z},           {7, KEY_X},
    {8, KEY_C},           {9, KEY_V},           {11, KEY_B},          {12, KEY_Q},
    {13, KEY_W},          {14, KEY_E},          {15, KEY_R},          {16, KEY_Y},
    {17, KEY_T},          {18, KEY_1},          {19, KEY_2},          {20, KEY_3},
    {21, KEY_4},          {22, KEY_6},          {23, KEY_5},          {24, KEY_EQUAL},
    {25, KEY_9},          {26, KEY_7},          {27, KEY_MINUS},      {28, KEY_8},
    {29, KEY_0},          {30, KEY_RIGHTBRACE}, {31, KEY_O},          {32, KEY_U},
    {33, KEY_LEFTBRACE},  {34, KEY_I},          {35, KEY_P},          {36, KEY_ENTER},
    {37, KEY_L},          {38, KEY_J},          {39, KEY_APOSTROPHE}, {40, KEY_K},
    {41, KEY_SEMICOLON},  {42, KEY_BACKSLASH},  {43, KEY_COMMA},      {44, KEY_SLASH},
    {45, KEY_N},          {46, KEY_M},          {47, KEY_DOT},        {48, KEY_TAB},
    {49, KEY_SPACE},      {50, KEY_GRAVE},      {51, KEY_BACKSPACE},  {53, KEY_ESC},
    {56, KEY_LEFTSHIFT},  {57, KEY_CAPSLOCK},   {58, KEY_LEFTALT},    {59, KEY_LEFTCTRL},
    {60, KEY_RIGHTSHIFT}, {61, KEY_RIGHTALT},   {62, KEY_RIGHTCTRL},  {65, KEY_KPDOT},
    {67, KEY_KPASTERISK}, {69, KEY_KPPLUS},     {75, KEY_KPSLASH},    {76, KEY_KPENTER},
    {78, KEY_KPMINUS},    {81, KEY_KPEQUAL},    {82, KEY_KP0},        {83, KEY_KP1},
    {84, KEY_KP2},        {85, KEY_KP3},        {86, KEY_KP4},        {87, KEY_KP5},
    {88, KEY_KP6},        {89, KEY_KP7},        {91, KEY_KP8},        {92, KEY_KP9},
    {96, KEY_F5},         {97, KEY_F6},         {98, KEY_F7},         {99, KEY_F3},
    {100, KEY_F8},        {101, KEY_F9},        {103, KEY_F11},       {109, KEY_F10},
    {111, KEY_F12},       {115, KEY_HOME},      {116, KEY_PAGEUP},    {117, KEY_DELETE},
    {118, KEY_F4},        {119, KEY_END},       {120, KEY_F2},        {121, KEY_PAGEDOWN},
    {122, KEY_F1},        {123, KEY_LEFT},      {124, KEY_RIGHT},     {125, KEY_DOWN},
};

// The modifier keys a key event's flags ask for, in press order.
std::vector<std::uint32_t> modifierKeys(std::uint64_t flags, bool commandIsSuper) {
    std::vector<std::uint32_t> keys;
    if (flags & modifierFlag::shift) keys.push_back(KEY_LEFTSHIFT);
    if (flags & modifierFlag::control) keys.push_back(KEY_LEFTCTRL);
    if (flags & modifierFlag::option) keys.push_back(KEY_LEFTALT);
    if (flags & modifierFlag::command) {
        const std::uint32_t command = commandIsSuper ? KEY_LEFTMETA : KEY_LEFTCTRL;
        if (std::find(keys.begin(), keys.end(), command) == keys.end()) keys.push_back(command);
    }
    return keys;
}

bool isModifierKey(std::uint32_t key) {
    switch (key) {
        case KEY_LEFTSHIFT:
        case KEY_RIGHTSHIFT:
        case KEY_LEFTCTRL:
        case KEY_RIGHTCTRL:
        case KEY_LEFTALT:
        case KEY_RIGHTALT:
        case KEY_LEFTMETA:
        case KEY_RIGHTMETA:
        case KEY_CAPSLOCK:
            return true;
        default:
            return false;
    }
}

std::int32_t evdevButton(int buttonNumber) {
    switch (buttonNumber) {
        case 0:
            return BTN_LEFT;
        case 1:
            return BTN_RIGHT;
        case 2:
            return BTN_MIDDLE;
        default:
            return BTN_SIDE + (buttonNumber - 3);
    }
}

// A point sent to Mutter reaches the pointer at its next frame or so; until then the pointer's
// own position would still be the old one.
constexpr auto pointerSettle = std::chrono::milliseconds(100);
// Keys (Mutter's virtual keyboard) and text committed through the shell reach a client by two
// paths that nothing orders: a client given both at once takes the committed text first (GTK
// does), and under load either path can lag. So at a switch from one path to the other the
// server waits until the last input of the other has had a few frames to arrive; typing at a
// person's pace never waits.
constexpr auto switchSettle = std::chrono::milliseconds(100);

}  // namespace

std::optional<std::uint32_t> MutterEventsService::evdevKeyForVirtualKey(std::uint16_t code,
                                                                        bool commandIsSuper) {
    if (code == 55) return commandIsSuper ? KEY_LEFTMETA : KEY_LEFTCTRL;
    if (code == 54) return commandIsSuper ? KEY_RIGHTMETA : KEY_RIGHTCTRL;
    if (code == 126) return KEY_UP;
    for (const auto& [virtualKey, evdev] : keyTable)
        if (virtualKey == code) return evdev;
    return std::nullopt;
}

MutterEventsService::MutterEventsService(std::shared_ptr<MutterMonitors> monitors, Options options)
    : monitors_(std::move(monitors)), options_(options) {}

std::optional<MutterEventsService::Placed> MutterEventsService::monitorAt(DisplayPoint point) {
    auto find = [&]() -> std::optional<Placed> {
        for (const auto& placed : layout_) {
            if (point.x >= placed.x && point.y >= placed.y &&
                point.x < placed.x + placed.monitor->width() &&
                point.y < placed.y + placed.monitor->height())
                return placed;
        }
        return std::nullopt;
    };
    if (auto found = find()) return found;
    layout_.clear();
    auto state = currentDisplayState(*monitors_->bus());
    if (!state) return std::nullopt;
    for (const auto& monitor : monitors_->all()) {
        const MutterMonitor* shown = state->monitor(monitor->connector());
        if (shown && shown->x && shown->y) layout_.push_back({monitor, *shown->x, *shown->y});
    }
    return find();
}

bool MutterEventsService::moveTo(DisplayPoint point, std::string* error) {
    auto placed = monitorAt(point);
    if (!placed) {
        if (error) *error = "no virtual monitor under the point";
        return false;
    }
    under_ = placed->monitor;
    location_ = point;
    moved_ = std::chrono::steady_clock::now();
    return under_->session().pointerMotionAbsolute(point.x - placed->x, point.y - placed->y, error);
}

MutterRemoteSession* MutterEventsService::currentSession() {
    if (under_ && !under_->session().closed()) return &under_->session();
    under_.reset();
    for (const auto& monitor : monitors_->all())
        if (!monitor->session().closed()) {
            under_ = monitor;
            return &monitor->session();
        }
    return nullptr;
}

bool MutterEventsService::post(const PointerEvent& event) {
    std::lock_guard lock(mutex_);
    bool ok = moveTo(event.point, nullptr);
    MutterRemoteSession* session = currentSession();
    if (!session) return false;
    switch (event.type) {
        case PointerEventType::leftDown:
        case PointerEventType::rightDown:
        case PointerEventType::otherDown:
            ok = session->pointerButton(evdevButton(event.buttonNumber), true) && ok;
            break;
        case PointerEventType::leftUp:
        case PointerEventType::rightUp:
        case PointerEventType::otherUp:
            ok = session->pointerButton(evdevButton(event.buttonNumber), false) && ok;
            break;
        default:
            break;
    }
    return ok;
}

bool MutterEventsService::post(const KeyEvent& event) {
    std::lock_guard lock(mutex_);
    MutterRemoteSession* session = currentSession();
    if (!session) return false;
    if (!event.text.empty()) {
        // The press types the text; the release that carries it again has nothing to do.
        return !event.isDown || typeText(*session, event.text);
    }
    const auto key = evdevKeyForVirtualKey(event.virtualKey, options_.commandIsSuper);
    if (!key) return false;
    keyComing();
    // A modifier key or a release goes as it is; a press brings the modifiers its flags name.
    if (isModifierKey(*key) || !event.isDown) return session->keyboardKeycode(*key, event.isDown);
    const auto modifiers = modifierKeys(event.flags, options_.commandIsSuper);
    bool ok = true;
    for (std::uint32_t modifier : modifiers) ok = session->keyboardKeycode(modifier, true) && ok;
    ok = session->keyboardKeycode(*key, true) && ok;
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
        ok = session->keyboardKeycode(*it, false) && ok;
    return ok;
}

void MutterEventsService::keyComing() {
    if (options_.commitText) std::this_thread::sleep_until(textSent_ + switchSettle);
    keySent_ = std::chrono::steady_clock::now();
}

// ASCII goes by keysym, which reaches programs without a text field too (terminals, shortcuts);
// each run beyond ASCII is committed through the shell where it can be, else typed by keysym.
bool MutterEventsService::typeText(MutterRemoteSession& session, const std::string& text) {
    bool ok = true;
    std::vector<char32_t> run;
    std::string runText;
    auto finishRun = [&] {
        if (run.empty()) return;
        bool committed = false;
        if (options_.commitText) {
            std::this_thread::sleep_until(keySent_ + switchSettle);
            committed = options_.commitText(runText);
            if (committed) textSent_ = std::chrono::steady_clock::now();
        }
        if (!committed) ok = typeKeysyms(session, run) && ok;
        run.clear();
        runText.clear();
    };
    for (const CodePoint& point : codePoints(text)) {
        if (point.value >= 0x80 && keysymForCodePoint(point.value)) {
            run.push_back(point.value);
            runText += point.bytes;
            continue;
        }
        finishRun();
        ok = typeKeysyms(session, {point.value}) && ok;
    }
    finishRun();
    return ok;
}

bool MutterEventsService::typeKeysyms(MutterRemoteSession& session,
                                      const std::vector<char32_t>& points) {
    bool ok = true;
    for (char32_t point : points) {
        auto keysym = keysymForCodePoint(point);
        if (!keysym) continue;
        keyComing();
        ok = session.keyboardKeysym(*keysym, true) && ok;
        ok = session.keyboardKeysym(*keysym, false) && ok;
    }
    return ok;
}

bool MutterEventsService::post(const ScrollEvent& event) {
    std::lock_guard lock(mutex_);
    if (event.pixels == 0) return true;
    MutterRemoteSession* session = currentSession();
    if (!session) return false;
    // Positive pixels scroll up, towards the top of the content: a negative axis motion.
    const double dy = -static_cast<double>(event.pixels);
    return session->pointerAxis(0, dy, axisFlag::sourceFinger) &&
           session->pointerAxis(0, 0, axisFlag::sourceFinger | axisFlag::finish);
}

std::optional<std::string> MutterEventsService::warp(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    std::string error;
    if (!moveTo(point, &error)) return error;
    return std::nullopt;
}

std::optional<DisplayPoint> MutterEventsService::location() {
    std::lock_guard lock(mutex_);
    if (options_.pointer && std::chrono::steady_clock::now() - moved_ >= pointerSettle)
        if (auto shown = options_.pointer()) return shown;
    return location_;
}

}  // namespace vl
