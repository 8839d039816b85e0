#include "platform/network/ngtcp2/QuicSession.h"

#include "platform/network/ngtcp2/Engine.h"
#include "platform/network/ngtcp2/StreamConnection.h"

#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <algorithm>
#include <cstring>

namespace vl::quic {

namespace {

constexpr std::size_t connectionIdLength = 18;
// QUIC v1 (RFC 9000 §14): datagrams carrying Initial packets are at least this long and no
// endpoint may advertise a smaller max_udp_payload_size.
constexpr std::size_t minimumInitialDatagram = 1200;
constexpr std::size_t maxVectors = 16;

QuicSession* sessionOf(void* userData) {
    return static_cast<QuicSession*>(userData);
}

ngtcp2_conn* connectionOfReference(ngtcp2_crypto_conn_ref* reference) {
    return static_cast<QuicSession*>(reference->user_data)->connection();
}

void randomCid(ngtcp2_cid& cid) {
    cid.datalen = connectionIdLength;
    randomBytes(cid.data, cid.datalen);
}

void randomCallback(std::uint8_t* dest, std::size_t length, const ngtcp2_rand_ctx*) {
    randomBytes(dest, length);
}

int streamOpen(ngtcp2_conn*, std::int64_t streamId, void* user) {
    return sessionOf(user)->onStreamOpen(streamId);
}
int streamData(ngtcp2_conn*, std::uint32_t flags, std::int64_t streamId, std::uint64_t,
               const std::uint8_t* data, std::size_t length, void* user, void* stream) {
    return sessionOf(user)->onStreamData(flags, streamId, data, length,
                                         static_cast<StreamConnection*>(stream));
}
int acked(ngtcp2_conn*, std::int64_t streamId, std::uint64_t offset, std::uint64_t length,
          void* user, void* stream) {
    return sessionOf(user)->onAcked(streamId, offset, length,
                                    static_cast<StreamConnection*>(stream));
}
int streamClose(ngtcp2_conn*, std::uint32_t, std::int64_t streamId, std::uint64_t, void* user,
                void* stream) {
    return sessionOf(user)->onStreamClose(streamId, static_cast<StreamConnection*>(stream));
}
int streamReset(ngtcp2_conn*, std::int64_t streamId, std::uint64_t, std::uint64_t code, void* user,
                void* stream) {
    return sessionOf(user)->onStreamReset(streamId, code, static_cast<StreamConnection*>(stream));
}
int stopSending(ngtcp2_conn*, std::int64_t streamId, std::uint64_t code, void* user, void* stream) {
    return sessionOf(user)->onStopSending(streamId, code, static_cast<StreamConnection*>(stream));
}
int handshakeCompleted(ngtcp2_conn*, void* user) {
    return sessionOf(user)->onHandshakeCompleted();
}
int newConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, std::uint8_t* token, std::size_t length,
                    void* user) {
    return sessionOf(user)->onNewConnectionId(cid, token, length);
}
int removeConnectionId(ngtcp2_conn*, const ngtcp2_cid* cid, void* user) {
    return sessionOf(user)->onRemoveConnectionId(cid);
}
int extendMaxLocalStreams(ngtcp2_conn*, std::uint64_t, void* user) {
    return sessionOf(user)->onExtendMaxLocalStreams();
}

ngtcp2_callbacks callbacks(bool server) {
    ngtcp2_callbacks c{};
    if (server) {
        c.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
        c.client_initial = ngtcp2_crypto_client_initial_cb;
        c.recv_retry = ngtcp2_crypto_recv_retry_cb;
        c.extend_max_local_streams_bidi = extendMaxLocalStreams;
    }
    c.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    c.encrypt = ngtcp2_crypto_encrypt_cb;
    c.decrypt = ngtcp2_crypto_decrypt_cb;
    c.hp_mask = ngtcp2_crypto_hp_mask_cb;
    c.update_key = ngtcp2_crypto_update_key_cb;
    c.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    c.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    c.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    c.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    c.rand = randomCallback;
    c.get_new_connection_id = newConnectionId;
    c.remove_connection_id = removeConnectionId;
    c.handshake_completed = handshakeCompleted;
    c.stream_open = streamOpen;
    c.recv_stream_data = streamData;
    c.acked_stream_data_offset = acked;
    c.stream_close = streamClose;
    c.stream_reset = streamReset;
    c.stream_stop_sending = stopSending;
    return c;
}

std::string closeErrorText(const ngtcp2_connection_close_error& error) {
    std::string text;
    switch (error.type) {
        case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT:
            text = "transport error 0x";
            break;
        case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION:
            text = "application error 0x";
            break;
        default:
            text = "error 0x";
            break;
    }
    char hex[24];
    std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(error.error_code));
    text += hex;
    if (error.reason && error.reasonlen)
        text +=
            " (" + std::string(reinterpret_cast<const char*>(error.reason), error.reasonlen) + ")";
    return text;
}

}  // namespace

QuicSession::QuicSession(std::shared_ptr<Endpoint> endpoint, QuicParameters parameters,
                         sockaddr_in local, sockaddr_in remote, bool server)
    : endpoint_(std::move(endpoint)),
      parameters_(std::move(parameters)),
      local_(local),
      remote_(remote),
      server_(server),
      remoteText_(addressText(remote)),
      timer_(Engine::shared().context()) {
    reference_.get_conn = connectionOfReference;
    reference_.user_data = this;
    countSession(1);
}

QuicSession::~QuicSession() {
    countSession(-1);
    if (connection_) ngtcp2_conn_del(connection_);
    if (tls_) gnutls_deinit(tls_);
}

bool QuicSession::setUp(const ngtcp2_cid& destination, const ngtcp2_cid& source,
                        const ngtcp2_cid* originalDestination,
                        std::shared_ptr<TlsCredentials> credentials) {
    credentials_ = std::move(credentials);
    ngtcp2_settings settings;
    ngtcp2_settings_default(&settings);
    settings.initial_ts = now();
    settings.cc_algo = NGTCP2_CC_ALGO_CUBIC;
    settings.max_tx_udp_payload_size =
        std::max(minimumInitialDatagram, parameters_.maxUDPPayloadSize);
    settings.no_pmtud = 1;
    // Windows stay at the configured sizes: a reader that does not consume holds the sender.
    settings.max_window = 0;
    settings.max_stream_window = 0;

    ngtcp2_transport_params params;
    ngtcp2_transport_params_default(&params);
    params.initial_max_data = parameters_.initialMaxData;
    params.initial_max_stream_data_bidi_local = parameters_.initialMaxStreamDataBidirectionalLocal;
    params.initial_max_stream_data_bidi_remote =
        parameters_.initialMaxStreamDataBidirectionalRemote;
    params.initial_max_stream_data_uni = 0;
    params.initial_max_streams_bidi = server_ ? 100 : 0;
    params.initial_max_streams_uni = 0;
    params.max_idle_timeout =
        static_cast<ngtcp2_duration>(parameters_.idleTimeout.count()) * NGTCP2_MILLISECONDS;
    params.max_udp_payload_size = std::max(minimumInitialDatagram, parameters_.maxUDPPayloadSize);
    if (originalDestination) params.original_dcid = *originalDestination;

    ngtcp2_path path{{reinterpret_cast<sockaddr*>(&local_), sizeof local_},
                     {reinterpret_cast<sockaddr*>(&remote_), sizeof remote_},
                     nullptr};
    ngtcp2_callbacks cbs = callbacks(server_);
    int rc =
        server_
            ? ngtcp2_conn_server_new(&connection_, &destination, &source, &path,
                                     NGTCP2_PROTO_VER_V1, &cbs, &settings, &params, nullptr, this)
            : ngtcp2_conn_client_new(&connection_, &destination, &source, &path,
                                     NGTCP2_PROTO_VER_V1, &cbs, &settings, &params, nullptr, this);
    if (rc != 0) return false;
    tls_ = makeTlsSession(server_, *credentials_, parameters_.alpn, &reference_);
    if (!tls_) return false;
    ngtcp2_conn_set_tls_native_handle(connection_, tls_);
    return true;
}

bool QuicSession::acceptClient(const ngtcp2_pkt_hd& header,
                               std::shared_ptr<TlsCredentials> credentials) {
    ngtcp2_cid source;
    randomCid(source);
    if (!setUp(header.scid, source, &header.dcid, std::move(credentials))) return false;
    ids_.push_back(source);
    endpoint_->associate(source, this);
    // The client keeps using its chosen id until it hears from us.
    ids_.push_back(header.dcid);
    endpoint_->associate(header.dcid, this);
    return true;
}

bool QuicSession::connectToServer(std::shared_ptr<TlsCredentials> credentials, std::string* error) {
    ngtcp2_cid destination, source;
    randomCid(destination);
    randomCid(source);
    if (!setUp(destination, source, nullptr, std::move(credentials))) {
        if (error) *error = "cannot create the QUIC connection";
        return false;
    }
    return true;
}

void QuicSession::datagramArrived(const std::uint8_t* data, std::size_t size,
                                  const sockaddr_in& from) {
    if (ended_ || !connection_) return;
    sockaddr_in source = from;
    ngtcp2_path path{{reinterpret_cast<sockaddr*>(&local_), sizeof local_},
                     {reinterpret_cast<sockaddr*>(&source), sizeof source},
                     nullptr};
    ngtcp2_pkt_info info{};
    lastHeard_ = now();
    int rc = ngtcp2_conn_read_pkt(connection_, &path, &info, data, size, lastHeard_);
    if (rc != 0) handleReadError(rc);
}

void QuicSession::handleReadError(int error) {
    auto self = shared_from_this();
    switch (error) {
        case NGTCP2_ERR_DRAINING: {
            ngtcp2_connection_close_error close;
            ngtcp2_conn_get_connection_close_error(connection_, &close);
            bool handshakeRefused = !handshakeCompleted_ &&
                                    close.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT;
            terminate(NetworkError{handshakeRefused ? NetworkError::Code::handshakeFailed
                                                    : NetworkError::Code::closedByPeer,
                                   closeErrorText(close)});
            return;
        }
        case NGTCP2_ERR_DROP_CONN:
            terminate(NetworkError{NetworkError::Code::transportError, "connection dropped"});
            return;
        case NGTCP2_ERR_DISCARD_PKT:
            return;
        default:
            closeWithError(error);
            return;
    }
}

void QuicSession::closeWithError(int libraryError) {
    auto self = shared_from_this();
    if (ended_) return;
    ngtcp2_connection_close_error close;
    ngtcp2_connection_close_error_default(&close);
    NetworkError reported{NetworkError::Code::transportError, ngtcp2_strerror(libraryError)};
    if (libraryError == NGTCP2_ERR_CRYPTO) {
        std::uint8_t alert = ngtcp2_conn_get_tls_alert(connection_);
        ngtcp2_connection_close_error_set_transport_error_tls_alert(&close, alert, nullptr, 0);
        reported = NetworkError{
            NetworkError::Code::handshakeFailed,
            std::string("TLS alert ") + std::to_string(alert) + " (" +
                gnutls_alert_get_strname(static_cast<gnutls_alert_description_t>(alert)) + ")"};
    } else {
        ngtcp2_connection_close_error_set_transport_error_liberr(&close, libraryError, nullptr, 0);
    }
    sendConnectionClose(close);
    terminate(reported);
}

void QuicSession::sendConnectionClose(const ngtcp2_connection_close_error& close) {
    if (ngtcp2_conn_is_in_closing_period(connection_) ||
        ngtcp2_conn_is_in_draining_period(connection_))
        return;
    std::uint8_t* buffer = Engine::shared().sendBuffer();
    ngtcp2_path_storage path;
    ngtcp2_path_storage_zero(&path);
    ngtcp2_pkt_info info{};
    auto n = ngtcp2_conn_write_connection_close(connection_, &path.path, &info, buffer,
                                                minimumInitialDatagram, &close, now());
    if (n > 0) transmit(buffer, static_cast<std::size_t>(n), static_cast<std::size_t>(n));
}

void QuicSession::close() {
    if (ended_) return;
    auto self = shared_from_this();
    writePackets();  // what the streams still have queued goes first
    if (ended_) return;
    ngtcp2_connection_close_error close;
    ngtcp2_connection_close_error_default(&close);
    ngtcp2_connection_close_error_set_application_error(&close, 0, nullptr, 0);
    sendConnectionClose(close);
    terminate(NetworkError{NetworkError::Code::cancelled, ""});
}

void QuicSession::terminate(const NetworkError& error) {
    if (ended_) return;
    auto self = shared_from_this();
    ended_ = true;
    timer_.cancel();
    std::vector<std::shared_ptr<StreamConnection>> streams;
    for (auto& [id, stream] : streams_) streams.push_back(stream);
    streams.insert(streams.end(), waitingStreams_.begin(), waitingStreams_.end());
    streams.insert(streams.end(), newStreams_.begin(), newStreams_.end());
    streams_.clear();
    waitingStreams_.clear();
    newStreams_.clear();
    touched_.clear();
    for (auto& stream : streams) stream->sessionEnded(error);
    for (const auto& id : ids_) endpoint_->dissociate(id);
    ids_.clear();
    endpoint_->sessionEnded(this);
}

void QuicSession::scheduleProcess() {
    if (processScheduled_ || ended_) return;
    processScheduled_ = true;
    Engine::shared().post([self = shared_from_this()] { self->process(); });
}

void QuicSession::process() {
    auto self = shared_from_this();
    processScheduled_ = false;
    if (ended_ || !connection_) return;

    auto fresh = std::move(newStreams_);
    newStreams_.clear();
    for (auto& stream : fresh) {
        if (!endpoint_->deliverNewStream(stream)) {
            // Nobody accepts connections on this port any more.
            ngtcp2_conn_shutdown_stream(connection_, stream->streamId(), 0);
        }
    }
    openWaitingStreams();

    auto touched = std::move(touched_);
    touched_.clear();
    for (auto& stream : touched) {
        if (std::size_t consumed = stream->serviceReceives()) {
            ngtcp2_conn_extend_max_stream_offset(connection_, stream->streamId(), consumed);
            ngtcp2_conn_extend_max_offset(connection_, consumed);
        }
    }
    if (ended_) return;
    writePackets();
    if (ended_) return;
    trackAcknowledgements(now());
    armTimer();
}

void QuicSession::trackAcknowledgements(ngtcp2_tstamp ts) {
    ngtcp2_conn_stat stat;
    ngtcp2_conn_get_conn_stat(connection_, &stat);
    if (stat.bytes_in_flight == 0)
        awaitingSince_ = 0;
    else if (awaitingSince_ == 0)
        awaitingSince_ = ts;
}

ngtcp2_tstamp QuicSession::silentPeerDeadline() const {
    if (!handshakeCompleted_ || awaitingSince_ == 0) return UINT64_MAX;
    const auto limit =
        static_cast<ngtcp2_tstamp>(parameters_.unacknowledgedTimeout.count()) * NGTCP2_MILLISECONDS;
    return std::max(awaitingSince_, lastHeard_) + limit;
}

void QuicSession::consumed(std::int64_t streamId, std::size_t bytes) {
    if (ended_ || !connection_ || streamId < 0) return;
    ngtcp2_conn_extend_max_stream_offset(connection_, streamId, bytes);
    ngtcp2_conn_extend_max_offset(connection_, bytes);
    scheduleProcess();
}

std::size_t QuicSession::datagramLimit() const {
    // Padded Initials need the full 1200 bytes; afterwards the configured cap holds. A client
    // completes its handshake while it still owes the server an Initial acknowledgement, which
    // goes out beside its Finished: in a shorter datagram the server drops both, and the Finished
    // waits for a retransmission. The cap holds from the next write on.
    if (!handshakeCompleted_ || (!server_ && !finishedWritten_))
        return std::max(minimumInitialDatagram, parameters_.maxUDPPayloadSize);
    return std::max<std::size_t>(parameters_.maxUDPPayloadSize, 64);
}

bool QuicSession::transmit(const std::uint8_t* data, std::size_t total, std::size_t segment) {
    auto result = endpoint_->socket().send(remote_, data, total, segment);
    if (result != UdpSocket::SendResult::wouldBlock) return true;  // sent, or lost: QUIC recovers
    pendingDatagrams_.assign(data, data + total);
    pendingSegment_ = segment;
    waitingForSocket_ = true;
    endpoint_->socket().waitWritable([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->waitingForSocket_ = false;
            self->process();
        }
    });
    return false;
}

bool QuicSession::flushPending() {
    if (pendingDatagrams_.empty()) return true;
    Bytes pending = std::move(pendingDatagrams_);
    pendingDatagrams_.clear();
    return transmit(pending.data(), pending.size(), pendingSegment_);
}

void QuicSession::writePackets() {
    if (waitingForSocket_ || !flushPending()) return;
    std::uint8_t* buffer = Engine::shared().sendBuffer();
    const std::size_t limit = datagramLimit();
    std::size_t quantum = ngtcp2_conn_get_send_quantum(connection_);
    std::size_t maxDatagrams = std::clamp<std::size_t>(
        quantum / limit, 1,
        std::min(UdpSocket::maxBatchSegments, UdpSocket::maxBatchBytes / limit));

    std::vector<StreamConnection*> candidates;
    for (auto& [id, stream] : streams_)
        if (stream->wantsToWrite()) candidates.push_back(stream.get());
    std::size_t next = 0;

    ngtcp2_path_storage path;
    ngtcp2_path_storage_zero(&path);
    ngtcp2_pkt_info info{};
    const ngtcp2_tstamp ts = now();
    std::size_t used = 0, segment = 0, count = 0;
    bool blocked = false;
    bool wroteAfterHandshake = false;

    auto flush = [&] {
        if (used == 0) return;
        if (!transmit(buffer, used, segment)) blocked = true;
        used = segment = count = 0;
    };

    while (!blocked && count < maxDatagrams) {
        StreamConnection* stream = next < candidates.size() ? candidates[next] : nullptr;
        ngtcp2_vec vectors[maxVectors];
        std::size_t vectorCount = 0;
        bool fin = false;
        std::size_t offered = 0;
        std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
        std::int64_t streamId = -1;
        if (stream) {
            vectorCount = stream->gather(vectors, maxVectors, fin);
            for (std::size_t i = 0; i < vectorCount; ++i) offered += vectors[i].len;
            if (fin) flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
            streamId = stream->streamId();
        }
        ngtcp2_ssize accepted = -1;
        ngtcp2_ssize n =
            ngtcp2_conn_writev_stream(connection_, &path.path, &info, buffer + used, limit,
                                      &accepted, flags, streamId, vectors, vectorCount, ts);
        if (n < 0) {
            if (n == NGTCP2_ERR_WRITE_MORE) {
                stream->written(static_cast<std::size_t>(accepted),
                                fin && static_cast<std::size_t>(accepted) == offered);
                if (!stream->wantsToWrite()) ++next;
                continue;
            }
            if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR ||
                n == NGTCP2_ERR_STREAM_NOT_FOUND) {
                ++next;
                continue;
            }
            flush();
            closeWithError(static_cast<int>(n));
            return;
        }
        if (stream && accepted >= 0) {
            stream->written(static_cast<std::size_t>(accepted),
                            fin && static_cast<std::size_t>(accepted) == offered);
            if (!stream->wantsToWrite()) ++next;
        }
        if (n == 0) break;
        if (handshakeCompleted_) wroteAfterHandshake = true;
        auto size = static_cast<std::size_t>(n);
        if (segment != 0 && size > segment) {
            // GSO sends equal segments with a shorter last one: a longer datagram starts anew.
            std::size_t keep = used;
            std::size_t previousSegment = segment;
            used = segment = count = 0;
            if (!transmit(buffer, keep, previousSegment)) {
                blocked = true;
                // The new datagram is lost with the socket full; QUIC will resend its content.
                break;
            }
            std::memmove(buffer, buffer + keep, size);
        }
        if (segment == 0) segment = size;
        used += size;
        ++count;
        if (size < segment || used + limit > UdpSocket::maxBatchBytes) flush();
    }
    flush();
    if (wroteAfterHandshake) finishedWritten_ = true;
    updatePacing(ts);
    // More to send than the pacing quantum allowed: the expiry timer brings us back.
}

void QuicSession::updatePacing(ngtcp2_tstamp ts) {
#if NGTCP2_VERSION_NUM < 0x000e00
    // Until its first RTT sample, ngtcp2 before 0.14 paces at the 333 ms initial RTT: each
    // datagram of the handshake flight puts the next send ~25 ms away, so the first answer on
    // every fresh connection waited for the timer. Bytes sent before the first sample are not
    // paced (newer versions assume a 1 ms RTT, to the same effect): the slot is placed in the past.
    if (!rttSampled_) {
        ngtcp2_conn_stat stat;
        ngtcp2_conn_get_conn_stat(connection_, &stat);
        rttSampled_ = stat.first_rtt_sample_ts != UINT64_MAX;
        if (!rttSampled_) {
            ngtcp2_conn_update_pkt_tx_time(connection_, 0);
            return;
        }
    }
#endif
    ngtcp2_conn_update_pkt_tx_time(connection_, ts);
}

void QuicSession::armTimer() {
    ngtcp2_tstamp expiry = std::min(ngtcp2_conn_get_expiry(connection_), silentPeerDeadline());
    if (expiry == UINT64_MAX) {
        if (timerExpiry_ != 0) timer_.cancel();
        timerExpiry_ = 0;
        return;
    }
    if (Engine::shared().timersHeld()) {
        Engine::shared().countHeldTimer();
        if (timerExpiry_ != 0) timer_.cancel();
        timerExpiry_ = 0;
        return;
    }
    ngtcp2_tstamp current = now();
    // The expiry includes the next pacing slot even when nothing waits to be sent. Loss and
    // acknowledgement timers never need more than the 1 ms timer granularity, so with no stream
    // data waiting a sooner slot would only cost a wake-up per write.
    if (handshakeCompleted_ && expiry < current + NGTCP2_MILLISECONDS && !hasDataToWrite())
        expiry = current + NGTCP2_MILLISECONDS;
    // A timer already due no later is kept: when it fires early, the expiry is asked again. Moving
    // it on every write would cost a timer reprogramming per batch of datagrams.
    if (timerExpiry_ != 0 && timerExpiry_ <= expiry) return;
    timerExpiry_ = expiry;
    auto delay = std::chrono::nanoseconds(expiry > current ? expiry - current : 0);
    timer_.expires_after(delay);
    timer_.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock()) self->timerFired();
    });
}

bool QuicSession::hasDataToWrite() const {
    if (!pendingDatagrams_.empty()) return true;
    return std::any_of(streams_.begin(), streams_.end(),
                       [](const auto& entry) { return entry.second->wantsToWrite(); });
}

void QuicSession::timerFired() {
    auto self = shared_from_this();
    timerExpiry_ = 0;
    if (ended_ || Engine::shared().timersHeld()) return;
    trackAcknowledgements(now());
    if (now() >= silentPeerDeadline()) {
        terminate(NetworkError{NetworkError::Code::timedOut, "peer stopped acknowledging"});
        return;
    }
    int rc = ngtcp2_conn_handle_expiry(connection_, now());
    if (rc == NGTCP2_ERR_IDLE_CLOSE) {
        terminate(NetworkError{NetworkError::Code::timedOut, "idle timeout"});
        return;
    }
    if (rc == NGTCP2_ERR_HANDSHAKE_TIMEOUT) {
        terminate(NetworkError{NetworkError::Code::timedOut, "handshake timeout"});
        return;
    }
    if (rc != 0) {
        closeWithError(rc);
        return;
    }
    process();
}

void QuicSession::addClientStream(const std::shared_ptr<StreamConnection>& stream) {
    waitingStreams_.push_back(stream);
}

void QuicSession::streamStarted(const std::shared_ptr<StreamConnection>&) {
    scheduleProcess();
}

void QuicSession::openWaitingStreams() {
    if (server_ || !handshakeCompleted_) return;
    while (!waitingStreams_.empty()) {
        auto stream = waitingStreams_.front();
        if (stream->isCancelled()) {
            waitingStreams_.erase(waitingStreams_.begin());
            continue;
        }
        if (!stream->isStarted()) break;
        std::int64_t id = -1;
        if (ngtcp2_conn_open_bidi_stream(connection_, &id, stream.get()) != 0) break;
        waitingStreams_.erase(waitingStreams_.begin());
        streams_[id] = stream;
        stream->opened(id);
    }
}

void QuicSession::streamCancelled(const std::shared_ptr<StreamConnection>& stream) {
    auto self = shared_from_this();
    if (ended_) return;
    if (stream->streamId() >= 0)
        ngtcp2_conn_shutdown_stream_read(connection_, stream->streamId(), 0);
    if (!server_) {
        bool allCancelled = std::all_of(streams_.begin(), streams_.end(),
                                        [](auto& entry) { return entry.second->isCancelled(); }) &&
                            std::all_of(waitingStreams_.begin(), waitingStreams_.end(),
                                        [](auto& s) { return s->isCancelled(); });
        if (allCancelled) {
            // The client's last stream is gone: close the connection rather than let it idle.
            close();
            return;
        }
    }
    scheduleProcess();
}

// --- ngtcp2 callbacks ---

int QuicSession::onStreamOpen(std::int64_t streamId) {
    // Only client-opened bidirectional streams reach here (the client accepts none).
    if (!server_ || !ngtcp2_is_bidi_stream(streamId)) return 0;
    auto stream =
        std::make_shared<StreamConnection>(weak_from_this(), streamId, remoteText_, false);
    ngtcp2_conn_set_stream_user_data(connection_, streamId, stream.get());
    streams_[streamId] = stream;
    newStreams_.push_back(stream);
    return 0;
}

int QuicSession::onStreamData(std::uint32_t flags, std::int64_t streamId, const std::uint8_t* data,
                              std::size_t size, StreamConnection* stream) {
    if (!stream) {
        // Data for a stream nobody holds: credit it so the connection window does not shrink.
        ngtcp2_conn_extend_max_stream_offset(connection_, streamId, size);
        ngtcp2_conn_extend_max_offset(connection_, size);
        return 0;
    }
    if (stream->isCancelled()) {
        ngtcp2_conn_extend_max_stream_offset(connection_, streamId, size);
        ngtcp2_conn_extend_max_offset(connection_, size);
        return 0;
    }
    stream->dataArrived(data, size, flags & NGTCP2_STREAM_DATA_FLAG_FIN);
    auto it = streams_.find(streamId);
    if (it != streams_.end() && (touched_.empty() || touched_.back() != it->second))
        touched_.push_back(it->second);
    return 0;
}

int QuicSession::onAcked(std::int64_t, std::uint64_t offset, std::uint64_t length,
                         StreamConnection* stream) {
    if (stream) stream->acknowledged(offset, length);
    return 0;
}

int QuicSession::onStreamClose(std::int64_t streamId, StreamConnection* stream) {
    auto it = streams_.find(streamId);
    if (stream) {
        stream->closedByTransport();
        if (it != streams_.end()) touched_.push_back(it->second);
    }
    if (it != streams_.end()) streams_.erase(it);
    if (server_ && !ngtcp2_conn_is_local_stream(connection_, streamId))
        ngtcp2_conn_extend_max_streams_bidi(connection_, 1);
    return 0;
}

int QuicSession::onStreamReset(std::int64_t streamId, std::uint64_t code,
                               StreamConnection* stream) {
    if (stream) {
        stream->resetByPeer(code);
        auto it = streams_.find(streamId);
        if (it != streams_.end()) touched_.push_back(it->second);
    }
    return 0;
}

int QuicSession::onStopSending(std::int64_t, std::uint64_t code, StreamConnection* stream) {
    if (stream) stream->stopSendingByPeer(code);
    return 0;
}

int QuicSession::onHandshakeCompleted() {
    handshakeCompleted_ = true;
    return 0;
}

int QuicSession::onNewConnectionId(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length) {
    cid->datalen = length;
    randomBytes(cid->data, length);
    const auto& secret = Engine::shared().statelessResetSecret();
    if (ngtcp2_crypto_generate_stateless_reset_token(token, secret.data(), secret.size(), cid) != 0)
        return NGTCP2_ERR_CALLBACK_FAILURE;
    if (server_) {
        ids_.push_back(*cid);
        endpoint_->associate(*cid, this);
    }
    return 0;
}

int QuicSession::onRemoveConnectionId(const ngtcp2_cid* cid) {
    if (server_) {
        endpoint_->dissociate(*cid);
        ids_.erase(std::remove_if(ids_.begin(), ids_.end(),
                                  [&](const ngtcp2_cid& id) { return ngtcp2_cid_eq(&id, cid); }),
                   ids_.end());
    }
    return 0;
}

int QuicSession::onExtendMaxLocalStreams() {
    // openWaitingStreams runs on the next process(), outside the callback.
    return 0;
}

}  // namespace vl::quic
