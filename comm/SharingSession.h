// comm: one sharing session of the connected client — the main virtual display and up to four
// extra ones, their captures and video servers, the media relays, and the shared items the
// client addresses them by. The control server owns the current session and replaces it at each
// teardown, so steps of an ended session still under way on other queues find it gone and do
// nothing.
//
// Every member runs on the control server's queue. Work that belongs on the desktop queue (display
// configuration, windows, input, clipboard, cursor) hops there with the values it needs and comes
// back with async; it never touches the session's state.
#pragma once

#include "Capture/VNSCapture.h"
#include "base/TimerClock.h"
#include "comm/ClientGate.h"
#include "comm/ControlRecords.h"
#include "comm/Packet.h"
#include "comm/PortPlan.h"
#include "comm/SessionEnvironment.h"
#include "comm/VideoServer.h"
#include "phantomScreen/Resolution.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vl {

class ControlServer;

class SharingSession : public std::enable_shared_from_this<SharingSession> {
  public:
    struct Context {
        std::weak_ptr<ControlServer> server;   // answers and client messages go through it
        SessionEnvironment environment;        // completed: every role present
        std::shared_ptr<DispatchQueue> queue;  // the control server's queue
        PortPlan ports;
        TlsIdentitySource identity;
        std::shared_ptr<ClientGate> gate;
        TimerClock* clock = &TimerClock::real();  // the session's delayed steps wait on it
    };

    static std::shared_ptr<SharingSession> make(Context context);

    // The main session and the single teardown; safe when nothing was started.
    void handleRdpStart(const std::shared_ptr<Connection>& connection, const Packet& packet);
    void handleRdpStop();
    // Extra displays.
    void handleDisplayStart(const std::shared_ptr<Connection>& connection, const Packet& packet);
    void handleDisplayStop(const Packet& packet);
    // The video of an item, once its client listens on the item's port.
    void handleRdpVideo(const Packet& packet);
    // Window commands, control side.
    void handleMoveWindowToVDIfNotOnVD();
    void handleJumpToDisplay(const Packet& packet);
    void handleActiveWindowDisplayChanged(DisplayID display);
    // Input, look-at and clipboard from the client: found among the items, then handed on.
    void handleMouseEvent(const Packet& packet);
    void handleMiceWheel(const Packet& packet);
    void handleKeyboard(const Packet& packet);
    void handleLookat(const Packet& packet);
    void handleClipboard(const Packet& packet);

    // The media servers of a session.
    void startVideo();
    void stopVideo();
    // The port of the lowest free extra slot, with its video server started; none when all four
    // are taken.
    std::optional<int> startDisplay();
    void stopDisplay(int port);
    void setMonitorOccupied(int index);
    void clearMonitorOccupied(int index);

    // Read-outs.
    bool rdpStarted() const { return rdpStarted_; }
    bool holdsAnything() const;
    std::uint8_t extraDisplayMask() const { return extraDisplayMask_; }
    const std::optional<std::string>& currentResolution() const { return currentResolution_; }
    int requestedFPS() const { return requestedFPS_; }
    const std::map<std::string, SharedItem>& sharingItems() const { return sharingItems_; }
    std::shared_ptr<VNSCapture> capture(const std::string& sharedID) const;
    std::size_t captureCount() const { return spCaptures_.size(); }
    const std::shared_ptr<VideoServer>& videoServer() const { return videoServer_; }
    std::shared_ptr<VideoServer> displayServer(int port) const;

  private:
    explicit SharingSession(Context context);

    // Steps of the main session's start, in order.
    void prepareVirtualDisplay(Resolution resolution, std::weak_ptr<const bool> start,
                               std::function<void(std::optional<DisplayID>)> appeared);
    void virtualDisplayAppeared(std::optional<DisplayID> display,
                                const std::shared_ptr<Connection>& connection,
                                const Packet& request, Resolution resolution, bool hdr,
                                std::optional<int> channels, const std::string& client);
    void extendAndShowOnDisplay(DisplayID display, const std::string& client);
    void startMediaServers(std::optional<int> channels);
    SharedItem mainItem(DisplayID display, Resolution resolution, bool hdr) const;

    // Steps of an extra display's start, once its virtual display exists.
    void extraDisplayCreated(std::optional<DisplayID> display,
                             const std::shared_ptr<Connection>& connection, const Packet& request,
                             const struct DisplayDescriptor& descriptor, Resolution resolution);

    // Steps of an item's video.
    std::shared_ptr<VideoServer> videoServerForPort(int port) const;
    VNSCapture::EncodedFrameHandler frameHandler(const std::shared_ptr<VideoServer>& server,
                                                 const Uuid& sharedID, DisplayID display,
                                                 const std::weak_ptr<VNSCapture>& capture);
    void captureFailedToStart(const std::string& shareID, const std::weak_ptr<VNSCapture>& capture);

    // The item for a share identity, among displays only; reported under the handler's name.
    std::optional<SharedItem> displayItem(const std::string& shareID, const char* handler) const;
    void answerWithItem(const std::shared_ptr<Connection>& connection, const Packet& request,
                        const SharedItem& item);
    std::shared_ptr<VideoServer> makeVideoServer(int port, const std::string& queueLabel,
                                                 const std::string& name);
    MediaPort mediaPort(int port) const { return {port, context_.gate}; }
    // Runs the block on the desktop queue while the session lives.
    void onMain(std::function<void(SharingSession& session)> block);
    void assertOnQueue() const;

    const Context context_;
    const SessionEnvironment& environment_ = context_.environment;

    bool rdpStarted_ = false;
    // Held while the session lives; steps on other queues hold it weakly.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
    // Held by the latest rdpStart: an earlier start's late steps find it gone.
    std::shared_ptr<const bool> mainStart_;
    std::optional<std::string> currentResolution_;
    int requestedFPS_ = 30;
    std::uint8_t extraDisplayMask_ = 0;
    std::shared_ptr<VideoServer> videoServer_;
    std::map<int, std::shared_ptr<VideoServer>> portServerMap_;
    std::map<std::string, SharedItem> sharingItems_;
    std::map<std::string, std::shared_ptr<VNSCapture>> spCaptures_;
};

}  // namespace vl
