// client/viewer/clipboard: this machine's X11 clipboard and the session's kept in step. The same
// clipboard sync the server runs (poll, echo guard, caps, re-encoding) on a queue of its own,
// against the viewer display's CLIPBOARD selection: local copies go out through `send`, incoming
// `clipboard` messages become the local clipboard's content.
#pragma once

#include "comm/ControlRecords.h"

#include <functional>
#include <memory>
#include <string>

namespace vl {

class ViewerClipboard {
  public:
    using Sender = std::function<void(const ClipboardEvent&)>;

    // Starts at once. `display` empty: $DISPLAY. `send` is called on the clipboard's own thread.
    // What the clipboard holds now is the user's own and is not sent.
    explicit ViewerClipboard(Sender send, std::string display = {});
    // Stops; `send` is not called once this returns.
    ~ViewerClipboard();
    ViewerClipboard(const ViewerClipboard&) = delete;
    ViewerClipboard& operator=(const ViewerClipboard&) = delete;

    // Any thread: a `clipboard` message from the server, applied in arrival order.
    void handle(const ClipboardEvent& event);
    // False when the display could not be opened (the clipboard then does nothing).
    bool connected() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace vl
