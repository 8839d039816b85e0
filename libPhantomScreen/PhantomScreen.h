// libPhantomScreen: one display slot — the identity given to its virtual display and the size,
// rate and state it was last started with.
#pragma once

#include "libPhantomScreen/platform/Interface.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl::ps {

inline constexpr std::uint32_t virtualVendorID = 2028;
inline constexpr std::uint32_t virtualProductID = 1217;
inline constexpr std::uint32_t serialNumberBase = 171111;

class PhantomScreen {
  public:
    explicit PhantomScreen(VirtualDisplayPlatform& platform);

    static std::optional<std::string> appSupportFolder();

    int initDisplay(int seq);
    int closeDisplay() { return 0; }
    // Applies a mode of w x h (and its rotation) to the display; 0 on success, -1 on failure.
    int start(int w, int h, float rate, bool autoconfig);
    int stop();

    std::optional<std::string> getDisplayName() const;
    std::uint32_t getSerialNumber() const;
    std::uint32_t getProductID() const;
    std::uint32_t getVendorID() const;
    DisplayID displayID() const;

    int getWidth() const { return width_; }
    int getHeight() const { return height_; }
    bool isOn() const { return isOn_; }
    bool autoconfig() const { return autoconfig_; }
    std::string baseName() const;
    void setBaseName(std::string name);

  private:
    std::shared_ptr<VirtualDisplay> display() const;

    VirtualDisplayPlatform& platform_;
    mutable std::mutex mutex_;  // display and baseName may be read from any thread
    std::shared_ptr<VirtualDisplay> display_;
    std::string baseName_ = "Corvane";
    int width_ = 0;
    int height_ = 0;
    float refresh_ = 0;
    bool isOn_ = false;
    bool autoconfig_ = false;
    int displaySeq_ = 0;
};

}  // namespace vl::ps
