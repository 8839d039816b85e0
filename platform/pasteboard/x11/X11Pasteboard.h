// platform/pasteboard: the general pasteboard on X11 — the CLIPBOARD selection. A thread of its own
// keeps the connection: it counts owner changes (XFixes), reads other owners' targets (TARGETS,
// INCR for large transfers, a time-out for owners that do not answer) and, once we write, owns the
// selection with a hidden window and serves every stored representation until someone else takes
// over. On destruction the content is handed to a clipboard manager when one runs.
#pragma once

#include "platform/pasteboard/Interface.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class X11Pasteboard final : public Pasteboard {
  public:
    using Reporter = std::function<void(const std::string&)>;
    struct Options {
        // The longest a call waits for another owner (and the longest a caller is held).
        std::chrono::milliseconds timeout{2000};
        // Reading more than this from an owner is abandoned (an endless INCR transfer).
        std::size_t maxTransfer = 64u << 20;
    };

    // `display` empty: $DISPLAY. When the display cannot be opened the pasteboard is empty and
    // takes no writes (reported once).
    X11Pasteboard(std::string display, Reporter report);
    X11Pasteboard(std::string display, Reporter report, Options options);
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    bool connected() const;

    std::int64_t changeCount() override;
    std::optional<Bytes> data(PasteboardType type) override;
    std::optional<std::string> string() override;
    std::int64_t clearContents() override;
    bool setData(ByteView data, PasteboardType type) override;
    bool setString(std::string_view text) override;
    void setChangeHandler(std::function<void()> handler) override;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace vl
