#include "phantomScreen/PhantomScreenInf.h"

#include "app/SystemInfo.h"
#include "base/DispatchQueue.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace vl {

namespace {

constexpr std::uint32_t virtualVendor = 2028;
constexpr std::uint32_t virtualModel = 1217;

using InitLibFunction = std::int32_t (*)();
using AddDisplayFunction = std::int32_t (*)(std::int32_t, std::int32_t, std::uint32_t*);
using StopFunction = std::int32_t (*)(std::int32_t);

// addDisplayEx is reached from the control connection's thread as well as the main queue.
struct State {
    std::mutex mutex;
    void* libHandle = nullptr;
    std::map<DisplayID, std::int32_t> addedDisplays;
    DisplayService* displays = nullptr;
    std::optional<std::string> pathOverride;
};

State& state() {
    static State s;
    return s;
}

template <typename Function>
Function bind(const char* name) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.libHandle) return nullptr;
    return reinterpret_cast<Function>(dlsym(s.libHandle, name));
}

DisplayService* displays() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.displays;
}

}  // namespace

void PhantomScreenInf::setDisplayService(DisplayService* service) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.displays = service;
}

std::string PhantomScreenInf::libraryPath() {
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.pathOverride) return *s.pathOverride;
    }
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "libPhantomScreen.so";
    return (executable.parent_path() / ".." / "lib" / "vantrel-link" / "libPhantomScreen.so")
        .lexically_normal()
        .string();
}

void PhantomScreenInf::setLibraryPath(std::optional<std::string> path) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.pathOverride = std::move(path);
}

void PhantomScreenInf::initLib() {
    auto path = libraryPath();
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    const char* loadError = handle ? nullptr : dlerror();
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        // Loading again must not leave an extra reference that release() would not drop.
        if (s.libHandle) dlclose(s.libHandle);
        s.libHandle = handle;
    }
    if (!handle) {
        SystemInfo::logMsg("PhantomScreenInf: cannot load " + path + ": " +
                               (loadError ? loadError : "unknown error"),
                           LogLevel::error);
        return;
    }
    auto init = bind<InitLibFunction>("initLib");
    if (!init) {
        SystemInfo::logMsg("PhantomScreenInf: " + path + " has no initLib", LogLevel::error);
        return;
    }
    if (auto result = init(); result < 0)
        SystemInfo::logMsg("PhantomScreenInf: initLib returned " + std::to_string(result),
                           LogLevel::error);
}

bool PhantomScreenInf::isLoaded() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.libHandle != nullptr;
}

std::optional<DisplayID> PhantomScreenInf::addDisplay(Resolution resolution, bool portrait) {
    int index = resolution.modeIndex();
    if (index < 0) {
        SystemInfo::logMsg("addDisplay: unknown resolution " + resolution.description());
        return std::nullopt;
    }
    std::uint32_t displayID = 0;
    auto add = bind<AddDisplayFunction>("addDisplay");
    std::int32_t slot = add ? add(index, portrait ? 1 : 0, &displayID) : -1;
    if (slot < 0) {
        SystemInfo::logMsg("addDisplay failed for " + resolution.description() +
                           ", portrait: " + (portrait ? "true" : "false"));
        return std::nullopt;
    }
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.addedDisplays[displayID] = slot;
    return displayID;
}

std::optional<DisplayID> PhantomScreenInf::addDisplayEx(Resolution resolution, bool portrait) {
    if (!isLoaded()) initLib();
    if (!isLoaded()) return std::nullopt;
    auto id = addDisplay(resolution, portrait);
    if (!id) return std::nullopt;
    auto size = resolution.resolution();
    int width = portrait ? size.second : size.first;
    int height = portrait ? size.first : size.second;
    DispatchQueue::main().asyncAfter(std::chrono::milliseconds(200), [id = *id, width, height] {
        setResolution(id, width, height);
        placeToRightOfExisting(id);
    });
    return id;
}

void PhantomScreenInf::setResolution(DisplayID display, int width, int height) {
    auto* service = displays();
    if (!service) return;
    auto modes = service->modes(display);
    if (modes.empty()) {
        SystemInfo::logMsg("No display modes for " + std::to_string(display));
        return;
    }
    auto chosen = std::find_if(modes.begin(), modes.end(), [&](const DisplayMode& m) {
        return m.pixelWidth == width && m.pixelHeight == height;
    });
    if (chosen == modes.end())
        chosen = std::find_if(modes.begin(), modes.end(), [&](const DisplayMode& m) {
            return m.width == width && m.height == height;
        });
    if (chosen == modes.end()) {
        SystemInfo::logMsg("No " + std::to_string(width) + "x" + std::to_string(height) +
                           " mode for display " + std::to_string(display));
        return;
    }
    auto configuration = service->beginConfiguration();
    if (!configuration.ok() || !configuration.value) return;
    configuration.value->configureDisplayWithMode(display, *chosen);
    if (configuration.value->complete(ConfigureOption::permanently) != DisplayError::success) {
        configuration.value->cancel();
        SystemInfo::logMsg("Failed to set " + std::to_string(width) + "x" + std::to_string(height) +
                           " on display " + std::to_string(display));
    }
}

void PhantomScreenInf::placeToRightOfExisting(DisplayID display) {
    auto* service = displays();
    if (!service) return;
    auto active = service->activeDisplayList(maxDisplays);
    if (!active.ok() || active.value.empty()) return;
    double right = 0;
    for (auto other : active.value)
        if (other != display) right = std::max(right, service->bounds(other).maxX());
    std::int32_t x = std::int32_t(right) + 1;
    std::int32_t y = 0;
    auto configuration = service->beginConfiguration();
    if (!configuration.ok() || !configuration.value) return;
    configuration.value->configureDisplayOrigin(display, x, y);
    if (configuration.value->complete(ConfigureOption::permanently) != DisplayError::success) {
        configuration.value->cancel();
        SystemInfo::logMsg("Failed to position display " + std::to_string(display) + " at x " +
                           std::to_string(x) + ".");
    }
}

bool PhantomScreenInf::removeDisplay(DisplayID displayID) {
    std::int32_t slot;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.addedDisplays.find(displayID);
        if (it == s.addedDisplays.end()) return false;
        slot = it->second;
        s.addedDisplays.erase(it);
    }
    auto stop = bind<StopFunction>("stop");
    return stop && stop(slot) == 0;
}

std::optional<DisplayID> PhantomScreenInf::findPS() {
    auto* service = displays();
    if (!service) return std::nullopt;
    auto active = service->activeDisplayList(maxDisplays);
    if (!active.ok()) {
        SystemInfo::logMsg(std::string("Error fetching active displays: ") +
                           description(active.error));
        return std::nullopt;
    }
    for (auto id : active.value)
        if (service->vendorNumber(id) == virtualVendor && service->modelNumber(id) == virtualModel)
            return id;
    return std::nullopt;
}

void PhantomScreenInf::release() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.libHandle) return;
    dlclose(s.libHandle);
    s.libHandle = nullptr;
    // The slots died with the library; a later load must not stop its new displays by them.
    s.addedDisplays.clear();
}

}  // namespace vl
