// The session's audio role on a real PulseAudio started by the test, which the test kills and
// starts again mid-session: the audio stops with a report and resumes once the server is back.
#include "comm/SystemAudioRelay.h"

#include "base/testing/CommandOutput.h"
#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "comm/testing/TestIdentity.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/pulse/PulseAudioProvider.h"
#include "platform/audio/pulse/PulseAudioServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vl {
namespace {

using namespace std::chrono_literals;
using vl::testing::eventually;

std::string pactl(const std::string& arguments) {
    return testing::commandOutput("pactl " + arguments + " 2>/dev/null");
}

TEST(SystemAudioOnPulseAudio, AudioStopsWithTheSoundServerAndResumesWhenItIsBack) {
    testing::LogCapture log;
    char pattern[] = "/tmp/vl-audio-relay-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    auto sound = PulseAudioServer::start({"pulseaudio", folder + "/run"});
    ASSERT_TRUE(sound);
    setenv("PULSE_SERVER", sound->address().c_str(), 1);
    pactl("load-module module-null-sink sink_name=test_speakers");
    pactl("set-default-sink test_speakers");

    auto provider = PulseAudioProvider::create({sound->address()});
    ASSERT_TRUE(provider->waitConnected(5s));
    auto hardware = std::make_shared<AudioObjectSystem>();
    hardware->addProvider(provider);
    auto relay = SystemAudioRelay::make(ZuAudio(hardware), vl::testing::testIdentity);
    relay->startAudio(2, MediaPort{0, std::make_shared<ClientGate>()});
    relay->queue().sync([] {});
    auto server = relay->audioServer();
    ASSERT_TRUE(server);
    EXPECT_EQ(pactl("get-default-sink"), "corvane_audio\n");
    // The idle sink's monitor still delivers (silence): the tap captures.
    ASSERT_TRUE(eventually([&] { return server->capturedCount() > 10; }, 5s));

    sound->stop();
    EXPECT_TRUE(log.contains("🟥 System audio stopped: the sound server went away", 5s));
    const auto capturedWhileAway = server->capturedCount();
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(server->capturedCount(), capturedWhileAway + 1);

    sound = PulseAudioServer::start({"pulseaudio", folder + "/run"});
    ASSERT_TRUE(sound);
    EXPECT_TRUE(log.contains("the sound server is back", 5s));
    EXPECT_TRUE(
        eventually([] { return pactl("get-default-sink") == "corvane_audio\n"; }, 5s, 20ms));
    EXPECT_TRUE(eventually([&] { return server->capturedCount() > capturedWhileAway + 10; }, 5s));

    relay->stopAudio();
    relay->queue().sync([] {});
    EXPECT_TRUE(eventually(
        [] { return pactl("list short sinks").find("corvane_audio") == std::string::npos; }, 5s,
        20ms));
    relay.reset();
    provider.reset();
    sound.reset();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vl
