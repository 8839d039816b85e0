#include "Capture/MicDropper.h"

#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/fake/FakeAudioProvider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

using namespace vl;
using namespace std::chrono_literals;
using vl::testing::eventually;

namespace {

constexpr AudioSelector gone = fourCC("gone");

class MicDropperTest : public ::testing::Test {
  protected:
    MicDropperTest() {
        provider->setValue(device, audio::micRunning, std::uint32_t(0));
        provider->setValue(device, gone, std::uint32_t(0));
    }
    std::shared_ptr<MicDropper> listening() {
        auto dropper = MicDropper::make(system, callbacks);
        dropper->onIOStart = [this] { ++starts; };
        dropper->onIOStop = [this] { ++stops; };
        dropper->startControlListener();
        return dropper;
    }
    // Every callback dispatched so far has run.
    void settle() {
        callbacks.sync([] {});
        callbacks.sync([] {});
    }

    std::shared_ptr<FakeAudioProvider> provider = std::make_shared<FakeAudioProvider>();
    AudioObjectID device = provider->addDevice(audio::microphoneUID);
    std::shared_ptr<AudioObjectSystem> system = std::make_shared<AudioObjectSystem>(
        std::vector<std::shared_ptr<AudioDeviceProvider>>{provider});
    DispatchQueue callbacks{"callbacks"};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
};

TEST_F(MicDropperTest, TwoRecordersStartOnceAndStopOnce) {
    auto dropper = listening();
    provider->setValue(device, audio::micRunning, std::uint32_t(1));
    provider->setValue(device, gone, std::uint32_t(1));  // a second view of the same recording
    ASSERT_TRUE(eventually([&] { return starts == 1; }));
    provider->setValue(device, audio::micRunning, std::uint32_t(0));  // still running somewhere
    provider->setValue(device, gone, std::uint32_t(0));
    ASSERT_TRUE(eventually([&] { return stops == 1; }));
    provider->setValue(device, audio::micRunning, std::uint32_t(1));
    ASSERT_TRUE(eventually([&] { return starts == 2; }));
    settle();
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(stops, 1);
}

TEST_F(MicDropperTest, ARecordingInProgressIsReportedAtOnceAndListenersInstallOnce) {
    provider->setValue(device, audio::micRunning, std::uint32_t(1));
    auto dropper = listening();
    dropper->startControlListener();  // no second pair
    const auto readsBefore = provider->getCount(device, audio::micRunning);
    EXPECT_EQ(readsBefore, 1u);
    ASSERT_TRUE(eventually([&] { return starts == 1; }));

    provider->setValue(device, audio::micRunning, std::uint32_t(0));
    ASSERT_TRUE(eventually([&] { return stops == 1; }));
    settle();
    EXPECT_EQ(provider->getCount(device, audio::micRunning), readsBefore + 1);

    // Released listeners hear nothing more.
    dropper->stopControlListener();
    provider->setValue(device, audio::micRunning, std::uint32_t(1));
    settle();
    EXPECT_EQ(starts, 1);
}

TEST_F(MicDropperTest, PushesInterleavedFloatsAsOneBlock) {
    auto dropper = MicDropper::make(system, callbacks);
    dropper->setup();
    std::vector<float> samples(960);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(i) * 0.001f;
    dropper->send(samples);
    dropper->send({});
    auto writes = provider->writes(device, audio::micPCM);
    ASSERT_EQ(writes.size(), 1u);
    const Bytes& block = std::get<Bytes>(writes[0]);
    ASSERT_EQ(block.size(), 3840u);
    float third;
    std::memcpy(&third, block.data() + 8, 4);
    EXPECT_EQ(third, samples[2]);
}

TEST(MicDropperNoDevice, SetupThrowsSendsAreDroppedUntilTheDeviceAppears) {
    vl::testing::LogCapture log;
    auto provider = std::make_shared<FakeAudioProvider>();
    auto system = std::make_shared<AudioObjectSystem>(
        std::vector<std::shared_ptr<AudioDeviceProvider>>{provider});
    DispatchQueue callbacks("callbacks");
    auto dropper = MicDropper::make(system, callbacks);
    try {
        dropper->setup();
        FAIL() << "setup without a device";
    } catch (const MicDropperError& error) {
        EXPECT_EQ(error.code(), MicDropperError::Code::deviceNotFound);
        EXPECT_EQ(error.description(),
                  "Virtual mic device 'CorvaneVisionProMic_UID' not found (is the driver "
                  "installed?)");
    }
    dropper->startControlListener();  // installs nothing
    const std::vector<float> samples(4, 0.5f);
    dropper->send(samples);
    EXPECT_TRUE(log.contains("CoreAudio failed to translate UID", 2s));

    const AudioObjectID device = provider->addDevice(audio::microphoneUID);
    dropper->send(samples);
    EXPECT_EQ(provider->writes(device, audio::micPCM).size(), 1u);
    EXPECT_TRUE(dropper->deviceID());
}

}  // namespace
