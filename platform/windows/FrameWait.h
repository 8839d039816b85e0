// platform/windows: waiting for a window manager to apply frame requests already sent.
#pragma once

#include "platform/windows/Interface.h"

#include <chrono>
#include <functional>
#include <vector>

namespace vl {

// Where a requested window stands at one look.
enum class FrameArrival { arrived, waiting, gone };

// Polls until every request in `waiting` (indexes into `results`) has arrived, at most `limit`.
// Each poll calls `look` once for a fresh view of the windows and asks that view about each
// request still waiting. A gone window is `notFound`; one still waiting at the end, `rejected`.
void awaitFrames(std::vector<std::size_t> waiting, std::vector<WindowError>& results,
                 std::chrono::milliseconds limit, std::chrono::milliseconds poll,
                 const std::function<std::function<FrameArrival(std::size_t)>()>& look);

}  // namespace vl
