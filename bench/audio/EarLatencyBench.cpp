// Sound to ear: clicks played into the desktop's default output (a low-latency playback stream,
// 5 ms writes) against their arrival in the client's decoded PCM. A click departs when the write
// holding it starts; it arrives with the first decoded packet whose peak rises above the quiet
// level; onsets that follow no click are not counted. Prints the median and p99 over the clicks.
//   bench_audio_ear HOST PORT PASSWORD [SIZE] [CLICKS]
#include "client/AudioSink.h"
#include "client/ControlClient.h"
#include "client/SessionClient.h"
#include "client/ShareRequest.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace vl;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_audio_ear HOST PORT PASSWORD [SIZE] [CLICKS]\n");
        return 2;
    }
    const std::string host = argv[1];
    const auto port = std::uint16_t(std::atoi(argv[2]));
    const std::string size = argc > 4 ? argv[4] : "1280x720@30";
    const int clicks = argc > 5 ? std::atoi(argv[5]) : 50;

    std::string error;
    auto control = ControlClient::open(host, port, ClientIdentity{}, &error);
    if (!control || !control->connect(argv[3])) {
        std::fprintf(stderr, "connect: %s\n", error.c_str());
        return 1;
    }
    SessionClient session(*control);
    auto request = ShareRequest::make(size, false, std::nullopt, &error);
    auto item = request ? session.startMain(request->descriptor, &error) : std::nullopt;
    if (!item) {
        std::fprintf(stderr, "share: %s\n", error.c_str());
        return 1;
    }
    const ZuChannels layout =
        resolutionOfSupportedAudioChannels(Resolution::from(int(item->width), int(item->height)));
    auto sink = AudioSink::open(host, std::uint16_t(item->sharedAudioPort), layout, &error);
    if (!sink) {
        std::fprintf(stderr, "audio: %s\n", error.c_str());
        return 1;
    }
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    bool quiet = true;
    sink->setOnDecoded([&](const std::vector<float>& pcm, Clock::time_point arrived) {
        float peak = 0;
        for (float v : pcm) peak = std::max(peak, std::fabs(v));
        std::lock_guard lock(mutex);
        if (quiet && peak > 0.1f) arrivals.push_back(arrived);
        quiet = peak < 0.02f;
    });
    // The server makes Corvane Audio the default output once the session runs.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    const int rate = 48000, channels = 2, chunk = 240;  // 5 ms writes
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, std::uint32_t(rate), std::uint8_t(channels)};
    pa_buffer_attr attr{};
    attr.maxlength = std::uint32_t(-1);
    attr.tlength = std::uint32_t(pa_usec_to_bytes(10000, &spec));
    attr.prebuf = std::uint32_t(-1);
    attr.minreq = std::uint32_t(-1);
    attr.fragsize = std::uint32_t(-1);
    int paError = 0;
    pa_simple* player = pa_simple_new(nullptr, "ear bench", PA_STREAM_PLAYBACK, nullptr, "clicks",
                                      &spec, nullptr, &attr, &paError);
    if (!player) {
        std::fprintf(stderr, "playback: %s\n", pa_strerror(paError));
        return 1;
    }
    const int every = 40;  // chunks between clicks: 200 ms
    const int lead = 100;  // 0.5 s of silence first
    std::vector<Clock::time_point> departures;
    std::vector<float> buffer(std::size_t(chunk) * channels);
    for (int n = 0; n < lead + every * clicks + 100; ++n) {
        const bool click = n >= lead && (n - lead) % every == 0 && (n - lead) / every < clicks;
        for (int i = 0; i < chunk; ++i)
            for (int c = 0; c < channels; ++c)
                buffer[std::size_t(i) * channels + c] =
                    click ? 0.5f * float(std::sin(2 * M_PI * 2000.0 * i / rate)) : 0.0f;
        // The click is in the sound server's hands from the write on.
        if (click) departures.push_back(Clock::now());
        if (pa_simple_write(player, buffer.data(), buffer.size() * 4, &paError) < 0) break;
    }
    pa_simple_drain(player, &paError);
    pa_simple_free(player);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    session.stop();
    control->disconnect();

    std::vector<double> ms;
    {
        std::lock_guard lock(mutex);
        if (arrivals.size() != departures.size())
            std::fprintf(stderr, "%zu clicks played, %zu heard\n", departures.size(),
                         arrivals.size());
        for (std::size_t k = 0; k < std::min(arrivals.size(), departures.size()); ++k)
            ms.push_back(
                std::chrono::duration<double, std::milli>(arrivals[k] - departures[k]).count());
    }
    if (ms.empty()) return 1;
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, std::size_t(std::ceil(0.99 * ms.size())) - 1)];
    std::printf("sound to ear (%s, %zu clicks): median %.1f ms p99 %.1f ms min %.1f ms\n",
                description(layout), ms.size(), median, p99, ms.front());
    return 0;
}
