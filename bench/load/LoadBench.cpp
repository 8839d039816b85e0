// Load on one control port over loopback, the server and its clients in separate processes, beside
// Debian's GnuTLS-based sample QUIC server and client where they can do the same:
// - handshakes per second: many clients connecting at once, each authenticating (connect with the
//   password, answered ret200) and leaving. The sample client makes one connection per process,
//   so its figure includes starting a process per connection: many such clients at once, each
//   fetching an empty resource and leaving;
// - resident memory of a server holding idle connections that were authenticated and then
//   refused (the right password, answered retBusy while another device holds the session); the
//   sample server holding idle connections that fetched an empty resource.
//
//   bench_load [--seconds S] [--clients C] [--idle N] [--sample-idle M]
#include "base/Base64.h"
#include "base/Logger.h"
#include "base/testing/PortBlock.h"
#include "base/testing/SpawnedProgram.h"
#include "client/ControlClient.h"
#include "comm/ControlServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace vl;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

const char* const sampleClient = "/usr/bin/gtlsclient";
const char* const sampleServer = "/usr/sbin/gtlsserver";
constexpr const char* password = "Ez3Kq$vn";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string pem(const char* label, ByteView der) {
    std::string text = std::string("-----BEGIN ") + label + "-----\n";
    std::string body = base64Encode(der);
    for (std::size_t at = 0; at < body.size(); at += 64) text += body.substr(at, 64) + "\n";
    return text + "-----END " + label + "-----\n";
}

// Resident memory of a process, in bytes.
double residentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024;
    return 0;
}

std::string self() {
    return fs::read_symlink("/proc/self/exe").string();
}

bool waitForLines(const fs::path& path, std::size_t lines, seconds timeout) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        std::string text = readFile(path);
        if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// ---- our processes -------------------------------------------------------------------------

// server <port>: the control server with recording fakes for its session roles.
int runServer(char** argv) {
    Logger::shared().setWritesToStderr(false);
    vl::testing::RecordingSessionEnvironment fakes;
    auto server = ControlServer::make(static_cast<std::uint16_t>(std::atoi(argv[2])),
                                      DispatchQueue::dedicated("ControlRequestQueue"),
                                      "ControlServer", fakes.environment());
    server->start();
    for (;;) ::pause();
}

// churn <port> <threads> <seconds> <report>: each thread connects, authenticates and leaves, again
// and again; the report counts the ret200 answers and the failures.
int runChurn(char** argv) {
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    int threads = std::atoi(argv[3]);
    auto until = steady_clock::now() + seconds(std::atoi(argv[4]));
    std::atomic<std::uint64_t> answered{0}, failed{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            while (steady_clock::now() < until) {
                std::string error;
                auto client = ControlClient::open(
                    "127.0.0.1", port, ClientIdentity{"load-client", "load", "1.0"}, &error);
                auto answer = client ? client->connect(password) : std::nullopt;
                if (answer && answer->result == InteractionType::ret200) {
                    ++answered;
                    client->disconnect();
                } else {
                    ++failed;
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::ofstream(argv[5]) << answered << " " << failed << "\n";
    std::_Exit(0);
}

// hold <port> <device> <count> <report>: opens the connections one after another, each sending
// connect with the password, tallies the answers, then holds them all idle.
int runHold(char** argv) {
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    std::string device = argv[3];
    int count = std::atoi(argv[4]);
    std::vector<std::unique_ptr<ControlClient>> held;
    int accepted = 0, busy = 0, other = 0;
    for (int i = 0; i < count; ++i) {
        std::string error;
        auto client =
            ControlClient::open("127.0.0.1", port, ClientIdentity{device, device, "1.0"}, &error);
        if (!client) {
            ++other;
            continue;
        }
        auto answer = client->connect(password);
        if (answer && answer->result == InteractionType::ret200) {
            ++accepted;
        } else if (answer && answer->result == InteractionType::retBusy) {
            ++busy;
        } else {
            ++other;
        }
        held.push_back(std::move(client));
    }
    std::ofstream(argv[5]) << accepted << " " << busy << " " << other << "\n";
    for (;;) ::pause();
}

// ---- the orchestrating process -------------------------------------------------------------

struct Options {
    int seconds = 10;
    int clients = 32;
    int idle = 1000;
    int sampleIdle = 100;
};

void ourHandshakes(const fs::path& scratch, const Options& options) {
    vl::testing::PortBlock ports(1);
    const auto port = std::uint16_t(ports.first());
    vl::testing::SpawnedProgram server({self(), "server", std::to_string(port)});
    std::this_thread::sleep_for(1s);
    // Two client processes, so that the clients' own network threads are not the limit.
    std::vector<std::unique_ptr<vl::testing::SpawnedProgram>> churners;
    std::vector<fs::path> reports;
    for (int p = 0; p < 2; ++p) {
        reports.push_back(scratch / ("churn" + std::to_string(p) + ".txt"));
        churners.push_back(std::make_unique<vl::testing::SpawnedProgram>(std::vector<std::string>{
            self(), "churn", std::to_string(port), std::to_string(options.clients / 2),
            std::to_string(options.seconds), reports.back().string()}));
    }
    std::uint64_t answered = 0, failed = 0;
    for (std::size_t p = 0; p < churners.size(); ++p) {
        churners[p]->wait();
        std::istringstream fields(readFile(reports[p]));
        std::uint64_t a = 0, f = 0;
        if (fields >> a >> f) {
            answered += a;
            failed += f;
        }
    }
    std::printf(
        "ours:    %d clients at once for %d s, each connecting, authenticating (ret200) and "
        "leaving: %.0f handshakes/s (%llu answered, %llu failed)\n",
        options.clients, options.seconds, static_cast<double>(answered) / options.seconds,
        static_cast<unsigned long long>(answered), static_cast<unsigned long long>(failed));
    std::fflush(stdout);
}

void sampleHandshakes(const fs::path& scratch, const Options& options) {
    vl::testing::PortBlock ports(1);
    const auto port = std::uint16_t(ports.first());
    vl::testing::SpawnedProgram server({sampleServer, "-q", "-d", scratch.string(), "127.0.0.1",
                                        std::to_string(port), (scratch / "key.pem").string(),
                                        (scratch / "cert.pem").string()});
    std::this_thread::sleep_for(500ms);
    std::string uri = "https://127.0.0.1:" + std::to_string(port) + "/0";
    auto until = steady_clock::now() + seconds(options.seconds);
    std::atomic<std::uint64_t> done{0}, failed{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < options.clients; ++t) {
        workers.emplace_back([&] {
            while (steady_clock::now() < until) {
                vl::testing::SpawnedProgram client({sampleClient, "-q", "--no-quic-dump",
                                                    "--no-http-dump", "--exit-on-all-streams-close",
                                                    "127.0.0.1", std::to_string(port), uri});
                if (client.wait(10s) && client.exitedCleanly())
                    ++done;
                else
                    ++failed;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::printf(
        "samples: %d clients at once for %d s, one process per connection fetching an empty "
        "resource: %.0f handshakes/s (%llu done, %llu failed)\n",
        options.clients, options.seconds, static_cast<double>(done.load()) / options.seconds,
        static_cast<unsigned long long>(done.load()),
        static_cast<unsigned long long>(failed.load()));
    std::fflush(stdout);
}

void ourIdle(const fs::path& scratch, const Options& options) {
    vl::testing::PortBlock ports(1);
    const auto port = std::uint16_t(ports.first());
    vl::testing::SpawnedProgram server({self(), "server", std::to_string(port)});
    std::this_thread::sleep_for(1s);
    fs::path holderReport = scratch / "holder.txt", idleReport = scratch / "idle.txt";
    vl::testing::SpawnedProgram holder(
        {self(), "hold", std::to_string(port), "device-A", "1", holderReport.string()});
    if (!waitForLines(holderReport, 1, 30s)) {
        std::printf("ours idle: FAILED (no session holder)\n");
        return;
    }
    std::this_thread::sleep_for(500ms);
    double before = residentBytes(server.pid());
    vl::testing::SpawnedProgram idle({self(), "hold", std::to_string(port), "device-B",
                                      std::to_string(options.idle), idleReport.string()});
    if (!waitForLines(idleReport, 1, 600s)) {
        std::printf("ours idle: FAILED (the connections did not all answer)\n");
        return;
    }
    std::this_thread::sleep_for(1s);  // acknowledgements settle
    double after = residentBytes(server.pid());
    int accepted = 0, busy = 0, other = 0;
    std::istringstream(readFile(idleReport)) >> accepted >> busy >> other;
    std::printf(
        "ours:    server holding %d idle connections authenticated then refused (retBusy %d, "
        "other %d): resident %.1f MiB, %.1f KiB per connection (%.1f MiB before them)\n",
        options.idle, busy, accepted + other, after / 1048576,
        (after - before) / options.idle / 1024, before / 1048576);
    std::fflush(stdout);
}

void sampleIdle(const fs::path& scratch, const Options& options) {
    vl::testing::PortBlock ports(1);
    const auto port = std::uint16_t(ports.first());
    // The idle timeout as ours (10 minutes), so that nothing closes while the test runs.
    vl::testing::SpawnedProgram server(
        {sampleServer, "-q", "--timeout=600s", "-d", scratch.string(), "127.0.0.1",
         std::to_string(port), (scratch / "key.pem").string(), (scratch / "cert.pem").string()});
    std::this_thread::sleep_for(500ms);
    std::string uri = "https://127.0.0.1:" + std::to_string(port) + "/0";
    // One connection first, so that the server's one-time set-up is not counted.
    {
        vl::testing::SpawnedProgram warm({sampleClient, "-q", "--exit-on-all-streams-close",
                                          "127.0.0.1", std::to_string(port), uri});
        warm.wait(10s);
    }
    std::this_thread::sleep_for(500ms);
    double before = residentBytes(server.pid());
    std::vector<std::unique_ptr<vl::testing::SpawnedProgram>> clients;
    std::vector<fs::path> logs;
    for (int i = 0; i < options.sampleIdle; ++i) {
        logs.push_back(scratch / ("idle-" + std::to_string(i) + ".log"));
        clients.push_back(std::make_unique<vl::testing::SpawnedProgram>(
            std::vector<std::string>{sampleClient, "--no-quic-dump", "--timeout=600s", "127.0.0.1",
                                     std::to_string(port), uri},
            logs.back().string()));
    }
    // Each client logs the answer's status once its request is served, then idles. A client
    // whose handshake timed out on a loaded machine is not waited for.
    std::size_t served = 0;
    auto lastProgress = steady_clock::now();
    while (steady_clock::now() - lastProgress < 20s) {
        std::size_t now = 0;
        for (const auto& log : logs)
            if (readFile(log).find(":status: 200") != std::string::npos) ++now;
        if (now != served) lastProgress = steady_clock::now();
        served = now;
        if (served == logs.size()) break;
        std::this_thread::sleep_for(200ms);
    }
    std::this_thread::sleep_for(1s);
    double after = residentBytes(server.pid());
    std::printf(
        "samples: server holding %zu idle connections (each served an empty resource): resident "
        "%.1f MiB, %.1f KiB per connection (%.1f MiB before them)\n",
        served, after / 1048576, (after - before) / std::max<std::size_t>(served, 1) / 1024,
        before / 1048576);
    std::fflush(stdout);
    for (auto& client : clients) ::kill(client->pid(), SIGTERM);
    clients.clear();
}

int orchestrate(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--seconds") options.seconds = std::atoi(argv[i + 1]);
        if (option == "--clients") options.clients = std::max(2, std::atoi(argv[i + 1]));
        if (option == "--idle") options.idle = std::atoi(argv[i + 1]);
        if (option == "--sample-idle") options.sampleIdle = std::atoi(argv[i + 1]);
    }
    char name[] = "/tmp/vl-bench-load-XXXXXX";
    fs::path scratch = ::mkdtemp(name);
    auto identity = vl::testing::testIdentity();
    if (!identity) {
        std::fprintf(stderr, "no identity\n");
        return 1;
    }
    std::ofstream(scratch / "key.pem") << pem("RSA PRIVATE KEY", identity->privateKey);
    std::ofstream(scratch / "cert.pem") << pem("CERTIFICATE", identity->certificate);
    bool haveSamples = ::access(sampleClient, X_OK) == 0 && ::access(sampleServer, X_OK) == 0;

    ourHandshakes(scratch, options);
    if (haveSamples) sampleHandshakes(scratch, options);
    if (options.idle > 0) ourIdle(scratch, options);
    if (haveSamples && options.sampleIdle > 0) sampleIdle(scratch, options);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "server" && argc > 2) return runServer(argv);
    if (mode == "churn" && argc > 5) return runChurn(argv);
    if (mode == "hold" && argc > 5) return runHold(argv);
    return orchestrate(argc, argv);
}
