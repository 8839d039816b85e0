#include "platform/network/ngtcp2/Engine.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <atomic>
#include <chrono>

namespace vl::quic {

Engine& Engine::shared() {
    // Never destroyed: connections may outlive every other static at exit.
    static Engine* engine = new Engine;
    return *engine;
}

Engine::Engine()
    : guard_(asio::make_work_guard(context_)),
      receiveBuffer_(new std::uint8_t[receiveBatch * receiveSlot]),
      sendBuffer_(new std::uint8_t[sendBufferSize]) {
    randomBytes(secret_.data(), secret_.size());
    std::thread thread([this] { context_.run(); });
    threadId_ = thread.get_id();
    thread.detach();
}

ngtcp2_tstamp now() {
    return static_cast<ngtcp2_tstamp>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void randomBytes(std::uint8_t* data, std::size_t size) {
    gnutls_rnd(GNUTLS_RND_RANDOM, data, size);
}

std::uint64_t nextConnectionId() {
    static std::atomic<std::uint64_t> next{1};
    return next++;
}

namespace {
std::atomic<std::int64_t> sessions{0};
}

std::size_t liveSessionCount() {
    return static_cast<std::size_t>(sessions.load());
}
void countSession(int delta) {
    sessions += delta;
}

}  // namespace vl::quic
