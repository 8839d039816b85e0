// vantrel-link-client: finds servers, connects with the password, and measures throughput.
#include "client/ControlClient.h"
#include "platform/discovery/avahi/AvahiDiscovery.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace vl;

namespace {

constexpr std::uint16_t defaultPort = 8788;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: vantrel-link-client discover [--seconds N]\n"
                 "       vantrel-link-client connect HOST[:PORT] --password P [--device-id ID]\n"
                 "                                   [--device-name NAME] [--hold SECONDS]\n"
                 "       vantrel-link-client speedtest HOST[:PORT] --password P [--device-id ID]\n"
                 "       vantrel-link-client share HOST[:PORT] --password P [--size WxH@FPS]\n"
                 "                                 [--seconds N] [--out FILE.hevc]\n"
                 "\n"
                 "PORT is the server's control port (default 8788).\n");
}

struct Options {
    std::string command;
    std::string target;
    std::optional<std::string> password;
    ClientIdentity identity;
    double seconds = 3;
    double hold = 0;
    std::string size = "1920x1080@30";
    std::string out;
};

std::optional<Options> parse(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Options o;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--password" && (v = value())) o.password = *v;
        else if (arg == "--device-id" && (v = value())) o.identity.deviceID = *v;
        else if (arg == "--device-name" && (v = value())) o.identity.deviceName = *v;
        else if (arg == "--seconds" && (v = value())) o.seconds = std::atof(v->c_str());
        else if (arg == "--hold" && (v = value())) o.hold = std::atof(v->c_str());
        else if (arg == "--size" && (v = value())) o.size = *v;
        else if (arg == "--out" && (v = value())) o.out = *v;
        else if (!arg.starts_with("--") && o.target.empty()) o.target = arg;
        else return std::nullopt;
    }
    return o;
}

int discover(const Options& o) {
    AvahiDiscovery discovery;
    std::string error;
    auto found = discovery.browse("_corvanevantrellink._tcp.",
                                  std::chrono::milliseconds(static_cast<int>(o.seconds * 1000)), &error);
    if (!found) {
        std::cerr << "discover: " << error << "\n";
        return 1;
    }
    if (found->empty()) std::cout << "no servers found\n";
    for (const auto& service : *found) {
        std::string line = service.name;
        for (const auto& [key, value] : service.txt) line += " " + key + "=" + value;
        std::cout << line << "\n";
    }
    return 0;
}

std::unique_ptr<ControlClient> connectOrExplain(const Options& o, int* status) {
    auto target = parseHostPort(o.target, defaultPort);
    if (!target || !o.password) {
        usage(stderr);
        *status = 2;
        return nullptr;
    }
    std::string error;
    auto client = ControlClient::open(target->first, target->second, o.identity, &error);
    if (!client) {
        std::cerr << "cannot reach " << o.target << ": " << error << "\n";
        *status = 1;
        return nullptr;
    }
    auto answer = client->connect(*o.password);
    if (!answer) {
        std::cerr << "no answer to connect\n";
        *status = 1;
        return nullptr;
    }
    std::cout << description(answer->result) << " " << answer->text << std::endl;
    if (answer->result != InteractionType::ret200) {
        *status = answer->result == InteractionType::retBusy ? 3 : 4;
        return nullptr;
    }
    return client;
}

int connect(const Options& o) {
    int status = 0;
    auto client = connectOrExplain(o, &status);
    if (!client) return status;
    if (o.hold > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(o.hold * 1000)));
        std::cout << "keepalives " << client->stream().keepalives() << std::endl;
    }
    client->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}

int speedtest(const Options& o) {
    int status = 0;
    auto client = connectOrExplain(o, &status);
    if (!client) return status;
    std::string error;
    auto result = client->speedTest(&error, [](std::uint64_t done, std::uint64_t total) {
        std::fprintf(stderr, "\rspeed test: %5.1f %% (%llu of %llu bytes)",
                     total ? 100.0 * done / total : 0.0, static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total));
    });
    std::fprintf(stderr, "\n");
    if (!result) {
        std::cerr << "speed test failed: " << error << "\n";
        return 1;
    }
    std::printf("packets %llu bytes %llu seconds %.3f throughput %.3f Gbit/s\n",
                static_cast<unsigned long long>(result->packets),
                static_cast<unsigned long long>(result->payloadBytes), result->seconds,
                result->gigabitsPerSecond());
    client->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return error.empty() ? 0 : 1;
}

int share(const Options& o) {
    int status = 0;
    auto client = connectOrExplain(o, &status);
    if (!client) return status;
    std::ofstream file;
    if (!o.out.empty()) {
        file.open(o.out, std::ios::binary);
        if (!file) {
            std::cerr << "cannot write " << o.out << "\n";
            return 1;
        }
    }
    std::string error;
    auto result = client->share(o.size, o.seconds, [&](ByteView unit) {
        if (file) file.write(reinterpret_cast<const char*>(unit.data()), static_cast<std::streamsize>(unit.size()));
    }, &error);
    client->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!result) {
        std::cerr << "share failed: " << error << "\n";
        return 1;
    }
    std::printf("display %lldx%lld video port %lld frames %llu key frames %llu bytes %llu "
                "seconds %.2f fps %.1f\n",
                static_cast<long long>(result->item.width), static_cast<long long>(result->item.height),
                static_cast<long long>(result->item.sharedVideoPort),
                static_cast<unsigned long long>(result->frames),
                static_cast<unsigned long long>(result->keyFrames),
                static_cast<unsigned long long>(result->bytes), result->seconds,
                result->seconds > 0 ? result->frames / result->seconds : 0.0);
    return result->frames > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        usage(stderr);
        return 2;
    }
    if (options->command == "discover") return discover(*options);
    if (options->command == "connect") return connect(*options);
    if (options->command == "speedtest") return speedtest(*options);
    if (options->command == "share") return share(*options);
    usage(stderr);
    return 2;
}
