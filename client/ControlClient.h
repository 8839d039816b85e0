// client: the control connection as a headset uses it — connect with the password, ask for a
// speed test, say goodbye. Sharing sessions run over it through SessionClient.
#pragma once

#include "client/StreamClient.h"
#include "comm/ControlRecords.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vl {

struct ClientIdentity {
    std::string deviceID = "vantrel-link-client";
    std::string deviceName = "Vantrel Link command-line client";
    std::string version = "1.0";
};

struct ConnectAnswer {
    InteractionType result;  // ret200, ret400 or retBusy
    std::string text;        // "<application id>|<machine name>"
};

struct SpeedTestResult {
    std::uint64_t packets = 0;
    std::uint64_t payloadBytes = 0;
    double seconds = 0;
    double gigabitsPerSecond() const { return seconds > 0 ? payloadBytes * 8 / seconds / 1e9 : 0; }
};

class ControlClient {
  public:
    static std::unique_ptr<ControlClient> open(const std::string& host, std::uint16_t port,
                                               ClientIdentity identity, std::string* error);

    // Sends connect with the password and waits for the answer.
    std::optional<ConnectAnswer> connect(
        const std::string& password, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void disconnect();

    // Runs a whole speed test: ask on the control port, then read the data port until the
    // announced length has arrived. `progress` gets (payload bytes so far, total).
    std::optional<SpeedTestResult> speedTest(
        std::string* error, const std::function<void(std::uint64_t, std::uint64_t)>& progress = {});

    StreamClient& stream() { return *stream_; }
    const std::string& host() const { return host_; }

  private:
    std::string host_;
    std::uint16_t port_ = 0;
    ClientIdentity identity_;
    std::unique_ptr<StreamClient> stream_;
};

// "host", "host:port" → host and port (the default when none is given).
std::optional<std::pair<std::string, std::uint16_t>> parseHostPort(const std::string& text,
                                                                   std::uint16_t defaultPort);

}  // namespace vl
