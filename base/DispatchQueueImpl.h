// base: the Asio side of a dispatch queue, shared by queues and timers.
#pragma once

#include "base/DispatchQueue.h"

#include <asio.hpp>

namespace vl {

struct DispatchQueue::Impl : std::enable_shared_from_this<DispatchQueue::Impl> {
    Impl(std::string label, Kind kind, asio::any_io_executor executor)
        : label(std::move(label)), kind(kind), executor(std::move(executor)) {}

    // Runs the block with this queue marked as current on the calling thread.
    void run(const Block& block) const;
    // The block, made to run as above.
    Block wrap(Block block) const;

    std::string label;
    Kind kind;
    asio::any_io_executor executor;  // a strand for serial queues
};

}  // namespace vl
