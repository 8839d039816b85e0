// comm: the framed record of every stream — a 22-byte header (16-byte id, type, sub-type,
// 32-bit big-endian payload length) followed by the payload. No magic, version or checksum.
#pragma once

#include "base/Bytes.h"
#include "base/Uuid.h"
#include "comm/InteractionType.h"
#include "comm/PacketType.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace vl {

struct Packet {
    static constexpr std::size_t headerSize = 22;

    Uuid packetId;
    PacketType type = PacketType::pktUnknown;
    InteractionType subType = InteractionType::undefined;
    std::uint32_t length = 0;   // as read from the header; the payload's size when built here
    std::optional<Bytes> data;  // absent when the payload is empty

    Packet() = default;
    // A packet the server sends: a fresh random id, the length from the payload, and no data
    // when the payload is empty. A payload over 4294967295 bytes throws std::length_error.
    Packet(PacketType type, InteractionType subType, Bytes payload = {});
    // The same with a given id (answers carry the id of the request they answer).
    Packet(const Uuid& packetId, PacketType type, InteractionType subType, Bytes payload = {});
    // The control answer to a request: its id and sub-type, type pktInteractiveTap.
    static Packet answering(const Packet& request, Bytes payload = {});

    // The wire form. The length field is the byte count of `data`, not `length`.
    Bytes encode() const;
    // Appends the wire form to `out`.
    void encode(Bytes& out) const;

    // One packet from the start of `bytes`; nothing when fewer than 22 bytes or the announced
    // payload is not all there. Bytes after the packet are ignored: the caller advances by
    // frameSize(). An unknown type byte gives pktUnknown, a sub-type byte above 37 undefined.
    static std::optional<Packet> decode(ByteView bytes);
    // The header alone: every field but `data`, once the 22 header bytes are there.
    static std::optional<Packet> decodeHeader(ByteView bytes);
    std::uint64_t frameSize() const { return headerSize + std::uint64_t{length}; }

    // "Packet(id: <uuid>, type: <type>, subType: <subType>, length: <length>)"
    std::string debugDescription() const;

    friend bool operator==(const Packet&, const Packet&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const Packet& packet) {
    return out << packet.debugDescription();
}

}  // namespace vl
