// From a pointer message handed to the input role to the motion event's arrival at a window on
// a private Xvfb, beside the same motion posted with bare XTest (the baseline). Each benchmark
// reports the median and p99 latency of its iterations; compare the two in one run.
// The server's whole path — the message's bytes arriving on the control queue, decoded, handed
// to the main queue and posted — with and without a 1080p stream captured and encoded meanwhile,
// and a 240-messages-a-second pointer for 10 seconds, whose last second must lag no more than its
// first.
#include "bench/input/StreamLoad.h"
#include "comm/ControlRecords.h"
#include "input/InputService.h"
#include "input/clipboard/ClipboardSyncService.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/x11/X11EventsService.h"
#include "platform/pasteboard/convert/ImageCodec.h"
#include "platform/pasteboard/x11/X11Pasteboard.h"

#include <benchmark/benchmark.h>
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Desktop {
    vl::test::XvfbServer xvfb{1920, 1080};
    xcb_connection_t* witness = nullptr;
    xcb_window_t window = 0;

    Desktop() {
        if (!xvfb.running()) return;
        witness = xcb_connect(xvfb.name().c_str(), nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(witness)).data;
        window = xcb_generate_id(witness);
        const std::uint32_t mask[] = {XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(witness, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 400, 400, 0,
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

// The server's path for a pointer message, on one main loop for the whole run.
class ControlPath {
  public:
    explicit ControlPath(const std::string& display) {
        vl::X11EventsService::Options options;
        options.display = display;
        std::shared_ptr<vl::EventsService> events = vl::X11EventsService::open(options);
        auto displays = std::make_shared<vl::FakeDisplayService>();
        displays->addDisplay(vl::FakeDisplayService::make(1, {0, 0, 1920, 1080}));
        vl::InputService::Services services;
        services.events = events;
        services.displays = displays;
        input_ = vl::InputService::make(services);
        std::thread([] { vl::DispatchQueue::runMain(); }).detach();
    }
    // The message's bytes as the control connection hands them over.
    void arrive(std::string json) {
        control_.async([this, json = std::move(json)] {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(json.data());
            auto event = vl::MouseEvent::fromJson(vl::ByteView(bytes, json.size()));
            if (!event) return;
            vl::DispatchQueue::main().async(
                [this, event = *event] { input_->handleMouseEvent(event, 1); });
        });
    }
    static std::string move(int x, int y) {
        return vl::MouseEvent{"s", vl::MouseButton::left, vl::MouseEventKind::move, x / 1920.0,
                              y / 1080.0}
            .toJson();
    }

  private:
    vl::DispatchQueue control_{"com.corvane.vantrel.control"};
    std::shared_ptr<vl::InputService> input_;
};

ControlPath& controlPath() {
    static auto* shared = new ControlPath(desktop().xvfb.name());
    return *shared;
}

// The painted area lies outside the test window, so the stream's frames all change.
constexpr xcb_rectangle_t paintedArea{400, 0, 1520, 1080};

// The desktop, the control path and, when the argument asks for it, the stream; false (the
// benchmark skipped) when one is missing.
bool prepare(benchmark::State& state, std::unique_ptr<vl::bench::StreamLoad>& stream) {
    if (!desktop().witness) {
        state.SkipWithError("no private Xvfb");
        return false;
    }
    controlPath();
    if (!state.range(0)) return true;
    stream = std::make_unique<vl::bench::StreamLoad>(desktop().xvfb.name(), paintedArea);
    if (stream->running()) return true;
    state.SkipWithError("no capture");
    return false;
}

// A move to x through the control path, and the microseconds until the window saw it; none after
// `seconds` one-second waits without it.
std::optional<double> moveAndWait(Desktop& d, ControlPath& path, int x, int seconds) {
    const auto start = Clock::now();
    path.arrive(ControlPath::move(x, 300));
    for (int wait = 0; wait < seconds; ++wait)
        if (d.motionAt(x))
            return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return std::nullopt;
}

void BM_ControlMessageToXEvent(benchmark::State& state) {
    std::unique_ptr<vl::bench::StreamLoad> stream;
    if (!prepare(state, stream)) return;
    Desktop& d = desktop();
    ControlPath& path = controlPath();
    std::vector<double> micros;
    int x = 100;
    for (auto _ : state) {
        x = x == 100 ? 101 : 100;
        auto took = moveAndWait(d, path, x, 1);
        if (!took) return state.SkipWithError("motion lost");
        micros.push_back(*took);
        // About a client's pace, so the stream gets the machine between messages.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (stream) state.counters["frames_encoded"] = static_cast<double>(stream->encodedFrames());
    report(state, micros);
}
BENCHMARK(BM_ControlMessageToXEvent)
    ->ArgName("stream")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3000)
    ->UseRealTime();

// The pointer path while the clipboard does slow work: another program that takes the
// clipboard again and again and never answers a read (each read waits for the time-out), or the
// client's image of about 5 MB applied again and again (decoded and converted to PNG). The
// clipboard service runs on the main queue (as before: input waits behind it) or on a queue of
// its own (as the server runs it now); compare the two in one run.
class SlowClipboard {
  public:
    enum Work { silentOwner = 1, bigImage = 2 };

    SlowClipboard(const std::string& display, Work work, bool ownQueue)
        : queue_(ownQueue ? vl::DispatchQueue::dedicated("ClipboardQueue")
                          : vl::DispatchQueue::main().retain()) {
        sync_ = vl::ClipboardSyncService::make(
            std::make_shared<vl::X11Pasteboard>(display, [](const std::string&) {}), *queue_);
        vl::DispatchQueue::main().sync([&] { sync_->startClipboardMonitor([](auto&) {}); });
        if (work == silentOwner) {
            owner_ = xcb_connect(display.c_str(), nullptr);
            const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(owner_)).data;
            const xcb_window_t window = xcb_generate_id(owner_);
            xcb_create_window(owner_, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
            auto* reply =
                xcb_intern_atom_reply(owner_, xcb_intern_atom(owner_, 0, 9, "CLIPBOARD"), nullptr);
            const xcb_atom_t clipboard = reply->atom;
            std::free(reply);
            // Takes the clipboard every 300 ms and never reads its events, so never answers.
            worker_ = std::thread([this, window, clipboard] {
                while (!done_) {
                    xcb_set_selection_owner(owner_, window, clipboard, XCB_CURRENT_TIME);
                    xcb_flush(owner_);
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
            });
        } else {
            vl::ClipboardEvent image{"", vl::ZuPBTypes::image, noiseJpeg()};
            worker_ = std::thread([this, image] {
                while (!done_) {
                    // Handed over on the main queue, as the session does.
                    vl::DispatchQueue::main().async(
                        [this, image] { sync_->handleClipboard(image); });
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                }
            });
        }
    }
    ~SlowClipboard() {
        done_ = true;
        worker_.join();
        vl::DispatchQueue::main().sync([&] { sync_->stopClipboardMonitor(); });
        queue_->sync([] {});
        if (owner_) xcb_disconnect(owner_);
    }

  private:
    // Noise compresses badly: about 5 MB of JPEG, under the clipboard's cap.
    static vl::Bytes noiseJpeg() {
        vl::Bitmap bitmap{2400, 1800, vl::Bytes(std::size_t(2400) * 1800 * 4)};
        std::mt19937 random(7);
        for (auto& byte : bitmap.rgba) byte = static_cast<std::uint8_t>(random());
        for (std::size_t i = 3; i < bitmap.rgba.size(); i += 4) bitmap.rgba[i] = 255;
        auto jpeg = vl::ImageCodec::encode(bitmap, vl::ImageFileType::jpeg, 0.95);
        return jpeg.value_or(vl::Bytes{});
    }

    std::shared_ptr<vl::DispatchQueue> queue_;
    std::shared_ptr<vl::ClipboardSyncService> sync_;
    xcb_connection_t* owner_ = nullptr;
    std::atomic<bool> done_{false};
    std::thread worker_;
};

// Arguments: the slow work (1 a silent owner, 2 a big image), the clipboard's queue (0 the main
// queue, 1 its own).
void BM_ControlMessageBesideSlowClipboard(benchmark::State& state) {
    if (!desktop().witness) return state.SkipWithError("no private Xvfb");
    controlPath();
    Desktop& d = desktop();
    SlowClipboard clipboard(d.xvfb.name(), static_cast<SlowClipboard::Work>(state.range(0)),
                            state.range(1) == 1);
    ControlPath& path = controlPath();
    std::vector<double> micros;
    int x = 100;
    for (auto _ : state) {
        x = x == 100 ? 101 : 100;
        // A held main queue delays the motion beyond one wait.
        auto took = moveAndWait(d, path, x, 5);
        if (!took) return state.SkipWithError("motion lost");
        micros.push_back(*took);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    report(state, micros);
}
BENCHMARK(BM_ControlMessageBesideSlowClipboard)
    ->ArgNames({"work", "own_queue"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Iterations(1000)
    ->UseRealTime();

// 240 messages a second for 10 seconds, sent on schedule whatever the lag; the window's events
// are read on a thread of their own. Each message goes to a point of its own.
void BM_Pointer240PerSecond(benchmark::State& state) {
    std::unique_ptr<vl::bench::StreamLoad> stream;
    if (!prepare(state, stream)) return;
    Desktop& d = desktop();
    ControlPath& path = controlPath();
    constexpr int count = 2400;
    constexpr auto interval = std::chrono::microseconds(1'000'000 / 240);
    auto pointOf = [](int i) { return std::pair{10 + i % 380, 10 + (i / 380) % 380}; };
    for (auto _ : state) {
        std::vector<Clock::time_point> sent(count), arrived(count);
        std::vector<bool> seen(count, false);
        std::atomic<bool> done{false};
        std::thread reader([&] {
            int next = 0;  // events arrive in order: search forward from the last one matched
            while (!done) {
                xcb_generic_event_t* event = xcb_poll_for_event(d.witness);
                if (!event) {
                    pollfd fd{xcb_get_file_descriptor(d.witness), POLLIN, 0};
                    poll(&fd, 1, 5);
                    continue;
                }
                const auto now = Clock::now();
                if ((event->response_type & 0x7F) == XCB_MOTION_NOTIFY) {
                    auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(event);
                    for (int i = next; i < count && i < next + 64; ++i)
                        if (pointOf(i) == std::pair{int(motion->event_x), int(motion->event_y)}) {
                            arrived[i] = now;
                            seen[i] = true;
                            next = i + 1;
                            break;
                        }
                }
                std::free(event);
            }
        });
        const auto begin = Clock::now();
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_until(begin + interval * i);
            const auto [x, y] = pointOf(i);
            std::string message = ControlPath::move(x, y);
            sent[i] = Clock::now();
            path.arrive(std::move(message));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        done = true;
        reader.join();

        auto secondOf = [&](int from) {
            std::vector<double> micros;
            for (int i = from; i < from + 240; ++i)
                if (seen[i])
                    micros.push_back(
                        std::chrono::duration<double, std::micro>(arrived[i] - sent[i]).count());
            std::sort(micros.begin(), micros.end());
            return micros;
        };
        const auto first = secondOf(0);
        const auto last = secondOf(count - 240);
        std::vector<double> all;
        int lost = 0;
        for (int i = 0; i < count; ++i) {
            if (!seen[i]) {
                ++lost;
                continue;
            }
            all.push_back(std::chrono::duration<double, std::micro>(arrived[i] - sent[i]).count());
        }
        std::sort(all.begin(), all.end());
        if (!first.empty()) state.counters["first_s_p50_us"] = first[first.size() / 2];
        if (!last.empty()) state.counters["last_s_p50_us"] = last[last.size() / 2];
        if (!all.empty()) {
            state.counters["p50_us"] = all[all.size() / 2];
            state.counters["p99_us"] = all[all.size() * 99 / 100];
        }
        state.counters["lost"] = lost;
    }
    if (stream) state.counters["frames_encoded"] = static_cast<double>(stream->encodedFrames());
}
BENCHMARK(BM_Pointer240PerSecond)
    ->ArgName("stream")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
