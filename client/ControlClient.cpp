#include "client/ControlClient.h"

#include "base/Base64.h"

#include <atomic>
#include <charconv>
#include <thread>

namespace vl {

namespace {

bool isAnswer(const Packet& p) {
    return p.type == PacketType::pktInteractiveTap &&
           (p.subType == InteractionType::ret200 || p.subType == InteractionType::ret400 ||
            p.subType == InteractionType::retBusy);
}

}  // namespace

std::optional<std::pair<std::string, std::uint16_t>> parseHostPort(const std::string& text,
                                                                   std::uint16_t defaultPort) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        if (text.empty()) return std::nullopt;
        return std::pair{text, defaultPort};
    }
    std::string host = text.substr(0, colon);
    unsigned port = 0;
    auto digits = std::string_view(text).substr(colon + 1);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (host.empty() || error != std::errc() || end != digits.data() + digits.size() || port == 0 ||
        port > 65535)
        return std::nullopt;
    return std::pair{host, static_cast<std::uint16_t>(port)};
}

std::unique_ptr<ControlClient> ControlClient::open(const std::string& host, std::uint16_t port,
                                                   ClientIdentity identity, std::string* error) {
    auto stream = StreamClient::open(host, port, std::chrono::seconds(10), error);
    if (!stream) return nullptr;
    auto client = std::make_unique<ControlClient>();
    client->host_ = host;
    client->port_ = port;
    client->identity_ = std::move(identity);
    client->stream_ = std::move(stream);
    return client;
}

std::optional<ConnectAnswer> ControlClient::connect(const std::string& password,
                                                    std::chrono::milliseconds timeout) {
    ConnectReq request;
    request.clientType = 1;
    request.clientVersion = identity_.version;
    request.clientDeviceID = identity_.deviceID;
    request.clientDeviceName = identity_.deviceName;
    request.password = base64Encode(std::string_view(password));
    stream_->send(
        Packet(PacketType::pktInteractiveTap, InteractionType::connect, bytesOf(request.toJson())));
    auto answer = stream_->waitFor(isAnswer, timeout);
    if (!answer) return std::nullopt;
    return ConnectAnswer{answer->subType, answer->data ? stringOf(*answer->data) : ""};
}

void ControlClient::disconnect() {
    ConnectReq request;
    request.clientType = 1;
    request.clientVersion = identity_.version;
    request.clientDeviceID = identity_.deviceID;
    request.clientDeviceName = identity_.deviceName;
    stream_->send(Packet(PacketType::pktInteractiveTap, InteractionType::disconnect,
                         bytesOf(request.toJson())));
}

std::optional<SpeedTestResult> ControlClient::speedTest(
    std::string* error, const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
    Packet ask(PacketType::pktInteractiveTap, InteractionType::speedTest);
    stream_->send(ask);
    auto answer = stream_->waitFor([&](const Packet& p) { return p.packetId == ask.packetId; },
                                   std::chrono::seconds(10));
    if (!answer || !answer->data) {
        if (error) *error = "no answer to the speed-test request";
        return std::nullopt;
    }
    // "port:<port> length:<size>"
    std::string text = stringOf(*answer->data);
    unsigned port = 0;
    std::uint64_t length = 0;
    if (std::sscanf(text.c_str(), "port:%u length:%lu", &port, &length) != 2 || port > 65535) {
        if (error) *error = "unreadable speed-test answer: " + text;
        return std::nullopt;
    }

    auto data = StreamClient::open(host_, static_cast<std::uint16_t>(port),
                                   std::chrono::seconds(10), error, false);
    if (!data) return std::nullopt;
    std::atomic<std::uint64_t> packets{0}, payload{0};
    data->setPacketHandler([&](Packet&& p) {
        if (p.type != PacketType::pktSpeedTestData) return;
        ++packets;
        payload += p.length;
    });
    auto start = std::chrono::steady_clock::now();
    data->send(Packet(PacketType::pktInteractiveTap, InteractionType::speedTestStart));
    auto lastProgress = start;
    auto lastChange = start;
    std::uint64_t lastPayload = 0;
    while (payload < length && data->isOpen()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        auto now = std::chrono::steady_clock::now();
        if (payload != lastPayload) {
            lastPayload = payload;
            lastChange = now;
        } else if (now - lastChange > std::chrono::seconds(10)) {
            break;  // the server stopped sending
        }
        if (progress && now - lastProgress > std::chrono::milliseconds(250)) {
            progress(payload, length);
            lastProgress = now;
        }
    }
    SpeedTestResult result;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    data->setPacketHandler(nullptr);
    result.packets = packets;
    result.payloadBytes = payload;
    if (progress) progress(payload, length);
    stream_->send(Packet(PacketType::pktInteractiveTap, InteractionType::speedTestStop));
    if (result.payloadBytes < length && error) *error = "the data stream ended early";
    return result;
}

}  // namespace vl
