// What the gestures' element lookups cost at a press, through AT-SPI against the GTK witness on a
// private desktop: the scroll-thumb test and the divider search (near a divider, on a table's
// header, in a text entry where nothing is found), each beside one hit test of the same point
// (the baseline: the unit the searches are made of). Each waits 200 ms between presses, so what
// was found for one press does not serve the next, as with a person's presses.
#include "input/ElementQueries.h"
#include "tests/input/InputDesktop.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Fixture {
    vl::test::InputDesktop desktop;
    std::shared_ptr<vl::X11WindowService> windows;
    std::shared_ptr<vl::AtspiAccessibility> accessibility;

    Fixture() {
        if (!desktop.ready()) return;
        windows = std::make_shared<vl::X11WindowService>(desktop.display());
        vl::AtspiAccessibility::Options options;
        options.timeout = std::chrono::milliseconds(500);
        options.windowAt = vl::AtspiAccessibility::frontmostWindowIn(windows);
        accessibility = vl::AtspiAccessibility::open(options);
    }
};

Fixture& fixture() {
    static auto* shared = new Fixture;  // one desktop for the run
    return *shared;
}

enum Place { nearDivider, tableHeader, entry };

vl::DisplayPoint pointAt(Place place) {
    auto& d = fixture().desktop;
    const auto handle = d.geometry("handle");
    const auto table = d.geometry("table");
    const auto field = d.geometry("entry");
    switch (place) {
        case nearDivider:
            return {handle.x + handle.width + 10, handle.y + 300};
        case tableHeader:
            return {table.x + 135, table.y + 10};
        case entry:
            break;
    }
    return {field.x + field.width / 2, field.y + field.height / 2};
}

template <typename Lookup>
void measure(benchmark::State& state, Lookup lookup) {
    if (!fixture().accessibility) return state.SkipWithError("no desktop with accessibility bus");
    std::vector<double> millis;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state.ResumeTiming();
        const auto start = Clock::now();
        lookup();
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(millis.begin(), millis.end());
    state.counters["p50_ms"] = millis[millis.size() / 2];
    state.counters["max_ms"] = millis.back();
}

void BM_HitTest(benchmark::State& state) {
    const auto point = pointAt(static_cast<Place>(state.range(0)));
    measure(state, [&] { benchmark::DoNotOptimize(fixture().accessibility->elementAt(point)); });
}
BENCHMARK(BM_HitTest)->Arg(nearDivider)->Arg(tableHeader)->Arg(entry)->Iterations(20);

void BM_SnapToDivider(benchmark::State& state) {
    const auto point = pointAt(static_cast<Place>(state.range(0)));
    vl::ElementQueries queries(fixture().accessibility);
    measure(state, [&] { benchmark::DoNotOptimize(queries.snapToDivider(point)); });
}
BENCHMARK(BM_SnapToDivider)->Arg(nearDivider)->Arg(tableHeader)->Arg(entry)->Iterations(20);

void BM_ScrollThumbAxis(benchmark::State& state) {
    const auto bar = fixture().desktop.geometry("listbar");
    vl::ElementQueries queries(fixture().accessibility);
    measure(state, [&] {
        benchmark::DoNotOptimize(queries.scrollThumbAxis({bar.x + bar.width / 2, bar.y + 15}));
    });
}
BENCHMARK(BM_ScrollThumbAxis)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
