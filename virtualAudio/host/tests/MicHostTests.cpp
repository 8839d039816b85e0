// The virtual microphone end to end below the server: the real host with the real driver on a
// sound server started for this program (PulseAudio, and PipeWire through its pulse server, each
// with a fresh runtime folder), reached through the property channel as the server reaches it,
// with pactl and parec as independent witnesses.
#include "Capture/MicDropper.h"
#include "base/testing/CommandOutput.h"
#include "base/testing/Eventually.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/micdevice/MicDeviceProvider.h"
#include "platform/audio/pulse/PulseAudioServer.h"
#include "platform/audio/testing/TestSoundServers.h"
#include "platform/audio/testing/ToneCheck.h"
#include "platform/desktop/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/stat.h>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

std::string run(const std::string& command) {
    return testing::commandOutput(command + " 2>/dev/null");
}

bool sourceListed() {
    return run("pactl list sources").find("Description: Corvane Vision Pro Microphone") !=
           std::string::npos;
}

// The indices of the sources named corvane_mic.
std::vector<std::string> micSources() {
    std::vector<std::string> found;
    std::istringstream lines(run("pactl list short sources"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string index, name;
        fields >> index >> name;
        if (name == "corvane_mic") found.push_back(index);
    }
    return found;
}

std::vector<float> readFloats(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
    return samples;
}

// One folder and each kind of server for the whole program: starting PipeWire and its helpers
// costs more than the tests themselves.
class SoundServers : public ::testing::Environment {
  public:
    static testing::TestSoundServer* get(const std::string& kind) {
        if (directory_.empty()) {
            char pattern[] = "/tmp/vl-michost-test-XXXXXX";
            if (!mkdtemp(pattern)) return nullptr;
            directory_ = pattern;
        }
        auto& server = servers_[kind];
        if (!server) {
            server = testing::startTestSoundServer(kind, directory_ + "/" + kind);
            if (!PulseAudioServer::reachable(server->address(), 5s)) server.reset();
        }
        return server.get();
    }
    static const std::string& directory() { return directory_; }
    void TearDown() override {
        servers_.clear();
        if (!directory_.empty()) std::filesystem::remove_all(directory_);
        directory_.clear();
    }

  private:
    static inline std::string directory_;
    static inline std::map<std::string, std::unique_ptr<testing::TestSoundServer>> servers_;
};
[[maybe_unused]] auto* const soundServers = ::testing::AddGlobalTestEnvironment(new SoundServers);

class MicHostTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        server_ = SoundServers::get(GetParam());
        ASSERT_NE(server_, nullptr) << GetParam() << " did not start";
        setenv("PULSE_SERVER", server_->address().c_str(), 1);
        if (GetParam() == "pipewire") {
            ASSERT_NE(run("pactl info").find("on PipeWire"), std::string::npos)
                << run("pactl info");
        }
        directory_ = SoundServers::directory();
        startHost();
        provider = std::make_shared<MicDeviceProvider>(socketPath());
        system = std::make_shared<AudioObjectSystem>();
        system->addProvider(provider);
        ASSERT_TRUE(eventually([&] { return findDevice() != 0; }, 10s));
    }
    void TearDown() override {
        if (recorder) recorder->stop();
        if (dropper) dropper->stopControlListener();
        if (device) system->setProperty(device, {audio::showAudio}, std::uint32_t(0));
        host.stop();
    }

    std::string socketPath() const { return directory_ + "/run/vantrel-link/mic.sock"; }
    void startHost() {
        std::filesystem::create_directories(directory_ + "/run");
        auto child = ChildProcess::start(
            {{MIC_HOST_PATH, "--driver", MIC_DRIVER_PATH, "--socket", socketPath()},
             {"PULSE_SERVER=" + server_->address(), "PATH=/usr/bin"},
             directory_ + "/" + GetParam() + "-host.log"});
        ASSERT_TRUE(child);
        host = std::move(*child);
    }
    AudioObjectID findDevice() {
        auto r = system->getProperty(audioSystemObject, {audio::translateUIDToDevice},
                                     audio::microphoneUID);
        device = r.value ? std::get<std::uint32_t>(*r.value) : 0;
        return device;
    }
    void show(bool shown) {
        ASSERT_EQ(system->setProperty(device, {audio::showAudio}, std::uint32_t(shown ? 1 : 0)), 0);
    }
    void listen() {
        dropper = MicDropper::make(system, callbacks);
        dropper->onIOStart = [this] { ++starts; };
        dropper->onIOStop = [this] { ++stops; };
        dropper->startControlListener();
    }
    void record(const std::string& file) {
        auto child = ChildProcess::start(
            {{"parec", "--device=corvane_mic", "--format=float32le", "--rate=48000", "--channels=2",
              "--latency-msec=10", "--file-format=raw", file},
             {"PULSE_SERVER=" + server_->address(), "PATH=/usr/bin"},
             {}});
        ASSERT_TRUE(child);
        recorder = std::move(*child);
    }

    std::string directory_;
    testing::TestSoundServer* server_ = nullptr;
    ChildProcess host;
    std::optional<ChildProcess> recorder;
    std::shared_ptr<MicDeviceProvider> provider;
    std::shared_ptr<AudioObjectSystem> system;
    AudioObjectID device = 0;
    DispatchQueue callbacks{"callbacks"};
    std::shared_ptr<MicDropper> dropper;
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
};

TEST_P(MicHostTest, TheDeviceIsListedOnlyWhileShownAndItsChannelIsPrivate) {
    EXPECT_FALSE(sourceListed());
    show(true);
    EXPECT_TRUE(eventually(sourceListed, 10s, 50ms));
    EXPECT_EQ(system->getProperty(device, {audio::showAudio}).value, AudioValue(std::uint32_t(1)));
    show(false);
    EXPECT_TRUE(eventually([] { return !sourceListed(); }, 10s, 50ms));

    struct stat folder {};
    ASSERT_EQ(stat(std::filesystem::path(socketPath()).parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

TEST_P(MicHostTest, ARecorderGetsThePushedToneAndFlipsTheRecordingState) {
    show(true);
    ASSERT_TRUE(eventually(sourceListed, 10s, 50ms));
    listen();
    const std::string file = directory_ + "/recording.raw";
    record(file);
    ASSERT_TRUE(eventually([&] { return starts == 1; }, 10s));
    EXPECT_EQ(system->getProperty(device, {audio::micRunning}).value, AudioValue(std::uint32_t(1)));

    // Half a second of a 440 Hz tone at -12 dBFS, pushed in 10 ms blocks as the server does.
    const double peak = std::pow(10.0, -12.0 / 20);
    std::vector<float> pushed;
    for (int i = 0; i < 24000; ++i) {
        const float v = float(peak * std::sin(2 * M_PI * 440.0 * i / 48000.0));
        pushed.push_back(v);
        pushed.push_back(-v);
    }
    for (std::size_t at = 0; at < pushed.size(); at += 960)
        dropper->send(std::span<const float>(pushed).subspan(at, 960));
    // Waits for the tone itself (only its first frame is zero) and 0.1 s after it: how much
    // silence comes before it varies, and a sound server may deliver that silence in a burst.
    auto toneRecorded = [&] {
        const auto samples = readFloats(file);
        const auto tone =
            std::count_if(samples.begin(), samples.end(), [](float v) { return v != 0.0f; });
        const auto last =
            std::find_if(samples.rbegin(), samples.rend(), [](float v) { return v != 0.0f; });
        return std::size_t(tone) >= pushed.size() - 2 && last - samples.rbegin() > 9600;
    };
    ASSERT_TRUE(eventually(toneRecorded, 10s, 20ms));
    recorder->stop();
    recorder.reset();
    ASSERT_TRUE(eventually([&] { return stops == 1; }, 10s));
    EXPECT_EQ(system->getProperty(device, {audio::micRunning}).value, AudioValue(std::uint32_t(0)));

    // The recording holds exactly the pushed frames, after the silence before them.
    auto recorded = readFloats(file);
    std::size_t first = 0;
    while (first < recorded.size() && recorded[first] == 0.0f) ++first;
    first -= first % 2 + 2;  // the tone's first frame is itself silent (sin 0)
    ASSERT_LT(first + pushed.size(), recorded.size());
    std::size_t equal = 0;
    for (std::size_t i = 0; i < pushed.size(); ++i)
        if (std::fabs(recorded[first + i] - pushed[i]) < 1e-6f) ++equal;
    EXPECT_EQ(equal, pushed.size());
    std::vector<float> left;
    for (std::size_t i = first; i < first + pushed.size(); i += 2) left.push_back(recorded[i]);
    EXPECT_NEAR(testing::dominantFrequency(left, 48000), 440.0, 1.0);
    EXPECT_NEAR(testing::peakDbfs(left), -12.0, 0.1);
}

TEST_P(MicHostTest, ARestartedHostIsFoundAgainWithTheDeviceShown) {
    show(true);
    ASSERT_TRUE(eventually(sourceListed, 10s, 50ms));
    listen();
    const auto before = micSources();
    ASSERT_EQ(before.size(), 1u);
    kill(host.pid(), SIGKILL);
    ASSERT_TRUE(eventually([&] { return !host.running(); }, 5s));
    EXPECT_TRUE(eventually([&] { return !provider->connected(); }, 5s));
    EXPECT_EQ(system->getProperty(device, {audio::showAudio}).status, audiostatus::notRunning);

    startHost();
    // The provider finds the new host, gives it back the shown state; the leftover modules of
    // the killed one are replaced, not doubled.
    ASSERT_TRUE(eventually([&] { return provider->reconnections() == 1; }, 10s));
    EXPECT_TRUE(eventually(
        [&] {
            const auto now = micSources();
            return now.size() == 1 && now != before;
        },
        10s, 50ms));

    const std::string file = directory_ + "/after-restart.raw";
    record(file);
    EXPECT_TRUE(eventually([&] { return starts == 1; }, 10s));
}

INSTANTIATE_TEST_SUITE_P(SoundServers, MicHostTest,
                         ::testing::Values(std::string("pulseaudio"), std::string("pipewire")),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vl
