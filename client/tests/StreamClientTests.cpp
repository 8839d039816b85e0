#include "client/StreamClient.h"

#include "base/testing/Eventually.h"
#include "comm/KeychainIdentityManager.h"
#include "platform/crypto/Rsa.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

// Listener settings with a certificate of the test's own, made once: a 2048-bit key takes a while.
const QuicParameters& listenerParameters() {
    static const QuicParameters parameters = [] {
        auto pair = rsa::generate(2048);
        auto certificate =
            KeychainIdentityManager::createSelfSignedCertificate(pair->publicKey, pair->privateKey);
        QuicParameters made;
        made.identity = TlsIdentity{pair->privateKey, *certificate};
        return made;
    }();
    return parameters;
}

// A bare listener on a free loopback port; the test writes to the streams it accepts byte by byte.
class RawServer {
  public:
    explicit RawServer(std::vector<std::string> alpn = {"vnlk"}) {
        QuicParameters parameters = listenerParameters();
        parameters.alpn = std::move(alpn);
        listener_ = Listener::make(0, parameters);
        listener_->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
            connection->start(queue_);
            {
                std::lock_guard lock(mutex_);
                accepted_.push_back(std::move(connection));
            }
            changed_.notify_all();
        });
        listener_->start(queue_);
    }
    ~RawServer() {
        listener_->cancel();
        std::lock_guard lock(mutex_);
        for (auto& connection : accepted_) connection->cancel();
    }
    std::uint16_t port() const { return listener_->port(); }
    // The client's stream reaches the server with its first bytes.
    std::shared_ptr<Connection> waitForStream() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return !accepted_.empty(); });
        return accepted_.empty() ? nullptr : accepted_.back();
    }

  private:
    DispatchQueue queue_{"RawServerQueue"};
    std::shared_ptr<Listener> listener_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Connection>> accepted_;
};

Packet tap(InteractionType subType, const std::string& text) {
    return Packet(PacketType::pktInteractiveTap, subType, bytesOf(text));
}

TEST(StreamClient, KeepsArrivingPacketsAcrossKeepalivesAndSplitWritesAndHandsOutMatchesOneByOne) {
    RawServer server;
    auto client = StreamClient::connect("127.0.0.1", server.port());
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    client->send(tap(InteractionType::keepLive, "hello"));
    auto stream = server.waitForStream();
    ASSERT_TRUE(stream);

    const Packet first = tap(InteractionType::ret200, "first");
    const Packet second = tap(InteractionType::clipboard, "second");
    const Bytes a = first.encode(), b = second.encode();
    stream->send(Bytes{0x00}, false, nullptr);
    stream->send(Bytes(a.begin(), a.begin() + 10), false, nullptr);
    // The client sees half a header first.
    ASSERT_TRUE(vl::testing::eventually([&] { return client->bytesReceived() == 11; }));
    stream->send(Bytes(a.begin() + 10, a.end()), false, nullptr);
    stream->send(Bytes{0x00, 0x00}, false, nullptr);
    stream->send(b, false, nullptr);

    auto kept = client->waitForPackets(2);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], first);
    EXPECT_EQ(kept[1], second);
    EXPECT_EQ(client->keepalives(), 3u);
    EXPECT_EQ(client->bytesReceived(), 3 + a.size() + b.size());

    // Taking the later packet leaves the earlier one kept; a packet that never comes is nothing.
    auto taken = client->waitFor(
        [](const Packet& p) { return p.subType == InteractionType::clipboard; }, 1s);
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, second);
    EXPECT_FALSE(client->waitFor(
        [](const Packet& p) { return p.subType == InteractionType::retBusy; }, 50ms));
    ASSERT_EQ(client->packets().size(), 1u);
    EXPECT_EQ(client->packets()[0], first);
}

TEST(StreamClient, AStreamLeftUnreadReceivesNothingUntilItStartsReading) {
    RawServer server;
    auto options = StreamOptions::media();
    options.reading = false;
    auto client = StreamClient::connect("127.0.0.1", server.port(), options);
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    client->registerForVideo();
    auto stream = server.waitForStream();
    ASSERT_TRUE(stream);
    const Packet frame(PacketType::pktVideoStreamData, InteractionType::rdpVideo,
                       Bytes(5000, 0x11));
    stream->send(frame.encode(), false, nullptr);

    EXPECT_TRUE(client->waitForPackets(1, 300ms).empty());
    EXPECT_EQ(client->bytesReceived(), 0u);
    client->startReading();
    client->startReading();  // a second call arms nothing more
    auto kept = client->waitForPackets(1);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0], frame);
    EXPECT_EQ(client->bytesReceived(), frame.encode().size());
}

TEST(StreamClient, OpenGivesNothingAndTheReasonWhenTheServerRefuses) {
    RawServer server({"h3"});
    std::string error;
    auto client = StreamClient::open("127.0.0.1", server.port(), 10s, &error);
    EXPECT_FALSE(client);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find("timed out"), std::string::npos) << error;
}

}  // namespace
