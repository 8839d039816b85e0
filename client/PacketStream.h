// client: cuts a server stream into packets of every type. The control stream also carries bare
// 0x00 keepalive bytes between packets; at a packet boundary a 0x00 byte is taken for a keepalive
// when the bytes from it cannot start a packet: a packet id is a random UUID (version nibble 4
// in byte 6) that may start with 0x00 too, followed by a plausible header.
#pragma once

#include "base/Bytes.h"
#include "comm/Packet.h"

#include <cstdint>
#include <functional>

namespace vl {

class PacketStream {
  public:
    static constexpr std::uint32_t maxPlausiblePayload = 64u << 20;
    static constexpr std::size_t versionByte = 6;

    explicit PacketStream(bool skipKeepalives) : skipKeepalives_(skipKeepalives) {}

    // Appends bytes and calls `onPacket` for every packet they complete.
    void append(ByteView bytes, const std::function<void(Packet&&)>& onPacket);

    std::uint64_t keepalives() const { return keepalives_; }
    std::size_t buffered() const { return buffer_.size() - offset_; }

  private:
    static bool plausibleHeader(ByteView bytes);

    bool skipKeepalives_;
    Bytes buffer_;
    std::size_t offset_ = 0;
    std::uint64_t keepalives_ = 0;
};

}  // namespace vl
