// base: the Asio side of a dispatch queue, shared by queues and timers.
#pragma once

#include "base/DispatchQueue.h"

#include <asio.hpp>

#include <atomic>
#include <thread>

namespace vl {

// The io_context and thread behind a dedicated queue. The thread holds it too, so the context
// outlives its own run() even when the queue is let go on that thread.
struct DedicatedThread {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{
        asio::make_work_guard(context)};
    std::thread thread;
};

struct DispatchQueue::Impl : std::enable_shared_from_this<DispatchQueue::Impl> {
    Impl(std::string label, Kind kind, asio::any_io_executor executor,
         std::shared_ptr<DedicatedThread> ownThread = nullptr)
        : label(std::move(label)),
          kind(kind),
          executor(std::move(executor)),
          ownThread(std::move(ownThread)) {}
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Runs the block with this queue marked as current on the calling thread.
    void run(const Block& block) const;
    // The block, made to run as above.
    Block wrap(Block block) const;

    std::string label;
    Kind kind;
    asio::any_io_executor executor;              // a strand for serial queues on the pool
    std::shared_ptr<DedicatedThread> ownThread;  // dedicated queues only
    mutable std::atomic<bool> violationReported{false};
};

}  // namespace vl
