#include "client/viewer/ViewerSession.h"

#include "phantomScreen/Resolution.h"

#include <thread>

namespace vl {

std::string_view description(ConnectFailure failure) {
    switch (failure) {
        case ConnectFailure::unreachable:
            return "the server cannot be reached";
        case ConnectFailure::noAnswer:
            return "the server did not answer";
        case ConnectFailure::wrongPassword:
            return "wrong password";
        case ConnectFailure::busy:
            return "the server is busy with another device";
    }
    return "unknown";
}

std::string_view description(SessionEnd end) {
    switch (end) {
        case SessionEnd::none:
            return "running";
        case SessionEnd::serverSaidGoodbye:
            return "the server ended the session";
        case SessionEnd::serverStopped:
            return "the server stopped";
        case SessionEnd::connectionLost:
            return "the connection to the server was lost";
    }
    return "unknown";
}

std::unique_ptr<ViewerSession> ViewerSession::connect(const std::string& host, std::uint16_t port,
                                                      const std::string& password,
                                                      ClientIdentity identity, Failure* failure) {
    std::string error;
    auto control = ControlClient::open(host, port, std::move(identity), &error);
    if (!control) {
        if (failure) *failure = {ConnectFailure::unreachable, error};
        return nullptr;
    }
    auto answer = control->connect(password);
    if (!answer) {
        if (failure) *failure = {ConnectFailure::noAnswer, "no answer to connect"};
        return nullptr;
    }
    if (answer->result != InteractionType::ret200) {
        if (failure)
            *failure = {answer->result == InteractionType::retBusy ? ConnectFailure::busy
                                                                   : ConnectFailure::wrongPassword,
                        answer->text};
        return nullptr;
    }
    return std::unique_ptr<ViewerSession>(
        new ViewerSession(std::move(control), ServerProbe::open(host, port)));
}

ViewerSession::~ViewerSession() {
    stop();
    if (ended_ == SessionEnd::none && control_->stream().isOpen()) {
        control_->disconnect();
        // Let the stop and goodbye leave before the connection closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

bool ViewerSession::start(const std::string& mainDescriptor, PictureHandler onMain,
                          const std::optional<std::string>& extraDescriptor, PictureHandler onExtra,
                          std::string* error) {
    stop();
    auto openSink = [&](PictureHandler handler) {
        VideoSink::Options options;
        options.decode = true;
        options.onPicture = std::move(handler);
        options.decoder = decoder_;
        return VideoSink::open(std::move(options), error);
    };
    mainSink_ = openSink(std::move(onMain));
    if (!mainSink_) return false;
    if (extraDescriptor) {
        extraSink_ = openSink(std::move(onExtra));
        if (!extraSink_) return false;
    }
    session_ = std::make_unique<SessionClient>(*control_);
    main_ = session_->startMain(mainDescriptor, error);
    if (!main_) return false;
    if (extraDescriptor) {
        extra_ = session_->startExtra(*extraDescriptor, error);
        if (!extra_) return false;
    }
    auto receive = [&](const SharedItem& item, VideoSink* sink) {
        return session_->receiveVideo(
            item, [sink](ByteView unit) { sink->push(unit); }, error);
    };
    if (!receive(*main_, mainSink_.get())) return false;
    {
        std::lock_guard lock(sendMutex_);
        mainShareId_ = main_->sharedID;
    }
    if (extra_ && !receive(*extra_, extraSink_.get())) return false;
    return true;
}

void ViewerSession::stop() {
    {
        std::lock_guard lock(sendMutex_);
        mainShareId_.clear();
    }
    // The session first, so that no unit reaches a sink being finished.
    if (session_) session_->stop();
    session_.reset();
    if (mainSink_) mainSink_->finish();
    if (extraSink_) extraSink_->finish();
    mainSink_.reset();
    extraSink_.reset();
    main_.reset();
    extra_.reset();
}

std::optional<AudioEndpoint> ViewerSession::audioEndpoint() const {
    if (!main_ || main_->sharedAudioPort <= 0 || main_->sharedAudioPort > 65535)
        return std::nullopt;
    return AudioEndpoint{control_->host(), static_cast<std::uint16_t>(main_->sharedAudioPort),
                         resolutionOfSupportedAudioChannels(Resolution::from(
                             static_cast<int>(main_->width), static_cast<int>(main_->height)))};
}

std::string ViewerSession::decoderDescription() const {
    if (!mainSink_) return {};
    const auto reason = mainSink_->decoderFallbackReason();
    return mainSink_->decoderDescription() + (reason.empty() ? "" : " (" + reason + ")");
}

StreamStats ViewerSession::videoStats(bool extra) const {
    const auto& sink = extra ? extraSink_ : mainSink_;
    return sink ? sink->stats() : StreamStats{};
}

std::uint64_t ViewerSession::picturesDecoded(bool extra) const {
    const auto& sink = extra ? extraSink_ : mainSink_;
    return sink ? sink->picturesDecoded() : 0;
}

int ViewerSession::decodeErrors(bool extra) const {
    const auto& sink = extra ? extraSink_ : mainSink_;
    return sink ? sink->decodeErrors() : 0;
}

void ViewerSession::sendMessage(InteractionType type, const std::string& json) {
    std::lock_guard lock(sendMutex_);
    control_->stream().send(Packet(PacketType::pktInteractiveTap, type, bytesOf(json)));
}

void ViewerSession::send(const MouseEvent& event) {
    sendMessage(InteractionType::mouseEvent, event.toJson());
}
void ViewerSession::send(const MouseScroll& event) {
    sendMessage(InteractionType::scroll, event.toJson());
}
void ViewerSession::send(const KeyboardEvent& event) {
    sendMessage(InteractionType::text, event.toJson());
}
void ViewerSession::send(const LookAtInfo& info) {
    sendMessage(InteractionType::lookAt, info.toJson());
}

void ViewerSession::sendClipboard(ClipboardEvent event) {
    std::lock_guard lock(sendMutex_);
    // Between sessions no item is named and the server drops it, as before the first one.
    event.shareId = mainShareId_;
    control_->stream().send(
        Packet(PacketType::pktInteractiveTap, InteractionType::clipboard, bytesOf(event.toJson())));
}

void ViewerSession::setClipboardHandler(ClipboardHandler handler) {
    std::lock_guard lock(handlerMutex_);
    onClipboard_ = std::move(handler);
}

SessionEnd ViewerSession::pump() {
    if (ended_ != SessionEnd::none) return ended_;
    auto& stream = control_->stream();
    // Everything kept is taken, so that messages nobody reads do not pile up.
    while (auto packet =
               stream.waitFor([](const Packet&) { return true; }, std::chrono::milliseconds(0))) {
        if (packet->type != PacketType::pktInteractiveTap) continue;
        if (packet->subType == InteractionType::disconnect) {
            ended_ = SessionEnd::serverSaidGoodbye;
        } else if (packet->subType == InteractionType::clipboard) {
            auto event =
                ClipboardEvent::fromJson(packet->data ? ByteView(*packet->data) : ByteView{});
            ClipboardHandler handler;
            {
                std::lock_guard lock(handlerMutex_);
                handler = onClipboard_;
            }
            if (event && handler) handler(*event);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (auto bytes = stream.bytesReceived(); bytes != lastBytes_) {
        lastBytes_ = bytes;
        lastHeard_ = now;
    }
    // A server that stops closes the connection (QUIC CONNECTION_CLOSE): known at once.
    if (ended_ == SessionEnd::none && !stream.isOpen() && stream.error() &&
        stream.error()->code == NetworkError::Code::closedByPeer)
        ended_ = SessionEnd::serverStopped;
    if (ended_ == SessionEnd::none && probe_ && now - lastProbe_ >= std::chrono::seconds(1)) {
        lastProbe_ = now;
        if (probe_->poll()) ended_ = SessionEnd::serverStopped;
    }
    if (ended_ == SessionEnd::none &&
        (!stream.isOpen() || (main_ && session_ && !session_->videoOpen(*main_)) ||
         now - lastHeard_ > serverSilenceLimit))
        ended_ = SessionEnd::connectionLost;
    return ended_;
}

}  // namespace vl
