// platform/display/fake: an in-memory display arrangement with mirror sets, modes and injectable
// failures, for deterministic tests of everything that configures displays.
#pragma once

#include "platform/display/Interface.h"

#include <functional>
#include <mutex>
#include <vector>

namespace vl {

class FakeDisplayService final : public DisplayService {
  public:
    struct Display {
        DisplayID id = nullDisplayID;
        DisplayRect bounds;
        bool online = true;
        bool active = true;
        std::uint32_t vendor = 0;
        std::uint32_t model = 0;
        std::uint32_t serial = 0;
        DisplayID mirrorOf = nullDisplayID;
        std::vector<DisplayMode> modes;
    };

    // What the configuration transactions did, for assertions.
    struct Counters {
        int begun = 0;
        int completed = 0;
        int cancelled = 0;
        std::vector<ConfigureOption> completeOptions;
    };

    // Failures to inject; success by default.
    struct Faults {
        DisplayError list = DisplayError::success;
        DisplayError begin = DisplayError::success;
        DisplayError mirror = DisplayError::success;
        DisplayError origin = DisplayError::success;
        DisplayError mode = DisplayError::success;
        DisplayError complete = DisplayError::success;
        // Un-mirroring is accepted but the display stays mirrored (hardware that insists).
        bool mirroringSticks = false;
    };

    void addDisplay(Display display);
    // A plain online, active display.
    static Display make(DisplayID id, DisplayRect bounds, DisplayID mirrorOf = nullDisplayID);
    void removeDisplay(DisplayID id);
    void setMainDisplay(DisplayID id);
    std::optional<Display> display(DisplayID id) const;
    void update(DisplayID id, const std::function<void(Display&)>& change);
    Counters counters() const;
    void setFaults(Faults faults);

    DisplayResult<std::vector<DisplayID>> activeDisplayList(std::uint32_t max) override;
    DisplayResult<std::vector<DisplayID>> onlineDisplayList(std::uint32_t max) override;
    DisplayResult<std::vector<DisplayID>> displaysWithPoint(DisplayPoint point,
                                                            std::uint32_t max) override;
    DisplayRect bounds(DisplayID id) override;
    bool isOnline(DisplayID id) override;
    std::uint32_t vendorNumber(DisplayID id) override;
    std::uint32_t modelNumber(DisplayID id) override;
    std::uint32_t serialNumber(DisplayID id) override;
    DisplayID mainDisplay() override;
    DisplayID mirrorsDisplay(DisplayID id) override;
    bool isInMirrorSet(DisplayID id) override;
    std::vector<DisplayMode> modes(DisplayID id) override;
    DisplayResult<std::unique_ptr<DisplayConfiguration>> beginConfiguration() override;

  private:
    class Configuration;
    friend class Configuration;
    struct Change {
        enum class Kind { mirror, origin, mode } kind = Kind::mirror;
        DisplayID display = nullDisplayID;
        DisplayID master = nullDisplayID;
        std::int32_t x = 0, y = 0;
        DisplayMode mode;
    };
    DisplayError apply(const std::vector<Change>& changes, ConfigureOption option);
    Faults faultsCopy() const;
    Display* find(DisplayID id);
    const Display* find(DisplayID id) const;
    DisplayResult<std::vector<DisplayID>> list(std::uint32_t max, bool activeOnly);

    mutable std::mutex mutex_;
    std::vector<Display> displays_;
    DisplayID main_ = nullDisplayID;
    Counters counters_;
    Faults faults_;
};

}  // namespace vl
