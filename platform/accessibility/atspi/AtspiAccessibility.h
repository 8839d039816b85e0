// platform/accessibility/atspi: elements of other applications through AT-SPI 2 on the
// accessibility bus. Calls are synchronous with a short timeout; a bus that stops answering is
// left alone for a while so that input never waits behind it. Not for use from several threads
// at once (calls are serialised).
#pragma once

#include "platform/accessibility/Interface.h"
#include "platform/windows/Interface.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class AtspiAccessibility final : public AccessibilityService {
  public:
    // The frontmost application window at a point, as the window list has it.
    struct TopWindow {
        std::int32_t pid = 0;
        DisplayRect frame;
    };
    struct Options {
        // How long one call may take before the bus counts as not answering.
        std::chrono::milliseconds timeout{10};
        // How long a bus that did not answer is left alone.
        std::chrono::milliseconds backOff{2000};
        // Without it every application's windows are searched, in the bus's order.
        std::function<std::optional<TopWindow>(DisplayPoint)> windowAt;
        std::function<void(const std::string&)> report;
    };

    // The frontmost application window at a point in a window list.
    static std::function<std::optional<TopWindow>(DisplayPoint)> frontmostWindowIn(
        std::shared_ptr<WindowService> windows);

    // None when no accessibility bus can be reached (no session bus, or no accessibility bus on
    // it). Only one instance per process: the accessibility library keeps global state.
    static std::shared_ptr<AtspiAccessibility> open(Options options);
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    std::optional<ElementRef> elementAt(DisplayPoint point) override;
    std::optional<ElementRole> role(ElementRef element) override;
    std::optional<ElementRef> parent(ElementRef element) override;
    std::optional<DisplayRect> frame(ElementRef element) override;
    std::optional<ElementOrientation> orientation(ElementRef element) override;
    std::optional<ElementRef> header(ElementRef element) override;
    std::vector<ElementRef> children(ElementRef element) override;

  private:
    struct State;
    explicit AtspiAccessibility(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace vl
