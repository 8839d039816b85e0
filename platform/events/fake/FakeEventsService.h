// platform/events fake: records every posted event and warp in order, with all their fields; the
// cursor moves with warps and motion events.
#pragma once

#include "platform/events/Interface.h"

#include <mutex>
#include <variant>
#include <vector>

namespace vl {

struct Warp {
    DisplayPoint point;
    bool operator==(const Warp&) const = default;
};

class FakeEventsService final : public EventsService {
  public:
    using Posted = std::variant<PointerEvent, KeyEvent, ScrollEvent, Warp>;

    bool post(const PointerEvent& event) override;
    bool post(const KeyEvent& event) override;
    bool post(const ScrollEvent& event) override;
    std::optional<std::string> warp(DisplayPoint point) override;
    std::optional<DisplayPoint> location() override;

    std::vector<Posted> posted() const;
    std::vector<PointerEvent> pointerEvents() const;
    std::vector<KeyEvent> keyEvents() const;
    void clear();
    // Moves the cursor as a local user would, without a record.
    void setLocation(std::optional<DisplayPoint> point);
    void failPosting(bool fail);
    void failWarping(bool fail);

  private:
    mutable std::mutex mutex_;
    std::vector<Posted> posted_;
    std::optional<DisplayPoint> location_ = DisplayPoint{};
    bool failPosting_ = false;
    bool failWarping_ = false;
};

}  // namespace vl
