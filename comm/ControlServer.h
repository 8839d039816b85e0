// comm: the server on the control port — accepts the client, authenticates it with the password,
// cuts the control stream into packets, dispatches each message to its handler, keeps the link
// alive and ends the session when the client leaves. Owner of the session's state.
#pragma once

#include "base/DispatchTimer.h"
#include "base/NotificationCenter.h"
#include "comm/ControlRecords.h"
#include "comm/PacketReassembler.h"
#include "comm/QuicServer.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

    ControlServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name);
    ~ControlServer() override;

    // Registers for "clientDisconnect"; call once the server is owned by a shared_ptr.
    void observeClientDisconnect();

    void handleConnection(const std::shared_ptr<Connection>& connection) override;
    void receivePacket(const std::shared_ptr<Connection>& connection) override;

    // The control messages (dispatch of one complete pktInteractiveTap packet).
    void dispatch(const std::shared_ptr<Connection>& connection, Packet&& packet);
    void handleConnect(const Packet& packet, const std::shared_ptr<Connection>& connection);
    void simplyAct(InteractionType subType, const std::shared_ptr<Connection>& connection);
    void handleDisconnection(const Packet& packet);
    void handleSpeedTest(const Packet& packet, const std::shared_ptr<Connection>& connection);
    void handleSpeedTestStop();
    // The single teardown of a sharing session; safe when nothing was started.
    virtual void handleRdpStop();
    void onClientDisconnect();

    void sendClipboardToActiveClient(const ClipboardEvent& event);
    void sendActiveWindowToActiveClient(const ActiveWindowInfo& info);

    // Extra display slots 1 to 4 and their video ports P + 6 to P + 9.
    std::optional<int> monitorPort(int index) const;
    std::optional<int> monitorIndex(int port) const;
    void setMonitorOccupied(int index);
    void clearMonitorOccupied(int index);

    void setKeepaliveInterval(std::chrono::milliseconds interval) { keepaliveInterval_ = interval; }

    // Read-outs of the session state.
    std::shared_ptr<Connection> activeConnection() const;
    int connectionCount() const;
    bool rdpStarted() const;
    std::uint8_t extraDisplayMask() const;
    bool isAuthenticated(const Connection& connection) const;
    std::shared_ptr<SpeedTestServer> speedTestServer() const;

protected:
    // Guards the session state. Recursive: handlers post notifications whose observers (this
    // server's own onClientDisconnect among them) come back in on the same thread.
    mutable std::recursive_mutex mutex_;
    bool rdpStarted_ = false;

private:
    void onConnectionState(const std::shared_ptr<Connection>& connection, ConnectionState state,
                           const std::optional<NetworkError>& error);
    void armReceive(const std::shared_ptr<Connection>& connection);
    void handleReceive(const std::shared_ptr<Connection>& connection, std::optional<Bytes> data,
                       const std::optional<NetworkError>& error);
    void startKeepalive(const std::shared_ptr<Connection>& connection);
    void sendToActiveClient(InteractionType subType, const std::string& json);
    std::weak_ptr<ControlServer> weakSelf();

    std::shared_ptr<Connection> activeConnection_;
    int connectionCount_ = 0;
    std::shared_ptr<DispatchTimer> keepaliveTimer_;
    std::chrono::milliseconds keepaliveInterval_ = defaultKeepaliveInterval;
    std::shared_ptr<SpeedTestServer> speedTestServer_;
    ReceiveBuffers<std::uint64_t> receiveBuffers_;
    std::set<std::uint64_t> authenticated_;  // connections answered ret200
    std::uint8_t extraDisplayMask_ = 0;
    std::optional<NotificationCenter::Token> disconnectObserver_;
};

// Equal texts, compared in time that depends only on their lengths.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace vl
