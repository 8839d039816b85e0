#include "Capture/AudioTap.h"
#include "Capture/ZuAudio.h"

#include "base/testing/LogCapture.h"
#include "base/testing/ManualClock.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/fake/FakeAudioProvider.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

namespace vl {
namespace {

using namespace std::chrono_literals;

Bytes floatBytes(const std::vector<float>& samples) {
    Bytes out(samples.size() * 4);
    std::memcpy(out.data(), samples.data(), out.size());
    return out;
}

AudioStreamDescription int16(double rate, std::uint32_t channels) {
    return {rate,
            audioFormatLinearPCM,
            audioFormatFlagIsSignedInteger | audioFormatFlagIsPacked,
            2 * channels,
            1,
            2 * channels,
            channels,
            16};
}

class Recorder : public AudioTapDelegate {
  public:
    void audioTap(AudioTap&, const ZuAudioBuffer& buffer) override {
        std::lock_guard lock(mutex);
        buffers.push_back(buffer);
    }
    std::vector<ZuAudioBuffer> taken() {
        std::lock_guard lock(mutex);
        return std::exchange(buffers, {});
    }
    std::mutex mutex;
    std::vector<ZuAudioBuffer> buffers;
};

class AudioTapTest : public ::testing::Test {
  protected:
    AudioObjectID addOutput(AudioStreamDescription format) {
        const auto local = provider->addOutputDevice(audio::outputDeviceUID, format);
        device = *audio.findDevice(audio::outputDeviceUID);
        return local;
    }

    std::shared_ptr<FakeAudioProvider> provider = std::make_shared<FakeAudioProvider>();
    ZuAudio audio{std::make_shared<AudioObjectSystem>(
        std::vector<std::shared_ptr<AudioDeviceProvider>>{provider})};
    testing::ManualClock clock;
    AudioObjectID device = 0;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(AudioTapTest, MatchingFormatIsDeliveredAsReadWithoutAConverter) {
    testing::LogCapture log;
    const auto local = addOutput(AudioStreamDescription::float32(48000, 2));
    auto tap = AudioTap::make(audio, device, clock);
    tap->setDelegate(recorder);
    ASSERT_TRUE(tap->start());
    EXPECT_FALSE(tap->hasConverter());
    EXPECT_EQ(tap->deliveryFormat(), PcmFormat::float32(48000, 2));

    // A trailing partial frame is ignored.
    Bytes pcm = floatBytes({0.5f, -0.5f, 0.25f, -0.25f});
    pcm.push_back(7);
    provider->queuePCM(local, pcm);
    clock.advance(8ms);
    auto buffers = recorder->taken();
    ASSERT_EQ(buffers.size(), 1u);
    EXPECT_EQ(buffers[0].frameLength, 2u);
    EXPECT_EQ(buffers[0].samples, (std::vector<float>{0.5f, -0.5f, 0.25f, -0.25f}));
    EXPECT_FALSE(log.contains("AudioTap: converting"));
    EXPECT_TRUE(log.contains("AudioTap: started on device "));

    // Nothing read: nothing delivered.
    clock.advance(8ms);
    EXPECT_TRUE(recorder->taken().empty());
}

TEST_F(AudioTapTest, MoreThanTwoChannelsCarryADiscreteLayout) {
    addOutput(AudioStreamDescription::float32(48000, 6));
    auto tap = AudioTap::make(audio, device, clock);
    ASSERT_TRUE(tap->start());
    const std::uint32_t discrete = kAudioChannelLayoutTag_DiscreteInOrder | 6;
    EXPECT_EQ(tap->captureFormat()->channelLayoutTag, discrete);
    EXPECT_EQ(tap->deliveryFormat()->channelLayoutTag, discrete);
    EXPECT_EQ(tap->channelCount(), 6u);
    // Stereo has none.
    EXPECT_FALSE(PcmFormat::make(AudioStreamDescription::float32(48000, 6)));
    EXPECT_EQ(PcmFormat::make(AudioStreamDescription::float32(48000, 2))->channelLayoutTag, 0u);
}

TEST_F(AudioTapTest, CaptureBufferHoldsWholeFrames) {
    const auto format = *PcmFormat::make(AudioStreamDescription::float32(48000, 2));
    Bytes block(1001, 0);
    auto buffer = AudioTap::makeCaptureBuffer(block, format);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameLength, 125u);
    EXPECT_EQ(buffer->data.size(), 1000u);
    EXPECT_FALSE(AudioTap::makeCaptureBuffer(Bytes(7, 0), format));  // not one frame
    PcmFormat zero = format;
    zero.description.bytesPerFrame = 0;
    EXPECT_FALSE(AudioTap::makeCaptureBuffer(block, zero));
}

TEST_F(AudioTapTest, OtherRatesAndSampleFormatsAreConvertedTo48kFloat) {
    testing::LogCapture log;
    const auto local = addOutput(int16(44100, 2));
    auto tap = AudioTap::make(audio, device, clock);
    tap->setDelegate(recorder);
    ASSERT_TRUE(tap->start());
    EXPECT_TRUE(tap->hasConverter());
    EXPECT_TRUE(log.contains("AudioTap: converting 44100 Hz, 2 ch, int16"));

    auto converter = *PcmConverter::make(*tap->captureFormat(), *tap->deliveryFormat());
    EXPECT_EQ(converter.outputCapacity(441), 481u);

    // 441 frames of a constant: 480 frames at 48 kHz (one second of them makes 48000), same value.
    std::vector<std::int16_t> samples(441 * 2, 16384);
    Bytes pcm(samples.size() * 2);
    std::memcpy(pcm.data(), samples.data(), pcm.size());
    std::size_t frames = 0;
    for (int i = 0; i < 100; ++i) {
        provider->queuePCM(local, pcm);
        clock.advance(8ms);
        for (const auto& b : recorder->taken()) {
            EXPECT_LE(b.frameLength, 481u);
            for (float v : b.samples) ASSERT_NEAR(v, 0.5f, 1e-6);
            frames += b.frameLength;
        }
    }
    EXPECT_NEAR(double(frames), 48000.0, 2.0);
}

TEST_F(AudioTapTest, StartTwiceArmsOneTimerAndStopEndsTheReads) {
    const auto local = addOutput(AudioStreamDescription::float32(48000, 2));
    auto tap = AudioTap::make(audio, device, clock);
    tap->setDelegate(recorder);
    tap->stop();  // stopped already: harmless
    ASSERT_TRUE(tap->start());
    ASSERT_TRUE(tap->start());
    clock.advance(80ms);
    // The first fires at once, then every 8 ms: 11 reads with one timer, 22 with two.
    EXPECT_EQ(provider->getCount(local, audio::speakerPCM), 11u);

    tap->stop();
    tap->stop();
    EXPECT_FALSE(tap->isRunning());
    EXPECT_FALSE(tap->captureFormat());
    provider->queuePCM(local, floatBytes({0.1f, 0.1f}));
    clock.advance(80ms);
    EXPECT_EQ(provider->getCount(local, audio::speakerPCM), 11u);
    EXPECT_TRUE(recorder->taken().empty());
}

TEST_F(AudioTapTest, NoFormatNoTap) {
    const auto local = addOutput(AudioStreamDescription::float32(48000, 2));
    provider->failGet(local, audio::streamFormat, audiostatus::unknownProperty);
    auto tap = AudioTap::make(audio, device, clock);
    EXPECT_FALSE(tap->start());
    EXPECT_FALSE(tap->isRunning());
    // A format we cannot read (big-endian) builds no capture format either.
    provider->failGet(local, audio::streamFormat, audiostatus::noError);
    auto big = AudioStreamDescription::float32(48000, 2);
    big.formatFlags |= audioFormatFlagIsBigEndian;
    provider->setValue(local, audio::streamFormat, big);
    EXPECT_FALSE(tap->start());
}

TEST(ZuAudio, StatusStringsAndCodes) {
    EXPECT_EQ(ZuAudio::fourCC("shau"), 0x73686175u);
    EXPECT_EQ(ZuAudio::fourCC("shau"), audio::showAudio);
    EXPECT_EQ(ZuAudio::fourCC("abc"), 0u);
    EXPECT_EQ(ZuAudio::statusString(audiostatus::unknownProperty), "'who?' (2003332927)");
    EXPECT_EQ(ZuAudio::statusString(0), "0");
    EXPECT_EQ(ZuAudio::statusString(-50), "-50");
    EXPECT_EQ(ZuAudio::statusString(0x41420043), std::to_string(0x41420043));
}

TEST(ZuAudio, LookupsWaitsAndTheMicrophoneHelpers) {
    testing::LogCapture log;
    auto provider = std::make_shared<FakeAudioProvider>();
    ZuAudio audio(std::make_shared<AudioObjectSystem>(
        std::vector<std::shared_ptr<AudioDeviceProvider>>{provider}));
    EXPECT_FALSE(audio.findDevice(audio::outputDeviceUID));
    EXPECT_TRUE(
        log.contains("Vantrel Link: 🤖 CoreAudio failed to translate UID. Status code: 0"));
    EXPECT_EQ(audio.setMicPort(8792), ZuAudio::deviceNotFound);
    EXPECT_FALSE(audio.getCurrentDefaultAudioOutputDevice());

    const auto local = provider->addOutputDevice(audio::outputDeviceUID);
    const auto device = *audio.findDevice(audio::outputDeviceUID);
    // Unreadable, expecting hidden: true at once, not after the timeout.
    provider->failGet(local, audio::showAudio, audiostatus::notRunning);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(audio.waitForVisible(device, false, 5.0, 0.02));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_FALSE(audio.waitForVisible(device, true, 0.05, 0.01));
    provider->failGet(local, audio::showAudio, audiostatus::noError);

    EXPECT_EQ(audio.setUInt32(device, ZuAudio::kAudioDeviceCustomPropertyShowAudio, 1), 0);
    EXPECT_TRUE(audio.waitForVisible(device, true, 1.0, 0.02));
    provider->ignoreChannelWrites(local);
    audio.setUInt32(device, ZuAudio::kAudioDeviceCustomPropertySetChannels, 6);
    EXPECT_FALSE(audio.waitForChannels(device, ZuChannels::fivePointOne, 0.05, 0.01));
    EXPECT_TRUE(audio.waitForChannels(device, ZuChannels::stereo, 0.05, 0.01));

    const auto mic = provider->addDevice(audio::microphoneUID);
    EXPECT_EQ(audio.setMicPort(8792), 0);
    EXPECT_EQ(audio.warmupMic(), 0);
    EXPECT_EQ(audio.cooldownMic(), 0);
    EXPECT_EQ(std::get<std::uint32_t>(*provider->value(mic, audio::audioPort)), 8792u);
    EXPECT_EQ(std::get<std::uint32_t>(*provider->value(mic, audio::warm)), 1u);
    EXPECT_EQ(std::get<std::uint32_t>(*provider->value(mic, audio::cooldown)), 1u);
}

}  // namespace
}  // namespace vl
