// The library's module state and its export table.
#include "libPhantomScreen/Exports.h"
#include "libPhantomScreen/ModeTable.h"
#include "libPhantomScreen/PhantomScreen.h"
#include "libPhantomScreen/Platform.h"

#include <array>
#include <mutex>
#include <optional>
#include <vector>

namespace vl::ps {
namespace {

struct Monitor {
    DisplayID displayId = nullDisplayID;
    DisplayRect rect;
    DisplayID mirroredFromDisplayID = nullDisplayID;
    bool ismain = false;
};

struct Mode {
    std::int32_t width;
    std::int32_t height;
    float refreshRate;
};

struct State {
    std::shared_ptr<VirtualDisplayPlatform> platform;
    bool platformMade = false;
    std::optional<std::vector<std::unique_ptr<PhantomScreen>>> displays;
    std::optional<std::vector<Mode>> supportedModes;
    std::vector<Monitor> monitors;
    std::int32_t displayCnt = 1;
    DisplayPoint savedPoint;
    std::string nameText, folderText, convertedText;
};

// The library has no threads of its own; the lock only keeps a host that calls from several
// threads (an event-tap thread besides its main thread) from tearing the state.
std::recursive_mutex& stateMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

State& state() {
    static State s;
    return s;
}

VirtualDisplayPlatform* platform() {
    auto& s = state();
    if (!s.platform && !s.platformMade) {
        s.platformMade = true;
        s.platform = makeDefaultPlatform();
    }
    return s.platform.get();
}

PhantomScreen* slotAt(std::int32_t slot) {
    auto& s = state();
    if (!s.displays || slot < 0 || std::size_t(slot) >= s.displays->size()) return nullptr;
    return (*s.displays)[slot].get();
}

const Mode* modeAt(std::int32_t mode) {
    auto& s = state();
    if (!s.supportedModes || mode < 0 || std::size_t(mode) >= s.supportedModes->size())
        return nullptr;
    return &(*s.supportedModes)[mode];
}

std::unique_ptr<PhantomScreen> freshSlot() {
    return std::make_unique<PhantomScreen>(*platform());
}

void assignMonitors() {
    auto& s = state();
    std::vector<Monitor> snapshot;
    if (auto* p = platform()) {
        auto& displays = p->displays();
        auto main = displays.mainDisplay();
        for (auto id : displays.onlineDisplayList(maxDisplays).value)
            snapshot.push_back(
                Monitor{id, displays.bounds(id), displays.mirrorsDisplay(id), id == main});
    }
    bool hadRecords = !s.monitors.empty();
    s.monitors = std::move(snapshot);
    // Discarding the previous snapshot's records stops every virtual display.
    if (hadRecords) closeLib();
}

}  // namespace

void installPlatform(std::shared_ptr<VirtualDisplayPlatform> newPlatform) {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    s.displays.reset();  // their displays go while the old platform still exists
    s = State{};
    s.platform = std::move(newPlatform);
    s.platformMade = true;
}

}  // namespace vl::ps

using namespace vl;
using namespace vl::ps;

extern "C" {

PS_EXPORT void vlPhantomScreenInstallPlatform(
    const std::shared_ptr<VirtualDisplayPlatform>* platform) {
    installPlatform(platform ? *platform : nullptr);
}

const char* getVersion() {
    return "1.1.0";
}

int32_t initLib() {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    if (!s.supportedModes) s.supportedModes.emplace();
    for (const auto& row : modeTable)
        s.supportedModes->push_back({row.width, row.height, modeRefreshRate});
    assignMonitors();
    return 0;
}

int32_t closeLib() {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    std::int32_t count = s.displays ? std::int32_t(s.displays->size()) : s.displayCnt;
    for (std::int32_t slot = 0; slot < count; ++slot) stop(slot);
    return 0;
}

int32_t setDisplayCount(uint32_t count) {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    s.displays.emplace();
    if (count >= 1 && count <= 4) s.displayCnt = std::int32_t(count);
    if (s.displayCnt < 1 || !platform()) return 0;
    for (std::int32_t i = 0; i < s.displayCnt; ++i) s.displays->push_back(freshSlot());
    return 0;
}

void setBasename(const char* name) {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    if (!name || !s.displays) return;
    for (auto& slot : *s.displays) slot->setBaseName(name);
}

const char* getAppSupportFolder() {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    if (!s.displays || s.displays->empty()) return nullptr;
    auto folder = PhantomScreen::appSupportFolder();
    if (!folder) return nullptr;
    s.folderText = *folder;
    return s.folderText.c_str();
}

int32_t addDisplay(int32_t mode, int32_t portrait, uint32_t* displayID) {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    const Mode* chosen = modeAt(mode);
    if (!chosen || !platform()) return -1;
    if (!s.displays) s.displays.emplace();

    int on = 0;
    for (const auto& slot : *s.displays)
        if (slot->isOn()) ++on;
    if (on > 4) return -1;

    std::int32_t index = -1;
    for (std::size_t i = 0; i < s.displays->size(); ++i)
        if (!(*s.displays)[i]->isOn()) {
            index = std::int32_t(i);
            (*s.displays)[i] = freshSlot();
            break;
        }
    if (index < 0) {
        s.displays->push_back(freshSlot());
        index = std::int32_t(s.displays->size() - 1);
    }
    s.displayCnt = std::int32_t(s.displays->size());

    auto& slot = *(*s.displays)[index];
    slot.initDisplay(index);
    Mode m = *chosen;
    int result = portrait > 0 ? slot.start(m.height, m.width, m.refreshRate, false)
                              : slot.start(m.width, m.height, m.refreshRate, false);
    if (result < 0) return -1;
    if (displayID) *displayID = slot.displayID();
    return index;
}

int32_t initDisplay(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s ? s->initDisplay(slot) : -1;
}

int32_t closeDisplay(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s ? s->closeDisplay() : -1;
}

int32_t start(int32_t slot, int32_t mode, int32_t autoconfig, uint32_t* displayID) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    const Mode* m = modeAt(mode);
    if (!s || !m) return -1;
    if (s->isOn() && s->getWidth() == m->width && s->getHeight() == m->height) return 1;
    int result = s->start(m->width, m->height, m->refreshRate, autoconfig > 0);
    if (displayID) *displayID = s->displayID();
    return result;
}

int32_t startWithDeMain(int32_t slot, int32_t code, uint32_t* displayID) {
    std::lock_guard lock(stateMutex());
    std::int32_t mode = -1;
    for (std::size_t i = 0; i < modeTable.size(); ++i)
        if (modeTable[i].resolutionCode == code) mode = std::int32_t(i);
    if (mode < 0) return -1;
    std::uint32_t local = 0;
    int result = start(slot, mode, 0, &local);
    if (result < 0) return result;
    if (displayID && local != 0) *displayID = local;
    if (auto* p = platform()) {
        auto configuration = p->displays().beginConfiguration();
        if (configuration.ok()) {
            configuration.value->configureMirrorOfDisplay(local, nullDisplayID);
            if (configuration.value->complete(ConfigureOption::permanently) !=
                DisplayError::success)
                configuration.value->cancel();
        }
    }
    return result;
}

// No export registers the reconfiguration handler, so a slot's autoconfig flag has nothing to
// unregister.
int32_t stop(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s ? s->stop() : -1;
}

bool virtualMonitorOn(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s && s->isOn();
}

int32_t getModeCount() {
    std::lock_guard lock(stateMutex());
    auto& s = state();
    return s.supportedModes ? std::int32_t(s.supportedModes->size()) : 0;
}

int32_t getModeWidth(int32_t mode) {
    std::lock_guard lock(stateMutex());
    auto* m = modeAt(mode);
    return m ? m->width : 0;
}

int32_t getModeHeight(int32_t mode) {
    std::lock_guard lock(stateMutex());
    auto* m = modeAt(mode);
    return m ? m->height : 0;
}

float getModeRefreshRate(int32_t mode) {
    std::lock_guard lock(stateMutex());
    auto* m = modeAt(mode);
    return m ? m->refreshRate : 0.0f;
}

const char* getDisplayName(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    auto name = s ? s->getDisplayName() : std::nullopt;
    if (!name) return nullptr;
    state().nameText = *name;
    return state().nameText.c_str();
}

uint32_t getSerialNumber(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s ? s->getSerialNumber() : 0;
}

uint32_t getProductID(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s ? s->getProductID() : 0;
}

uint32_t getVendorID(int32_t slot) {
    std::lock_guard lock(stateMutex());
    auto* s = slotAt(slot);
    return s ? s->getVendorID() : 0;
}

int32_t isVirtualMonitor(uint32_t displayID) {
    std::lock_guard lock(stateMutex());
    auto* p = platform();
    if (!p) return -1;
    auto& displays = p->displays();
    return displays.vendorNumber(displayID) == virtualVendorID &&
                   displays.modelNumber(displayID) == virtualProductID
               ? 1
               : -1;
}

const char* nsString2char(const PSString* string) {
    std::lock_guard lock(stateMutex());
    if (!string || (!string->data && string->length)) return nullptr;
    state().convertedText.assign(string->data ? string->data : "", string->length);
    return state().convertedText.c_str();
}

}  // extern "C"

PSEvent* cursorEventCallback(void*, int32_t type, PSEvent* event, void*) {
    if (type != psEventMouseMoved || !event) return event;
    std::lock_guard lock(stateMutex());
    auto* p = platform();
    if (!p) return event;
    DisplayPoint location{event->x, event->y};
    auto found = p->displays().displaysWithPoint({location.x + 8, location.y}, 1);
    if (!found.ok()) return event;
    if (!found.value.empty() && isVirtualMonitor(found.value.front()) == 1)
        p->warpCursor(state().savedPoint);
    else
        state().savedPoint = location;
    return event;
}
