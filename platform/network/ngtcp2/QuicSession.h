// platform/network/ngtcp2: one QUIC connection (server or client side): the ngtcp2 state, its
// TLS session, its streams and its timer. Lives on the engine thread.
#pragma once

#include "platform/network/Interface.h"
#include "platform/network/ngtcp2/Endpoint.h"
#include "platform/network/ngtcp2/Tls.h"

#include <netinet/in.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <asio.hpp>
#include <map>
#include <memory>
#include <vector>

namespace vl::quic {

class StreamConnection;

class QuicSession : public std::enable_shared_from_this<QuicSession> {
  public:
    QuicSession(std::shared_ptr<Endpoint> endpoint, QuicParameters parameters, sockaddr_in local,
                sockaddr_in remote, bool server);
    ~QuicSession();

    // Server: set up from the client's first Initial packet.
    bool acceptClient(const ngtcp2_pkt_hd& header, std::shared_ptr<TlsCredentials> credentials);
    // Client: set up and send the first flight.
    bool connectToServer(std::shared_ptr<TlsCredentials> credentials, std::string* error);

    // Ends the session, telling the peer (CONNECTION_CLOSE without an error).
    void close();
    // Ends the session with the error, without telling the peer.
    void fail(const NetworkError& error) { terminate(error); }

    void datagramArrived(const std::uint8_t* data, std::size_t size, const sockaddr_in& from);
    // Delivers stream events, writes what can be written and re-arms the timer.
    void process();
    // From any thread: process() soon, on the engine thread.
    void scheduleProcess();

    // Client streams wait here until the handshake is done and they are started.
    void addClientStream(const std::shared_ptr<StreamConnection>& stream);
    void streamStarted(const std::shared_ptr<StreamConnection>& stream);
    void streamCancelled(const std::shared_ptr<StreamConnection>& stream);
    void consumed(std::int64_t streamId, std::size_t bytes);

    bool hasEnded() const { return ended_; }

    // ngtcp2 callbacks (static trampolines in the .cpp reach these).
    int onStreamOpen(std::int64_t streamId);
    int onStreamData(std::uint32_t flags, std::int64_t streamId, const std::uint8_t* data,
                     std::size_t size, StreamConnection* stream);
    int onAcked(std::int64_t streamId, std::uint64_t offset, std::uint64_t length,
                StreamConnection* stream);
    int onStreamClose(std::int64_t streamId, StreamConnection* stream);
    int onStreamReset(std::int64_t streamId, std::uint64_t code, StreamConnection* stream);
    int onStopSending(std::int64_t streamId, std::uint64_t code, StreamConnection* stream);
    int onHandshakeCompleted();
    int onNewConnectionId(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length);
    int onRemoveConnectionId(const ngtcp2_cid* cid);
    int onExtendMaxLocalStreams();

    ngtcp2_conn* connection() const { return connection_; }

  private:
    bool setUp(const ngtcp2_cid& destination, const ngtcp2_cid& source,
               const ngtcp2_cid* originalDestination, std::shared_ptr<TlsCredentials> credentials);
    void writePackets();
    void updatePacing(ngtcp2_tstamp ts);
    bool flushPending();
    bool transmit(const std::uint8_t* data, std::size_t total, std::size_t segment);
    void armTimer();
    bool hasDataToWrite() const;
    void timerFired();
    // Notes whether sent data waits for acknowledgement; when the peer has been silent past
    // the limit with data waiting, it is gone.
    void trackAcknowledgements(ngtcp2_tstamp ts);
    ngtcp2_tstamp silentPeerDeadline() const;
    void handleReadError(int error);
    void closeWithError(int libraryError);
    // Tells the peer, unless the connection is already closing or draining.
    void sendConnectionClose(const ngtcp2_connection_close_error& close);
    void terminate(const NetworkError& error);
    void openWaitingStreams();
    std::size_t datagramLimit() const;

    std::shared_ptr<Endpoint> endpoint_;
    const QuicParameters parameters_;
    sockaddr_in local_;
    sockaddr_in remote_;
    const bool server_;
    const std::string remoteText_;

    std::shared_ptr<TlsCredentials> credentials_;  // GnuTLS uses them for the session's life
    ngtcp2_conn* connection_ = nullptr;
    gnutls_session_t tls_ = nullptr;
    ngtcp2_crypto_conn_ref reference_{};
    asio::steady_timer timer_;
    ngtcp2_tstamp timerExpiry_ = 0;
    ngtcp2_tstamp lastHeard_ = 0;      // last datagram from the peer
    ngtcp2_tstamp awaitingSince_ = 0;  // since when data has been in flight; 0: nothing is
    bool processScheduled_ = false;
    bool ended_ = false;
    bool handshakeCompleted_ = false;
    bool finishedWritten_ = false;  // client: the datagram with its Finished has gone
    bool rttSampled_ = false;
    std::vector<ngtcp2_cid> ids_;  // ids routed to this session

    std::map<std::int64_t, std::shared_ptr<StreamConnection>> streams_;
    std::vector<std::shared_ptr<StreamConnection>> waitingStreams_;  // client, not yet opened
    std::vector<std::shared_ptr<StreamConnection>> newStreams_;      // server, to hand out
    std::vector<std::shared_ptr<StreamConnection>> touched_;         // data or state arrived
    bool waitingForSocket_ = false;
    std::vector<std::uint8_t> pendingDatagrams_;  // unsent after the socket filled up
    std::size_t pendingSegment_ = 0;
};

}  // namespace vl::quic
