// From a pointer message handed to the input role to the motion event's arrival at a window on
// a private Xvfb, beside the same motion posted with bare XTest (the baseline). Each benchmark
// reports the median and p99 latency of its iterations; compare the two in one run.
#include "input/InputService.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/x11/X11EventsService.h"

#include <benchmark/benchmark.h>
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Desktop {
    vl::test::XvfbServer xvfb{1280, 800};
    xcb_connection_t* witness = nullptr;
    xcb_window_t window = 0;

    Desktop() {
        if (!xvfb.running()) return;
        witness = xcb_connect(xvfb.name().c_str(), nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(witness)).data;
        window = xcb_generate_id(witness);
        const std::uint32_t mask[] = {XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(witness, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1280, 800, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          mask);
        xcb_map_window(witness, window);
        std::free(xcb_get_input_focus_reply(witness, xcb_get_input_focus(witness), nullptr));
    }
    ~Desktop() {
        if (witness) xcb_disconnect(witness);
    }

    // Waits for the motion event at x; false after a second without it.
    bool motionAt(int x) {
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (Clock::now() < deadline) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(witness)) {
                const bool hit = (event->response_type & 0x7F) == XCB_MOTION_NOTIFY &&
                                 reinterpret_cast<xcb_motion_notify_event_t*>(event)->event_x == x;
                std::free(event);
                if (hit) return true;
            }
            pollfd fd{xcb_get_file_descriptor(witness), POLLIN, 0};
            poll(&fd, 1, 5);
        }
        return false;
    }
};

Desktop& desktop() {
    static auto* shared = new Desktop;  // one server for the run; never destroyed mid-exit
    return *shared;
}

void report(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

void BM_BareXTestMotion(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.witness) return state.SkipWithError("no private Xvfb");
    xcb_connection_t* c = xcb_connect(d.xvfb.name().c_str(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    std::vector<double> micros;
    int x = 100;
    for (auto _ : state) {
        x = x == 100 ? 101 : 100;
        const auto start = Clock::now();
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, x, 300, 0);
        xcb_flush(c);
        if (!d.motionAt(x)) return state.SkipWithError("motion lost");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    xcb_disconnect(c);
    report(state, micros);
}
BENCHMARK(BM_BareXTestMotion)->Iterations(2000)->UseRealTime();

// kind: 0 a move (warp and hover), 2 a drag of a held button.
void BM_InputRolePointer(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.witness) return state.SkipWithError("no private Xvfb");
    vl::X11EventsService::Options options;
    options.display = d.xvfb.name();
    std::shared_ptr<vl::EventsService> events = vl::X11EventsService::open(options);
    auto displays = std::make_shared<vl::FakeDisplayService>();
    displays->addDisplay(vl::FakeDisplayService::make(1, {0, 0, 1280, 800}));
    vl::InputService::Services services;
    services.events = events;
    services.displays = displays;
    auto input = vl::InputService::make(services);
    const auto kind = static_cast<vl::MouseEventKind>(state.range(0));
    if (kind == vl::MouseEventKind::drag)
        input->handleMouseEvent({"s", vl::MouseButton::left, vl::MouseEventKind::down, 0.1, 0.375},
                                1);
    std::vector<double> micros;
    int x = 100;
    for (auto _ : state) {
        x = x == 100 ? 101 : 100;
        const auto start = Clock::now();
        input->handleMouseEvent({"s", vl::MouseButton::left, kind, x / 1280.0, 0.375}, 1);
        if (!d.motionAt(x)) return state.SkipWithError("motion lost");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    input->releaseHeldInput();
    report(state, micros);
}
BENCHMARK(BM_InputRolePointer)->Arg(0)->Arg(2)->Iterations(2000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
