// comm: the server on the control port — accepts the client, authenticates it with the password,
// cuts the control stream into packets, dispatches each message to its handler, keeps the link
// alive and ends the session when the client leaves. Owner of the session's state.
#pragma once

#include "Capture/VNSCapture.h"
#include "base/DispatchTimer.h"
#include "base/NotificationCenter.h"
#include "comm/ControlRecords.h"
#include "comm/PacketReassembler.h"
#include "comm/QuicServer.h"
#include "comm/VideoServer.h"
#include "phantomScreen/DisplayArrangement.h"
#include "phantomScreen/Resolution.h"

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

// The platform services a sharing session stands on: the composition root supplies the real ones
// (through the supervisor's serverCreated hook), tests supply fakes.
struct SharingServices {
    std::shared_ptr<CaptureService> capture;
    std::shared_ptr<VideoCodecService> codec;
    // Takes a new virtual display out of mirroring and places it beside the main display.
    std::shared_ptr<DisplayArrangement> displayArrangement;
};

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

    // Sharing sessions: the main one and up to four extra displays, each with its video port.
    void setSharingServices(SharingServices services);
    void handleRdpStart(const std::shared_ptr<Connection>& connection, const Packet& packet);
    void handleDisplayStart(const std::shared_ptr<Connection>& connection, const Packet& packet);
    void handleDisplayStop(const Packet& packet);
    void handleRdpVideo(const Packet& packet);
    // Window commands, control side: the window moves themselves belong to the window manager.
    void handleMoveWindowToVDIfNotOnVD(const Packet& packet);
    void handleJumpToDisplay(const Packet& packet);
    // The window manager's callback: tells the client which shared display the active window
    // is on now.
    void handleActiveWindowDisplayChanged(DisplayID display);

    // The media servers of a session.
    void startVideo();
    void stopVideo();
    // The port of the lowest free extra slot, with its video server started; none when all four
    // are taken.
    std::optional<int> startDisplay();
    void stopDisplay(int port);

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
    std::optional<std::string> currentResolution() const;
    int requestedFPS() const;
    std::map<std::string, SharedItem> sharingItems() const;
    std::shared_ptr<VNSCapture> capture(const std::string& sharedID) const;
    std::size_t captureCount() const;
    std::shared_ptr<VideoServer> videoServer() const;
    std::shared_ptr<VideoServer> displayServer(int port) const;

protected:
    // Steps of a session that belong to other subsystems — window management, system audio,
    // microphone, camera, clipboard and cursor confinement. Each joins with its own subsystem;
    // until then it does nothing and the session goes on without it.
    virtual void rememberAllDisplays() {}
    virtual void setMainDisplay(DisplayID) {}
    virtual void moveAllWindowsToDisplay(DisplayID) {}
    // Restores the client's layout saved at this resolution, when there is one.
    virtual void restoreWindowLayout(const std::string& /*client*/,
                                     const std::string& /*resolution*/) {}
    // Refreshes the displays, captures the windows and keeps them as the client's layout.
    virtual void saveWindowLayout(const std::string& /*client*/,
                                  const std::string& /*resolution*/) {}
    // Installs handleActiveWindowDisplayChanged as the window manager's callback.
    virtual void observeActiveWindowDisplay() {}
    virtual void startNewWindowObserver(DisplayID) {}
    virtual void stopNewWindowObserver() {}
    virtual void restoreMainDisplay() {}
    virtual void restoreAllWindows() {}
    // How many windows were moved onto the virtual display; whether the active window moved.
    virtual int moveWindowsToVDIfNotOnVD(DisplayID) { return 0; }
    virtual bool moveActiveWindowToDisplay(DisplayID, bool /*alignRight*/) { return false; }
    // The audio layout for a resolution; none until the audio server exists.
    virtual std::optional<int> audioChannels(Resolution) { return std::nullopt; }
    virtual void startAudio(std::optional<int> /*channels*/) {}
    virtual void stopAudio() {}
    virtual void startVisionProMic() {}
    virtual void stopVisionProMic() {}
    virtual void startVisionProCam() {}
    virtual void stopVisionProCam() {}
    virtual void startClipboardMonitor() {}
    virtual void stopClipboardMonitor() {}
    virtual void startConstrainingCursor(DisplayID) {}
    virtual void stopConstrainingCursor() {}

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

    void virtualDisplayAppeared(std::uint64_t session, std::optional<DisplayID> display,
                                const std::shared_ptr<Connection>& connection,
                                const Packet& request, Resolution resolution, bool hdr,
                                std::optional<int> channels, const std::string& client);
    void showSessionOnDisplay(std::uint64_t session, DisplayID display, const std::string& client);
    void answerWithItem(const std::shared_ptr<Connection>& connection, const Packet& request,
                        const SharedItem& item);
    void startMediaServer(const std::shared_ptr<VideoServer>& server);
    // The address a video port serves while a client is known: the authenticated client's.
    std::optional<std::string> authorizedVideoClient() const;
    void authorizeVideoClients();
    bool sessionIsCurrent(std::uint64_t session) const;

    std::shared_ptr<Connection> activeConnection_;
    int connectionCount_ = 0;
    std::shared_ptr<DispatchTimer> keepaliveTimer_;
    std::chrono::milliseconds keepaliveInterval_ = defaultKeepaliveInterval;
    std::shared_ptr<SpeedTestServer> speedTestServer_;
    ReceiveBuffers<std::uint64_t> receiveBuffers_;
    std::set<std::uint64_t> authenticated_;  // connections answered ret200
    std::uint8_t extraDisplayMask_ = 0;
    std::optional<NotificationCenter::Token> disconnectObserver_;

    // Sharing sessions.
    SharingServices sharingServices_;
    std::uint64_t sessionGeneration_ = 0;  // a late completion of an ended session is ignored
    std::optional<std::string> currentResolution_;
    int requestedFPS_ = 30;
    std::shared_ptr<VideoServer> videoServer_;
    std::map<int, std::shared_ptr<VideoServer>> portServerMap_;
    std::map<std::string, SharedItem> sharingItems_;
    std::map<std::string, std::shared_ptr<VNSCapture>> spCaptures_;
};

// Equal texts, compared in time that depends only on their lengths.
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace vl
