// platform/discovery: publishing a service on the local network, and browsing for one.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vl {

using TxtRecord = std::vector<std::pair<std::string, std::string>>;

struct ServiceRecord {
    std::string domain;  // "local."
    std::string type;    // "_corvanevantrellink._tcp."
    std::string name;
    int port = 0;
    TxtRecord txt;
};

// What a publication reports, like a published service's delegate. Callbacks come from the
// discovery backend's own thread.
struct PublicationDelegate {
    std::function<void(const std::string& name)> willPublish;
    std::function<void(const std::string& name)> didPublish;
    std::function<void(const std::string& error)> didNotPublish;
    std::function<void()> didStop;
};

class PublishedService {
  public:
    virtual ~PublishedService() = default;
    virtual void publish() = 0;
    // Withdraws the service; safe to call more than once.
    virtual void stop() = 0;
};

struct DiscoveredService {
    std::string name;
    std::string address;  // resolved host address
    int port = 0;
    TxtRecord txt;
};

class DiscoveryService {
  public:
    virtual ~DiscoveryService() = default;

    virtual std::unique_ptr<PublishedService> makeService(ServiceRecord record,
                                                          PublicationDelegate delegate) = 0;
    // Browses for services of the type for about `duration` and returns the resolved ones.
    // Nothing when browsing cannot start (no daemon), with the reason in `error`.
    virtual std::optional<std::vector<DiscoveredService>> browse(const std::string& type,
                                                                 std::chrono::milliseconds duration,
                                                                 std::string* error) = 0;
};

}  // namespace vl
