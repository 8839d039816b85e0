// platform/network/ngtcp2: one bidirectional QUIC stream as a Connection. The public calls may
// come from any thread; they are carried to the engine thread, which alone touches the buffers.
#pragma once

#include "platform/network/Interface.h"

#include "base/DispatchQueueImpl.h"

#include <ngtcp2/ngtcp2.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace vl::quic {

class QuicSession;

class StreamConnection final : public Connection,
                               public std::enable_shared_from_this<StreamConnection> {
  public:
    StreamConnection(std::weak_ptr<QuicSession> session, std::int64_t streamId, std::string remote,
                     bool clientSide);

    // A send completes on the calling side, without waiting for the engine, while the stream
    // holds fewer unwritten bytes than this; beyond it the completion waits until the engine has
    // written enough of what is queued ahead. A sender that issues each send from the previous
    // completion therefore keeps at most this much queued, and costs no engine round trip per
    // send.
    static constexpr std::size_t earlyCompletionLimit = 256 * 1024;

    // Connection
    void setStateUpdateHandler(StateUpdateHandler handler) override;
    void start(DispatchQueue& queue) override;
    void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                 ReceiveCompletion completion) override;
    void send(Bytes data, bool isComplete, SendCompletion completion,
              ContentContext context) override;
    void cancel() override;
    ConnectionState state() const override { return state_.load(); }
    std::string description() const override;
    std::string remoteAddress() const override { return remote_; }
    std::uint64_t id() const override { return id_; }
    std::shared_ptr<Connection> openStream() override;

    // Client: runs on the engine thread when the first stream starts (it begins the connection).
    void setStarter(std::function<void()> starter) { starter_ = std::move(starter); }

    // --- engine thread ---
    std::int64_t streamId() const { return streamId_; }
    bool isStarted() const { return queue_ != nullptr; }
    bool isCancelled() const { return cancelled_; }
    void opened(std::int64_t streamId);  // client: the stream now exists
    void dataArrived(const std::uint8_t* data, std::size_t size, bool fin);
    void resetByPeer(std::uint64_t code);
    void stopSendingByPeer(std::uint64_t code);
    void closedByTransport();
    void acknowledged(std::uint64_t offset, std::uint64_t length);
    void sessionEnded(const NetworkError& error);
    // Delivers what the pending receives can take; returns the bytes consumed.
    std::size_t serviceReceives();

    // Sending: the unwritten bytes as vectors, whether a FIN follows them, and what was written.
    bool wantsToWrite() const;
    std::size_t gather(ngtcp2_vec* vectors, std::size_t capacity, bool& fin) const;
    void written(std::size_t bytes, bool finWritten);
    std::size_t bufferedBytes() const;

  private:
    struct PendingReceive {
        std::size_t minimum;
        std::size_t maximum;
        ReceiveCompletion completion;
    };
    struct PendingSend {
        Bytes data;
        std::size_t written = 0;
        bool fin = false;
        std::uint64_t endOffset = 0;  // stream offset just past this data
        SendCompletion completion;
    };

    void startOnEngine(std::shared_ptr<DispatchQueue::Impl> queue);
    void transition(ConnectionState state, std::optional<NetworkError> error = std::nullopt);
    // Public calls reach the engine through the inbox, in order; a burst of them costs one wake-up.
    void toEngine(Block block);
    void drainInbox();
    // Handlers and completions for the queue, in order, batched per turn of the engine.
    void post(Block block);
    void completeSend(PendingSend& item, std::optional<NetworkError> error);
    // Completes the sends left to the engine once fewer than earlyCompletionLimit bytes are
    // queued ahead of them, oldest first.
    void admitWaiting();
    // A send leaves the unwritten queue (written whole, or dropped).
    void releaseUnwritten(std::size_t bytes);
    // No send completes on the calling side any more (the stream ended, failed or finished).
    void refuseEarlyCompletions();

    const std::uint64_t id_;
    const std::string remote_;
    const bool clientSide_;
    std::weak_ptr<QuicSession> session_;
    std::atomic<ConnectionState> state_{ConnectionState::setup};
    std::atomic<std::int64_t> visibleStreamId_;

    std::mutex handlerMutex_;
    StateUpdateHandler handler_;

    std::mutex inboxMutex_;
    std::vector<Block> inbox_;
    bool inboxScheduled_ = false;

    std::mutex sendMutex_;                                  // guards the four fields below
    std::shared_ptr<DispatchQueue::Impl> completionQueue_;  // from start()
    std::size_t unwrittenBytes_ = 0;                        // sent, not yet handed to ngtcp2 whole
    std::size_t deferredCompletions_ = 0;  // completions left to the engine, not yet run
    bool earlyCompletions_ = false;        // ready delivered, and nothing ended the sending side
    bool earlyRefused_ = false;

    // Engine thread only.
    std::shared_ptr<DispatchQueue::Impl> queue_;
    std::vector<Block> outbox_;
    bool outboxScheduled_ = false;
    std::function<void()> starter_;
    std::int64_t streamId_;
    bool cancelled_ = false;
    std::optional<NetworkError> ended_;  // session or stream failure
    Bytes inbound_;
    std::size_t inboundOffset_ = 0;
    bool finReceived_ = false;
    bool finDelivered_ = false;
    std::optional<NetworkError> readError_;
    std::deque<PendingReceive> receives_;
    std::deque<PendingSend> unwritten_;
    std::deque<PendingSend> unacknowledged_;
    std::uint64_t writeOffset_ = 0;  // stream offset of the next byte queued
    bool finQueued_ = false;
    bool admitPending_ = false;  // a send in unwritten_ waits for room to complete
    bool finWritten_ = false;
    std::optional<NetworkError> writeError_;
};

}  // namespace vl::quic
