// aac: MSB-first bit writer for access units and configuration records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vl::aac {

class BitWriter {
  public:
    // Appends the low `bits` bits of `value` (at most 32), most significant first.
    void put(uint32_t value, int bits) {
        if (bits <= 0) return;
        acc_ = (acc_ << bits) | (uint64_t(value) & ((uint64_t(1) << bits) - 1));
        pending_ += bits;
        bitCount_ += std::size_t(bits);
        while (pending_ >= 8) {
            pending_ -= 8;
            bytes_.push_back(uint8_t(acc_ >> pending_));
        }
    }
    // Everything written, the last byte padded with zero bits; the writer starts over.
    std::vector<uint8_t> finish() {
        if (pending_ > 0) bytes_.push_back(uint8_t(acc_ << (8 - pending_)));
        std::vector<uint8_t> out = std::move(bytes_);
        bytes_.clear();
        acc_ = 0;
        pending_ = 0;
        bitCount_ = 0;
        return out;
    }

  private:
    std::vector<uint8_t> bytes_;
    uint64_t acc_ = 0;
    int pending_ = 0;
    std::size_t bitCount_ = 0;
};

}  // namespace vl::aac
