// corvane-mic-host: the host's side of the property channel. It answers the requests of the
// user's own processes from the driver, tells the listeners of each selector when the driver
// changed it, and shows the published device while the driver says it is shown.
#pragma once

#include "DriverHost.h"
#include "PulsePublisher.h"
#include "virtualAudio/PropertyChannel.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vl::michost {

// Selectors the driver changed on its own threads, waiting for the serving loop.
class ChangeQueue {
  public:
    ChangeQueue();
    ~ChangeQueue();
    ChangeQueue(const ChangeQueue&) = delete;
    ChangeQueue& operator=(const ChangeQueue&) = delete;

    void push(std::uint32_t selector);
    std::vector<std::uint32_t> take();
    // Readable while changes wait.
    int fd() const { return fd_; }

  private:
    int fd_;
    std::mutex mutex_;
    std::vector<std::uint32_t> pending_;
};

class PropertyServer {
  public:
    // Why the serving loop ended: a shutdown signal, the sound server's loss or a failed wait.
    enum class Ending { signalled, soundServerGone, pollFailed };

    using Report = std::function<void(const std::string&)>;

    PropertyServer(DriverHost& driver, PulsePublisher& publisher, ChangeQueue& changes,
                   Report report);
    ~PropertyServer();

    // Listens on the socket path; false (reported) when it cannot.
    bool listen(const std::filesystem::path& socketPath);
    // Serves until the signal descriptor becomes readable or the sound server goes away.
    Ending serve(int signalFd);

  private:
    struct Client {
        micchannel::MessageReader reader;
        std::set<std::uint32_t> listening;
    };

    void announceChanges();
    void acceptClients();
    // Reads what the client sent and answers it; false when its connection is over.
    bool serveClient(int fd, Client& client);
    micchannel::Message answer(const micchannel::Message& request);
    void send(int fd, const micchannel::Message& message);

    DriverHost& driver_;
    PulsePublisher& publisher_;
    ChangeQueue& changes_;
    const Report report_;
    int listener_ = -1;
    std::filesystem::path socketPath_;
    std::map<int, Client> clients_;
};

}  // namespace vl::michost
