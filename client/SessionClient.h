// client: a sharing session as a headset runs it over an authenticated control connection — the
// main display (rdpStart), extra displays (displayStart), the video of each on its own port, and
// the clean end (displayStop for each extra display, then rdpStop).
#pragma once

#include "client/ControlClient.h"
#include "client/StreamClient.h"
#include "comm/ControlRecords.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class SessionClient {
  public:
    using UnitHandler = std::function<void(ByteView)>;

    // `control` must have been answered ret200 and outlive the session.
    explicit SessionClient(ControlClient& control) : control_(control) {}
    // Stops whatever is still running.
    ~SessionClient();
    SessionClient(const SessionClient&) = delete;
    SessionClient& operator=(const SessionClient&) = delete;

    // Asks for the main virtual display by its descriptor and waits for the answer (making a
    // virtual display and extending the desktop onto it takes a few seconds).
    std::optional<SharedItem> startMain(
        const std::string& descriptor, std::string* error,
        std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Asks for an extra display; the server gives no answer when all four slots are taken.
    std::optional<SharedItem> startExtra(
        const std::string& descriptor, std::string* error,
        std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Connects to the item's video port, registers as its receiver, then asks for its video.
    // Every access unit goes to `onUnit` on the stream's receive thread, until stop().
    bool receiveVideo(const SharedItem& item, UnitHandler onUnit, std::string* error);
    // Whether the video connection of the item is still up.
    bool videoOpen(const SharedItem& item) const;

    // Ends the session: no more units reach the handlers, each extra display is stopped, then the
    // main session; the video connections close. Safe to call when nothing was started.
    void stop();

  private:
    std::optional<SharedItem> start(InteractionType subType, const std::string& descriptor,
                                    std::string* error, std::chrono::milliseconds timeout);

    struct Video {
        std::string sharedID;
        std::unique_ptr<StreamClient> stream;
    };

    ControlClient& control_;
    bool mainStarted_ = false;
    std::vector<std::string> extras_;  // sharedIDs of extra displays
    std::vector<Video> videos_;
};

}  // namespace vl
