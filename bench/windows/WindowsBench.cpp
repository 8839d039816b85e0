// Moving 50 application windows to another place, as a session start does, through the window
// manager of a private Xvfb: all requests sent together and confirmed together (what the window
// management uses), beside one request confirmed at a time (the baseline). Compare the two in
// one run.
#include "platform/windows/tests/WindowDesktop.h"
#include "platform/windows/x11/X11WindowService.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr int windowCount = 50;

struct Desktop {
    vl::test::WindowDesktop desktop{1920, 1080};
    std::unique_ptr<vl::X11WindowService> service;
    std::vector<vl::WindowID> windows;
    bool ready = false;

    Desktop() {
        if (!desktop.running() || !desktop.startWindowManager()) return;
        for (int i = 0; i < windowCount; ++i)
            if (!desktop.openWindow("bench-" + std::to_string(i), 300, 200, 10 + i * 5, 10 + i * 5))
                return;
        service = std::make_unique<vl::X11WindowService>(desktop.display());
        for (const auto& record : service->windowList()) windows.push_back(record.id);
        ready = windows.size() == windowCount;
    }
    // Every window's request for this round: each round moves every window somewhere new.
    std::vector<vl::WindowService::FrameRequest> round(int n) const {
        std::vector<vl::WindowService::FrameRequest> requests;
        for (std::size_t i = 0; i < windows.size(); ++i)
            requests.push_back(
                {windows[i],
                 {double(100 + (n % 2) * 600 + int(i) * 4), double(100 + int(i) * 4), 300, 200}});
        return requests;
    }
};

Desktop& desktop() {
    static Desktop d;
    return d;
}

void report(benchmark::State& state, int failures) {
    state.counters["windows"] = windowCount;
    state.counters["failed_moves"] = failures;
}

void BM_MoveWindowsOneAtATime(benchmark::State& state) {
    auto& d = desktop();
    if (!d.ready) return state.SkipWithError("no private desktop with 50 windows");
    int n = 0, failures = 0;
    for (auto _ : state)
        for (const auto& request : d.round(++n))
            failures += d.service->setFrame(request.id, request.frame) != vl::WindowError::success;
    report(state, failures);
}

void BM_MoveWindowsTogether(benchmark::State& state) {
    auto& d = desktop();
    if (!d.ready) return state.SkipWithError("no private desktop with 50 windows");
    int n = 0, failures = 0;
    for (auto _ : state)
        for (auto result : d.service->setFrames(d.round(++n)))
            failures += result != vl::WindowError::success;
    report(state, failures);
}

BENCHMARK(BM_MoveWindowsOneAtATime)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_MoveWindowsTogether)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
