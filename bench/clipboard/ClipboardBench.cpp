// From a copy on a private Xvfb (another program becoming the CLIPBOARD owner) to the clipboard
// event handed to the client's sender: 1 KB of text and a 2 MB PNG (re-encoded as JPEG on the
// way). Each runs with the owner-change notification (ours) and with the 500 ms poll alone (the
// baseline); each reports median and p99 latency and the process's peak resident size so far.
#include "base/testing/MainLoop.h"
#include "input/clipboard/ClipboardSyncService.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/pasteboard/convert/ImageCodec.h"
#include "platform/pasteboard/x11/X11Pasteboard.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Desktop {
    vl::test::XvfbServer xvfb{64, 64, 85, 99};
    vl::testing::MainLoop mainLoop;
};

Desktop& desktop() {
    static auto* shared = new Desktop;  // one server for the run; never destroyed mid-exit
    return *shared;
}

// The pasteboard without its change notification: only the 500 ms poll finds copies.
class PollOnly final : public vl::Pasteboard {
  public:
    explicit PollOnly(std::shared_ptr<vl::Pasteboard> inner) : inner_(std::move(inner)) {}
    std::int64_t changeCount() override { return inner_->changeCount(); }
    std::optional<vl::Bytes> data(vl::PasteboardType type) override { return inner_->data(type); }
    std::optional<std::string> string() override { return inner_->string(); }
    std::int64_t clearContents() override { return inner_->clearContents(); }
    bool setData(vl::ByteView data, vl::PasteboardType type) override {
        return inner_->setData(data, type);
    }
    bool setString(std::string_view text) override { return inner_->setString(text); }
    void setChangeHandler(std::function<void()>) override {}

  private:
    std::shared_ptr<vl::Pasteboard> inner_;
};

vl::Bytes noisePng(int width, int height) {
    vl::Bitmap bitmap{width, height, vl::Bytes(static_cast<std::size_t>(width) * height * 4)};
    std::mt19937 random(7);
    for (std::size_t i = 0; i < bitmap.rgba.size(); ++i)
        bitmap.rgba[i] = (i % 4 == 3) ? 255 : static_cast<std::uint8_t>(random() & 0xF0);
    return vl::ImageCodec::encode(bitmap, vl::ImageFileType::png).value();
}

double peakRssMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// range(0): 0 text of 1 KB, 1 a PNG of about 2 MB. range(1): 0 notified, 1 poll alone.
void BM_DesktopCopyToClientEvent(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.xvfb.running()) return state.SkipWithError("no private Xvfb");
    const bool image = state.range(0) == 1;
    const bool pollOnly = state.range(1) == 1;
    auto quiet = [](const std::string&) {};
    std::shared_ptr<vl::Pasteboard> pasteboard =
        std::make_shared<vl::X11Pasteboard>(d.xvfb.name(), quiet);
    if (pollOnly) pasteboard = std::make_shared<PollOnly>(pasteboard);
    auto copier = std::make_unique<vl::X11Pasteboard>(d.xvfb.name(), quiet);
    auto sync = vl::ClipboardSyncService::make(pasteboard, vl::DispatchQueue::main());
    std::atomic<int> events{0};
    vl::DispatchQueue::main().sync(
        [&] { sync->startClipboardMonitor([&](const vl::ClipboardEvent&) { ++events; }); });

    const vl::Bytes png = image ? noisePng(1024, 640) : vl::Bytes{};
    state.counters["payload_kb"] = image ? png.size() / 1024.0 : 1.0;
    std::string text(1024, 'x');
    std::vector<double> millis;
    for (auto _ : state) {
        const int before = events;
        text[0] = static_cast<char>('a' + millis.size() % 26);
        const auto start = Clock::now();
        copier->clearContents();
        if (image)
            copier->setData(png, vl::PasteboardType::png);
        else
            copier->setString(text);
        while (events == before && Clock::now() - start < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (events == before) return state.SkipWithError("the copy never reached the sender");
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        // Copies land at random points of the poll period, as a person's would.
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * (millis.size() % 13)));
    }
    vl::DispatchQueue::main().sync([&] { sync->stopClipboardMonitor(); });
    std::sort(millis.begin(), millis.end());
    state.counters["p50_ms"] = millis[millis.size() / 2];
    state.counters["p99_ms"] = millis[std::min(millis.size() - 1, millis.size() * 99 / 100)];
    state.counters["peak_rss_mb"] = peakRssMegabytes();
}
BENCHMARK(BM_DesktopCopyToClientEvent)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(30)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A client image at the cap (5.5 MiB of JPEG) applied to the X pasteboard as PNG.
void BM_ClientImageAtCapToDesktop(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.xvfb.running()) return state.SkipWithError("no private Xvfb");
    auto pasteboard = std::make_shared<vl::X11Pasteboard>(d.xvfb.name(), [](const std::string&) {});
    auto sync = vl::ClipboardSyncService::make(pasteboard, vl::DispatchQueue::main());
    vl::Bitmap bitmap{2400, 2000, vl::Bytes(2400ull * 2000 * 4)};
    std::mt19937 random(11);
    for (auto& byte : bitmap.rgba) byte = static_cast<std::uint8_t>(random());
    auto jpeg = vl::ImageCodec::encode(bitmap, vl::ImageFileType::jpeg, 0.8).value();
    if (jpeg.size() > vl::ClipboardSyncService::imageCap) jpeg.resize(0);
    if (jpeg.empty()) return state.SkipWithError("test image over the cap");
    state.counters["payload_kb"] = jpeg.size() / 1024.0;
    const vl::ClipboardEvent event{"", vl::ZuPBTypes::image, jpeg};
    for (auto _ : state) vl::DispatchQueue::main().sync([&] { sync->handleClipboard(event); });
    state.counters["peak_rss_mb"] = peakRssMegabytes();
}
BENCHMARK(BM_ClientImageAtCapToDesktop)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
