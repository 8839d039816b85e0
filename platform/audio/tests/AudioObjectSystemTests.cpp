#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/fake/FakeAudioProvider.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

AudioObjectID translate(AudioHardware& hardware, const std::string& uid) {
    auto r = hardware.getProperty(audioSystemObject, {audio::translateUIDToDevice}, uid);
    return r.value ? std::get<std::uint32_t>(*r.value) : 0;
}

TEST(AudioObjectSystem, MergesProvidersIntoOneObjectSpace) {
    auto speakers = std::make_shared<FakeAudioProvider>();
    auto mic = std::make_shared<FakeAudioProvider>();
    const auto out = speakers->addOutputDevice(audio::outputDeviceUID);
    const auto other = speakers->addDevice("Speakers");
    const auto micDevice = mic->addDevice(audio::microphoneUID);
    AudioObjectSystem system({speakers, mic});

    const auto outID = translate(system, audio::outputDeviceUID);
    const auto micID = translate(system, audio::microphoneUID);
    ASSERT_NE(outID, 0u);
    ASSERT_NE(micID, 0u);
    EXPECT_NE(outID, micID);
    EXPECT_EQ(translate(system, "nobody"), 0u);

    // Writes reach the provider that owns the object, under its own id.
    EXPECT_EQ(system.setProperty(micID, {audio::audioPort}, std::uint32_t(8792)), 0);
    EXPECT_EQ(std::get<std::uint32_t>(*mic->value(micDevice, audio::audioPort)), 8792u);
    EXPECT_TRUE(speakers->writes(out, audio::audioPort).empty());

    // The default output goes through the provider that has one; ids of other providers'
    // objects and unknown ids are refused.
    speakers->setDefaultOutput(other);
    EXPECT_EQ(system.setProperty(audioSystemObject, {audio::defaultOutputDevice}, outID), 0);
    EXPECT_EQ(speakers->defaultOutput(), out);
    auto def = system.getProperty(audioSystemObject, {audio::defaultOutputDevice});
    EXPECT_EQ(std::get<std::uint32_t>(*def.value), outID);
    EXPECT_EQ(system.setProperty(audioSystemObject, {audio::defaultOutputDevice},
                                 std::uint32_t(0x7f000002)),
              audiostatus::badDevice);
    EXPECT_EQ(system.getProperty(0x7f000002, {audio::showAudio}).status, audiostatus::badObject);
}

TEST(AudioObjectSystem, ListenersFollowTheOwningProviderAndStopWhenRemoved) {
    auto mic = std::make_shared<FakeAudioProvider>();
    const auto device = mic->addDevice(audio::microphoneUID);
    AudioObjectSystem system;
    system.addProvider(std::make_shared<FakeAudioProvider>());
    system.addProvider(mic);
    const auto id = translate(system, audio::microphoneUID);

    int calls = 0;
    const auto token = system.addPropertyListener(id, {audio::micRunning}, [&] { ++calls; });
    ASSERT_NE(token, 0u);
    mic->setValue(device, audio::micRunning, std::uint32_t(1));
    mic->setValue(device, audio::showAudio, std::uint32_t(1));  // another property
    EXPECT_EQ(calls, 1);
    system.removePropertyListener(token);
    mic->setValue(device, audio::micRunning, std::uint32_t(0));
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vl
