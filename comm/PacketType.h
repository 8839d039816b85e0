// comm: the stream category byte of every packet header.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

namespace vl {

// Raw values are not consecutive; every byte outside the twelve known values reads as pktUnknown.
enum class PacketType : std::uint8_t {
    pktClientVersionType = 13,
    pktClientSerialNumber = 3,
    pktWindowToPullout = 17,
    pktWindowToPushback = 18,
    pktInteractiveTap = 19,  // control messages, both directions
    pktPing = 20,
    pktVideoStreamData = 21,
    pktAudioStreamData = 22,
    pktControlData = 23,
    pktSpeedTestData = 24,
    pktWindowIDs = 25,
    pktDisplayIDs = 26,
    pktUnknown = 27,
};

constexpr std::uint8_t rawValue(PacketType type) {
    return static_cast<std::uint8_t>(type);
}

// Never fails: a byte that is not one of the known values gives pktUnknown.
constexpr PacketType packetTypeFromRaw(std::uint8_t raw) {
    if (raw == 3 || raw == 13 || (raw >= 17 && raw <= 26)) return static_cast<PacketType>(raw);
    return PacketType::pktUnknown;
}

// The case name.
constexpr std::string_view description(PacketType type) {
    switch (type) {
        case PacketType::pktClientVersionType:
            return "pktClientVersionType";
        case PacketType::pktClientSerialNumber:
            return "pktClientSerialNumber";
        case PacketType::pktWindowToPullout:
            return "pktWindowToPullout";
        case PacketType::pktWindowToPushback:
            return "pktWindowToPushback";
        case PacketType::pktInteractiveTap:
            return "pktInteractiveTap";
        case PacketType::pktPing:
            return "pktPing";
        case PacketType::pktVideoStreamData:
            return "pktVideoStreamData";
        case PacketType::pktAudioStreamData:
            return "pktAudioStreamData";
        case PacketType::pktControlData:
            return "pktControlData";
        case PacketType::pktSpeedTestData:
            return "pktSpeedTestData";
        case PacketType::pktWindowIDs:
            return "pktWindowIDs";
        case PacketType::pktDisplayIDs:
            return "pktDisplayIDs";
        case PacketType::pktUnknown:
            return "pktUnknown";
    }
    return "pktUnknown";
}

inline std::ostream& operator<<(std::ostream& out, PacketType type) {
    return out << description(type);
}

}  // namespace vl
