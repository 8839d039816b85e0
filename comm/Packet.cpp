#include "comm/Packet.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace vl {

namespace {

std::optional<Bytes> payloadOrNothing(Bytes payload) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("packet payload longer than 4294967295 bytes cannot be framed");
    if (payload.empty()) return std::nullopt;
    return std::optional<Bytes>(std::move(payload));
}

}  // namespace

Packet::Packet(PacketType type, InteractionType subType, Bytes payload)
    : Packet(Uuid::random(), type, subType, std::move(payload)) {}

Packet::Packet(const Uuid& packetId, PacketType type, InteractionType subType, Bytes payload)
    : packetId(packetId), type(type), subType(subType), data(payloadOrNothing(std::move(payload))) {
    length = data ? static_cast<std::uint32_t>(data->size()) : 0;
}

Packet Packet::answering(const Packet& request, Bytes payload) {
    return Packet(request.packetId, PacketType::pktInteractiveTap, request.subType,
                  std::move(payload));
}

Bytes Packet::encode() const {
    Bytes out;
    encode(out);
    return out;
}

void Packet::encode(Bytes& out) const {
    std::size_t payloadSize = data ? data->size() : 0;
    if (payloadSize > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("packet payload longer than 4294967295 bytes cannot be framed");
    out.reserve(out.size() + headerSize + payloadSize);
    out.insert(out.end(), packetId.bytes().begin(), packetId.bytes().end());
    out.push_back(rawValue(type));
    out.push_back(rawValue(subType));
    appendBigEndian32(out, static_cast<std::uint32_t>(payloadSize));
    if (payloadSize) out.insert(out.end(), data->begin(), data->end());
}

std::optional<Packet> Packet::decodeHeader(ByteView bytes) {
    if (bytes.size() < headerSize) return std::nullopt;
    Packet packet;
    Uuid::ByteArray id;
    std::copy_n(bytes.begin(), id.size(), id.begin());
    packet.packetId = Uuid(id);
    packet.type = packetTypeFromRaw(bytes[16]);
    packet.subType = interactionTypeOrUndefined(bytes[17]);
    packet.length = readBigEndian32(bytes.data() + 18);
    return packet;
}

std::optional<Packet> Packet::decode(ByteView bytes) {
    auto packet = decodeHeader(bytes);
    if (!packet || bytes.size() < packet->frameSize()) return std::nullopt;
    if (packet->length > 0)
        packet->data.emplace(bytes.begin() + headerSize, bytes.begin() + packet->frameSize());
    return packet;
}

std::string Packet::debugDescription() const {
    std::string text = "Packet(id: ";
    text += packetId.uuidString();
    text += ", type: ";
    text += description(type);
    text += ", subType: ";
    text += description(subType);
    text += ", length: ";
    text += std::to_string(length);
    text += ')';
    return text;
}

}  // namespace vl
