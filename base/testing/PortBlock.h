// base/testing: a block of consecutive local ports that no other test claims while this one
// holds it, so that test programs run side by side (ctest -j) never share a port.
//
//     testing::PortBlock ports(10);           // throws when no block is free
//     options.controlPort = ports.port(0);
//
// Each port is claimed by an flock on /tmp/vl-port-claims/<port>: the kernel drops it when the
// holder exits, however it exits, so a crashed test leaves nothing stale. A block is only taken
// when every port in it is also bindable for UDP on 127.0.0.1, which keeps out ports in use by
// programs that do not claim. The range stays below the kernel's ephemeral ports, where
// outgoing connections would take ports without asking.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vl::testing {

class PortBlock {
  public:
    static constexpr int defaultFirst = 20000;
    static constexpr int defaultLast = 29999;

    // `count` consecutive ports in [first, last]; throws std::runtime_error when none is free.
    explicit PortBlock(int count = 10, int first = defaultFirst, int last = defaultLast) {
        auto block = claim(count, first, last);
        if (!block)
            throw std::runtime_error("no free block of " + std::to_string(count) +
                                     " ports between " + std::to_string(first) + " and " +
                                     std::to_string(last));
        first_ = std::exchange(block->first_, 0);
        locks_ = std::move(block->locks_);
        block->locks_.clear();
    }

    static std::optional<PortBlock> claim(int count, int first = defaultFirst,
                                          int last = defaultLast) {
        if (count <= 0 || last - first + 1 < count) return std::nullopt;
        if (mkdir(directory(), 01777) == 0) chmod(directory(), 01777);
        const int blocks = (last - first + 1) / count;
        // Programs started together begin their search at different blocks.
        const int start = int((unsigned(getpid()) * 2654435761u) % unsigned(blocks));
        for (int i = 0; i < blocks; ++i) {
            PortBlock block{Empty{}};
            block.first_ = first + (start + i) % blocks * count;
            if (block.take(count)) return block;
        }
        return std::nullopt;
    }

    PortBlock(PortBlock&& other) noexcept
        : first_(std::exchange(other.first_, 0)), locks_(std::move(other.locks_)) {
        other.locks_.clear();
    }
    PortBlock& operator=(PortBlock&& other) noexcept {
        if (this != &other) {
            release();
            first_ = std::exchange(other.first_, 0);
            locks_ = std::move(other.locks_);
            other.locks_.clear();
        }
        return *this;
    }
    PortBlock(const PortBlock&) = delete;
    PortBlock& operator=(const PortBlock&) = delete;
    ~PortBlock() { release(); }

    int first() const { return first_; }
    int size() const { return int(locks_.size()); }
    // The i-th port of the block.
    std::uint16_t port(int i) const { return std::uint16_t(first_ + i); }

  private:
    struct Empty {};
    explicit PortBlock(Empty) {}

    static const char* directory() { return "/tmp/vl-port-claims"; }

    bool take(int count) {
        for (int i = 0; i < count; ++i) {
            // Claim files stay: removing one would let a later claimer lock a new file while an
            // earlier one still holds the old.
            auto path = std::string(directory()) + "/" + std::to_string(first_ + i);
            int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0) break;
            if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !bindable(first_ + i)) {
                close(fd);
                break;
            }
            locks_.push_back(fd);
        }
        if (int(locks_.size()) == count) return true;
        release();
        return false;
    }

    static bool bindable(int port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(std::uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return free;
    }

    void release() {
        for (int fd : locks_) close(fd);
        locks_.clear();
    }

    int first_ = 0;
    std::vector<int> locks_;
};

}  // namespace vl::testing
