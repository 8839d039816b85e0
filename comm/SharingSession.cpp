#include "comm/SharingSession.h"

#include "base/Base64.h"
#include "base/Log.h"
#include "comm/ControlServer.h"
#include "comm/DisplayDescriptor.h"
#include "phantomScreen/DisplayArrangement.h"
#include "phantomScreen/PhantomScreenService.h"

namespace vl {

namespace {

constexpr double virtualDisplayTimeout = 5.0;  // seconds
constexpr int extendRetries = 5;
constexpr auto secondWindowMove = std::chrono::milliseconds(350);

const char* text(bool value) {
    return value ? "true" : "false";
}

std::string resolutionText(Resolution resolution) {
    auto [width, height] = resolution.resolution();
    return std::to_string(width) + "x" + std::to_string(height);
}

std::string channelsText(std::optional<int> channels) {
    return channels ? std::to_string(*channels) : std::string("none");
}

bool isDisplay(const SharedItem& item) {
    return std::holds_alternative<SharedType::Display>(item.sharedType.value) ||
           std::holds_alternative<SharedType::LeafDisplay>(item.sharedType.value);
}

}  // namespace

std::shared_ptr<SharingSession> SharingSession::make(Context context) {
    return std::shared_ptr<SharingSession>(new SharingSession(std::move(context)));
}

SharingSession::SharingSession(Context context) : context_(std::move(context)) {}

void SharingSession::assertOnQueue() const {
    context_.queue->assertCurrent();
}

void SharingSession::onMain(std::function<void(SharingSession& session)> block) {
    std::weak_ptr<SharingSession> weak = weak_from_this();
    std::weak_ptr<const bool> alive = alive_;
    environment_.desktopQueue->async([weak, alive, block = std::move(block)] {
        // Liveness only: the state itself stays on the control queue.
        auto self = weak.lock();
        if (self && alive.lock()) block(*self);
    });
}

bool SharingSession::holdsAnything() const {
    return rdpStarted_ || !portServerMap_.empty() || !spCaptures_.empty() ||
           !sharingItems_.empty() || videoServer_ || extraDisplayMask_ != 0;
}

// MARK: - Starting the main session

void SharingSession::handleRdpStart(const std::shared_ptr<Connection>& connection,
                                    const Packet& packet) {
    assertOnQueue();
    rdpStarted_ = true;
    mainStart_ = std::make_shared<const bool>(true);

    std::optional<std::string> descriptor;
    if (packet.data) descriptor = displayDescriptorText(*packet.data);
    if (!descriptor) {
        logMsg("handleRdpStart: no readable display descriptor; ignored");
        return;
    }
    logMsg("****** displayStr: " + *descriptor);
    const bool hdr = descriptorHdr(*descriptor);
    auto size = descriptorSize(*descriptor);
    if (!size) {
        logMsg("handleRdpStart: the display descriptor names no size; ignored");
        return;
    }
    const Resolution resolution = Resolution::from(size->first, size->second);
    requestedFPS_ = descriptorFrameRate(*descriptor);
    const std::optional<int> channels =
        environment_.audio->resolutionOfSupportedAudioChannels(resolution);
    logMsg("handleRdpStart: " + packet.debugDescription() +
           " clientType: " + resolution.description() + " fps: " + std::to_string(requestedFPS_) +
           " audioChannels: " + channelsText(channels));
    currentResolution_ = resolutionText(resolution);
    const std::string client = environment_.shell->currentConnectedClient().value_or("unknown");

    std::weak_ptr<SharingSession> weak = weak_from_this();
    std::weak_ptr<const bool> start = mainStart_;
    auto queue = context_.queue;
    prepareVirtualDisplay(resolution, start, [=, request = packet](std::optional<DisplayID> id) {
        queue->async([=] {
            auto self = weak.lock();
            if (!self || !start.lock()) {
                logMsg(
                    "handleRdpStart: the session ended while its display came online; "
                    "nothing started");
                return;
            }
            self->virtualDisplayAppeared(id, connection, request, resolution, hdr, channels,
                                         client);
        });
    });
}

// On the desktop queue: the displays are remembered, the earlier virtual display goes and the new
// one is made; then the wait for it to come online, on the global queue.
void SharingSession::prepareVirtualDisplay(Resolution resolution, std::weak_ptr<const bool> start,
                                           std::function<void(std::optional<DisplayID>)> appeared) {
    onMain([resolution, start, appeared = std::move(appeared)](SharingSession& session) {
        if (!start.lock()) return;
        const auto& environment = session.environment_;
        environment.windows->rememberAllDisplays();
        environment.virtualDisplays->stopService();
        environment.virtualDisplays->startService(resolution);
        environment.virtualDisplays->waitForPhantomScreen(virtualDisplayTimeout, appeared);
    });
}

void SharingSession::virtualDisplayAppeared(std::optional<DisplayID> display,
                                            const std::shared_ptr<Connection>& connection,
                                            const Packet& request, Resolution resolution, bool hdr,
                                            std::optional<int> channels,
                                            const std::string& client) {
    assertOnQueue();
    if (!display || *display == nullDisplayID) {
        logMsg("handleRdpStart: no virtual display came online within 5 seconds; no answer");
        return;
    }
    extendAndShowOnDisplay(*display, client);
    startMediaServers(channels);
    std::weak_ptr<SharingSession> weak = weak_from_this();
    auto queue = context_.queue;
    auto server = context_.server;
    onMain([weak, queue, server](SharingSession& session) {
        session.environment_.clipboard->startClipboardMonitor(
            [server, queue](const ClipboardEvent& event) {
                if (auto owner = server.lock()) owner->sendClipboardToActiveClient(event);
            });
    });

    SharedItem item = mainItem(*display, resolution, hdr);
    sharingItems_[item.sharedID] = item;
    answerWithItem(connection, request, item);
}

// On the desktop queue: out of mirroring beside the main display, made the main display, the
// windows moved onto it (again 0.35 s later, for windows that appeared meanwhile), the client's
// layout restored, and the window observers started.
void SharingSession::extendAndShowOnDisplay(DisplayID display, const std::string& client) {
    std::weak_ptr<SharingSession> weak = weak_from_this();
    std::weak_ptr<const bool> start = mainStart_;
    const std::optional<std::string> resolution = currentResolution_;
    auto queue = context_.queue;
    TimerClock* clock = context_.clock;
    auto showOnDisplay = [=](bool extended) {
        auto self = weak.lock();
        if (!self || !start.lock()) return;
        if (!extended) {
            logMsg("handleRdpStart: virtual display " + std::to_string(display) +
                   " could not be extended beside the main display");
            return;
        }
        auto& windows = *self->environment_.windows;
        windows.setMainDisplay(display);
        windows.moveAllWindowsToDisplay(display);
        clock->scheduleAfter(*self->environment_.desktopQueue, secondWindowMove, [=] {
            auto self = weak.lock();
            if (!self || !start.lock()) return;
            auto& windows = *self->environment_.windows;
            windows.moveAllWindowsToDisplay(display);
            if (resolution && windows.hasWindowLayout(client, *resolution)) {
                logMsg("🔄 Restoring saved window layout for " + client);
                windows.restoreWindowLayout(client, *resolution);
            }
            windows.setOnActiveWindowDisplayChanged([weak, queue](DisplayID changed) {
                queue->async([weak, changed] {
                    if (auto self = weak.lock()) self->handleActiveWindowDisplayChanged(changed);
                });
            });
            windows.startNewWindowObserver(display);
        });
    };
    onMain([display, showOnDisplay](SharingSession& session) {
        session.environment_.displayArrangement->setDisplayExtended(display, extendRetries,
                                                                    showOnDisplay);
    });
}

void SharingSession::startMediaServers(std::optional<int> channels) {
    const PortPlan& ports = context_.ports;
    logMsg("startAudioServer port: " + std::to_string(ports.audio()) +
           " with channels: " + channelsText(channels));
    environment_.audio->startAudio(channels, mediaPort(ports.audio()));
    startVideo();
    environment_.camera->startVisionProCam(mediaPort(ports.cam()));
    environment_.mic->startVisionProMic(mediaPort(ports.mic()));
}

SharedItem SharingSession::mainItem(DisplayID display, Resolution resolution, bool hdr) const {
    const PortPlan& ports = context_.ports;
    SharedItem item;
    item.sharedType = SharedType::display(display);
    item.sharedVideoPort = ports.video();
    item.sharedAudioPort = ports.audio();
    item.sharedMicPort = ports.mic();
    item.sharedCamPort = ports.cam();
    auto [width, height] = resolution.resolution();
    item.width = width;
    item.height = height;
    item.fps = 30;  // the record's default, whatever was asked
    item.hdr = hdr;
    item.sharedID = Uuid::random().uuidString();
    return item;
}

void SharingSession::answerWithItem(const std::shared_ptr<Connection>& connection,
                                    const Packet& request, const SharedItem& item) {
    if (auto server = context_.server.lock())
        server->sendPacket(connection, Packet::answering(request, bytesOf(item.toJson())));
}

// MARK: - Stopping

void SharingSession::handleRdpStop() {
    assertOnQueue();
    // An extra display can be shared without the main session; its teardown is this one too.
    if (!holdsAnything()) return;
    rdpStarted_ = false;
    mainStart_.reset();
    alive_.reset();  // steps still under way elsewhere end here

    const std::optional<std::string> client = environment_.shell->currentConnectedClient();
    const std::optional<std::string> resolution = std::exchange(currentResolution_, std::nullopt);

    environment_.audio->stopAudio();
    environment_.mic->stopVisionProMic();
    environment_.camera->stopVisionProCam();
    stopVideo();

    std::vector<int> ports;
    for (const auto& entry : portServerMap_) ports.push_back(entry.first);
    for (int port : ports) stopDisplay(port);
    extraDisplayMask_ = 0;

    sharingItems_.clear();
    // Captures still starting are stopped too, so none runs after the session.
    for (auto& entry : spCaptures_) entry.second->stopCapture();
    spCaptures_.clear();

    // The desktop side, in order on the desktop queue: the client's layout is kept before the
    // virtual displays go, then the arrangement and every window are put back.
    const SessionEnvironment environment = environment_;
    environment.desktopQueue->async([environment, client, resolution] {
        if (client && resolution) {
            const int windows = environment.windows->saveWindowLayout(*client, *resolution);
            logMsg("💾 Saved window layout for " + *client + " at " + *resolution + ": " +
                   std::to_string(windows) + " windows");
        }
        environment.clipboard->stopClipboardMonitor();
        environment.windows->setOnActiveWindowDisplayChanged(nullptr);
        environment.windows->stopNewWindowObserver();
        environment.input->stopConstrainingCursor();
        environment.virtualDisplays->stopService();
        environment.windows->restoreMainDisplay();
        environment.windows->restoreAllWindows();
    });
}

// MARK: - Extra displays

void SharingSession::handleDisplayStart(const std::shared_ptr<Connection>& connection,
                                        const Packet& packet) {
    assertOnQueue();
    std::optional<DisplayDescriptor> descriptor;
    if (packet.data) descriptor = decodeDisplayDescriptor(*packet.data);
    if (!descriptor) {
        logMsg("handleDisplayStart: no readable display size; ignored");
        return;
    }
    const Resolution resolution = Resolution::from(descriptor->width, descriptor->height);
    logMsg("Parsed vdRes: " + resolution.description() + " fps:" + std::to_string(descriptor->fps) +
           " portrait:" + text(descriptor->portrait) + " ");

    std::weak_ptr<SharingSession> weak = weak_from_this();
    auto queue = context_.queue;
    onMain([=, request = packet, descriptor = *descriptor](SharingSession& session) {
        auto& displays = *session.environment_.virtualDisplays;
        auto display = displays.addDisplayEx(resolution, descriptor.portrait);
        if (display) displays.appendExtraDisplayID(*display);
        queue->async([=] {
            if (auto self = weak.lock())
                self->extraDisplayCreated(display, connection, request, descriptor, resolution);
        });
    });
}

void SharingSession::extraDisplayCreated(std::optional<DisplayID> display,
                                         const std::shared_ptr<Connection>& connection,
                                         const Packet& request, const DisplayDescriptor& descriptor,
                                         Resolution resolution) {
    assertOnQueue();
    if (!display) {
        logMsg("handleDisplayStart: the virtual display could not be created");
        return;
    }
    auto port = startDisplay();
    if (!port) {
        logMsg("handleDisplayStart: all four extra display slots are taken");
        return;
    }
    SharedItem item;
    item.sharedType = SharedType::stLeafDisplay(*display);
    item.sharedVideoPort = *port;
    auto [width, height] = resolution.resolution();
    if (descriptor.portrait) std::swap(width, height);
    item.width = width;
    item.height = height;
    item.fps = descriptor.fps;
    item.hdr = descriptor.hdr;
    item.sharedID = Uuid::random().uuidString();
    sharingItems_[item.sharedID] = item;
    answerWithItem(connection, request, item);
}

void SharingSession::handleDisplayStop(const Packet& packet) {
    assertOnQueue();
    std::optional<std::string> shareID;
    if (packet.data) shareID = decodeShareIdentityText(*packet.data);
    if (!shareID) return;

    std::string known;
    for (const auto& entry : sharingItems_) known += (known.empty() ? "" : ", ") + entry.first;
    logMsg("handleDisplayStop: shareId=" + *shareID + ", known ids=[" + known + "]");

    if (auto capture = spCaptures_.find(*shareID); capture != spCaptures_.end()) {
        capture->second->stopCapture();
        spCaptures_.erase(capture);
    }
    auto found = sharingItems_.find(*shareID);
    if (found == sharingItems_.end()) {
        logMsg("handleDisplayStop: no shared item for shareId " + *shareID);
        return;
    }
    const SharedItem item = found->second;
    sharingItems_.erase(found);
    const int port = static_cast<int>(item.sharedVideoPort);
    logMsg("handleDisplayStop: stopping display server on port " + std::to_string(port));
    stopDisplay(port);
    if (auto slot = context_.ports.monitorIndex(port)) clearMonitorOccupied(*slot);
    if (auto* leaf = std::get_if<SharedType::LeafDisplay>(&item.sharedType.value)) {
        logMsg("handleDisplayStop: removing virtual display " + std::to_string(leaf->displayID));
        onMain([id = leaf->displayID](SharingSession& session) {
            session.environment_.virtualDisplays->stopPS(id);
        });
    } else {
        logMsg("handleDisplayStop: shareItem is not a leaf display, type=" +
               std::string(item.sharedType.description()));
    }
}

std::optional<int> SharingSession::startDisplay() {
    assertOnQueue();
    std::optional<int> slot;
    for (int index = 1; index <= 4 && !slot; ++index)
        if (!(extraDisplayMask_ & (1u << (index - 1)))) slot = index;
    if (!slot) return std::nullopt;
    const int port = *context_.ports.monitorPort(*slot);
    const std::string suffix = std::to_string(port);
    portServerMap_[port] =
        makeVideoServer(port, "DisplayServerQueue" + suffix, "DisplayServer" + suffix);
    setMonitorOccupied(*slot);
    return port;
}

void SharingSession::stopDisplay(int port) {
    assertOnQueue();
    auto found = portServerMap_.find(port);
    if (found == portServerMap_.end()) return;
    if (found->second) found->second->stop();
    portServerMap_.erase(found);
}

void SharingSession::setMonitorOccupied(int index) {
    if (index < 1 || index > 4) {
        logMsg("setMonitorOccupied: invalid display index " + std::to_string(index));
        return;
    }
    extraDisplayMask_ |= static_cast<std::uint8_t>(1u << (index - 1));
}

void SharingSession::clearMonitorOccupied(int index) {
    if (index < 1 || index > 4) {
        logMsg("clearMonitorOccupied: invalid display index " + std::to_string(index));
        return;
    }
    extraDisplayMask_ &= static_cast<std::uint8_t>(~(1u << (index - 1)));
}

// MARK: - Video

void SharingSession::startVideo() {
    assertOnQueue();
    // A server left from an earlier start would hold the port the new one needs.
    if (videoServer_) videoServer_->stop();
    videoServer_ = makeVideoServer(context_.ports.video(), "VideoServerQueue", "VideoServer");
}

void SharingSession::stopVideo() {
    assertOnQueue();
    if (videoServer_) videoServer_->stop();
    videoServer_.reset();
}

std::shared_ptr<VideoServer> SharingSession::makeVideoServer(int port,
                                                             const std::string& queueLabel,
                                                             const std::string& name) {
    auto server = std::make_shared<VideoServer>(static_cast<std::uint16_t>(port),
                                                std::make_shared<DispatchQueue>(queueLabel), name,
                                                context_.identity, context_.gate);
    try {
        server->start();
    } catch (const std::exception& error) {
        logMsg(std::string("Failed to start servers: ") + error.what(), LogLevel::error);
    }
    return server;
}

std::shared_ptr<VideoServer> SharingSession::videoServerForPort(int port) const {
    if (port == context_.ports.video()) return videoServer_;
    auto entry = portServerMap_.find(port);
    return entry == portServerMap_.end() ? nullptr : entry->second;
}

void SharingSession::handleRdpVideo(const Packet& packet) {
    assertOnQueue();
    if (packet.subType != InteractionType::rdpVideo) return;
    std::optional<std::string> shareID;
    if (packet.data) shareID = decodePlainShareIdentity(*packet.data);
    if (!shareID) {
        logMsg("handleRdpVideo: no share identity in the request; ignored");
        return;
    }
    auto found = sharingItems_.find(*shareID);
    if (found == sharingItems_.end()) {
        logMsg("handleRdpVideo: failed to find sharedItem for sharedId: " + *shareID);
        return;
    }
    const SharedItem item = found->second;
    if (!isDisplay(item)) {
        logMsg("handleRdpVideo: failed to find displayId for sharedId: " + *shareID);
        return;
    }
    const bool leaf = std::holds_alternative<SharedType::LeafDisplay>(item.sharedType.value);
    const DisplayID display = *item.sharedType.displayID();
    const int port = static_cast<int>(item.sharedVideoPort);
    auto server = videoServerForPort(port);
    if (!server) {
        logMsg("handleRdpVideo: no video server for port " + std::to_string(port));
        return;
    }
    auto packetID = Uuid::fromString(*shareID);
    if (!packetID) {
        logMsg("handleRdpVideo: share identity " + *shareID + " is not a UUID");
        return;
    }

    VNSCaptureConfig config;
    config.fps = leaf && item.fps > 0 ? item.fps : requestedFPS_;
    config.bitrateMbps = 0;
    config.maxBitrateMbps = 0;
    config.keyFrameIntervalSeconds = 2.0;
    config.showsCursor = true;
    config.hdrEnabled = item.hdr;

    if (auto previous = spCaptures_.find(*shareID); previous != spCaptures_.end())
        previous->second->stopCapture();
    auto capture = VNSCapture::make(config, {environment_.capture, environment_.codec});
    spCaptures_[*shareID] = capture;

    std::weak_ptr<SharingSession> weak = weak_from_this();
    std::weak_ptr<VNSCapture> weakCapture = capture;
    auto queue = context_.queue;
    capture->startCapture(
        display, frameHandler(server, *packetID, display, weakCapture),
        [weak, weakCapture, queue, shareID = *shareID](std::optional<VNSCaptureError> error) {
            if (!error) return;
            logMsg("handleRdpVideo: startCapture failed: " + error->description());
            queue->async([weak, weakCapture, shareID] {
                if (auto self = weak.lock()) self->captureFailedToStart(shareID, weakCapture);
            });
        });
}

// Runs on the encode queue: each access unit goes to the item's client, and the first one
// confines the cursor to the virtual displays.
VNSCapture::EncodedFrameHandler SharingSession::frameHandler(
    const std::shared_ptr<VideoServer>& server, const Uuid& sharedID, DisplayID display,
    const std::weak_ptr<VNSCapture>& capture) {
    auto firstFrame = std::make_shared<std::atomic<bool>>(true);
    std::weak_ptr<SharingSession> weak = weak_from_this();
    std::weak_ptr<const bool> alive = alive_;
    auto requestKeyFrame = [capture] {
        if (auto running = capture.lock()) running->requestKeyFrame();
    };
    return [send = server->frameHandler(sharedID, requestKeyFrame), firstFrame, weak, alive,
            capture, display, desktopQueue = environment_.desktopQueue](Bytes accessUnit) {
        send(std::move(accessUnit));
        if (firstFrame->exchange(false)) {
            desktopQueue->async([weak, alive, capture, display] {
                auto self = weak.lock();
                if (!self || !alive.lock() || !capture.lock()) return;
                self->environment_.input->startConstrainingCursor(display);
            });
        }
    };
}

void SharingSession::captureFailedToStart(const std::string& shareID,
                                          const std::weak_ptr<VNSCapture>& capture) {
    assertOnQueue();
    auto current = spCaptures_.find(shareID);
    // A newer capture of the same item is not this one's to remove.
    if (current != spCaptures_.end() && current->second == capture.lock())
        spCaptures_.erase(current);
    if (spCaptures_.empty())
        onMain(
            [](SharingSession& session) { session.environment_.input->stopConstrainingCursor(); });
}

std::shared_ptr<VNSCapture> SharingSession::capture(const std::string& sharedID) const {
    auto found = spCaptures_.find(sharedID);
    return found == spCaptures_.end() ? nullptr : found->second;
}

std::shared_ptr<VideoServer> SharingSession::displayServer(int port) const {
    auto found = portServerMap_.find(port);
    return found == portServerMap_.end() ? nullptr : found->second;
}

// MARK: - Window commands

void SharingSession::handleMoveWindowToVDIfNotOnVD() {
    assertOnQueue();
    if (!rdpStarted_) return;
    onMain([](SharingSession& session) {
        auto display = session.environment_.virtualDisplays->findPS();
        if (!display || *display == nullDisplayID) return;
        const int moved = session.environment_.windows->moveWindowsToVDIfNotOnVD(*display);
        logMsg("handleMoveWindowToVDIfNotOnVD: relocated " + std::to_string(moved) +
               " window(s) to VD " + std::to_string(*display));
    });
}

void SharingSession::handleJumpToDisplay(const Packet& packet) {
    assertOnQueue();
    std::optional<JumpToDisplayInfo> info;
    if (packet.data) info = JumpToDisplayInfo::fromJson(*packet.data);
    if (!info) {
        logMsg("handleJumpToDisplay: undecodable request; ignored");
        return;
    }
    auto found = sharingItems_.find(info->shareId);
    if (found == sharingItems_.end() || !isDisplay(found->second)) {
        logMsg("handleJumpToDisplay: unknown shared item id " + info->shareId);
        return;
    }
    onMain([id = *found->second.sharedType.displayID()](SharingSession& session) {
        const bool moved = session.environment_.windows->moveActiveWindowToDisplay(id, false);
        logMsg("handleJumpToDisplay: moved active window to display " + std::to_string(id) + ": " +
               text(moved));
    });
}

void SharingSession::handleActiveWindowDisplayChanged(DisplayID display) {
    assertOnQueue();
    if (!rdpStarted_) return;
    for (const auto& [id, item] : sharingItems_) {
        if (isDisplay(item) && item.sharedType.displayID() == display) {
            if (auto server = context_.server.lock())
                server->sendActiveWindowToActiveClient(ActiveWindowInfo{id});
            return;
        }
    }
    logMsg("handleActiveWindowDisplayChanged: no shared item for display " +
           std::to_string(display));
}

// MARK: - Input, look-at and clipboard

std::optional<SharedItem> SharingSession::displayItem(const std::string& shareID,
                                                      const char* handler) const {
    auto found = sharingItems_.find(shareID);
    if (found == sharingItems_.end()) {
        logMsg(std::string("🟥 ") + handler + ": unknown shared item id " + shareID);
        return std::nullopt;
    }
    return found->second;
}

void SharingSession::handleMouseEvent(const Packet& packet) {
    assertOnQueue();
    auto event = MouseEvent::fromJson(packet.data ? ByteView(*packet.data) : ByteView{});
    if (!event) {
        logMsg("🟥 handleMouseEvent: undecodable mouse event; dropped");
        return;
    }
    auto item = displayItem(event->shareId, "handleMouseEvent");
    // Window, region and unknown items are not acted on.
    if (!item || !isDisplay(*item)) return;
    onMain([event = *event, display = *item->sharedType.displayID()](SharingSession& session) {
        session.environment_.input->handleMouseEvent(event, display);
    });
}

void SharingSession::handleMiceWheel(const Packet& packet) {
    assertOnQueue();
    auto scroll = MouseScroll::fromJson(packet.data ? ByteView(*packet.data) : ByteView{});
    if (!scroll) return;
    auto item = displayItem(scroll->shareId, "handleMiceWheel");
    if (!item) return;
    if (std::holds_alternative<SharedType::Unknown>(item->sharedType.value)) {
        logMsg("🟥 handleMiceWheel: shared item type is unknown for id " + scroll->shareId);
        return;
    }
    if (!isDisplay(*item)) {
        logMsg("🟨 handleMiceWheel: shared item " + scroll->shareId + " is a " +
               std::string(item->sharedType.description()) + "; scroll ignored");
        return;
    }
    onMain([scroll = *scroll](SharingSession& session) {
        session.environment_.input->handleMiceWheel(scroll);
    });
}

void SharingSession::handleKeyboard(const Packet& packet) {
    assertOnQueue();
    auto event = KeyboardEvent::fromJson(packet.data ? ByteView(*packet.data) : ByteView{});
    if (!event) return;
    // Keys go to whatever has focus: the item's kind is not examined.
    if (!sharingItems_.contains(event->shareId)) {
        logMsg("🟥 handleKeyboard: unknown shared item id " + event->toJson());
        return;
    }
    onMain([event = *event](SharingSession& session) {
        session.environment_.input->handleKeyboard(event);
    });
}

void SharingSession::handleLookat(const Packet& packet) {
    assertOnQueue();
    auto info = LookAtInfo::fromJson(packet.data ? ByteView(*packet.data) : ByteView{});
    if (!info) return;
    if (info->shareId.empty()) {
        // The user looks at none of the items: every running capture pauses.
        for (auto& [id, capture] : spCaptures_) {
            if (capture->isCapturing() && !capture->isPaused()) {
                capture->setPaused(true);
                logMsg("handleLookat: paused capture " + id);
            }
        }
        return;
    }
    if (!displayItem(info->shareId, "handleLookat")) return;
    if (auto capture = spCaptures_.find(info->shareId); capture != spCaptures_.end())
        capture->second->resumeCapture();
}

void SharingSession::handleClipboard(const Packet& packet) {
    assertOnQueue();
    auto event = ClipboardEvent::fromJson(packet.data ? ByteView(*packet.data) : ByteView{});
    if (!event) return;
    onMain([event = std::move(*event)](SharingSession& session) {
        session.environment_.clipboard->handleClipboard(event);
    });
}

}  // namespace vl
