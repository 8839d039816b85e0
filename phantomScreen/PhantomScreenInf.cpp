#include "phantomScreen/PhantomScreenInf.h"

#include "base/DispatchQueue.h"
#include "base/Log.h"

#include <dlfcn.h>

#include <algorithm>
#include <cassert>
#include <filesystem>

namespace vl {

namespace {

constexpr std::uint32_t virtualVendor = 2028;
constexpr std::uint32_t virtualModel = 1217;

using InitLibFunction = std::int32_t (*)();
using AddDisplayFunction = std::int32_t (*)(std::int32_t, std::int32_t, std::uint32_t*);
using StopFunction = std::int32_t (*)(std::int32_t);

}  // namespace

std::string PhantomScreenInf::libraryPath() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "libPhantomScreen.so";
    return (executable.parent_path() / ".." / "lib" / "vantrel-link" / "libPhantomScreen.so")
        .lexically_normal()
        .string();
}

PhantomScreenInf::PhantomScreenInf(DisplayService& displays, DispatchQueue& queue, std::string path,
                                   Preparation prepare)
    : displays_(&displays), queue_(&queue), path_(std::move(path)), prepare_(std::move(prepare)) {}

PhantomScreenInf::~PhantomScreenInf() {
    release();
}

template <typename Function>
Function PhantomScreenInf::bind(const char* name) const {
    std::lock_guard lock(mutex_);
    if (!libHandle_) return nullptr;
    return reinterpret_cast<Function>(dlsym(libHandle_, name));
}

DisplayService* PhantomScreenInf::displays() const {
    std::lock_guard lock(mutex_);
    return displays_;
}

void PhantomScreenInf::initLib() {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        path = path_;
    }
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    const char* loadError = handle ? nullptr : dlerror();
    {
        std::lock_guard lock(mutex_);
        // Loading again must not leave an extra reference that release() would not drop.
        if (libHandle_) dlclose(libHandle_);
        libHandle_ = handle;
    }
    if (!handle) {
        logMsg("PhantomScreenInf: cannot load " + path + ": " +
                   (loadError ? loadError : "unknown error"),
               LogLevel::error);
        return;
    }
    if (prepare_) prepare_([this](const char* name) { return bind<void*>(name); });
    auto init = bind<InitLibFunction>("initLib");
    if (!init) {
        logMsg("PhantomScreenInf: " + path + " has no initLib", LogLevel::error);
        return;
    }
    if (auto result = init(); result < 0)
        logMsg("PhantomScreenInf: initLib returned " + std::to_string(result), LogLevel::error);
}

bool PhantomScreenInf::isLoaded() const {
    std::lock_guard lock(mutex_);
    return libHandle_ != nullptr;
}

std::optional<DisplayID> PhantomScreenInf::addDisplay(Resolution resolution, bool portrait) {
    int index = resolution.modeIndex();
    if (index < 0) {
        logMsg("addDisplay: unknown resolution " + resolution.description());
        return std::nullopt;
    }
    std::uint32_t displayID = 0;
    auto add = bind<AddDisplayFunction>("addDisplay");
    std::int32_t slot = add ? add(index, portrait ? 1 : 0, &displayID) : -1;
    if (slot < 0) {
        logMsg("addDisplay failed for " + resolution.description() +
               ", portrait: " + (portrait ? "true" : "false"));
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    addedDisplays_[displayID] = slot;
    return displayID;
}

std::optional<DisplayID> PhantomScreenInf::addDisplayEx(Resolution resolution, bool portrait) {
    if (!isLoaded()) initLib();
    if (!isLoaded()) return std::nullopt;
    // The displays it goes beside: one added within the next 200 ms is not among them, or two
    // displays added together would each be placed right of the other, leaving a gap.
    const std::vector<DisplayID> existing = activeDisplays().value_or(std::vector<DisplayID>{});
    auto id = addDisplay(resolution, portrait);
    if (!id) return std::nullopt;
    auto size = resolution.resolution();
    int width = portrait ? size.second : size.first;
    int height = portrait ? size.first : size.second;
    std::weak_ptr<PhantomScreenInf> weak = weak_from_this();
    assert(!weak.expired() && "PhantomScreenInf is made with std::make_shared");
    queue_->asyncAfter(std::chrono::milliseconds(200), [weak, id = *id, width, height, existing] {
        if (auto self = weak.lock()) {
            self->setResolution(id, width, height);
            self->placeToRightOf(id, existing);
        }
    });
    return id;
}

void PhantomScreenInf::setResolution(DisplayID display, int width, int height) {
    auto* service = displays();
    if (!service) return;
    auto modes = service->modes(display);
    if (modes.empty()) {
        logMsg("No display modes for " + std::to_string(display));
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
        logMsg("No " + std::to_string(width) + "x" + std::to_string(height) + " mode for display " +
               std::to_string(display));
        return;
    }
    auto configuration = service->beginConfiguration();
    if (!configuration.ok() || !configuration.value) return;
    configuration.value->configureDisplayWithMode(display, *chosen);
    if (configuration.value->complete(ConfigureOption::permanently) != DisplayError::success) {
        configuration.value->cancel();
        logMsg("Failed to set " + std::to_string(width) + "x" + std::to_string(height) +
               " on display " + std::to_string(display));
    }
}

void PhantomScreenInf::placeToRightOfExisting(DisplayID display) {
    if (auto active = activeDisplays()) placeBeside(display, *active);
}

void PhantomScreenInf::placeToRightOf(DisplayID display, const std::vector<DisplayID>& others) {
    auto active = activeDisplays();
    if (!active) return;
    std::erase_if(*active, [&](DisplayID id) {
        return std::find(others.begin(), others.end(), id) == others.end();
    });
    placeBeside(display, *active);
}

std::optional<std::vector<DisplayID>> PhantomScreenInf::activeDisplays() const {
    auto* service = displays();
    if (!service) return std::nullopt;
    auto active = service->activeDisplayList(maxDisplays);
    if (!active.ok()) return std::nullopt;
    return active.value;
}

void PhantomScreenInf::placeBeside(DisplayID display, const std::vector<DisplayID>& neighbours) {
    auto* service = displays();
    double right = 0;
    for (auto other : neighbours)
        if (other != display) right = std::max(right, service->bounds(other).maxX());
    std::int32_t x = std::int32_t(right) + 1;
    std::int32_t y = 0;
    auto configuration = service->beginConfiguration();
    if (!configuration.ok() || !configuration.value) return;
    configuration.value->configureDisplayOrigin(display, x, y);
    if (configuration.value->complete(ConfigureOption::permanently) != DisplayError::success) {
        configuration.value->cancel();
        logMsg("Failed to position display " + std::to_string(display) + " at x " +
               std::to_string(x) + ".");
    }
}

bool PhantomScreenInf::removeDisplay(DisplayID displayID) {
    std::int32_t slot;
    {
        std::lock_guard lock(mutex_);
        auto it = addedDisplays_.find(displayID);
        if (it == addedDisplays_.end()) return false;
        slot = it->second;
        addedDisplays_.erase(it);
    }
    auto stop = bind<StopFunction>("stop");
    return stop && stop(slot) == 0;
}

std::optional<DisplayID> PhantomScreenInf::findPS() {
    auto* service = displays();
    if (!service) return std::nullopt;
    auto active = service->activeDisplayList(maxDisplays);
    if (!active.ok()) {
        logMsg(std::string("Error fetching active displays: ") + description(active.error));
        return std::nullopt;
    }
    for (auto id : active.value)
        if (service->vendorNumber(id) == virtualVendor && service->modelNumber(id) == virtualModel)
            return id;
    return std::nullopt;
}

void PhantomScreenInf::release() {
    std::lock_guard lock(mutex_);
    if (!libHandle_) return;
    dlclose(libHandle_);
    libHandle_ = nullptr;
    // The slots died with the library; a later load must not stop its new displays by them.
    addedDisplays_.clear();
}

}  // namespace vl
