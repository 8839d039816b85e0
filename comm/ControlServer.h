// comm: the server on the control port — accepts the client, authenticates it with the password,
// cuts the control stream into packets, dispatches each message to its handler, keeps the link
// alive and ends the session when the client leaves. Owns the client's sharing session.
//
// One serial queue (the server's own) runs the connections' events and receives, every handler
// and the keepalive, so the state below needs no lock. Calls from other threads come in through
// the methods marked "any thread", which hop onto the queue.
#pragma once

#include "base/DispatchTimer.h"
#include "base/NotificationCenter.h"
#include "base/TimerClock.h"
#include "comm/ClientGate.h"
#include "comm/ControlRecords.h"
#include "comm/PacketReassembler.h"
#include "comm/PasswordGuessThrottle.h"
#include "comm/PortPlan.h"
#include "comm/QuicServer.h"
#include "comm/SessionEnvironment.h"
#include "comm/SharingSession.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace vl {

class SpeedTestServer;

inline constexpr const char* clientConnectNotification = "clientConnect";
inline constexpr const char* clientDisconnectNotification = "clientDisconnect";

class ControlServer : public QuicServer {
  public:
    static constexpr std::chrono::seconds defaultKeepaliveInterval{30};

    // The environment's settings, capture, codec, display arrangement and virtual displays are
    // required; every other role may be absent.
    // Password guesses and the keepalive wait on the clock's timers.
    static std::shared_ptr<ControlServer> make(std::uint16_t port,
                                               std::shared_ptr<DispatchQueue> queue,
                                               std::string name, SessionEnvironment environment,
                                               TimerClock& clock = TimerClock::real());
    ~ControlServer() override;

    void handleConnection(const std::shared_ptr<Connection>& connection) override;
    void receivePacket(const std::shared_ptr<Connection>& connection) override;

    // The control messages: dispatch of one complete pktInteractiveTap packet, on the queue.
    void dispatch(const std::shared_ptr<Connection>& connection, Packet&& packet);
    void handleConnect(const Packet& packet, const std::shared_ptr<Connection>& connection);
    void judgeConnect(const ConnectReq& request, const std::shared_ptr<Connection>& connection,
                      const std::string& host);
    void simplyAct(InteractionType subType, const std::shared_ptr<Connection>& connection);
    void handleDisconnection(const Packet& packet);
    void handleSpeedTest(const Packet& packet, const std::shared_ptr<Connection>& connection);
    void handleSpeedTestStop();
    // The single teardown of a sharing session; safe when nothing was started.
    void handleRdpStop();
    void onClientDisconnect();

    // Ends the session and waits for it (any thread but the queue's own blocks).
    void endSession();

    // Messages to the client (any thread).
    void sendClipboardToActiveClient(const ClipboardEvent& event);
    void sendActiveWindowToActiveClient(const ActiveWindowInfo& info);

    // Extra display slots 1 to 4 and their video ports P + 6 to P + 9.
    std::optional<int> monitorPort(int index) const { return ports().monitorPort(index); }
    std::optional<int> monitorIndex(int port) const { return ports().monitorIndex(port); }

    void setKeepaliveInterval(std::chrono::milliseconds interval);
    // Password guesses from an address that failed are judged later and later.
    void setGuessPolicy(PasswordGuessThrottle::Policy policy);
    // The most a connection's packet in progress may buffer, for connections that send their
    // first bytes after this call (a fuzzer's smaller one reaches the same paths with less memory).
    void setReceiveBufferCap(std::size_t cap);

    // Read-outs of the state (any thread; they wait for the queue).
    std::shared_ptr<Connection> activeConnection() const;
    std::shared_ptr<SpeedTestServer> speedTestServer() const;
    // Runs the block on the queue with the current session and waits for it.
    void withSession(const std::function<void(SharingSession& session)>& block) const;
    bool rdpStarted() const;

  protected:
    std::string listeningHost() const override;

  private:
    ControlServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                  SessionEnvironment environment, TimerClock& clock);
    void observeClientDisconnect();
    PortPlan ports() const { return {getPort()}; }
    std::shared_ptr<SharingSession> makeSession();
    // Runs the block on the queue: in place when already there, else waiting for it.
    template <typename Result>
    Result onQueue(const std::function<Result()>& block) const;
    void assertOnQueue() const;

    void onConnectionState(const std::shared_ptr<Connection>& connection, ConnectionState state,
                           const std::optional<NetworkError>& error);
    void armReceive(const std::shared_ptr<Connection>& connection);
    // False once the stream's read side has ended (finished or failed): the loop ends there.
    bool handleReceive(const std::shared_ptr<Connection>& connection, std::optional<Bytes> data,
                       bool isComplete, const std::optional<NetworkError>& error);
    // Judges the host's waiting attempts whose turn has come, then waits for the next turn.
    void serveTurns(const std::string& host);
    void scheduleTurn(const std::string& host);
    void withdrawAttempt(const Connection& connection);
    void startKeepalive(const std::shared_ptr<Connection>& connection);
    void stopKeepalive();
    void sendToActiveClient(InteractionType subType, const std::string& json);
    std::weak_ptr<ControlServer> weakSelf();

    const SessionEnvironment environment_;
    const std::shared_ptr<ClientGate> gate_ = std::make_shared<ClientGate>();

    // The queue's state.
    std::shared_ptr<Connection> activeConnection_;
    int connectionCount_ = 0;
    std::shared_ptr<DispatchTimer> keepaliveTimer_;
    std::chrono::milliseconds keepaliveInterval_ = defaultKeepaliveInterval;
    std::shared_ptr<SpeedTestServer> speedTestServer_;
    ReceiveBuffers<std::uint64_t> receiveBuffers_;
    std::set<std::uint64_t> authenticated_;  // connections answered ret200
    PasswordGuessThrottle guesses_;
    struct WaitingAttempt {
        ConnectReq request;
        std::weak_ptr<Connection> connection;
        std::string host;
    };
    std::map<std::uint64_t, WaitingAttempt> waitingAttempts_;  // by connection id
    std::map<std::string, Clock::time_point> scheduledTurns_;  // by host
    TimerClock& clock_;
    std::uint64_t wrongPasswords_ = 0;
    std::uint64_t unjudgedAttempts_ = 0;
    std::optional<NotificationCenter::Token> disconnectObserver_;
    std::shared_ptr<SharingSession> session_;
};

// Equal texts, compared in time that depends only on their lengths.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace vl
