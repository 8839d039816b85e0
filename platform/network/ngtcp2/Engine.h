// platform/network/ngtcp2: the thread that owns every socket and every ngtcp2/GnuTLS state.
#pragma once

#include "base/DispatchQueue.h"
#include "base/DispatchQueueImpl.h"

#include <ngtcp2/ngtcp2.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace vl::quic {

class Engine {
  public:
    static Engine& shared();

    asio::io_context& context() { return context_; }
    template <class F>
    void post(F&& f) {
        asio::post(context_, std::forward<F>(f));
    }
    bool isCurrent() const { return std::this_thread::get_id() == threadId_; }

    // Scratch space for datagrams, used only on the engine thread.
    std::uint8_t* receiveBuffer() { return receiveBuffer_.get(); }
    std::uint8_t* sendBuffer() { return sendBuffer_.get(); }

    const std::array<std::uint8_t, 32>& statelessResetSecret() const { return secret_; }

    // Tests: while held, no QUIC timer is armed (acknowledgement delay, loss detection, pacing,
    // idle), so every datagram written answers an arriving one or a call of the application.
    // The timers that would have been armed are counted.
    void holdTimers(bool held) { timersHeld_ = held; }
    bool timersHeld() const { return timersHeld_; }
    void countHeldTimer() { ++heldTimers_; }
    std::uint64_t heldTimerCount() const { return heldTimers_; }

    static constexpr std::size_t receiveBatch = 32;
    static constexpr std::size_t receiveSlot = 65536;  // room for one GRO-coalesced read
    static constexpr std::size_t sendBufferSize = 65536;

  private:
    Engine();

    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::unique_ptr<std::uint8_t[]> receiveBuffer_;
    std::unique_ptr<std::uint8_t[]> sendBuffer_;
    std::array<std::uint8_t, 32> secret_{};
    std::thread::id threadId_;
    std::atomic<bool> timersHeld_{false};
    std::atomic<std::uint64_t> heldTimers_{0};
};

ngtcp2_tstamp now();
void randomBytes(std::uint8_t* data, std::size_t size);
std::uint64_t nextConnectionId();
// QUIC connections alive in the process (tests watch it for leaks and for timeouts).
std::size_t liveSessionCount();
void countSession(int delta);

// Runs the block on the queue, marked as that queue's block.
inline void postTo(const std::shared_ptr<DispatchQueue::Impl>& queue, Block block) {
    asio::post(queue->executor, queue->wrap(std::move(block)));
}

}  // namespace vl::quic
