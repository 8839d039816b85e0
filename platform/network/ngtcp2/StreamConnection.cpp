#include "platform/network/ngtcp2/StreamConnection.h"

#include "platform/network/ngtcp2/Engine.h"
#include "platform/network/ngtcp2/QuicSession.h"

#include <algorithm>

namespace vl::quic {

namespace {

const NetworkError cancelledError{NetworkError::Code::cancelled, ""};

}  // namespace

StreamConnection::StreamConnection(std::weak_ptr<QuicSession> session, std::int64_t streamId,
                                   std::string remote, bool clientSide)
    : id_(nextConnectionId()),
      remote_(std::move(remote)),
      clientSide_(clientSide),
      session_(std::move(session)),
      visibleStreamId_(streamId),
      streamId_(streamId) {}

// --- public calls: carried to the engine thread ---

void StreamConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

void StreamConnection::start(DispatchQueue& queue) {
    {
        std::lock_guard lock(sendMutex_);
        if (!completionQueue_) completionQueue_ = queue.impl().shared_from_this();
    }
    toEngine([self = shared_from_this(), impl = queue.impl().shared_from_this()] {
        self->startOnEngine(impl);
    });
}

void StreamConnection::receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                               ReceiveCompletion completion) {
    toEngine([self = shared_from_this(), minimumIncompleteLength, maximumLength,
              completion = std::move(completion)]() mutable {
        self->receives_.push_back({minimumIncompleteLength, maximumLength, std::move(completion)});
        std::size_t consumed = self->serviceReceives();
        if (consumed == 0) return;
        if (auto session = self->session_.lock()) session->consumed(self->streamId_, consumed);
    });
}

void StreamConnection::send(Bytes data, bool isComplete, SendCompletion completion,
                            ContentContext context) {
    bool fin = isComplete && context == ContentContext::finalMessage;
    std::shared_ptr<DispatchQueue::Impl> earlyQueue;
    {
        std::lock_guard lock(sendMutex_);
        if (completion && !fin && !data.empty() && earlyCompletions_ && !earlyRefused_ &&
            deferredCompletions_ == 0 && unwrittenBytes_ < earlyCompletionLimit) {
            earlyQueue = completionQueue_;
        } else if (completion) {
            ++deferredCompletions_;
        }
        unwrittenBytes_ += data.size();
        if (fin) earlyRefused_ = true;
    }
    if (earlyQueue) {
        // The stream has taken the bytes: complete now, on the connection's queue.
        postTo(earlyQueue, [completion = std::move(completion)] { completion(std::nullopt); });
        completion = nullptr;
    } else if (completion) {
        // Runs on the queue; later sends may complete early once it has.
        completion = [weak = weak_from_this(),
                      completion = std::move(completion)](std::optional<NetworkError> error) {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->sendMutex_);
                --self->deferredCompletions_;
            }
            completion(error);
        };
    }
    toEngine([self = shared_from_this(), data = std::move(data), fin,
              completion = std::move(completion)]() mutable {
        PendingSend item{std::move(data), 0, fin, 0, std::move(completion)};
        std::optional<NetworkError> refusal;
        if (self->cancelled_) {
            refusal = cancelledError;
        } else if (self->ended_) {
            refusal = self->ended_;
        } else if (self->writeError_) {
            refusal = self->writeError_;
        } else if (self->finQueued_) {
            refusal = NetworkError{NetworkError::Code::transportError, "stream already finished"};
        }
        if (refusal) {
            self->releaseUnwritten(item.data.size());
            self->completeSend(item, refusal);
            return;
        }
        if (item.data.empty() && !fin) {
            self->completeSend(item, std::nullopt);
            return;
        }
        self->writeOffset_ += item.data.size();
        item.endOffset = self->writeOffset_;
        self->finQueued_ = fin;
        if (item.completion && !fin) self->admitPending_ = true;
        self->unwritten_.push_back(std::move(item));
        self->admitWaiting();
        if (auto session = self->session_.lock()) session->scheduleProcess();
    });
}

void StreamConnection::cancel() {
    refuseEarlyCompletions();
    toEngine([self = shared_from_this()] {
        if (self->cancelled_) return;
        self->cancelled_ = true;
        // Bytes already partly handed to the transport stay until it lets go of them; the rest
        // is dropped and its senders told.
        while (!self->unwritten_.empty()) {
            PendingSend& item = self->unwritten_.front();
            self->releaseUnwritten(item.data.size());
            self->completeSend(item, cancelledError);
            if (item.written > 0) self->unacknowledged_.push_back(std::move(item));
            self->unwritten_.pop_front();
        }
        self->readError_ = cancelledError;
        self->serviceReceives();
        self->transition(ConnectionState::cancelled);
        if (!self->finQueued_ && !self->ended_ && !self->writeError_) {
            self->finQueued_ = true;
            self->unwritten_.push_back(PendingSend{{}, 0, true, self->writeOffset_, nullptr});
        }
        if (auto session = self->session_.lock()) session->streamCancelled(self);
    });
}

std::string StreamConnection::description() const {
    std::int64_t stream = visibleStreamId_.load();
    return remote_ + "#" + (stream >= 0 ? std::to_string(stream) : std::string("-"));
}

std::shared_ptr<Connection> StreamConnection::openStream() {
    if (!clientSide_) return nullptr;
    auto stream = std::make_shared<StreamConnection>(session_, -1, remote_, true);
    Engine::shared().post([weak = session_, stream] {
        if (auto session = weak.lock(); session && !session->hasEnded()) {
            session->addClientStream(stream);
        } else {
            stream->sessionEnded(
                NetworkError{NetworkError::Code::transportError, "connection is gone"});
        }
    });
    return stream;
}

// --- engine thread ---

void StreamConnection::startOnEngine(std::shared_ptr<DispatchQueue::Impl> queue) {
    if (queue_) return;
    queue_ = std::move(queue);
    if (cancelled_) return;
    transition(ConnectionState::preparing);
    if (starter_) {
        auto starter = std::move(starter_);
        starter_ = nullptr;
        starter();
    }
    auto session = session_.lock();
    if (ended_ || !session || session->hasEnded()) {
        if (!ended_)
            ended_ = NetworkError{NetworkError::Code::transportError, "connection is gone"};
        if (!readError_) readError_ = ended_;
        transition(ConnectionState::failed, ended_);
        serviceReceives();
        return;
    }
    if (streamId_ >= 0) transition(ConnectionState::ready);
    session->streamStarted(shared_from_this());
    if (std::size_t consumed = serviceReceives()) session->consumed(streamId_, consumed);
}

void StreamConnection::opened(std::int64_t streamId) {
    streamId_ = streamId;
    visibleStreamId_ = streamId;
    if (!cancelled_ && !ended_) transition(ConnectionState::ready);
}

void StreamConnection::transition(ConnectionState state, std::optional<NetworkError> error) {
    ConnectionState current = state_.load();
    if (current == state || current == ConnectionState::cancelled) return;
    if (current == ConnectionState::failed && state != ConnectionState::cancelled) return;
    state_ = state;
    if (state == ConnectionState::failed || state == ConnectionState::cancelled)
        refuseEarlyCompletions();
    if (!queue_) return;
    post([self = shared_from_this(), state, error] {
        if (state == ConnectionState::ready) {
            // Sends complete early only once the ready state has reached the queue.
            std::lock_guard lock(self->sendMutex_);
            self->earlyCompletions_ = true;
        }
        StateUpdateHandler handler;
        {
            std::lock_guard lock(self->handlerMutex_);
            handler = self->handler_;
        }
        if (handler) handler(state, error);
    });
}

void StreamConnection::toEngine(Block block) {
    {
        std::lock_guard lock(inboxMutex_);
        inbox_.push_back(std::move(block));
        if (inboxScheduled_) return;
        inboxScheduled_ = true;
    }
    Engine::shared().post([self = shared_from_this()] { self->drainInbox(); });
}

void StreamConnection::drainInbox() {
    std::vector<Block> calls;
    for (;;) {
        {
            std::lock_guard lock(inboxMutex_);
            if (inbox_.empty()) {
                inboxScheduled_ = false;
                return;
            }
            calls.swap(inbox_);
        }
        for (auto& call : calls) call();
        calls.clear();
    }
}

void StreamConnection::post(Block block) {
    outbox_.push_back(std::move(block));
    if (outboxScheduled_) return;
    outboxScheduled_ = true;
    // Once the engine's current work is done, everything it produced for this stream goes to the
    // queue as one block.
    Engine::shared().post([self = shared_from_this()] {
        self->outboxScheduled_ = false;
        if (self->outbox_.empty()) return;
        postTo(self->queue_, [blocks = std::move(self->outbox_)] {
            for (const auto& block : blocks) block();
        });
        self->outbox_.clear();
    });
}

void StreamConnection::admitWaiting() {
    if (!admitPending_) return;
    admitPending_ = false;
    std::size_t ahead = 0;
    for (PendingSend& item : unwritten_) {
        if (item.fin) break;  // completes once written, the FIN with it
        if (item.completion) {
            if (ahead >= earlyCompletionLimit) {
                admitPending_ = true;
                return;
            }
            completeSend(item, std::nullopt);
        }
        ahead += item.data.size() - item.written;
    }
}

void StreamConnection::releaseUnwritten(std::size_t bytes) {
    std::lock_guard lock(sendMutex_);
    unwrittenBytes_ -= std::min(bytes, unwrittenBytes_);
}

void StreamConnection::refuseEarlyCompletions() {
    std::lock_guard lock(sendMutex_);
    earlyRefused_ = true;
}

void StreamConnection::completeSend(PendingSend& item, std::optional<NetworkError> error) {
    if (!item.completion) return;
    auto completion = std::move(item.completion);
    item.completion = nullptr;
    if (!queue_) return;
    post([completion = std::move(completion), error] { completion(error); });
}

void StreamConnection::dataArrived(const std::uint8_t* data, std::size_t size, bool fin) {
    if (cancelled_ || readError_) return;
    inbound_.insert(inbound_.end(), data, data + size);
    if (fin) finReceived_ = true;
}

std::size_t StreamConnection::serviceReceives() {
    if (!queue_) return 0;
    std::size_t consumed = 0;
    while (!receives_.empty()) {
        PendingReceive& request = receives_.front();
        std::size_t available = inbound_.size() - inboundOffset_;
        std::size_t maximum = std::max<std::size_t>(request.maximum, 1);
        std::size_t minimum = std::clamp<std::size_t>(request.minimum, 1, maximum);

        std::optional<Bytes> data;
        bool complete = false;
        std::optional<NetworkError> error;
        if (readError_) {
            error = readError_;
        } else if (finDelivered_) {
            complete = true;
        } else if (available >= minimum || (finReceived_ && available > 0)) {
            std::size_t count = std::min(available, maximum);
            if (inboundOffset_ == 0 && count == inbound_.size()) {
                data = std::move(inbound_);
                inbound_ = Bytes();
            } else {
                data = Bytes(inbound_.begin() + inboundOffset_,
                             inbound_.begin() + inboundOffset_ + count);
                inboundOffset_ += count;
            }
            consumed += count;
            complete = finReceived_ && count == available;
        } else if (finReceived_) {
            complete = true;
        } else {
            break;
        }
        if (complete) finDelivered_ = true;
        if (inboundOffset_ == inbound_.size()) {
            inbound_.clear();
            inboundOffset_ = 0;
        } else if (inboundOffset_ > 65536 && inboundOffset_ * 2 > inbound_.size()) {
            inbound_.erase(inbound_.begin(), inbound_.begin() + inboundOffset_);
            inboundOffset_ = 0;
        }
        auto completion = std::move(request.completion);
        receives_.pop_front();
        post([completion = std::move(completion), data = std::move(data), complete,
              error]() mutable { completion(std::move(data), complete, error); });
    }
    return consumed;
}

void StreamConnection::resetByPeer(std::uint64_t code) {
    if (!readError_)
        readError_ = NetworkError{NetworkError::Code::streamReset,
                                  "application error " + std::to_string(code)};
    inbound_.clear();
    inboundOffset_ = 0;
}

void StreamConnection::stopSendingByPeer(std::uint64_t code) {
    refuseEarlyCompletions();
    if (!writeError_)
        writeError_ =
            NetworkError{NetworkError::Code::streamReset,
                         "peer stopped reading, application error " + std::to_string(code)};
    while (!unwritten_.empty()) {
        PendingSend& item = unwritten_.front();
        releaseUnwritten(item.data.size());
        completeSend(item, writeError_);
        if (item.written > 0) unacknowledged_.push_back(std::move(item));
        unwritten_.pop_front();
    }
}

void StreamConnection::closedByTransport() {
    // The transport holds no reference to our bytes any more.
    unacknowledged_.clear();
    refuseEarlyCompletions();
    if (!writeError_)
        writeError_ = NetworkError{NetworkError::Code::transportError, "stream closed"};
    while (!unwritten_.empty()) {
        releaseUnwritten(unwritten_.front().data.size());
        completeSend(unwritten_.front(), writeError_);
        unwritten_.pop_front();
    }
    if (!finReceived_ && !readError_)
        readError_ = NetworkError{NetworkError::Code::streamReset, "stream closed"};
}

void StreamConnection::acknowledged(std::uint64_t offset, std::uint64_t length) {
    std::uint64_t end = offset + length;
    while (!unacknowledged_.empty() && unacknowledged_.front().endOffset <= end)
        unacknowledged_.pop_front();
}

void StreamConnection::sessionEnded(const NetworkError& error) {
    if (!ended_) ended_ = error;
    unacknowledged_.clear();
    refuseEarlyCompletions();
    while (!unwritten_.empty()) {
        releaseUnwritten(unwritten_.front().data.size());
        completeSend(unwritten_.front(), error);
        unwritten_.pop_front();
    }
    if (!readError_) readError_ = error;
    // Before start() the failure waits: start reports preparing, then failed.
    if (!cancelled_ && queue_) transition(ConnectionState::failed, error);
    serviceReceives();
}

bool StreamConnection::wantsToWrite() const {
    return streamId_ >= 0 && !unwritten_.empty() && !writeError_ && !ended_;
}

std::size_t StreamConnection::gather(ngtcp2_vec* vectors, std::size_t capacity, bool& fin) const {
    std::size_t count = 0;
    fin = false;
    for (const PendingSend& item : unwritten_) {
        if (item.fin) fin = true;
        std::size_t remaining = item.data.size() - item.written;
        if (remaining > 0) {
            if (count == capacity) {
                fin = false;
                break;
            }
            vectors[count].base = const_cast<std::uint8_t*>(item.data.data()) + item.written;
            vectors[count].len = remaining;
            ++count;
        }
        if (item.fin) break;
    }
    return count;
}

void StreamConnection::written(std::size_t bytes, bool finWritten) {
    while (!unwritten_.empty()) {
        PendingSend& item = unwritten_.front();
        std::size_t take = std::min(bytes, item.data.size() - item.written);
        item.written += take;
        bytes -= take;
        if (item.written < item.data.size() || (item.fin && !finWritten)) break;
        if (item.fin) finWritten_ = true;
        releaseUnwritten(item.data.size());
        completeSend(item, std::nullopt);
        if (!item.data.empty()) unacknowledged_.push_back(std::move(item));
        unwritten_.pop_front();
    }
    admitWaiting();
}

std::size_t StreamConnection::bufferedBytes() const {
    std::size_t total = inbound_.capacity();
    for (const auto& item : unwritten_) total += item.data.capacity();
    for (const auto& item : unacknowledged_) total += item.data.capacity();
    return total;
}

}  // namespace vl::quic
