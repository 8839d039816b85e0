// vl_strangers: hostile load on a server's ports from another loopback address, for the tests
// that check a live session survives it. Over the given time it opens the given number of control
// connections, paced evenly, several at once:
// - half complete the handshake and then send garbage, a header announcing an oversized
//   payload, connect with a wrong password, or every sub-type without authenticating;
// - half abandon the handshake: a connection dropped before it is ready, or a datagram that only
//   looks like a QUIC Initial;
// - every tenth also tries each media port (P + 1 ... P + 9) and registers for video there.
// Every answer is checked: a stranger may get ret400, retBusy or nothing on the control port, and
// nothing at all on a media port. Prints a summary; exits 1 on any other answer.
//
//   vl_strangers --port P [--from 127.0.0.3] [--connections N] [--seconds S] [--parallel K]
//   vl_strangers --port P --finish-and-hold S [--connections N]   (streams ended at once, held)
#include "base/Base64.h"
#include "base/Logger.h"
#include "client/StreamClient.h"
#include "comm/ControlRecords.h"
#include "comm/Packet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace vl;
using namespace std::chrono;

namespace {

// The source address every UDP socket of this process is bound to before it connects: the
// server must see the strangers at another address than its client, which is on 127.0.0.1.
in_addr_t sourceAddress = 0;

}  // namespace

// Takes the place of the C library's connect for the whole process, the network library's
// sockets included: an unbound UDP socket gets our source address first.
extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    int type = 0;
    socklen_t size = sizeof type;
    sockaddr_in bound{};
    socklen_t boundSize = sizeof bound;
    if (sourceAddress && address && address->sa_family == AF_INET &&
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_DGRAM &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0 &&
        bound.sin_port == 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = sourceAddress;
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return -1;
    }
    return int(syscall(SYS_connect, fd, address, length));
}

namespace {

struct Options {
    std::uint16_t port = 0;
    std::string from = "127.0.0.3";
    int connections = 1000;
    double seconds = 120;
    int parallel = 16;
    // Instead of the flood: this many streams ended at once (FIN), held open this long.
    double finishAndHold = 0;
};

// What every stranger saw, summed.
struct Tally {
    std::mutex mutex;
    std::map<std::string, int> outcomes;  // by kind of stranger and what became of it
    std::map<std::string, int> answers;   // control answers by sub-type
    std::vector<std::string> violations;

    void count(const std::string& what) {
        std::lock_guard lock(mutex);
        ++outcomes[what];
    }
    void answered(const Packet& packet) {
        std::lock_guard lock(mutex);
        ++answers[std::string(description(packet.subType))];
        const bool allowed = packet.type == PacketType::pktInteractiveTap &&
                             (packet.subType == InteractionType::ret400 ||
                              packet.subType == InteractionType::retBusy);
        if (!allowed) violations.push_back("control answer " + packet.debugDescription());
    }
    void violation(const std::string& what) {
        std::lock_guard lock(mutex);
        violations.push_back(what);
    }
};

constexpr auto answerWait = milliseconds(300);

Packet request(InteractionType subType, Bytes payload = {}) {
    return Packet(PacketType::pktInteractiveTap, subType, std::move(payload));
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A connection that completes its handshake, then misbehaves one of four ways.
void handshakeThenMisbehave(const Options& options, int index, std::mt19937& random, Tally& tally) {
    auto client = StreamClient::connect("127.0.0.1", options.port);
    if (!client->waitForState(ConnectionState::ready, seconds(10))) {
        tally.count("handshake refused or timed out");
        return;
    }
    const int kind = (index / 2) % 5;
    switch (kind) {
        case 0: {  // garbage of any length
            Bytes garbage(std::uniform_int_distribution<int>(1, 4096)(random));
            for (auto& b : garbage) b = std::uint8_t(random());
            client->sendBytes(std::move(garbage));
            tally.count("garbage");
            break;
        }
        case 1: {  // a header announcing ~4 GiB, and a little of it
            Bytes header = request(InteractionType::connect).encode();
            header[18] = header[19] = header[20] = header[21] = 0xFF;
            header.resize(header.size() + 512, 0x41);
            client->sendBytes(std::move(header));
            tally.count("oversized length");
            break;
        }
        case 2: {  // a plausible connect with a wrong password
            ConnectReq connect;
            connect.clientDeviceID = "stranger-" + std::to_string(index);
            connect.clientDeviceName = "stranger";
            connect.clientVersion = "1.0";
            connect.password = base64Encode("guess" + std::to_string(index % 1000));
            client->send(request(InteractionType::connect, bytesOf(connect.toJson())));
            tally.count("wrong password");
            break;
        }
        case 3: {  // its stream ended at once, the connection kept open
            client->finishSending();
            tally.count("finished stream");
            break;
        }
        default: {  // every sub-type, never authenticated
            for (int raw = 0; raw <= int(InteractionType::undefined); ++raw) {
                auto subType = InteractionType(raw);
                if (subType == InteractionType::connect) continue;
                client->send(request(subType, bytesOf("{}")));
            }
            tally.count("every sub-type");
            break;
        }
    }
    for (const auto& packet : client->waitForPackets(1, answerWait)) tally.answered(packet);
    client->close();
}

// A connection given up before it is ready: the server is left holding a half-open handshake.
void abandonHandshake(const Options& options, int index, std::mt19937& random, Tally& tally) {
    if (index % 4 == 1) {
        auto client = StreamClient::connect("127.0.0.1", options.port);
        std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 5)(random)));
        tally.count(client->wasReady() ? "abandoned after ready" : "abandoned mid-handshake");
        return;  // dropped without a close
    }
    // A long-header Initial of QUIC v1 with random connection ids and an undecryptable payload.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(options.port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
        Bytes datagram(1200);
        for (auto& b : datagram) b = std::uint8_t(random());
        const std::uint8_t head[] = {0xC3, 0, 0, 0, 1, 8};
        std::memcpy(datagram.data(), head, sizeof head);
        datagram[14] = 8;                          // source connection id length
        datagram[23] = 0;                          // no token
        datagram[24] = 0x44, datagram[25] = 0x9B;  // length 1179
        (void)send(fd, datagram.data(), datagram.size(), 0);
        tally.count("fake Initial");
    }
    if (fd >= 0) close(fd);
}

// A stranger on every media port: it must never receive a byte there.
void tryMediaPorts(const Options& options, Tally& tally) {
    for (int offset = 1; offset <= 9; ++offset) {
        const auto port = std::uint16_t(options.port + offset);
        auto client = StreamClient::connect("127.0.0.1", port, StreamOptions::media());
        if (client->waitForState(ConnectionState::ready, milliseconds(500))) {
            client->registerForVideo();
            client->send(request(InteractionType::rdpVideo, bytesOf("{}")));
            std::this_thread::sleep_for(milliseconds(100));
        }
        if (client->bytesReceived() > 0)
            tally.violation("media port " + std::to_string(port) + " sent " +
                            std::to_string(client->bytesReceived()) + " bytes to a stranger");
        tally.count(client->wasReady() ? "media port: stream opened, nothing received"
                                       : "media port: no stream");
        client->close();
    }
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--port")
            options.port = std::uint16_t(std::stoi(value));
        else if (key == "--from")
            options.from = value;
        else if (key == "--connections")
            options.connections = std::stoi(value);
        else if (key == "--seconds")
            options.seconds = std::stod(value);
        else if (key == "--parallel")
            options.parallel = std::stoi(value);
        else if (key == "--finish-and-hold")
            options.finishAndHold = std::stod(value);
        else
            return false;
    }
    return options.port != 0 && argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vl_strangers --port P [--from 127.0.0.3] [--connections N] "
                     "[--seconds S] [--parallel K] [--finish-and-hold S]\n");
        return 2;
    }
    in_addr from{};
    if (inet_pton(AF_INET, options.from.c_str(), &from) != 1) {
        std::fprintf(stderr, "vl_strangers: %s is no IPv4 address\n", options.from.c_str());
        return 2;
    }
    sourceAddress = from.s_addr;
    Logger::shared().setWritesToStderr(false);

    Tally tally;
    if (options.finishAndHold > 0) {
        std::vector<std::unique_ptr<StreamClient>> held;
        for (int i = 0; i < options.connections; ++i) {
            held.push_back(StreamClient::connect("127.0.0.1", options.port));
            if (held.back()->waitForState(ConnectionState::ready, seconds(10)))
                held.back()->finishSending();
        }
        std::this_thread::sleep_for(duration<double>(options.finishAndHold));
        int open = 0;
        for (auto& client : held) open += client->isOpen();
        std::printf("strangers: %d streams ended and held %.1f s; %d still open at the end\n",
                    options.connections, options.finishAndHold, open);
        return 0;
    }

    std::atomic<int> next{0};
    const auto start = steady_clock::now();
    const auto spacing = duration<double>(options.seconds / std::max(1, options.connections));
    std::vector<std::thread> workers;
    for (int w = 0; w < options.parallel; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(std::uint32_t(w * 7919 + 1));
            for (int i = next++; i < options.connections; i = next++) {
                std::this_thread::sleep_until(start + duration_cast<nanoseconds>(spacing * i));
                if (i % 2 == 0)
                    handshakeThenMisbehave(options, i, random, tally);
                else
                    abandonHandshake(options, i, random, tally);
                if (i % 10 == 0) tryMediaPorts(options, tally);
            }
        });
    }
    for (auto& worker : workers) worker.join();

    const double took = duration<double>(steady_clock::now() - start).count();
    std::printf("strangers: %d connections from %s in %.1f s\n", options.connections,
                options.from.c_str(), took);
    for (const auto& [what, count] : tally.outcomes)
        std::printf("  %-45s %d\n", what.c_str(), count);
    for (const auto& [what, count] : tally.answers)
        std::printf("  answered %-36s %d\n", what.c_str(), count);
    for (const auto& violation : tally.violations) std::printf("VIOLATION %s\n", violation.c_str());
    std::printf("strangers: %zu violations\n", tally.violations.size());
    return tally.violations.empty() ? 0 : 1;
}
