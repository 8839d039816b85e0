// platform/display/x11: the display arrangement of an X screen through RandR. A display is an
// enabled output, its id the output's XID; outputs sharing an origin form a mirror set.
#pragma once

#include "platform/display/Interface.h"
#include "platform/display/x11/RandrScreen.h"

#include <functional>
#include <map>
#include <mutex>

namespace vl {

class X11DisplayService final : public DisplayService {
  public:
    using Report = std::function<void(const std::string&)>;

    // displayName empty: $DISPLAY. Connects lazily and reconnects after the server went away.
    explicit X11DisplayService(std::string displayName = {}, Report report = {});

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

    struct Pending {
        std::optional<std::pair<std::int32_t, std::int32_t>> origin;
        std::optional<DisplayID> mirrorOf;
        std::optional<std::uint32_t> mode;
    };

  private:
    class Configuration;
    friend class Configuration;
    void makeOriginOutputPrimary();
    DisplayError apply(const std::map<DisplayID, Pending>& pending);
    bool knows(DisplayID id);
    static DisplayID masterOf(const x11::ScreenSnapshot& snap, DisplayID id);

    std::mutex mutex_;
    x11::RandrScreen screen_;
};

}  // namespace vl
