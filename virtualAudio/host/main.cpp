// corvane-mic-host: plays the audio server's part for the virtual microphone driver. It loads
// the plug-in, publishes its device on the desktop's sound server while the device is shown,
// turns recorders into I/O, and serves the driver's properties to the user's own processes over
// the property channel. It exits when the sound server goes away; the server program restarts it.
#include "DriverHost.h"
#include "PulsePublisher.h"
#include "platform/audio/Interface.h"
#include "platform/audio/micdevice/PropertyChannel.h"
#include "platform/localsocket/LocalSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <vector>

using namespace vl;
using namespace vl::michost;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kShowAudio = fourCC("shau");
constexpr std::uint32_t kMicPCM = fourCC("mpcm");

void report(const std::string& text) {
    std::cerr << "corvane-mic-host: " << text << std::endl;
}

fs::path defaultDriverPath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    const fs::path folder = error ? fs::path(".") : self.parent_path();
    for (const fs::path& candidate :
         {folder / "CorvaneVisionProMic.so", folder / ".." / "lib" / "CorvaneVisionProMic.so",
          folder / ".." / "lib" / "vantrel-link" / "CorvaneVisionProMic.so"})
        if (fs::exists(candidate)) return candidate;
    return folder / "CorvaneVisionProMic.so";
}

// Selectors changed on other threads, waiting for the main loop.
class ChangeQueue {
  public:
    ChangeQueue() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    void push(std::uint32_t selector) {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(selector);
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(fd_, &one, sizeof(one));
    }
    std::vector<std::uint32_t> take() {
        std::uint64_t count;
        [[maybe_unused]] auto n = read(fd_, &count, sizeof(count));
        std::lock_guard lock(mutex_);
        return std::exchange(pending_, {});
    }
    int fd() const { return fd_; }

  private:
    int fd_;
    std::mutex mutex_;
    std::vector<std::uint32_t> pending_;
};

struct Client {
    micchannel::MessageReader reader;
    std::set<std::uint32_t> listening;
};

micchannel::Message answer(DriverHost& driver, const micchannel::Message& request) {
    micchannel::Message reply;
    reply.kind = micchannel::Kind::reply;
    reply.request = request.request;
    reply.selector = request.selector;
    switch (request.kind) {
        case micchannel::Kind::translateUID: {
            const auto* uid = std::get_if<Bytes>(&request.value);
            reply.value = driver.translate(uid ? std::string(uid->begin(), uid->end()) : "");
            break;
        }
        case micchannel::Kind::get: {
            auto [status, value] = driver.get(request.selector);
            reply.status = status;
            reply.value = std::move(value);
            break;
        }
        case micchannel::Kind::set:
            reply.status = driver.set(request.selector, request.value);
            break;
        default:
            reply.status = static_cast<std::int32_t>(fourCC("unop"));
    }
    return reply;
}

int listenOn(const fs::path& path) {
    std::string error;
    const int fd = localsocket::listenAt(path, &error);
    if (fd < 0) report(error);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path driverPath = defaultDriverPath();
    fs::path socketPath = micchannel::defaultSocketPath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--driver" && i + 1 < argc) {
            driverPath = argv[++i];
        } else if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else {
            std::cerr << "usage: corvane-mic-host [--driver PATH] [--socket PATH]\n";
            return 64;
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    ChangeQueue changes;
    std::string error;
    auto driver = DriverHost::load(
        driverPath.string(), [&changes](std::uint32_t selector) { changes.push(selector); },
        &error);
    if (!driver) {
        report(error + " (" + driverPath.string() + ")");
        return 2;
    }
    PulsePublisher publisher(*driver, {report, [&changes](bool) { changes.push(fourCC("gone")); }});
    if (auto problem = publisher.connect()) {
        const char* server = std::getenv("PULSE_SERVER");
        report(*problem + " (PULSE_SERVER " + (server ? server : "unset") + ")");
        return 3;
    }
    const int listener = listenOn(socketPath);
    if (listener < 0) return 4;
    report("serving the microphone on " + socketPath.string());

    std::map<int, Client> clients;
    auto send = [&](int fd, const micchannel::Message& message) {
        if (!localsocket::writeAll(fd, micchannel::encode(message))) shutdown(fd, SHUT_RDWR);
    };
    int status = 0;
    for (bool running = true; running;) {
        std::vector<pollfd> entries{
            {signalFd, POLLIN, 0}, {changes.fd(), POLLIN, 0}, {listener, POLLIN, 0}};
        for (const auto& [fd, client] : clients) entries.push_back({fd, POLLIN, 0});
        if (poll(entries.data(), entries.size(), 500) < 0 && errno != EINTR) break;
        if (!publisher.alive()) {
            report("the sound server went away");
            status = 5;
            break;
        }
        if (entries[0].revents) break;
        if (entries[1].revents) {
            for (std::uint32_t selector : changes.take()) {
                if (selector == kShowAudio) {
                    auto [s, value] = driver->get(kShowAudio);
                    const auto* shown = std::get_if<std::uint32_t>(&value);
                    publisher.setShown(s == 0 && shown && *shown != 0);
                }
                micchannel::Message changed;
                changed.kind = micchannel::Kind::changed;
                changed.selector = selector;
                for (const auto& [fd, client] : clients)
                    if (client.listening.count(selector)) send(fd, changed);
            }
        }
        if (entries[2].revents) {
            for (;;) {
                const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) break;
                if (!localsocket::peerIsSameUser(fd)) {
                    report("refused a connection from another user");
                    close(fd);
                    continue;
                }
                clients[fd];
            }
        }
        for (std::size_t i = 3; i < entries.size(); ++i) {
            if (!entries[i].revents) continue;
            const int fd = entries[i].fd;
            Client& client = clients[fd];
            std::uint8_t buffer[65536];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            bool closing = n <= 0;
            if (n > 0) {
                client.reader.append(ByteView(buffer, static_cast<std::size_t>(n)));
                while (auto message = client.reader.next()) {
                    if (message->kind == micchannel::Kind::listen)
                        client.listening.insert(message->selector);
                    else
                        send(fd, answer(*driver, *message));
                    if (message->kind == micchannel::Kind::set && message->selector == kMicPCM)
                        if (const auto* pcm = std::get_if<Bytes>(&message->value))
                            publisher.notePushed(pcm->size() / 8);
                }
                closing = client.reader.broken();
            }
            if (closing) {
                close(fd);
                clients.erase(fd);
            }
        }
        (void)running;
    }
    for (const auto& [fd, client] : clients) close(fd);
    close(listener);
    unlink(socketPath.c_str());
    publisher.setShown(false);
    return status;
}
