// platform/network/fake: a stream connection driven by the test — it delivers chunks, changes
// state and reads back what was sent. Handlers and completions run on the queue the connection
// was started on, as the transport's do, and the test's call waits for them, so a test sees
// their effects as soon as its call returns.
#pragma once

#include "platform/network/Interface.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

namespace vl {

class FakeConnection final : public Connection {
  public:
    struct Sent {
        Bytes data;
        bool isComplete;
    };

    explicit FakeConnection(std::string remote = "127.0.0.1:50000") : remote_(std::move(remote)) {
        static std::atomic<std::uint64_t> next{1};
        id_ = next++;
    }

    void setStateUpdateHandler(StateUpdateHandler handler) override {
        std::lock_guard lock(mutex_);
        stateHandler_ = std::move(handler);
    }
    void start(DispatchQueue& queue) override {
        startedOn = &queue;
        setState(ConnectionState::preparing);
    }
    // Runs the block where the connection's handlers run, and waits for it.
    void onStartQueue(const std::function<void()>& block) {
        DispatchQueue* queue = startedOn.load();
        if (queue && !queue->isCurrent())
            queue->sync(block);
        else
            block();
    }
    void receive(std::size_t, std::size_t maximumLength, ReceiveCompletion completion) override {
        std::unique_lock lock(mutex_);
        ++receivesArmed;
        if (readEnded_) {
            lock.unlock();
            completeEnded(std::move(completion));
            return;
        }
        pendingMaximum_ = maximumLength;
        pending_ = std::move(completion);
    }
    void send(Bytes data, bool isComplete, SendCompletion completion, ContentContext) override {
        {
            std::lock_guard lock(mutex_);
            sent_.push_back({std::move(data), isComplete});
        }
        if (onSend) onSend();
        if (completion) completion(sendError);
    }
    void cancel() override { setState(ConnectionState::cancelled); }

    ConnectionState state() const override { return state_; }
    std::string description() const override { return remote_ + "#" + std::to_string(id_); }
    std::string remoteAddress() const override { return remote_; }
    std::uint64_t id() const override { return id_; }
    std::shared_ptr<Connection> openStream() override { return nullptr; }

    // Moves to the state and tells the handler, as the transport would; a connection that ends
    // also ends its armed receive with an error, as the transport does.
    void setState(ConnectionState state, std::optional<NetworkError> error = std::nullopt) {
        StateUpdateHandler handler;
        {
            std::lock_guard lock(mutex_);
            state_ = state;
            handler = stateHandler_;
        }
        if (handler) onStartQueue([&] { handler(state, error); });
        if (state == ConnectionState::failed || state == ConnectionState::cancelled)
            failReceive(error.value_or(NetworkError{NetworkError::Code::cancelled, ""}));
    }

    // Completes the armed receive with the bytes (at most its maximum; the rest waits for the
    // next receive). False when no receive was armed.
    bool deliver(Bytes bytes) {
        while (!bytes.empty()) {
            ReceiveCompletion completion;
            std::size_t maximum;
            {
                std::lock_guard lock(mutex_);
                if (!pending_) return false;
                completion = std::exchange(pending_, nullptr);
                maximum = pendingMaximum_;
            }
            std::size_t n = std::min(maximum, bytes.size());
            onStartQueue(
                [&] { completion(Bytes(bytes.begin(), bytes.begin() + n), false, std::nullopt); });
            bytes.erase(bytes.begin(), bytes.begin() + n);
        }
        return true;
    }
    // Completes the armed receive with an error and no data.
    bool failReceive(NetworkError error) {
        ReceiveCompletion completion;
        {
            std::lock_guard lock(mutex_);
            if (!pending_) return false;
            completion = std::exchange(pending_, nullptr);
        }
        onStartQueue([&] { completion(std::nullopt, false, error); });
        return true;
    }
    // The peer ends its sending side (no error: FIN) or resets the stream (an error). As the
    // transport does, the armed receive and every one armed after it complete at once, on the
    // connection's queue, with no data: complete, or with the error. The state stays as it is.
    void endReading(std::optional<NetworkError> error = std::nullopt) {
        ReceiveCompletion completion;
        {
            std::lock_guard lock(mutex_);
            readEnded_ = true;
            readError_ = std::move(error);
            completion = std::exchange(pending_, nullptr);
        }
        if (completion) completeEnded(std::move(completion));
    }
    bool hasPendingReceive() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(pending_);
    }
    std::vector<Sent> sent() const {
        std::lock_guard lock(mutex_);
        return {sent_.begin(), sent_.end()};
    }
    void clearSent() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

    std::atomic<DispatchQueue*> startedOn = nullptr;
    std::atomic<int> receivesArmed = 0;
    std::optional<NetworkError> sendError;
    std::function<void()> onSend;  // runs after each send is recorded, before its completion

  private:
    void completeEnded(ReceiveCompletion completion) {
        std::optional<NetworkError> error;
        {
            std::lock_guard lock(mutex_);
            error = readError_;
        }
        DispatchQueue* queue = startedOn.load();
        auto complete = [completion = std::move(completion), error] {
            completion(std::nullopt, !error, error);
        };
        if (queue)
            queue->async(complete);
        else
            complete();
    }

    mutable std::mutex mutex_;
    std::string remote_;
    std::uint64_t id_ = 0;
    std::atomic<ConnectionState> state_{ConnectionState::setup};
    StateUpdateHandler stateHandler_;
    ReceiveCompletion pending_;
    std::size_t pendingMaximum_ = 0;
    bool readEnded_ = false;
    std::optional<NetworkError> readError_;
    std::deque<Sent> sent_;
};

}  // namespace vl
