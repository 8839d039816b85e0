#include "comm/AudioServer.h"
#include "comm/SystemAudioRelay.h"

#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "client/StreamClient.h"
#include "comm/testing/ReceiveLoopChecks.h"
#include "comm/testing/TestIdentity.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/fake/FakeAudioProvider.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

namespace vl {
namespace {

using namespace std::chrono_literals;
using vl::testing::eventually;
using vl::testing::testIdentity;

// 10 ms of a stereo 1 kHz tone, as the device's speaker PCM.
Bytes tone(std::uint32_t channels, std::uint32_t frames = 480) {
    std::vector<float> s(std::size_t(frames) * channels);
    for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < channels; ++c)
            s[i * channels + c] = 0.1f * float(std::sin(2 * M_PI * 1000.0 * i / 48000.0));
    Bytes out(s.size() * 4);
    std::memcpy(out.data(), s.data(), out.size());
    return out;
}

class AudioServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        speakersLocal = provider->addDevice("speakers");
        deviceLocal = provider->addOutputDevice(audio::outputDeviceUID);
        provider->setDefaultOutput(speakersLocal);
        speakers = *audio.getCurrentDefaultAudioOutputDevice();
        device = *audio.findDevice(audio::outputDeviceUID);
    }
    void TearDown() override {
        if (server) server->stop();
    }

    std::shared_ptr<AudioServer> makeServer(ZuChannels layout,
                                            std::shared_ptr<ClientGate> gate = nullptr) {
        auto s =
            std::make_shared<AudioServer>(0, std::make_shared<DispatchQueue>("AudioServerQueue"),
                                          "AudioServer", testIdentity, std::move(gate), audio);
        s->setEncoder(ZuAudioEncoder::create(layout));
        s->setAudioChannel(layout);
        s->setZuDeviceID(device);
        return s;
    }
    std::unique_ptr<StreamClient> connectClient() {
        auto client =
            StreamClient::connect("127.0.0.1", server->boundPort(), StreamOptions::media());
        EXPECT_TRUE(client->waitForState(ConnectionState::ready));
        // A stream reaches the server with its first bytes: a packet, which comes back.
        client->send(hello);
        EXPECT_TRUE(
            client->waitFor([&](const Packet& p) { return p.packetId == hello.packetId; }, 5s));
        return client;
    }
    std::uint32_t lastWrite(AudioSelector selector) {
        auto w = provider->writes(deviceLocal, selector);
        return w.empty() ? 99 : std::get<std::uint32_t>(w.back());
    }

    const Packet hello{Uuid::random(), PacketType::pktAudioStreamData, InteractionType::rdpAudio};
    testing::LogCapture log;
    std::shared_ptr<FakeAudioProvider> provider = std::make_shared<FakeAudioProvider>();
    ZuAudio audio{std::make_shared<AudioObjectSystem>(
        std::vector<std::shared_ptr<AudioDeviceProvider>>{provider})};
    AudioObjectID speakersLocal = 0, deviceLocal = 0, speakers = 0, device = 0;
    std::shared_ptr<AudioServer> server;
};

TEST_F(AudioServerTest, StartPreparesTheDeviceAndStopGivesTheDefaultBack) {
    server = makeServer(ZuChannels::fivePointOne);
    server->start();
    EXPECT_TRUE(server->isListening());
    EXPECT_EQ(lastWrite(audio::showAudio), 1u);
    EXPECT_EQ(lastWrite(audio::setChannels), 6u);
    EXPECT_EQ(provider->defaultOutput(), deviceLocal);
    EXPECT_EQ(server->oldDefaultDeviceID(), speakers);
    EXPECT_EQ(server->audioTapInstance()->channelCount(), 6u);
    EXPECT_TRUE(log.contains("Corvane Audio device visible: true"));
    EXPECT_TRUE(log.contains("Corvane Audio setChannels(fivePointOne) status: 0"));

    server->stop();
    EXPECT_TRUE(server->stopRequested());
    EXPECT_FALSE(server->isListening());
    EXPECT_FALSE(server->audioTapInstance());
    EXPECT_EQ(lastWrite(audio::showAudio), 0u);
    EXPECT_EQ(provider->defaultOutput(), speakersLocal);
    server.reset();
}

TEST_F(AudioServerTest, WithoutDeviceOrLayoutNothingStarts) {
    server = makeServer(ZuChannels::stereo);
    server->setZuDeviceID(std::nullopt);
    server->start();
    EXPECT_FALSE(server->isListening());
    EXPECT_TRUE(provider->writes(deviceLocal, audio::showAudio).empty());
    server->stop();  // nothing to restore
    EXPECT_TRUE(log.contains("AudioServer: stop without a Corvane Audio device"));
    server.reset();

    // A device that never becomes visible stays out of the default output; channels that never
    // settle are reported with what the device says.
    provider->failSet(deviceLocal, audio::showAudio, audiostatus::illegalOperation);
    provider->ignoreChannelWrites(deviceLocal);
    auto hidden = makeServer(ZuChannels::sevenPointOne);
    hidden->start();
    EXPECT_EQ(provider->defaultOutput(), speakersLocal);
    EXPECT_TRUE(
        log.contains("Failed to show device: " + std::to_string(audiostatus::illegalOperation)));
    EXPECT_TRUE(
        log.contains("Corvane Audio channel count did not settle to sevenPointOne (got 2)"));
    hidden->stop();
}

TEST_F(AudioServerTest, CapturedAudioReachesTheClientAsAacPacketsAndClientPacketsComeBack) {
    server = makeServer(ZuChannels::stereo);
    server->start();
    auto client = connectClient();
    ASSERT_TRUE(eventually([&] { return server->activeConnection() != nullptr; }, 5s));

    for (int i = 0; i < 10; ++i) provider->queuePCM(deviceLocal, tone(2));
    auto packets = client->waitForPackets(9, 5s);
    ASSERT_GE(packets.size(), 9u);  // 4800 frames: ten packets of 480, bar the codec's priming
    std::set<std::string> ids;
    for (const auto& p : packets) {
        EXPECT_EQ(p.type, PacketType::pktAudioStreamData);
        EXPECT_EQ(p.subType, InteractionType::rdpAudio);
        ASSERT_TRUE(p.data);
        EXPECT_FALSE(p.data->empty());
        EXPECT_EQ(p.length, p.data->size());
        ids.insert(p.packetId.uuidString());
    }
    EXPECT_EQ(ids.size(), packets.size());  // a fresh id each

    // The echo: a whole packet comes back unchanged; bytes that make no packet do not.
    const Packet ping(Uuid::random(), PacketType::pktInteractiveTap, InteractionType::rdpAudio,
                      Bytes{1, 2, 3});
    client->sendBytes(Bytes{9, 9, 9});
    EXPECT_TRUE(log.contains("AudioServer: dropped 3 bytes from [", 5s));
    client->send(ping);
    auto echoed = client->waitFor([&](const Packet& p) { return p.packetId == ping.packetId; }, 5s);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->type, ping.type);
    EXPECT_EQ(echoed->subType, ping.subType);
    EXPECT_EQ(echoed->data, ping.data);
    EXPECT_TRUE(log.contains("Received packet: "));
}

TEST_F(AudioServerTest, ANewerConnectionTakesOverAndStopEndsTheSending) {
    server = makeServer(ZuChannels::stereo);
    server->start();
    auto first = connectClient();
    ASSERT_TRUE(eventually([&] { return server->activeConnection() != nullptr; }, 5s));
    const auto firstConnection = server->activeConnection();
    auto second = connectClient();
    ASSERT_TRUE(eventually([&] { return server->activeConnection() != firstConnection; }, 5s));

    for (int i = 0; i < 4; ++i) provider->queuePCM(deviceLocal, tone(2));
    EXPECT_FALSE(second->waitForPackets(2, 5s).empty());
    EXPECT_TRUE(first->packets().empty());
    // The first keeps its echo loop.
    const Packet ping(Uuid::random(), PacketType::pktInteractiveTap, InteractionType::rdpAudio);
    first->send(ping);
    EXPECT_TRUE(first->waitFor([&](const Packet& p) { return p.packetId == ping.packetId; }, 5s));

    const auto tapped = server->audioTapInstance();
    ASSERT_TRUE(tapped);
    server->stop();
    const auto sent = server->sentCount();
    const auto tap = AudioTap::make(audio, device);
    server->audioTap(*tap, ZuAudioBuffer::makeInterleaved(2, std::vector<float>(960, 0.1f)));
    // The session's tap is stopped: a capture cycle after the stop, where its timer would run
    // one, sends nothing either.
    EXPECT_FALSE(tapped->isRunning());
    provider->queuePCM(deviceLocal, tone(2, 4800));
    tapped->captureQueue().sync([&] { tapped->poll(); });
    EXPECT_EQ(server->sentCount(), sent);
    server.reset();
}

TEST_F(AudioServerTest, AStrangerIsRefusedWhileTheClientIsKnown) {
    auto gate = std::make_shared<ClientGate>();
    gate->setAuthorizedClientAddress("127.0.0.2");
    server = makeServer(ZuChannels::stereo, gate);
    server->start();
    auto stranger = StreamClient::connect("127.0.0.1", server->boundPort(), StreamOptions::media());
    ASSERT_TRUE(stranger->waitForState(ConnectionState::ready));
    stranger->send(hello);
    EXPECT_TRUE(log.contains("AudioServer: refused connection", 5s));
    EXPECT_FALSE(server->activeConnection());

    gate->setAuthorizedClientAddress("127.0.0.1");
    auto client = connectClient();
    ASSERT_TRUE(eventually([&] { return server->activeConnection() != nullptr; }, 5s));
    gate->setAuthorizedClientAddress("127.0.0.3");  // another client now: ours is dropped
    EXPECT_TRUE(eventually([&] { return server->activeConnection() == nullptr; }, 5s));
}

TEST_F(AudioServerTest, SixChannelsOnATwoChannelDeviceCountAsEncodeFailures) {
    provider->ignoreChannelWrites(deviceLocal);
    server = makeServer(ZuChannels::fivePointOne);
    server->start();
    auto client = connectClient();
    ASSERT_TRUE(eventually([&] { return server->activeConnection() != nullptr; }, 5s));
    ASSERT_EQ(server->audioTapInstance()->channelCount(), 2u);
    auto& tap = *server->audioTapInstance();
    tap.stop();  // the test hands in the buffers
    const auto stereo = ZuAudioBuffer::makeInterleaved(2, std::vector<float>(2 * 480, 0.1f));
    for (int i = 0; i < 250; ++i) server->audioTap(tap, stereo);
    EXPECT_EQ(server->encodeFailCount(), 250);
    EXPECT_EQ(server->sentCount(), 0);
    EXPECT_EQ(log.count("❌ AudioServer: encode returned no frames ("), 2u + 1u);
    EXPECT_TRUE(log.contains("encode returned no frames (100 times; encoder=ok)"));
    EXPECT_TRUE(log.contains("encode returned no frames (200 times; encoder=ok)"));
    EXPECT_TRUE(log.contains("6ch encoder (device not settled)"));
}

TEST_F(AudioServerTest, TheRelayStartsOffTheCallersQueueAndFollowsTheSoundServer) {
    auto relay = SystemAudioRelay::make(audio, testIdentity);
    EXPECT_EQ(relay->resolutionOfSupportedAudioChannels(Resolution(Resolution::RES_S2)), 6);
    relay->startAudio(6, MediaPort{0, std::make_shared<ClientGate>()});
    relay->queue().sync([] {});
    auto running = relay->audioServer();
    ASSERT_TRUE(running);
    EXPECT_TRUE(running->isListening());
    EXPECT_EQ(provider->defaultOutput(), deviceLocal);
    const auto shows = provider->writes(deviceLocal, audio::showAudio).size();

    // The sound server goes: the device cannot be read any more.
    provider->failGet(deviceLocal, audio::showAudio, audiostatus::notRunning);
    provider->setDefaultOutput(speakersLocal);
    relay->queue().sync([] {});
    EXPECT_TRUE(log.contains("🟥 System audio stopped: the sound server went away", 2s));
    // Back, with the device hidden: prepared again.
    provider->failGet(deviceLocal, audio::showAudio, audiostatus::noError);
    provider->setValue(deviceLocal, audio::showAudio, std::uint32_t(0));
    provider->setDefaultOutput(speakersLocal);
    ASSERT_TRUE(eventually(
        [&] {
            relay->queue().sync([] {});
            return provider->writes(deviceLocal, audio::showAudio).size() > shows;
        },
        5s));
    EXPECT_EQ(provider->defaultOutput(), deviceLocal);
    EXPECT_TRUE(log.contains("the sound server is back"));

    relay->stopAudio();
    relay->queue().sync([] {});
    EXPECT_FALSE(relay->audioServer());
    EXPECT_EQ(lastWrite(audio::showAudio), 0u);
    EXPECT_EQ(provider->defaultOutput(), speakersLocal);
}

}  // namespace
TEST_F(AudioServerTest, AStreamEndedOrResetByThePeerIsReceivedFromNoMore) {
    server = makeServer(ZuChannels::stereo);
    vl::testing::expectNoReceiveAfterTheStreamEnds(*server);
}

}  // namespace vl
