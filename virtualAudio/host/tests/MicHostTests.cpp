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
#include "platform/desktop/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
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

// The runs of sound (frames not silent in both channels) of a stereo recording, each looked for
// bit for bit in the pushed frames after where the one before it was found.
struct Pieces {
    std::size_t runs = 0;
    std::size_t unmatched = 0;
    std::size_t matchedFrames = 0;
};

Pieces matchPieces(const std::vector<float>& recorded, const std::vector<float>& pushed) {
    auto silent = [](const float* frame) { return frame[0] == 0.0f && frame[1] == 0.0f; };
    auto same = [](const float* a, const float* b, std::size_t frames) {
        return std::memcmp(a, b, frames * 2 * sizeof(float)) == 0;
    };
    const std::size_t recordedFrames = recorded.size() / 2, pushedFrames = pushed.size() / 2;
    Pieces pieces;
    std::size_t cursor = 0;
    for (std::size_t at = 0; at < recordedFrames;) {
        if (silent(&recorded[at * 2])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < recordedFrames && !silent(&recorded[end * 2])) ++end;
        const std::size_t length = end - at;
        ++pieces.runs;
        std::size_t found = cursor;
        while (found + length <= pushedFrames &&
               !same(&recorded[at * 2], &pushed[found * 2], length))
            ++found;
        if (found + length <= pushedFrames) {
            pieces.matchedFrames += length;
            cursor = found + length;
        } else {
            ++pieces.unmatched;
        }
        at = end;
    }
    return pieces;
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
    // Waits until 0.1 s past where the tone ends: how much silence comes before it varies, and
    // a sound server may deliver that silence in a burst.
    auto toneRecorded = [&] {
        const auto samples = readFloats(file);
        const auto onset =
            std::find_if(samples.begin(), samples.end(), [](float v) { return v != 0.0f; });
        return onset != samples.end() && std::size_t(samples.end() - onset) >= pushed.size() + 9600;
    };
    ASSERT_TRUE(eventually(toneRecorded, 10s, 20ms));
    recorder->stop();
    recorder.reset();
    ASSERT_TRUE(eventually([&] { return stops == 1; }, 10s));
    EXPECT_EQ(system->getProperty(device, {audio::micRunning}).value, AudioValue(std::uint32_t(0)));

    // What was recorded is the pushed frames, bit for bit and in order. A machine that stalls
    // can make the sound server lose a cycle of its graph (silence in its place, or nothing), so
    // a few frames may be missing; none may be changed, moved or repeated.
    const auto pieces = matchPieces(readFloats(file), pushed);
    EXPECT_EQ(pieces.unmatched, 0u) << pieces.runs << " runs of sound recorded";
    EXPECT_GE(pieces.matchedFrames, pushed.size() / 2 * 9 / 10);
    if (pieces.matchedFrames + 1 < pushed.size() / 2)
        std::cout << "the sound server lost " << pushed.size() / 2 - 1 - pieces.matchedFrames
                  << " of " << pushed.size() / 2 << " frames\n";
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
