#include "platform/windows/FrameWait.h"

#include <thread>

namespace vl {

void awaitFrames(std::vector<std::size_t> waiting, std::vector<WindowError>& results,
                 std::chrono::milliseconds limit, std::chrono::milliseconds poll,
                 const std::function<std::function<FrameArrival(std::size_t)>()>& look) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!waiting.empty()) {
        const auto view = look();
        std::erase_if(waiting, [&](std::size_t i) {
            const FrameArrival arrival = view(i);
            if (arrival == FrameArrival::gone) results[i] = WindowError::notFound;
            return arrival != FrameArrival::waiting;
        });
        if (waiting.empty()) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            for (std::size_t i : waiting) results[i] = WindowError::rejected;
            return;
        }
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace vl
