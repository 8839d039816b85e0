// comm: cuts the control connection's byte stream into packets. Chunks are appended as they
// arrive; every complete pktInteractiveTap packet is handed to the dispatch callback, in order,
// and every other packet type is consumed and dropped. When the unconsumed tail is over 8 MiB
// after a chunk, it is reported and thrown away (the stream is then out of step, and later bytes
// are read from wherever they happen to start; nothing else recovers it).
#pragma once

#include "base/Bytes.h"
#include "comm/Packet.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace vl {

class PacketReassembler {
  public:
    static constexpr std::size_t bufferCap = 8388608;  // 8 MiB

    using Dispatch = std::function<void(Packet&&)>;
    // Where the reset report goes; the default is logMsg.
    using Report = std::function<void(std::string)>;

    // `connection` is the connection's text, written in square brackets in the report. `cap` is
    // the most a packet in progress may buffer (a smaller one makes fuzzing cheap).
    explicit PacketReassembler(std::string connection = {}, Report report = {},
                               std::size_t cap = bufferCap);

    // Appends a chunk and dispatches every control packet it completes, synchronously, on the
    // caller's thread, in stream order. Each byte is handled once: header bytes are gathered in
    // place and a payload is copied straight into the buffer its packet will own (reserved when
    // the header arrives), so the work is linear in the bytes received and nothing is decoded
    // twice. Payloads of other packet types are counted, not stored.
    // `dispatch` must not destroy this reassembler or append to it (ReceiveBuffers keeps an entry
    // alive through a drain even if the handler removes it). Should it throw, the packets already
    // complete stay queued and are dispatched, in order, by the next append.
    void append(ByteView chunk, const Dispatch& dispatch);

    // Bytes received but not yet consumed: those of the packet in progress.
    std::size_t bufferedSize() const;
    // Discards the packet in progress and releases its memory.
    void reset();

    const std::string& connection() const { return connection_; }

  private:
    void consume(ByteView chunk);

    std::string connection_;
    Report report_;
    std::size_t cap_;
    std::array<std::uint8_t, Packet::headerSize> header_{};
    std::size_t headerFill_ = 0;     // header bytes of the packet in progress
    std::optional<Packet> current_;  // its header, once all 22 bytes are here
    Bytes payload_;                  // its payload so far, for control packets only
    std::uint64_t received_ = 0;     // payload bytes received, stored or not
    std::deque<Packet> ready_;       // complete control packets not yet dispatched
};

// The control server's receiveBuffers: one reassembler per connection, keyed by its identity.
template <class Key, class Hash = std::hash<Key>>
class ReceiveBuffers {
  public:
    explicit ReceiveBuffers(PacketReassembler::Report report = {}) : report_(std::move(report)) {}

    // Appends a chunk to the connection's buffer (made on first use, reporting as `connection`)
    // and dispatches what it completes. A handler may remove this very entry; the drain in
    // progress finishes on its own reference.
    void append(const Key& key, std::string_view connection, ByteView chunk,
                const PacketReassembler::Dispatch& dispatch) {
        auto& slot = buffers_[key];
        if (!slot)
            slot = std::make_shared<PacketReassembler>(std::string(connection), report_, cap_);
        std::shared_ptr<PacketReassembler> keep = slot;
        keep->append(chunk, dispatch);
    }

    // The cap of buffers made from now on.
    void setCap(std::size_t cap) { cap_ = cap; }
    void remove(const Key& key) { buffers_.erase(key); }
    void clear() { buffers_.clear(); }
    bool contains(const Key& key) const { return buffers_.contains(key); }
    std::size_t size() const { return buffers_.size(); }
    // The unconsumed tail held for the connection (0 when it has no buffer).
    std::size_t bufferedSize(const Key& key) const {
        auto found = buffers_.find(key);
        return found == buffers_.end() ? 0 : found->second->bufferedSize();
    }

  private:
    PacketReassembler::Report report_;
    std::size_t cap_ = PacketReassembler::bufferCap;
    std::unordered_map<Key, std::shared_ptr<PacketReassembler>, Hash> buffers_;
};

}  // namespace vl
