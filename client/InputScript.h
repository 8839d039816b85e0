// client: a timed script of input messages played into a session, as a headset's hands would
// send them. One JSON object per line:
//   {"at": 1.5, "type": "mouseEvent", "message": {"shareId": "$main", "kind": 1, ...}}
// `at` is seconds after the session started; `type` is the message's sub-type name (mouseEvent,
// text, scroll, lookAt, jumpToDisplay, moveWindowToVDIfNotOnVD, clipboard, ...); a "shareId" of
// "$main" or "$extra" becomes that item's id. Blank lines and lines starting with # are skipped.
#pragma once

#include "comm/InteractionType.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vl {

class InputScript {
  public:
    struct Message {
        double at = 0;
        InteractionType type = InteractionType::undefined;
        std::string message;  // JSON, with "$main"/"$extra" still in place
    };
    // Sends a message's sub-type and payload (any thread).
    using Send = std::function<void(InteractionType, const std::string& payload)>;

    // Reads the script; an error names the line.
    static std::optional<InputScript> load(const std::string& path, std::string* error);
    static std::optional<InputScript> parse(const std::string& text, std::string* error);

    InputScript() = default;
    // Moving takes the messages only; neither script may be playing.
    InputScript(InputScript&& other) noexcept : messages_(std::move(other.messages_)) {}
    InputScript& operator=(InputScript&& other) noexcept {
        messages_ = std::move(other.messages_);
        return *this;
    }
    ~InputScript() { stop(); }

    const std::vector<Message>& messages() const { return messages_; }
    // The payload with the items' ids in place.
    static std::string resolved(const Message& message, const std::string& mainID,
                                const std::string& extraID);

    // Plays the script on its own thread, each message at its time from now.
    void play(Send send, std::string mainID, std::string extraID = {});
    // Stops playing (messages not yet due are not sent) and waits for the thread.
    void stop();
    std::size_t sent() const { return sent_; }

  private:
    std::vector<Message> messages_;
    std::thread player_;
    std::atomic<bool> stopping_ = false;
    std::atomic<std::size_t> sent_ = 0;
};

}  // namespace vl
