#include "comm/MicServer.h"

#include "Capture/ZuAudioEncoder.h"
#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "base/testing/MainLoop.h"
#include "client/StreamClient.h"
#include "comm/MicrophoneRelay.h"
#include "comm/testing/ReceiveLoopChecks.h"
#include "comm/testing/TestIdentity.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/fake/FakeAudioProvider.h"
#include "platform/network/fake/FakeConnection.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <cmath>
#include <cstring>

using namespace vl;
using namespace std::chrono_literals;
using vl::testing::eventually;

namespace {

// AAC-ELD access units of a 1 kHz stereo tone, as the client sends them.
std::vector<Bytes> tonePackets(std::size_t count) {
    auto encoder = ZuAudioEncoder::create(ZuChannels::stereo);
    std::vector<Bytes> units;
    std::size_t frame = 0;
    while (units.size() < count) {
        std::vector<float> pcm(480 * 2);
        for (std::size_t i = 0; i < 480; ++i, ++frame)
            pcm[2 * i] = pcm[2 * i + 1] = 0.5f * std::sin(2 * M_PI * 1000.0 * frame / 48000.0);
        for (auto& unit : encoder->encode(ZuAudioBuffer::makeInterleaved(2, std::move(pcm))))
            units.push_back(std::move(unit));
    }
    units.resize(count);
    return units;
}

Bytes framed(const Bytes& unit, PacketType type = PacketType::pktAudioStreamData) {
    return Packet(type, InteractionType::undefined, unit).encode();
}

class MicServerTest : public ::testing::Test {
  protected:
    MicServerTest() {
        provider->setValue(device, audio::micRunning, std::uint32_t(0));
        provider->setValue(device, fourCC("gone"), std::uint32_t(0));
    }
    void TearDown() override {
        server->stop();
        callbacks.sync([] {});
    }
    std::shared_ptr<FakeConnection> connect(const std::string& remote = "127.0.0.1:50000") {
        auto connection = std::make_shared<FakeConnection>(remote);
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
        return connection;
    }
    std::size_t pushes() { return provider->writes(device, audio::micPCM).size(); }
    void recording(bool on) {
        provider->setValue(device, audio::micRunning, std::uint32_t(on ? 1 : 0));
        // The listener queue, then the callback queue.
        ASSERT_TRUE(log.contains(on ? "onIOStart fired" : "onIOStop fired", 5s));
        callbacks.sync([] {});
    }

    vl::testing::LogCapture log;
    std::shared_ptr<FakeAudioProvider> provider = std::make_shared<FakeAudioProvider>();
    AudioObjectID device = provider->addDevice(audio::microphoneUID);
    std::shared_ptr<AudioObjectSystem> system = std::make_shared<AudioObjectSystem>(
        std::vector<std::shared_ptr<AudioDeviceProvider>>{provider});
    DispatchQueue callbacks{"main"};
    std::shared_ptr<ClientGate> gate = std::make_shared<ClientGate>();
    std::shared_ptr<MicServer> server =
        MicServer::make(0, std::make_shared<DispatchQueue>("MicServerQueue"), "MicServer",
                        vl::testing::testIdentity, gate, system, callbacks);
};

TEST_F(MicServerTest, PacketsAreReassembledAcrossAndWithinReceives) {
    server->start();
    auto units = tonePackets(3);
    auto connection = connect();
    ASSERT_EQ(server->activeConnection(), connection);

    Bytes two = framed(units[0]);
    Bytes second = framed(units[1]);
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(connection->deliver(two));
    EXPECT_EQ(server->decoder()->decodedCount(), 2);
    EXPECT_EQ(pushes(), 2u);
    EXPECT_TRUE(log.contains("✅ ZuAudioRender: FIRST packet decoded → 480 frames, 2ch", 2s));

    Bytes split = framed(units[2]);
    const std::size_t a = 10, b = split.size() / 2;
    connection->deliver(Bytes(split.begin(), split.begin() + a));
    connection->deliver(Bytes(split.begin() + a, split.begin() + b));
    EXPECT_EQ(server->decoder()->decodedCount(), 2);
    connection->deliver(Bytes(split.begin() + b, split.end()));
    EXPECT_EQ(server->decoder()->decodedCount(), 3);
    EXPECT_EQ(server->bufferedBytes(), 0u);

    // Each push is the decoded 480 frames, interleaved: 3,840 bytes of a tone near its level.
    auto block = std::get<Bytes>(provider->writes(device, audio::micPCM).back());
    ASSERT_EQ(block.size(), 3840u);
    std::vector<float> pcm(960);
    std::memcpy(pcm.data(), block.data(), block.size());
    float peak = 0;
    for (std::size_t i = 0; i < 480; ++i) {
        EXPECT_FLOAT_EQ(pcm[2 * i], pcm[2 * i + 1]);
        peak = std::max(peak, std::abs(pcm[2 * i]));
    }
    EXPECT_NEAR(peak, 0.5f, 0.1f);
}

TEST_F(MicServerTest, OtherTypesAreIgnoredAndAnImplausibleLengthEmptiesTheBuffer) {
    server->start();
    auto units = tonePackets(2);
    auto connection = connect();
    connection->deliver(framed(units[0], PacketType::pktVideoStreamData));
    EXPECT_EQ(server->decoder()->decodedCount(), 0);
    EXPECT_EQ(server->bufferedBytes(), 0u);

    Bytes bogus = framed(units[0]);
    bogus[18] = 0x00, bogus[19] = 0x1e, bogus[20] = 0x84, bogus[21] = 0x80;  // 2,000,000
    connection->deliver(bogus);
    EXPECT_TRUE(
        log.contains("Mic stream desync: implausible packet length 2000000; resetting buffer", 2s));
    EXPECT_EQ(server->bufferedBytes(), 0u);
    connection->deliver(framed(units[1]));  // a stream that restarts at a boundary resumes
    EXPECT_EQ(server->decoder()->decodedCount(), 1);
}

TEST_F(MicServerTest, TheHundredthPacketIsSummarised) {
    server->start();
    auto units = tonePackets(150);
    auto connection = connect();
    Bytes all;
    for (const auto& unit : units) {
        Bytes one = framed(unit);
        all.insert(all.end(), one.begin(), one.end());
    }
    connection->deliver(all);
    EXPECT_EQ(server->decoder()->decodedCount(), 150);
    EXPECT_TRUE(log.contains("🔊 ZuAudioDecoder: decoded 100, delivered 99, failures 0, peak=", 2s));
    EXPECT_EQ(log.count("ZuAudioDecoder: decoded "), 1u);
    // 150 packets at once are 1.5 s of audio: beyond the second the microphone keeps.
    EXPECT_TRUE(log.contains("the client sends faster than real time", 2s));
}

TEST_F(MicServerTest, RecordingTellsTheClientOnlyWhenOneIsConnected) {
    server->start();
    recording(true);
    EXPECT_TRUE(log.contains("MicServer: onIOStart fired (activeConnection=nil)"));
    EXPECT_TRUE(provider->writes(device, audio::warm).empty());
    recording(false);

    auto connection = connect();
    recording(true);
    // The recording state reaches the server on its own queue.
    ASSERT_TRUE(eventually([&] { return connection->sent().size() == 1u; }));
    auto start = Packet::decode(connection->sent()[0].data);
    ASSERT_TRUE(start);
    EXPECT_EQ(start->type, PacketType::pktInteractiveTap);
    EXPECT_EQ(start->subType, InteractionType::micStart);
    EXPECT_EQ(start->length, 0u);
    EXPECT_TRUE(eventually([&] { return provider->writes(device, audio::warm).size() == 1u; }));
    EXPECT_TRUE(log.contains("MicServer: sending micStart packet on port ", 2s));
    EXPECT_TRUE(log.contains("MicServer: packet sent (subType=micStart, 22 bytes)", 2s));

    recording(false);
    ASSERT_TRUE(eventually([&] { return connection->sent().size() == 2u; }));
    EXPECT_EQ(Packet::decode(connection->sent()[1].data)->subType, InteractionType::micStop);
    EXPECT_TRUE(eventually([&] { return provider->writes(device, audio::cooldown).size() == 1u; }));
}

TEST_F(MicServerTest, AStrangerIsRefusedWhileAClientIsKnown) {
    gate->setAuthorizedClientAddress("127.0.0.1");
    server->start();
    auto stranger = connect("127.0.0.9:41000");
    EXPECT_EQ(stranger->state(), ConnectionState::cancelled);
    EXPECT_EQ(server->activeConnection(), nullptr);
    auto client = connect("127.0.0.1:41001");
    EXPECT_EQ(server->activeConnection(), client);
    gate->setAuthorizedClientAddress("127.0.0.2");
    EXPECT_TRUE(eventually([&] { return server->activeConnection() == nullptr; }));
}

TEST(MicServerWithoutDevice, RunsDecodesAndDropsThePCM) {
    vl::testing::LogCapture log;
    auto system = std::make_shared<AudioObjectSystem>();
    DispatchQueue callbacks("main");
    auto server = MicServer::make(0, std::make_shared<DispatchQueue>("MicServerQueue"), "MicServer",
                                  vl::testing::testIdentity, nullptr, system, callbacks);
    EXPECT_TRUE(log.contains("Failed to start mic dropper: Virtual mic device", 2s));
    server->start();
    auto connection = std::make_shared<FakeConnection>();
    server->handleConnection(connection);
    connection->setState(ConnectionState::ready);
    connection->deliver(framed(tonePackets(1)[0]));
    EXPECT_EQ(server->decoder()->decodedCount(), 1);
    server->stop();
}

// The relay over real QUIC: the device is shown and told the port while the session runs, a
// client's stream reaches the device, and recording reaches the client.
TEST_F(MicServerTest, RelayShowsTheDeviceServesTheClientAndHidesItAgain) {
    vl::testing::MainLoop mainLoop;  // where the relay's server hears of recording
    server->stop();
    provider->setValue(device, audio::warm, std::uint32_t(1));
    MicrophoneRelay relay(vl::testing::testIdentity, system, callbacks);
    relay.startVisionProMic(MediaPort{0, gate});
    auto mic = relay.micServer();
    ASSERT_TRUE(mic && mic->isListening());
    ASSERT_TRUE(eventually([&] {
        return provider->value(device, audio::audioPort) ==
               AudioValue(std::uint32_t(mic->boundPort()));
    }));
    EXPECT_EQ(provider->value(device, audio::showAudio), AudioValue(std::uint32_t(1)));
    EXPECT_EQ(provider->writes(device, audio::cooldown).size(), 1u);  // was left warm

    // The stream reaches the server with its first bytes.
    auto client = StreamClient::connect("127.0.0.1", mic->boundPort(), StreamOptions::media());
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    for (const auto& unit : tonePackets(3))
        client->send(Packet(PacketType::pktAudioStreamData, InteractionType::undefined, unit));
    ASSERT_TRUE(eventually([&] { return mic->activeConnection() != nullptr; }, 5s));
    EXPECT_TRUE(eventually([&] { return pushes() == 3; }, 5s));

    provider->setValue(device, audio::micRunning, std::uint32_t(1));
    auto start =
        client->waitFor([](const Packet& p) { return p.subType == InteractionType::micStart; }, 5s);
    EXPECT_TRUE(start);

    relay.stopVisionProMic();
    EXPECT_EQ(relay.micServer(), nullptr);
    EXPECT_TRUE(eventually(
        [&] { return provider->value(device, audio::showAudio) == AudioValue(std::uint32_t(0)); }));
}

// The microphone host answers the device's properties; while it hangs, starting and stopping the
// relay (on the session's queue) do not wait for it, and its settings land in order once it
// answers again.
TEST_F(MicServerTest, AHungMicrophoneHostDelaysNeitherStartNorStop) {
    class HungHost final : public AudioHardware {
      public:
        explicit HungHost(std::shared_ptr<AudioHardware> inner) : inner_(std::move(inner)) {}
        AudioGetResult getProperty(AudioObjectID object, const AudioPropertyAddress& address,
                                   const std::string& qualifier) override {
            waitWhileHung();
            return inner_->getProperty(object, address, qualifier);
        }
        AudioStatus setProperty(AudioObjectID object, const AudioPropertyAddress& address,
                                const AudioValue& value) override {
            waitWhileHung();
            return inner_->setProperty(object, address, value);
        }
        AudioListenerToken addPropertyListener(AudioObjectID object,
                                               const AudioPropertyAddress& address,
                                               AudioPropertyListener listener) override {
            return inner_->addPropertyListener(object, address, std::move(listener));
        }
        void removePropertyListener(AudioListenerToken token) override {
            inner_->removePropertyListener(token);
        }
        void answerAgain() {
            std::lock_guard lock(mutex_);
            hung_ = false;
            answered_.notify_all();
        }

      private:
        void waitWhileHung() {
            std::unique_lock lock(mutex_);
            answered_.wait(lock, [&] { return !hung_; });
        }
        std::shared_ptr<AudioHardware> inner_;
        std::mutex mutex_;
        std::condition_variable answered_;
        bool hung_ = true;
    };
    server->stop();
    auto host = std::make_shared<HungHost>(system);
    {
        MicrophoneRelay relay(vl::testing::testIdentity, host, callbacks);
        relay.startVisionProMic(MediaPort{0, gate});  // returns although the host hangs
        ASSERT_TRUE(relay.micServer() && relay.micServer()->isListening());
        relay.stopVisionProMic();
        EXPECT_EQ(relay.micServer(), nullptr);
        EXPECT_NE(provider->value(device, audio::showAudio), AudioValue(std::uint32_t(1)));
        host->answerAgain();
    }
    EXPECT_TRUE(eventually([&] {
        return provider->writes(device, audio::showAudio).size() == 2 &&
               provider->value(device, audio::showAudio) == AudioValue(std::uint32_t(0));
    }));
}

TEST_F(MicServerTest, AStreamEndedOrResetByThePeerIsReceivedFromNoMore) {
    vl::testing::expectNoReceiveAfterTheStreamEnds(*server);
}

}  // namespace
