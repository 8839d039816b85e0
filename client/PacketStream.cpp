#include "client/PacketStream.h"

namespace vl {

bool PacketStream::plausibleHeader(ByteView bytes) {
    if (bytes.size() < Packet::headerSize) return false;
    return packetTypeFromRaw(bytes[16]) != PacketType::pktUnknown && bytes[17] <= 37 &&
           readBigEndian32(bytes.data() + 18) <= maxPlausiblePayload;
}

void PacketStream::append(ByteView bytes, const std::function<void(Packet&&)>& onPacket) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    for (;;) {
        ByteView rest = ByteView(buffer_).subspan(offset_);
        if (rest.empty()) break;
        if (skipKeepalives_ && rest[0] == 0x00) {
            // Packet ids are random (version 4) UUIDs: byte 6 carries the version nibble. Decide
            // as soon as it is here, and look at the whole header only when it could be one.
            if (rest.size() <= versionByte) break;
            bool versionFour = (rest[versionByte] & 0xf0) == 0x40;
            if (versionFour && rest.size() < Packet::headerSize) break;
            if (!versionFour || !plausibleHeader(rest)) {
                ++keepalives_;
                ++offset_;
                continue;
            }
        }
        auto header = Packet::decodeHeader(rest);
        if (!header || rest.size() < header->frameSize()) break;
        auto packet = Packet::decode(rest);
        offset_ += static_cast<std::size_t>(header->frameSize());
        if (packet) onPacket(std::move(*packet));
    }
    if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
}

}  // namespace vl
