// Also: the CPU the new-window observer costs while nothing changes, beside none observing.
// Moving 50 application windows to another place, as a session start does, through the window
// manager of a private Xvfb: all requests sent together and confirmed together (what the window
// management uses), beside one request confirmed at a time (the baseline). Compare the two in
// one run.
#include "platform/windows/tests/WindowDesktop.h"
#include "platform/windows/x11/X11WindowService.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>
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

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Two idle seconds per iteration; the counter is the process's CPU as % of one core.
void idle(benchmark::State& state, bool observing) {
    auto& d = desktop();
    if (!d.ready) return state.SkipWithError("no private desktop with 50 windows");
    std::unique_ptr<vl::WindowObservation> observation;
    if (observing) {
        vl::WindowEvents events;
        events.windowCreated = [](vl::WindowID, vl::ProcessID) {};
        events.focusedWindowChanged = [](std::optional<vl::WindowID>) {};
        observation = d.service->observe(events);
    }
    const double cpu0 = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) std::this_thread::sleep_for(std::chrono::seconds(2));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["cpu_percent"] = 100 * (processCpuSeconds() - cpu0) / wall;
}
void BM_IdleWithoutObserver(benchmark::State& state) {
    idle(state, false);
}
void BM_IdleWithObserver(benchmark::State& state) {
    idle(state, true);
}

BENCHMARK(BM_IdleWithoutObserver)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_IdleWithObserver)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MoveWindowsOneAtATime)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_MoveWindowsTogether)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
