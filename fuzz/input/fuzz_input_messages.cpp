// Any sequence of the client's pointer, scroll and key messages, one a line: the first byte picks
// the kind and the targets under the pointer (a scroll thumb, a window edge, a divider, a title
// bar), the rest is the JSON payload. Decoded as the session decodes them, then replayed on fakes.
#include "base/Logger.h"
#include "input/InputService.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/fake/FakeEventsService.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

class ByteTargets final : public vl::PointerTargets {
  public:
    std::uint8_t bits = 0;
    std::optional<vl::ScrollThumbAxis> scrollThumbAxis(vl::DisplayPoint) override {
        if (!(bits & 0x10)) return std::nullopt;
        return bits & 0x80 ? vl::ScrollThumbAxis::horizontal : vl::ScrollThumbAxis::vertical;
    }
    bool isScreenshotSelectionActive() override { return bits & 0x80; }
    std::optional<vl::ResizeTarget> axResizeTarget(vl::DisplayPoint) override {
        if (!(bits & 0x20)) return std::nullopt;
        return vl::ResizeTarget{1, {100, 100, 400, 300}, vl::ResizeEdges(bits & 0x0F)};
    }
    std::optional<vl::DisplayPoint> snapToDivider(vl::DisplayPoint point) override {
        if (!(bits & 0x40)) return std::nullopt;
        return vl::DisplayPoint{point.x + 3, point.y};
    }
    std::optional<vl::DragTarget> axWindowForDrag(vl::DisplayPoint) override {
        return vl::DragTarget{2, {0, 0, 800, 600}};
    }
    std::optional<std::uint32_t> raiseWindowAtPoint(vl::DisplayPoint) override { return 7; }
    std::optional<int> setWindowPosition(vl::WindowElement, vl::DisplayPoint) override {
        return std::nullopt;
    }
    std::optional<int> setWindowSize(vl::WindowElement, double, double) override {
        return std::nullopt;
    }
};

}  // namespace

// Reports have nowhere to go: formatting and queueing them per input would cost more than the
// input's own work.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vl::Logger::shared().setWritesToStderr(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto displays = [] {
        auto fake = std::make_shared<vl::FakeDisplayService>();
        fake->addDisplay(vl::FakeDisplayService::make(1, {0, 0, 1920, 1080}));
        return fake;
    }();
    auto events = std::make_shared<vl::FakeEventsService>();
    auto targets = std::make_shared<ByteTargets>();
    vl::InputService::Services services;
    services.events = events;
    services.displays = displays;
    services.targets = targets;
    services.virtualDisplayIDs = [] { return std::vector<std::optional<vl::DisplayID>>{1}; };
    double uptime = 0;
    services.systemUptime = [&uptime] { return uptime += 0.1; };
    auto input = vl::InputService::make(services);

    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.empty()) continue;
        const auto selector = static_cast<std::uint8_t>(line[0]);
        targets->bits = selector;
        const vl::ByteView payload(reinterpret_cast<const std::uint8_t*>(line.data() + 1),
                                   line.size() - 1);
        switch (selector % 4) {
            case 0:
                if (auto event = vl::MouseEvent::fromJson(payload))
                    input->handleMouseEvent(*event, selector & 0x04 ? 1 : 2);
                break;
            case 1:
                if (auto scroll = vl::MouseScroll::fromJson(payload))
                    input->handleMiceWheel(*scroll);
                break;
            case 2:
                if (auto key = vl::KeyboardEvent::fromJson(payload)) input->handleKeyboard(*key);
                break;
            default:
                events->setLocation(vl::DisplayPoint{double(selector) * 10, -5});
                input->clampCursorInsideConstrainedDisplay();
                break;
        }
    }
    input->releaseHeldInput();
    for (auto button : {vl::MouseButton::left, vl::MouseButton::right, vl::MouseButton::middle})
        if (input->isButtonActive(button)) __builtin_trap();
    return 0;
}
