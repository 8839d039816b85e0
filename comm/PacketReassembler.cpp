#include "comm/PacketReassembler.h"

#include "base/Log.h"

#include <algorithm>

namespace vl {

PacketReassembler::PacketReassembler(std::string connection, Report report, std::size_t cap)
    : connection_(std::move(connection)), report_(std::move(report)), cap_(cap) {
    if (!report_) report_ = [](std::string text) { logMsg(std::move(text), LogLevel::warning); };
}

std::size_t PacketReassembler::bufferedSize() const {
    return headerFill_ + static_cast<std::size_t>(received_);
}

void PacketReassembler::append(ByteView chunk, const Dispatch& dispatch) {
    consume(chunk);
    while (!ready_.empty()) {
        Packet packet = std::move(ready_.front());
        ready_.pop_front();
        dispatch(std::move(packet));
    }
    std::size_t tail = bufferedSize();
    if (tail > cap_) {
        report_("[" + connection_ + "] receive buffer reached " + std::to_string(tail) +
                " bytes without a full packet — resetting");
        reset();
    }
}

void PacketReassembler::consume(ByteView chunk) {
    while (!chunk.empty()) {
        if (!current_) {
            std::size_t take = std::min(Packet::headerSize - headerFill_, chunk.size());
            std::copy_n(chunk.begin(), take, header_.begin() + headerFill_);
            headerFill_ += take;
            chunk = chunk.subspan(take);
            if (headerFill_ < Packet::headerSize) return;
            current_ = Packet::decodeHeader(header_);
            received_ = 0;
            // Room for the whole payload at once: address space only until the bytes arrive,
            // and never more than the cap lets a packet in progress reach.
            if (current_->type == PacketType::pktInteractiveTap)
                payload_.reserve(std::min<std::size_t>(current_->length, cap_));
        }
        std::uint64_t missing = current_->length - received_;
        std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(missing, chunk.size()));
        if (current_->type == PacketType::pktInteractiveTap)
            payload_.insert(payload_.end(), chunk.begin(), chunk.begin() + take);
        received_ += take;
        chunk = chunk.subspan(take);
        if (received_ < current_->length) return;

        // Complete: control packets are queued for dispatch, every other type is dropped.
        if (current_->type == PacketType::pktInteractiveTap) {
            if (!payload_.empty()) current_->data = std::move(payload_);
            ready_.push_back(std::move(*current_));
        }
        payload_ = Bytes();
        current_.reset();
        headerFill_ = 0;
        received_ = 0;
    }
}

void PacketReassembler::reset() {
    current_.reset();
    payload_ = Bytes();
    headerFill_ = 0;
    received_ = 0;
}

}  // namespace vl
