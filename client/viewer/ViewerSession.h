// client/viewer: one viewer's connection to a server — the password exchange with a reason when
// it is refused, the main display and an optional extra one with their pictures decoded on a
// thread of their own, input and clipboard messages out, and the messages the server sends back
// (clipboard, its goodbye) handed to whoever listens, on the thread that calls pump().
#pragma once

#include "Capture/ZuChannels.h"
#include "client/ControlClient.h"
#include "client/SessionClient.h"
#include "client/VideoSink.h"
#include "client/viewer/ServerProbe.h"
#include "comm/ControlRecords.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

enum class ConnectFailure { unreachable, noAnswer, wrongPassword, busy };
std::string_view description(ConnectFailure failure);

// Where the session's system audio is served, and in which layout (the server chooses the layout
// from the main display's size).
struct AudioEndpoint {
    std::string host;
    std::uint16_t port = 0;
    ZuChannels layout = ZuChannels::stereo;
};

// How long the control connection may stay silent before the server counts as gone: two missed
// keepalives and some slack.
constexpr std::chrono::seconds serverSilenceLimit{65};

// Why a running session ended, as pump() finds out.
enum class SessionEnd { none, serverSaidGoodbye, serverStopped, connectionLost };
std::string_view description(SessionEnd end);

class ViewerSession {
  public:
    using PictureHandler = VideoSink::PictureHandler;
    using ClipboardHandler = std::function<void(const ClipboardEvent&)>;

    struct Failure {
        ConnectFailure reason;
        std::string detail;
    };

    // Opens the control connection and sends the password; on refusal, why.
    static std::unique_ptr<ViewerSession> connect(const std::string& host, std::uint16_t port,
                                                  const std::string& password,
                                                  ClientIdentity identity, Failure* failure);
    // Stops the session and says goodbye.
    ~ViewerSession();
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    // Starts the main display (and the extra one when given) and their video. Pictures go to the
    // handlers on each stream's decoding thread. Called again, it ends the running session first
    // and starts anew (how the viewer asks for a new size).
    bool start(const std::string& mainDescriptor, PictureHandler onMain,
               const std::optional<std::string>& extraDescriptor, PictureHandler onExtra,
               std::string* error);
    // Ends the session (extra display, main display, video); the connection stays.
    void stop();
    // Where the next start() decodes.
    void setDecoder(HevcDecoderOptions options) { decoder_ = std::move(options); }
    // Which decoder the main stream uses, with why not the one asked for; empty when not running.
    std::string decoderDescription() const;

    const std::optional<SharedItem>& mainItem() const { return main_; }
    const std::optional<SharedItem>& extraItem() const { return extra_; }
    // The audio port and layout of the running session; nothing before start() or when the server
    // offers no audio.
    std::optional<AudioEndpoint> audioEndpoint() const;
    const std::string& host() const { return control_->host(); }
    // Counters of the main (extra = false) or extra stream's video; zeros when not running.
    StreamStats videoStats(bool extra) const;
    std::uint64_t picturesDecoded(bool extra) const;
    int decodeErrors(bool extra) const;

    // Messages to the server; safe from any thread. Input carries the shareId its caller sets.
    void send(const MouseEvent& event);
    void send(const MouseScroll& event);
    void send(const KeyboardEvent& event);
    void send(const LookAtInfo& info);
    // The clipboard goes to the main item (its shareId is filled in).
    void sendClipboard(ClipboardEvent event);
    // Clipboard contents the server sends; delivered by pump().
    void setClipboardHandler(ClipboardHandler handler);

    // Hands out what the server sent since the last call; says whether (and how) the session
    // ended. Call it often from one thread (the viewer's main loop).
    SessionEnd pump();

  private:
    ViewerSession(std::unique_ptr<ControlClient> control, std::unique_ptr<ServerProbe> probe)
        : control_(std::move(control)), probe_(std::move(probe)) {}
    void sendMessage(InteractionType type, const std::string& json);

    std::unique_ptr<ControlClient> control_;
    std::unique_ptr<SessionClient> session_;
    std::unique_ptr<VideoSink> mainSink_, extraSink_;
    HevcDecoderOptions decoder_;
    std::optional<SharedItem> main_, extra_;
    std::mutex sendMutex_;     // guards the control stream's sends and mainShareId_
    std::string mainShareId_;  // what the clipboard names, readable from any thread
    std::mutex handlerMutex_;
    ClipboardHandler onClipboard_;
    SessionEnd ended_ = SessionEnd::none;
    // The server sends a keepalive byte every 30 s; a server killed outright is only noticed by
    // its silence, as the transport's idle timeout is ten minutes.
    std::uint64_t lastBytes_ = 0;
    std::chrono::steady_clock::time_point lastHeard_ = std::chrono::steady_clock::now();
    std::unique_ptr<ServerProbe> probe_;
    std::chrono::steady_clock::time_point lastProbe_{};
};

}  // namespace vl
