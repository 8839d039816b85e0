#include "libPhantomScreen/PhantomScreen.h"

#include <cstdlib>
#include <utility>

namespace vl::ps {

PhantomScreen::PhantomScreen(VirtualDisplayPlatform& platform) : platform_(platform) {}

std::optional<std::string> PhantomScreen::appSupportFolder() {
    const char* user = std::getenv("USER");
    if (!user) return std::nullopt;
    return "/Users/" + std::string(user) + "/Library/Application Support";
}

std::shared_ptr<VirtualDisplay> PhantomScreen::display() const {
    std::lock_guard lock(mutex_);
    return display_;
}

std::string PhantomScreen::baseName() const {
    std::lock_guard lock(mutex_);
    return baseName_;
}

void PhantomScreen::setBaseName(std::string name) {
    std::lock_guard lock(mutex_);
    baseName_ = std::move(name);
}

int PhantomScreen::initDisplay(int seq) {
    displaySeq_ = seq;
    VirtualDisplayDescriptor descriptor;
    auto stem = baseName();
    descriptor.name = displaySeq_ <= 0 ? stem : stem + "_" + std::to_string(displaySeq_);
    descriptor.productID = virtualProductID;
    descriptor.vendorID = virtualVendorID;
    descriptor.serialNum = serialNumberBase + std::uint32_t(displaySeq_);
    descriptor.maxPixelsWide = 8160;
    descriptor.maxPixelsHigh = 8160;
    descriptor.whitePoint = {0.3125, 0.3291};
    descriptor.redPrimary = {0.6797, 0.3203};
    descriptor.greenPrimary = {0.2559, 0.6983};
    descriptor.bluePrimary = {0.1494, 0.0557};
    std::shared_ptr<VirtualDisplay> created = platform_.createDisplay(descriptor);
    std::shared_ptr<VirtualDisplay> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(display_, std::move(created));
    }
    previous.reset();  // removes the earlier display
    isOn_ = false;
    autoconfig_ = false;
    return 0;
}

int PhantomScreen::start(int w, int h, float rate, bool autoconfig) {
    if (!display()) initDisplay(displaySeq_);
    width_ = w;
    height_ = h;
    refresh_ = rate;
    VirtualDisplaySettings settings;
    settings.hiDPI = 75;
    settings.modes.push_back({std::uint32_t(w), std::uint32_t(h), rate});
    if (w != h) settings.modes.push_back({std::uint32_t(h), std::uint32_t(w), rate});
    autoconfig_ = autoconfig;
    auto live = display();
    isOn_ = live && w > 0 && h > 0 && live->applySettings(settings);
    return isOn_ ? 0 : -1;
}

int PhantomScreen::stop() {
    std::shared_ptr<VirtualDisplay> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::move(display_);
    }
    previous.reset();
    isOn_ = false;
    return 0;
}

std::optional<std::string> PhantomScreen::getDisplayName() const {
    auto live = display();
    if (!live) return std::nullopt;
    return live->descriptor().name;
}

std::uint32_t PhantomScreen::getSerialNumber() const {
    auto live = display();
    return live ? live->descriptor().serialNum : 0;
}

std::uint32_t PhantomScreen::getProductID() const {
    auto live = display();
    return live ? live->descriptor().productID : 0;
}

std::uint32_t PhantomScreen::getVendorID() const {
    auto live = display();
    return live ? live->descriptor().vendorID : 0;
}

DisplayID PhantomScreen::displayID() const {
    auto live = display();
    return live ? live->displayID() : nullDisplayID;
}

}  // namespace vl::ps
