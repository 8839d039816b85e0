// The PulseAudio backend against a real PulseAudio started for this program (fresh runtime
// folder), with pactl and paplay as independent witnesses.
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/pulse/PulseAudioProvider.h"
#include "platform/audio/pulse/PulseAudioServer.h"
#include "platform/audio/testing/TestSoundServers.h"
#include "platform/audio/testing/ToneCheck.h"
#include "platform/desktop/ChildProcess.h"

#include "base/testing/CommandOutput.h"
#include "base/testing/Eventually.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::describe;
using testing::eventually;
using testing::PulseTestServer;
using testing::TestSoundServer;
using testing::toneWindows;
using testing::toneWindowsOf;
using testing::writeToneWav;

std::string run(const std::string& command) {
    return testing::commandOutput(command + " 2>/dev/null");
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SoundServerTest : public ::testing::TestWithParam<std::string> {
  protected:
    static void TearDownTestSuite() {
        servers_.clear();
        if (!directory_.empty()) std::filesystem::remove_all(directory_);
        directory_.clear();
    }

    void SetUp() override {
        if (directory_.empty()) {
            char pattern[] = "/tmp/vl-sound-test-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            directory_ = pattern;
        }
        auto& server = servers_[GetParam()];
        if (!server) {
            const std::string folder = directory_ + "/" + GetParam();
            server = testing::startTestSoundServer(GetParam(), folder);
        }
        server_ = server.get();
        setenv("PULSE_SERVER", server_->address().c_str(), 1);
        ASSERT_TRUE(PulseAudioServer::reachable(server_->address(), 5s));
        // The desktop's own speakers: the default output before any session.
        if (!contains(sinks(), "test_speakers"))
            run("pactl load-module module-null-sink sink_name=test_speakers");
        ASSERT_TRUE(eventually([] { return contains(sinks(), "test_speakers"); }, 5s, 20ms));
        run("pactl set-default-sink test_speakers");
        ASSERT_TRUE(eventually([] { return defaultSink() == "test_speakers\n"; }, 5s, 20ms));

        provider_ = PulseAudioProvider::create({});
        ASSERT_TRUE(provider_->waitConnected(5s));
        system_ = std::make_shared<AudioObjectSystem>();
        system_->addProvider(provider_);
        auto r = system_->getProperty(audioSystemObject, {audio::translateUIDToDevice},
                                      audio::outputDeviceUID);
        ASSERT_TRUE(r.value);
        device_ = std::get<std::uint32_t>(*r.value);
        ASSERT_NE(device_, 0u);
    }
    void TearDown() override {
        if (system_) system_->setProperty(device_, {audio::showAudio}, std::uint32_t(0));
        system_.reset();
        provider_.reset();
    }

    std::optional<std::uint32_t> number(AudioSelector selector) {
        auto r = system_->getProperty(device_, {selector});
        if (!r.value) return std::nullopt;
        return std::get<std::uint32_t>(*r.value);
    }
    AudioObjectID defaultOutput() {
        auto r = system_->getProperty(audioSystemObject, {audio::defaultOutputDevice});
        return r.value ? std::get<std::uint32_t>(*r.value) : 0;
    }
    // Shows the device and waits until the server has the sink (PipeWire loads asynchronously).
    void show() {
        ASSERT_EQ(system_->setProperty(device_, {audio::showAudio}, std::uint32_t(1)), 0);
        ASSERT_TRUE(eventually([&] { return number(audio::showAudio) == 1u; }, 5s, 20ms));
    }
    static std::string sinks() { return run("pactl list short sinks"); }
    static std::string sinkLine(const std::string& name) {
        return run("pactl list short sinks | grep -P '^\\d+\\t" + name + "\\t'");
    }
    static std::string defaultSink() { return run("pactl get-default-sink"); }
    std::vector<std::string> playerEnvironment() const {
        return {"PULSE_SERVER=" + server_->address(), "PATH=/usr/bin:/bin"};
    }

    static inline std::string directory_;
    static inline std::map<std::string, std::unique_ptr<TestSoundServer>> servers_;
    TestSoundServer* server_ = nullptr;
    std::shared_ptr<PulseAudioProvider> provider_;
    std::shared_ptr<AudioObjectSystem> system_;
    AudioObjectID device_ = 0;
};

// What only our own PulseAudio lets a test do: stop and restart it.
using PulseAudioOnlyTest = SoundServerTest;

TEST_P(SoundServerTest, ShowHideLoadsTheSinkAndRestoresThePreviousDefault) {
    EXPECT_EQ(number(audio::showAudio), 0u);
    const AudioObjectID speakers = defaultOutput();
    ASSERT_NE(speakers, 0u);
    ASSERT_NE(speakers, device_);

    show();
    EXPECT_EQ(number(audio::showAudio), 1u);
    EXPECT_TRUE(contains(sinkLine("corvane_audio"), "float32le 2ch 48000Hz")) << sinks();
    EXPECT_TRUE(contains(run("pactl list sinks"), "Description: Corvane Audio"));

    ASSERT_EQ(system_->setProperty(audioSystemObject, {audio::defaultOutputDevice}, device_), 0);
    EXPECT_TRUE(eventually([] { return defaultSink() == "corvane_audio\n"; }, 5s, 20ms));
    // The backend hears of the change from the sound server's events.
    EXPECT_TRUE(eventually([&] { return defaultOutput() == device_; }, 5s, 20ms))
        << "the backend names " << defaultOutput() << " (ours is " << device_ << "), pactl "
        << defaultSink() << sinks();

    ASSERT_EQ(system_->setProperty(device_, {audio::showAudio}, std::uint32_t(0)), 0);
    EXPECT_TRUE(eventually([&] { return number(audio::showAudio) == 0u; }, 5s, 20ms));
    EXPECT_TRUE(eventually([] { return !contains(sinks(), "corvane_audio"); }, 5s, 20ms));
    EXPECT_TRUE(eventually([] { return defaultSink() == "test_speakers\n"; }, 5s, 20ms));
    EXPECT_TRUE(eventually([&] { return defaultOutput() == speakers; }, 5s, 20ms));
}

TEST_P(SoundServerTest, ChannelCountReloadsTheSinkAndKeepsItsStreams) {
    show();
    ASSERT_EQ(system_->setProperty(audioSystemObject, {audio::defaultOutputDevice}, device_), 0);
    // A player that keeps playing into the sink while it is reloaded.
    auto player = ChildProcess::start(
        {{"pacat", "--playback", "--device=corvane_audio", "--raw", "/dev/zero"},
         playerEnvironment(),
         "",
         -1});
    ASSERT_TRUE(player);
    ASSERT_TRUE(
        eventually([] { return contains(run("pactl list short sink-inputs"), "\t"); }, 5s, 20ms));

    EXPECT_EQ(system_->setProperty(device_, {audio::setChannels}, std::uint32_t(6)), 0);
    EXPECT_EQ(number(audio::setChannels), 6u);
    EXPECT_TRUE(contains(sinkLine("corvane_audio"), "float32le 6ch 48000Hz")) << sinks();
    EXPECT_TRUE(
        contains(run("pactl list sinks"),
                 "Channel Map: front-left,front-right,front-center,lfe,rear-left,rear-right"));
    auto format = system_->getProperty(device_, {audio::streamFormat});
    ASSERT_TRUE(format.value);
    EXPECT_EQ(std::get<AudioStreamDescription>(*format.value),
              AudioStreamDescription::float32(48000, 6));
    // The stream is back on the reloaded sink, which is still the default, and nothing is held.
    const std::string sinkIndex = run("pactl list short sinks | grep corvane_audio | cut -f1");
    EXPECT_TRUE(contains(run("pactl list short sink-inputs | cut -f2"), sinkIndex));
    EXPECT_TRUE(eventually([] { return defaultSink() == "corvane_audio\n"; }, 5s, 20ms));
    EXPECT_TRUE(eventually([] { return !contains(sinks(), "corvane_audio_hold"); }, 5s, 20ms));
    EXPECT_TRUE(player->running());

    EXPECT_EQ(system_->setProperty(device_, {audio::setChannels}, std::uint32_t(5)),
              audiostatus::illegalOperation);
}

TEST_P(SoundServerTest, SpeakerPCMIsWhatWasPlayedIntoTheSink) {
    show();
    // A read before anything plays: the monitor is attached and answers (silence or nothing).
    ASSERT_EQ(system_->getProperty(device_, {audio::speakerPCM}).status, 0);

    const std::string wav = directory_ + "/tone.wav";
    writeToneWav(wav, 1000.0, 0.1, 48000, 2, 1.5);
    auto player = ChildProcess::start(
        {{"paplay", "--device=corvane_audio", wav}, playerEnvironment(), "", -1});
    ASSERT_TRUE(player);
    std::vector<float> left;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (left.size() < 48000 && std::chrono::steady_clock::now() < deadline) {
        auto r = system_->getProperty(device_, {audio::speakerPCM});
        ASSERT_EQ(r.status, 0);
        const auto& bytes = std::get<Bytes>(*r.value);
        ASSERT_EQ(bytes.size() % 8, 0u);
        for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
            float l;
            std::memcpy(&l, bytes.data() + i, 4);
            if (!left.empty() || std::fabs(l) > 0.01f) left.push_back(l);  // from the tone's start
        }
        std::this_thread::sleep_for(8ms);
    }
    ASSERT_GE(left.size(), 24000u);
    left.erase(left.begin(), left.begin() + 2400);  // past the onset
    left.resize(19200);
    // Four 100 ms windows: 1 kHz at -20 dBFS, all but a glitched one.
    const auto windows = toneWindowsOf(left, 48000, 4800);
    EXPECT_GE(toneWindows(windows, 1000.0, 5.0, -20.0, 1.0), 3) << "windows: " << describe(windows);
}

TEST_P(PulseAudioOnlyTest, ALeftoverSinkIsUnloadedWhenWeConnect) {
    provider_.reset();
    system_.reset();
    run("pactl load-module module-null-sink sink_name=corvane_audio");
    run("pactl set-default-sink corvane_audio");
    ASSERT_TRUE(contains(sinks(), "corvane_audio"));

    auto fresh = PulseAudioProvider::create({});
    ASSERT_TRUE(fresh->waitConnected(5s));
    EXPECT_FALSE(contains(sinks(), "corvane_audio"));
    EXPECT_NE(defaultSink(), "corvane_audio\n");
}

TEST_P(PulseAudioOnlyTest, TheDeviceGoesWithTheServerAndComesBackWithIt) {
    show();
    // Shared: notifications may still be queued when the test ends.
    auto changes = std::make_shared<std::atomic<int>>(0);
    const auto token =
        system_->addPropertyListener(device_, {audio::showAudio}, [changes] { ++*changes; });
    auto* pulse = static_cast<PulseTestServer*>(server_);
    pulse->stop();
    ASSERT_TRUE(eventually([&] { return !provider_->connected(); }, 5s));
    EXPECT_EQ(system_->getProperty(device_, {audio::showAudio}).status, audiostatus::notRunning);
    auto gone = system_->getProperty(audioSystemObject, {audio::translateUIDToDevice},
                                     audio::outputDeviceUID);
    EXPECT_EQ(std::get<std::uint32_t>(*gone.value), 0u);

    ASSERT_TRUE(pulse->start());
    run("pactl load-module module-null-sink sink_name=test_speakers");
    run("pactl set-default-sink test_speakers");
    ASSERT_TRUE(provider_->waitConnected(5s));
    EXPECT_EQ(number(audio::showAudio), 0u);  // a new server: shown again by whoever needs it
    show();
    EXPECT_TRUE(contains(sinks(), "corvane_audio"));
    EXPECT_GT(changes->load(), 0);
    system_->removePropertyListener(token);
}

// The server's own sound server, killed, is started again where its clients look for it.
TEST(PulseAudioServer, ADeadServerIsStartedAgainAtTheSameAddress) {
    char pattern[] = "/tmp/vl-sound-restart-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    PulseAudioServer::Options options;
    options.runtimeDirectory = pattern;
    options.restartWhenDied = true;
    auto server = PulseAudioServer::start(options);
    ASSERT_TRUE(server);
    const pid_t first = server->pid();
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return server->pid() > 0 && server->pid() != first; }, 10s, 50ms));
    EXPECT_TRUE(PulseAudioServer::reachable(server->address(), 5s));
    server->stop();
    EXPECT_FALSE(server->running());
    std::filesystem::remove_all(pattern);
}

INSTANTIATE_TEST_SUITE_P(SoundServers, SoundServerTest,
                         ::testing::Values(std::string("pulseaudio"), std::string("pipewire")));
INSTANTIATE_TEST_SUITE_P(SoundServers, PulseAudioOnlyTest,
                         ::testing::Values(std::string("pulseaudio")));

}  // namespace
}  // namespace vl
