#include "client/SessionClient.h"

#include "base/Base64.h"
#include "comm/DisplayDescriptor.h"

#include <algorithm>
#include <thread>

namespace vl {

SessionClient::~SessionClient() {
    stop();
}

std::optional<SharedItem> SessionClient::start(InteractionType subType,
                                               const std::string& descriptor, std::string* error,
                                               std::chrono::milliseconds timeout) {
    auto& stream = control_.stream();
    Packet ask(PacketType::pktInteractiveTap, subType, bytesOf(base64Encode(descriptor)));
    // From here on the server may have started something that only a stop undoes.
    if (subType == InteractionType::rdpStart) mainStarted_ = true;
    stream.send(ask);
    auto answer =
        stream.waitFor([&](const Packet& p) { return p.packetId == ask.packetId; }, timeout);
    std::optional<SharedItem> item;
    if (answer && answer->data) item = SharedItem::fromJson(*answer->data);
    if (!item || item->sharedVideoPort <= 0 || item->sharedVideoPort > 65535 ||
        item->sharedID.empty()) {
        if (error)
            *error = !answer ? "no answer to " + std::string(description(subType)) + " '" +
                                   descriptor + "'"
                             : "unreadable answer to " + std::string(description(subType));
        return std::nullopt;
    }
    if (subType == InteractionType::displayStart) extras_.push_back(item->sharedID);
    return item;
}

std::optional<SharedItem> SessionClient::startMain(const std::string& descriptor,
                                                   std::string* error,
                                                   std::chrono::milliseconds timeout) {
    return start(InteractionType::rdpStart, descriptor, error, timeout);
}

std::optional<SharedItem> SessionClient::startExtra(const std::string& descriptor,
                                                    std::string* error,
                                                    std::chrono::milliseconds timeout) {
    return start(InteractionType::displayStart, descriptor, error, timeout);
}

bool SessionClient::receiveVideo(const SharedItem& item, UnitHandler onUnit, std::string* error) {
    auto stream =
        StreamClient::open(control_.host(), static_cast<std::uint16_t>(item.sharedVideoPort),
                           std::chrono::seconds(10), error, false);
    if (!stream) return false;
    const auto id = Uuid::fromString(item.sharedID);
    stream->setPacketHandler([onUnit = std::move(onUnit), id](Packet&& packet) {
        if (packet.type != PacketType::pktVideoStreamData || !packet.data) return;
        if (id && packet.packetId != *id) return;
        if (onUnit) onUnit(*packet.data);
    });
    // The server takes the first packet on the port as the registration; it sends no reply, so
    // give it a moment before asking for the video — frames sent before it are dropped, and the
    // first one is the key frame.
    stream->registerForVideo();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    control_.stream().send(
        Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo, bytesOf(item.sharedID)));
    videos_.push_back({item.sharedID, std::move(stream)});
    return true;
}

bool SessionClient::videoOpen(const SharedItem& item) const {
    auto it = std::find_if(videos_.begin(), videos_.end(),
                           [&](const Video& v) { return v.sharedID == item.sharedID; });
    return it != videos_.end() && it->stream->isOpen();
}

void SessionClient::stop() {
    for (auto& video : videos_) video.stream->setPacketHandler(nullptr);
    auto& stream = control_.stream();
    for (const auto& id : extras_)
        stream.send(Packet(PacketType::pktInteractiveTap, InteractionType::displayStop,
                           encodeShareIdentityText(id)));
    extras_.clear();
    if (mainStarted_) stream.send(Packet(PacketType::pktInteractiveTap, InteractionType::rdpStop));
    mainStarted_ = false;
    for (auto& video : videos_) video.stream->close();
    videos_.clear();
}

}  // namespace vl
