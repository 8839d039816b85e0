// Control channel benchmarks over real QUIC on 127.0.0.1, each beside its baseline in the same
// run:
// - connect → ret200 latency once the stream is open (median and p95 over 50 connects), beside
//   the handshake of the same connections (until the stream is ready) and the round trip of a
//   bare packet echo on a plain stream;
// - the full speed test (1e9 payload bytes in 4076-byte packets): Gbit/s and CPU seconds per GB
//   of this process (server and client together), beside the same bytes pushed in the same
//   packets through a bare stream with no server logic.
#include "base/Logger.h"
#include "base/testing/PortBlock.h"
#include "client/ControlClient.h"
#include "comm/ControlServer.h"
#include "comm/KeychainIdentityManager.h"
#include "comm/SpeedTestServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

using namespace vl;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* password = "Ez3Kq$vn";

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// Echo server on a bare stream: every packet that arrives goes straight back.
struct EchoBaseline {
    std::shared_ptr<Listener> listener;
    DispatchQueue queue{"EchoQueue"};
    std::vector<std::shared_ptr<Connection>> connections;

    explicit EchoBaseline(QuicParameters parameters) {
        listener = Listener::make(0, std::move(parameters));
        listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
            connections.push_back(connection);
            connection->start(queue);
            echo(connection);
        });
        listener->start(queue);
    }
    void echo(const std::shared_ptr<Connection>& connection) {
        connection->receive(1, 65536,
                            [this, connection](std::optional<Bytes> data, bool, auto error) {
                                if (!data || error) return;
                                connection->send(std::move(*data), false, nullptr);
                                echo(connection);
                            });
    }
};

// Bulk sender on a bare stream: on the first byte received, sends `total` bytes in framed
// 4076-byte packets, one send in flight, like the speed test but with no server logic.
struct BulkBaseline {
    std::shared_ptr<Listener> listener;
    DispatchQueue queue{"BulkQueue"};
    std::vector<std::shared_ptr<Connection>> connections;
    std::int64_t total;
    Bytes payload = Bytes(4076, 0x5a);

    BulkBaseline(QuicParameters parameters, std::int64_t total) : total(total) {
        listener = Listener::make(0, std::move(parameters));
        listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
            connections.push_back(connection);
            connection->start(queue);
            connection->receive(1, 64, [this, connection](auto data, bool, auto) {
                if (data) sendFrom(connection, 0);
            });
        });
        listener->start(queue);
    }
    void sendFrom(const std::shared_ptr<Connection>& connection, std::int64_t sent) {
        if (sent >= total) return;
        auto size = static_cast<std::size_t>(std::min<std::int64_t>(4076, total - sent));
        Packet packet(PacketType::pktSpeedTestData, InteractionType::speedTest,
                      Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(size)));
        connection->send(packet.encode(), true, [this, connection, sent, size](auto error) {
            if (!error) sendFrom(connection, sent + static_cast<std::int64_t>(size));
        });
    }
};

struct Throughput {
    double seconds = 0, cpu = 0;
    std::uint64_t bytes = 0;
    double gbps() const { return bytes * 8 / seconds / 1e9; }
    double cpuPerGB() const { return cpu / (bytes / 1e9); }
};

Throughput bareBulk(const QuicParameters& server, std::int64_t total) {
    BulkBaseline baseline(server, total);
    std::string error;
    auto stream = StreamClient::open("127.0.0.1", baseline.listener->port(),
                                     std::chrono::seconds(10), &error, false);
    if (!stream) {
        std::fprintf(stderr, "baseline connect failed: %s\n", error.c_str());
        std::exit(1);
    }
    std::mutex mutex;
    std::condition_variable done;
    std::uint64_t received = 0;
    stream->setPacketHandler([&](Packet&& packet) {
        std::lock_guard lock(mutex);
        received += packet.length;
        if (received >= static_cast<std::uint64_t>(total)) done.notify_all();
    });
    double cpu0 = cpuSeconds();
    auto start = Clock::now();
    stream->send(Packet(PacketType::pktInteractiveTap, InteractionType::speedTestStart));
    std::unique_lock lock(mutex);
    done.wait_for(lock, std::chrono::minutes(5),
                  [&] { return received >= static_cast<std::uint64_t>(total); });
    Throughput t;
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    t.cpu = cpuSeconds() - cpu0;
    t.bytes = received;
    return t;
}

}  // namespace

int main() {
    Logger::shared().setWritesToStderr(false);
    vl::testing::RecordingSessionEnvironment fakes;

    vl::testing::PortBlock ports(4);
    const auto port = std::uint16_t(ports.first());
    auto server = ControlServer::make(port, DispatchQueue::dedicated("ControlRequestQueue"),
                                      "ControlServer", fakes.environment());
    server->start();
    QuicParameters serverParameters = server->quicParameters(*vl::testing::testIdentity());

    // Connect latency, beside a bare echo round trip.
    std::vector<double> connectMs, handshakeMs, echoMs;
    for (int i = 0; i < 50; ++i) {
        std::string error;
        auto opened = Clock::now();
        auto client = ControlClient::open("127.0.0.1", port, ClientIdentity{}, &error);
        handshakeMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - opened).count());
        if (!client) {
            std::fprintf(stderr, "connect failed: %s\n", error.c_str());
            return 1;
        }
        auto start = Clock::now();
        auto answer = client->connect(password);
        connectMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!answer || answer->result != InteractionType::ret200) {
            std::fprintf(stderr, "connect was not answered ret200\n");
            return 1;
        }
        client->disconnect();
    }
    {
        EchoBaseline echo(serverParameters);
        std::string error;
        auto stream = StreamClient::open("127.0.0.1", echo.listener->port(),
                                         std::chrono::seconds(10), &error);
        for (int i = 0; stream && i < 50; ++i) {
            auto start = Clock::now();
            Packet ping(PacketType::pktPing, InteractionType::keepLive, Bytes(200, 1));
            stream->send(ping);
            auto back =
                stream->waitFor([&](const Packet& p) { return p.packetId == ping.packetId; },
                                std::chrono::seconds(5));
            if (back)
                echoMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    std::printf(
        "connect->ret200   median %.3f ms  p95 %.3f ms   (bare echo round trip: median %.3f ms)\n",
        percentile(connectMs, 0.5), percentile(connectMs, 0.95),
        echoMs.empty() ? 0.0 : percentile(echoMs, 0.5));
    std::printf(
        "handshake         median %.3f ms  p95 %.3f ms   (p95 ratio connect->ret200 / "
        "handshake: %.2f)\n",
        percentile(handshakeMs, 0.5), percentile(handshakeMs, 0.95),
        percentile(connectMs, 0.95) / percentile(handshakeMs, 0.95));

    // Speed test, beside the same bytes through a bare stream.
    std::string error;
    auto client = ControlClient::open("127.0.0.1", port, ClientIdentity{}, &error);
    if (!client || !client->connect(password)) {
        std::fprintf(stderr, "speed test connect failed: %s\n", error.c_str());
        return 1;
    }
    Throughput speed;
    {
        double cpu0 = cpuSeconds();
        auto result = client->speedTest(&error);
        if (!result) {
            std::fprintf(stderr, "speed test failed: %s\n", error.c_str());
            return 1;
        }
        speed.seconds = result->seconds;
        speed.bytes = result->payloadBytes;
        speed.cpu = cpuSeconds() - cpu0;
    }
    client->disconnect();
    Throughput bare = bareBulk(serverParameters, static_cast<std::int64_t>(speed.bytes));
    std::printf("speed test        %.2f Gbit/s  %.2f CPU s/GB  (%llu bytes in %.2f s)\n",
                speed.gbps(), speed.cpuPerGB(), static_cast<unsigned long long>(speed.bytes),
                speed.seconds);
    std::printf("bare stream       %.2f Gbit/s  %.2f CPU s/GB  (%llu bytes in %.2f s)\n",
                bare.gbps(), bare.cpuPerGB(), static_cast<unsigned long long>(bare.bytes),
                bare.seconds);
    std::printf("ratio speed test / bare stream: throughput %.2f, CPU per GB %.2f\n",
                speed.gbps() / bare.gbps(), speed.cpuPerGB() / bare.cpuPerGB());
    server->stop();
    return 0;
}
