// QUIC transport benchmarks over loopback, each side in its own process so neither shares the
// other's network thread, beside Debian's GnuTLS-based sample server and client run the same way
// in the same run:
// - bulk: 1e9 payload bytes server -> client in framed packets of 4076 payload bytes; Gbit/s of
//   payload and CPU seconds per GB (server and client processes together), and our/their ratio;
// - handshake to ready: connect until the client's stream is ready, in milliseconds;
// - idle connections: the server's heap and resident memory per accepted idle connection.
//
//   bench_quic [--bytes N] [--rounds R] [--window W] [--idle N] [--handshakes N] [--speedtest]
//
// W is the number of sends kept in flight by the server (1 sends the next packet only once the
// previous one is handed to the transport). --speedtest serves the bulk transfer with the
// product's speed-test server instead (10^9 bytes, one send in flight; --bytes and --window do
// not apply).
#include "comm/KeychainIdentityManager.h"
#include "comm/Packet.h"
#include "comm/SpeedTestServer.h"
#include "platform/crypto/Rsa.h"
#include "platform/network/Interface.h"

#include "base/Base64.h"
#include "base/testing/PortBlock.h"
#include "base/testing/SpawnedProgram.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace vl;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t payloadPerPacket = 4076;
const char* const sampleClient = "/usr/bin/gtlsclient";
const char* const sampleServer = "/usr/sbin/gtlsserver";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, ByteView bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::string pem(const char* label, ByteView der) {
    std::string text = std::string("-----BEGIN ") + label + "-----\n";
    std::string body = base64Encode(der);
    for (std::size_t at = 0; at < body.size(); at += 64) text += body.substr(at, 64) + "\n";
    return text + "-----END " + label + "-----\n";
}

std::string self() {
    return fs::read_symlink("/proc/self/exe").string();
}

// ---- our server process --------------------------------------------------------------------

// Serves each connection's request "<bytes> <window>" with that many payload bytes in packets of
// 4076, keeping `window` sends in flight.
class BulkSender : public std::enable_shared_from_this<BulkSender> {
  public:
    BulkSender(std::shared_ptr<Connection> connection, DispatchQueue& queue)
        : connection_(std::move(connection)), queue_(queue) {
        chunk_.resize(payloadPerPacket);
        for (std::size_t i = 0; i < chunk_.size(); ++i)
            chunk_[i] = static_cast<std::uint8_t>(i * 7);
    }
    void begin() {
        auto self = shared_from_this();
        connection_->setStateUpdateHandler(
            [self](ConnectionState state, std::optional<NetworkError>) {
                if (state == ConnectionState::ready) self->awaitRequest();
            });
        connection_->start(queue_);
    }

  private:
    void awaitRequest() {
        auto self = shared_from_this();
        connection_->receive(Packet::headerSize, 4096,
                             [self](std::optional<Bytes> data, bool, std::optional<NetworkError>) {
                                 if (!data) return;
                                 auto request = Packet::decode(*data);
                                 if (!request || !request->data) return;
                                 std::istringstream fields(stringOf(*request->data));
                                 fields >> self->remaining_ >> self->window_;
                                 self->window_ = std::max<std::size_t>(self->window_, 1);
                                 self->sendMore();
                                 self->awaitRequest();
                             });
    }
    void sendMore() {
        while (inFlight_ < window_ && remaining_ > 0) {
            std::size_t n = std::min<std::uint64_t>(payloadPerPacket, remaining_);
            remaining_ -= n;
            ++inFlight_;
            Packet packet(PacketType::pktSpeedTestData, InteractionType::speedTest,
                          Bytes(chunk_.begin(), chunk_.begin() + static_cast<std::ptrdiff_t>(n)));
            connection_->send(packet.encode(), true,
                              [self = shared_from_this()](std::optional<NetworkError> error) {
                                  --self->inFlight_;
                                  if (error) {
                                      self->remaining_ = 0;
                                      return;
                                  }
                                  self->sendMore();
                              });
        }
    }

    std::shared_ptr<Connection> connection_;
    DispatchQueue& queue_;
    Bytes chunk_;
    std::uint64_t remaining_ = 0;
    std::size_t window_ = 1;
    std::size_t inFlight_ = 0;
};

std::optional<TlsIdentity> loadIdentity(const fs::path& directory) {
    std::string key = readFile(directory / "key.der"),
                certificate = readFile(directory / "cert.der");
    if (key.empty() || certificate.empty()) return std::nullopt;
    return TlsIdentity{bytesOf(key), bytesOf(certificate)};
}

std::size_t heapInUse() {
    return mallinfo2().uordblks;
}

std::size_t residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    return 0;
}

// server <dir> <port> [idle <n> <report file>]
int runServer(int argc, char** argv) {
    auto identity = loadIdentity(argv[2]);
    if (!identity) return 2;
    QuicParameters parameters;
    parameters.identity = identity;
    auto listener = Listener::make(static_cast<std::uint16_t>(std::atoi(argv[3])), parameters);
    DispatchQueue queue("BenchServerQueue");
    bool idle = argc > 6 && std::string(argv[4]) == "idle";

    if (!idle) {
        listener->setNewConnectionHandler([&queue](std::shared_ptr<Connection> connection) {
            std::make_shared<BulkSender>(connection, queue)->begin();
        });
        listener->start(queue);
        for (;;) ::pause();
    }

    // Idle connections: each accepted, started and waiting in a receive, as a server holds them.
    std::size_t wanted = std::strtoul(argv[5], nullptr, 10);
    fs::path report = argv[6];
    std::vector<std::shared_ptr<Connection>> held;
    std::size_t greeted = 0;
    std::mutex mutex;
    std::condition_variable changed;
    listener->setStateUpdateHandler([&](ListenerState state, std::optional<NetworkError>) {
        if (state != ListenerState::ready) return;
        std::ofstream(report) << heapInUse() << " " << residentBytes() << "\n";
    });
    listener->setNewConnectionHandler([&](std::shared_ptr<Connection> connection) {
        held.push_back(connection);
        connection->start(queue);
        connection->receive(
            1, 4096, [&, connection](std::optional<Bytes>, bool, std::optional<NetworkError>) {
                std::lock_guard lock(mutex);
                ++greeted;
                changed.notify_all();
                connection->receive(1, 4096,
                                    [](std::optional<Bytes>, bool, std::optional<NetworkError>) {});
            });
    });
    listener->start(queue);
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return greeted >= wanted; });
    }
    std::this_thread::sleep_for(500ms);  // acknowledgements settle
    queue.sync([&] {
        std::ofstream(report, std::ios::app)
            << heapInUse() << " " << residentBytes() << " " << held.size() << "\n";
    });
    for (;;) ::pause();
}

// speedtest-server <dir> <port>: the speed-test server as the control server starts it.
int runSpeedTestServer(char** argv) {
    auto identity = loadIdentity(argv[2]);
    if (!identity) return 2;
    auto server =
        std::make_shared<SpeedTestServer>(static_cast<std::uint16_t>(std::atoi(argv[3])),
                                          std::make_shared<DispatchQueue>("SpeedTestRequestQueue"),
                                          "SpeedTestServer", [identity] { return identity; });
    server->start();
    for (;;) ::pause();
}

// ---- our client process --------------------------------------------------------------------

struct Waiter {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    void finish() {
        std::lock_guard lock(mutex);
        done = true;
        changed.notify_all();
    }
    bool wait(milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return done; });
    }
};

// Counts the framed packets of the stream without copying it.
class FrameCounter {
  public:
    // False when a header is not a speed-test data packet.
    bool take(ByteView bytes) {
        while (!bytes.empty()) {
            if (payloadLeft_ > 0) {
                std::size_t n = std::min<std::uint64_t>(payloadLeft_, bytes.size());
                payloadLeft_ -= n;
                payload += n;
                bytes = bytes.subspan(n);
                continue;
            }
            std::size_t n = std::min(Packet::headerSize - header_.size(), bytes.size());
            header_.insert(header_.end(), bytes.begin(),
                           bytes.begin() + static_cast<std::ptrdiff_t>(n));
            bytes = bytes.subspan(n);
            if (header_.size() < Packet::headerSize) continue;
            auto packet = Packet::decodeHeader(header_);
            header_.clear();
            if (!packet || packet->type != PacketType::pktSpeedTestData) return false;
            payloadLeft_ = packet->length;
            ++packets;
        }
        return true;
    }
    std::uint64_t payload = 0;
    std::uint64_t packets = 0;

  private:
    Bytes header_;
    std::uint64_t payloadLeft_ = 0;
};

// client <port> <bytes> <window> <report file>
int runClient(char** argv) {
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    std::uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
    std::string window = argv[4];
    DispatchQueue queue("BenchClientQueue");
    Waiter ready, finished;
    FrameCounter counter;
    bool corrupt = false;
    steady_clock::time_point begun, readyAt, requested, ended;

    auto connection = connectQuic("127.0.0.1", port, QuicParameters{});
    connection->setStateUpdateHandler([&](ConnectionState state, std::optional<NetworkError>) {
        if (state == ConnectionState::ready) {
            readyAt = steady_clock::now();
            ready.finish();
        } else if (state == ConnectionState::failed) {
            finished.finish();
        }
    });
    std::function<void()> arm = [&] {
        connection->receive(1, 65536,
                            [&](std::optional<Bytes> data, bool, std::optional<NetworkError>) {
                                if (!data) {
                                    finished.finish();
                                    return;
                                }
                                if (!counter.take(*data)) corrupt = true;
                                if (counter.payload >= bytes || corrupt) {
                                    ended = steady_clock::now();
                                    finished.finish();
                                    return;
                                }
                                arm();
                            });
    };
    begun = steady_clock::now();
    connection->start(queue);
    if (!ready.wait(10s)) return 3;
    queue.sync([&] {
        requested = steady_clock::now();
        Packet request(PacketType::pktInteractiveTap, InteractionType::speedTestStart,
                       bytesOf(std::to_string(bytes) + " " + window));
        connection->send(request.encode(), true, nullptr);
        arm();
    });
    if (!finished.wait(600s)) return 4;
    if (corrupt || counter.payload != bytes) return 5;
    std::ofstream(argv[5]) << duration<double, std::milli>(readyAt - begun).count() << " "
                           << duration<double>(ended - requested).count() << " " << counter.packets
                           << "\n";
    std::_Exit(0);
}

// handshakes <port> <count> <report file>: one connection after another: the time until the
// stream is ready, then the time from a request written on the fresh stream until the first byte
// of its answer (one packet of one payload byte).
int runHandshakes(char** argv) {
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    int count = std::atoi(argv[3]);
    DispatchQueue queue("BenchClientQueue");
    std::vector<double> times, answers;
    for (int i = 0; i < count; ++i) {
        Waiter ready, answered;
        auto connection = connectQuic("127.0.0.1", port, QuicParameters{});
        connection->setStateUpdateHandler([&](ConnectionState state, std::optional<NetworkError>) {
            if (state == ConnectionState::ready || state == ConnectionState::failed) ready.finish();
        });
        auto begun = steady_clock::now();
        connection->start(queue);
        if (!ready.wait(10s) || connection->state() != ConnectionState::ready) return 3;
        times.push_back(duration<double, std::milli>(steady_clock::now() - begun).count());
        steady_clock::time_point requested;
        queue.sync([&] {
            requested = steady_clock::now();
            connection->send(Packet(PacketType::pktInteractiveTap, InteractionType::speedTestStart,
                                    bytesOf("1 1"))
                                 .encode(),
                             true, nullptr);
            connection->receive(1, 65536,
                                [&](std::optional<Bytes>, bool, std::optional<NetworkError>) {
                                    answered.finish();
                                });
        });
        if (!answered.wait(10s)) return 4;
        answers.push_back(duration<double, std::milli>(steady_clock::now() - requested).count());
        connection->setStateUpdateHandler(nullptr);
        connection->cancel();
    }
    std::sort(times.begin(), times.end());
    std::sort(answers.begin(), answers.end());
    auto p95 = [](const std::vector<double>& v) { return v[(v.size() - 1) * 95 / 100]; };
    std::ofstream(argv[4]) << times[times.size() / 2] << " " << times.front() << " " << times.back()
                           << " " << p95(times) << " " << answers[answers.size() / 2] << " "
                           << p95(answers) << "\n";
    std::_Exit(0);
}

// idle-client <port> <count>: opens the connections, greets on each, then waits to be ended.
int runIdleClient(char** argv) {
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    int count = std::atoi(argv[3]);
    DispatchQueue queue("BenchClientQueue");
    std::vector<std::shared_ptr<Connection>> connections;
    for (int i = 0; i < count; ++i) {
        Waiter ready;
        auto connection = connectQuic("127.0.0.1", port, QuicParameters{});
        connection->setStateUpdateHandler(
            [&ready](ConnectionState state, std::optional<NetworkError>) {
                if (state == ConnectionState::ready || state == ConnectionState::failed)
                    ready.finish();
            });
        connection->start(queue);
        if (!ready.wait(10s)) return 3;
        connection->setStateUpdateHandler(nullptr);
        connection->send(Packet(PacketType::pktInteractiveTap, InteractionType::keepLive).encode(),
                         false, nullptr);
        connections.push_back(connection);
    }
    for (;;) ::pause();
}

// ---- the orchestrating process -------------------------------------------------------------

struct BulkResult {
    double wall = 0;  // seconds of the transfer
    double cpu = 0;   // server and client processes together
    double handshakeMs = 0;
    std::uint64_t packets = 0;
    double serverStartMiB = 0, serverPeakMiB = 0;  // the server's resident memory
    bool ok = false;
};

double residentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

bool waitForReport(const fs::path& path, std::size_t lines, seconds timeout) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        std::string text = readFile(path);
        if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

BulkResult oursOnce(const fs::path& scratch, std::uint64_t bytes, std::size_t window,
                    bool speedTest) {
    BulkResult result;
    vl::testing::PortBlock ports(1);
    const auto port = std::uint16_t(ports.first());
    vl::testing::SpawnedProgram server({self(), speedTest ? "speedtest-server" : "server",
                                        scratch.string(), std::to_string(port)});
    std::this_thread::sleep_for(300ms);
    fs::path report = scratch / "client.txt";
    fs::remove(report);
    vl::testing::SpawnedProgram client({self(), "client", std::to_string(port),
                                        std::to_string(bytes), std::to_string(window),
                                        report.string()});
    // The server's memory while it sends: flat when what it queues is bounded.
    result.serverStartMiB = result.serverPeakMiB = residentMiB(server.pid());
    while (!client.wait(50ms))
        result.serverPeakMiB = std::max(result.serverPeakMiB, residentMiB(server.pid()));
    server.stop();
    std::istringstream fields(readFile(report));
    if (!client.exitedCleanly() || !(fields >> result.handshakeMs >> result.wall >> result.packets))
        return result;
    result.cpu = client.cpuSeconds() + server.cpuSeconds();
    result.ok = true;
    return result;
}

// The sample server generates at most 20 MiB per request: the bytes are fetched as equal requests
// on one connection.
std::pair<std::uint64_t, std::uint64_t> sampleRequests(std::uint64_t bytes) {
    constexpr std::uint64_t largest = 20000000;
    std::uint64_t count = (bytes + largest - 1) / largest;
    return {count, bytes / count};
}

BulkResult theirsOnce(const fs::path& scratch, std::uint64_t bytes, bool verify) {
    BulkResult result;
    vl::testing::PortBlock ports(1);
    const auto port = std::uint16_t(ports.first());
    vl::testing::SpawnedProgram server({sampleServer, "-q", "-d", scratch.string(), "127.0.0.1",
                                        std::to_string(port), (scratch / "key.pem").string(),
                                        (scratch / "cert.pem").string()});
    std::this_thread::sleep_for(300ms);
    auto [count, size] = sampleRequests(bytes);
    std::string uri = "https://127.0.0.1:" + std::to_string(port) + "/" + std::to_string(size);
    fs::path log = scratch / "sample-client.log";
    if (verify) {
        // The client exits 0 whatever the answer: check once, with its log, that one request is
        // served in full (the timed runs are quiet).
        vl::testing::SpawnedProgram check(
            {sampleClient, "--no-quic-dump", "--no-http-dump", "--exit-on-all-streams-close",
             "127.0.0.1", std::to_string(port), uri},
            log.string());
        check.wait();
        std::string text = readFile(log);
        if (text.find(":status: 200") == std::string::npos ||
            text.find("content-length: " + std::to_string(size) + "]") == std::string::npos) {
            std::printf("  the sample server did not serve %s\n", uri.c_str());
            return result;
        }
    }
    vl::testing::SpawnedProgram client(
        {sampleClient, "-q", "--no-quic-dump", "--no-http-dump", "--exit-on-all-streams-close",
         "-n", std::to_string(count), "127.0.0.1", std::to_string(port), uri},
        log.string());
    client.wait();
    server.stop();
    if (!client.exitedCleanly()) return result;
    result.wall = client.wallSeconds();
    result.cpu = client.cpuSeconds() + server.cpuSeconds();
    result.ok = true;
    return result;
}

int orchestrate(int argc, char** argv) {
    std::uint64_t bytes = 1000000000;
    int rounds = 3, idle = 500, handshakes = 50;
    std::size_t window = 256;
    bool speedTest = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--speedtest") {
            speedTest = true;
            continue;
        }
        if (i + 1 == argc) break;
        const char* value = argv[++i];
        if (option == "--bytes") bytes = std::strtoull(value, nullptr, 10);
        if (option == "--rounds") rounds = std::atoi(value);
        if (option == "--window") window = std::strtoul(value, nullptr, 10);
        if (option == "--idle") idle = std::atoi(value);
        if (option == "--handshakes") handshakes = std::atoi(value);
    }
    if (speedTest) {
        bytes = 1000000000;  // the speed test's fixed size
        window = 1;
    }

    char name[] = "/tmp/vl-bench-quic-XXXXXX";
    fs::path scratch = ::mkdtemp(name);
    // One identity for both servers: our own certificate.
    auto pair = rsa::generate(2048);
    auto certificate = pair ? KeychainIdentityManager::createSelfSignedCertificate(pair->publicKey,
                                                                                   pair->privateKey)
                            : std::nullopt;
    if (!certificate) {
        std::fprintf(stderr, "no identity\n");
        return 1;
    }
    writeFile(scratch / "key.der", pair->privateKey);
    writeFile(scratch / "cert.der", *certificate);
    std::ofstream(scratch / "key.pem") << pem("RSA PRIVATE KEY", pair->privateKey);
    std::ofstream(scratch / "cert.pem") << pem("CERTIFICATE", *certificate);
    bool haveSamples = ::access(sampleClient, X_OK) == 0 && ::access(sampleServer, X_OK) == 0;

    std::printf(
        "bulk transfer server -> client over 127.0.0.1, %llu payload bytes, %d rounds, "
        "%zu sends in flight%s\n",
        static_cast<unsigned long long>(bytes), rounds, window,
        speedTest ? " (ours: the speed-test server)" : "");
    const double gigabytes = static_cast<double>(bytes) / 1e9;
    std::vector<double> oursRate, oursCpu, theirsRate, theirsCpu;
    for (int round = 0; round < rounds; ++round) {
        BulkResult ours = oursOnce(scratch, bytes, window, speedTest);
        if (ours.ok) {
            oursRate.push_back(8 * gigabytes / ours.wall);
            oursCpu.push_back(ours.cpu / gigabytes);
            std::printf(
                "  ours    round %d: %6.3f s  %6.2f Gbit/s  %6.2f CPU s/GB  (%llu packets; server "
                "resident %.1f MiB at the start, %.1f MiB at most)\n",
                round + 1, ours.wall, oursRate.back(), oursCpu.back(),
                static_cast<unsigned long long>(ours.packets), ours.serverStartMiB,
                ours.serverPeakMiB);
        } else {
            std::printf("  ours    round %d: FAILED\n", round + 1);
        }
        if (!haveSamples) continue;
        BulkResult theirs = theirsOnce(scratch, bytes, round == 0);
        if (theirs.ok) {
            theirsRate.push_back(8 * gigabytes / theirs.wall);
            theirsCpu.push_back(theirs.cpu / gigabytes);
            std::printf("  samples round %d: %6.3f s  %6.2f Gbit/s  %6.2f CPU s/GB\n", round + 1,
                        theirs.wall, theirsRate.back(), theirsCpu.back());
        } else {
            std::printf("  samples round %d: FAILED\n", round + 1);
        }
        std::fflush(stdout);
    }
    std::printf("bulk median: ours %.2f Gbit/s %.2f CPU s/GB", median(oursRate), median(oursCpu));
    if (!theirsRate.empty()) {
        std::printf(
            "; samples %.2f Gbit/s %.2f CPU s/GB; throughput ratio ours/samples %.2f; "
            "CPU ratio samples/ours %.2f",
            median(theirsRate), median(theirsCpu), median(oursRate) / median(theirsRate),
            median(theirsCpu) / median(oursCpu));
    }
    std::printf("\n");
    std::fflush(stdout);

    if (handshakes > 0) {
        vl::testing::PortBlock ports(1);
        const auto port = std::uint16_t(ports.first());
        vl::testing::SpawnedProgram server(
            {self(), "server", scratch.string(), std::to_string(port)});
        std::this_thread::sleep_for(300ms);
        fs::path report = scratch / "handshakes.txt";
        vl::testing::SpawnedProgram client({self(), "handshakes", std::to_string(port),
                                            std::to_string(handshakes), report.string()});
        client.wait();
        double medianMs = 0, minMs = 0, maxMs = 0, p95Ms = 0, answerMs = 0, answerP95Ms = 0;
        std::istringstream fields(readFile(report));
        if (client.exitedCleanly() &&
            fields >> medianMs >> minMs >> maxMs >> p95Ms >> answerMs >> answerP95Ms)
            std::printf(
                "handshake to ready over 127.0.0.1 (%d in a row): median %.2f ms, p95 %.2f ms, "
                "min %.2f ms, max %.2f ms\n"
                "first answer on the fresh stream (request written -> first byte back): median "
                "%.2f ms, p95 %.2f ms; p95 ratio answer/handshake %.2f\n",
                handshakes, medianMs, p95Ms, minMs, maxMs, answerMs, answerP95Ms,
                answerP95Ms / p95Ms);
        else
            std::printf("handshake to ready: FAILED\n");
        std::fflush(stdout);
    }

    if (idle > 0) {
        vl::testing::PortBlock ports(1);
        const auto port = std::uint16_t(ports.first());
        fs::path report = scratch / "idle.txt";
        vl::testing::SpawnedProgram server({self(), "server", scratch.string(),
                                            std::to_string(port), "idle", std::to_string(idle),
                                            report.string()});
        bool ok = waitForReport(report, 1, 10s);
        vl::testing::SpawnedProgram client(
            {self(), "idle-client", std::to_string(port), std::to_string(idle)});
        ok = ok && waitForReport(report, 2, 120s);
        std::istringstream fields(readFile(report));
        double heapBefore = 0, rssBefore = 0, heapAfter = 0, rssAfter = 0, held = 0;
        if (ok && fields >> heapBefore >> rssBefore >> heapAfter >> rssAfter >> held && held > 0) {
            std::printf(
                "idle connections on the server (%.0f, each started with a receive armed): "
                "heap %.1f KiB and resident %.1f KiB per connection\n",
                held, (heapAfter - heapBefore) / held / 1024, (rssAfter - rssBefore) / held / 1024);
        } else {
            std::printf("idle connections: FAILED\n");
        }
    }
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "server" && argc > 3) return runServer(argc, argv);
    if (mode == "speedtest-server" && argc > 3) return runSpeedTestServer(argv);
    if (mode == "client" && argc > 5) return runClient(argv);
    if (mode == "handshakes" && argc > 4) return runHandshakes(argv);
    if (mode == "idle-client" && argc > 3) return runIdleClient(argv);
    return orchestrate(argc, argv);
}
