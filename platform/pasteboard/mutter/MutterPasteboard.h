// platform/pasteboard/mutter: the general pasteboard on a GNOME Wayland session — the clipboard of
// a remote-desktop session of our own, started at first use and kept for the pasteboard's life
// (closing it would drop what the client copied). Mutter announces every change of the
// selection's owner with the types offered, and reading one is a pipe that Mutter fills from the
// owner. Once we write, the session owns the selection: Mutter asks it for each paste, and a thread
// of ours serves the stored representation.
#pragma once

#include "platform/mutter/MutterBus.h"
#include "platform/pasteboard/Interface.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class MutterPasteboard final : public Pasteboard {
  public:
    using Reporter = std::function<void(const std::string&)>;
    struct Options {
        // The longest a read or a paste waits for the other side.
        std::chrono::milliseconds timeout{2000};
        // Reading more than this from an owner is abandoned.
        std::size_t maxTransfer = 64u << 20;
    };

    MutterPasteboard(std::shared_ptr<MutterBus> bus, Reporter report, Options options);
    MutterPasteboard(std::shared_ptr<MutterBus> bus, Reporter report)
        : MutterPasteboard(std::move(bus), std::move(report), Options{}) {}
    ~MutterPasteboard() override;
    MutterPasteboard(const MutterPasteboard&) = delete;
    MutterPasteboard& operator=(const MutterPasteboard&) = delete;

    std::int64_t changeCount() override;
    std::optional<Bytes> data(PasteboardType type) override;
    std::optional<std::string> string() override;
    std::int64_t clearContents() override;
    bool setData(ByteView data, PasteboardType type) override;
    bool setString(std::string_view text) override;
    void setChangeHandler(std::function<void()> handler) override;

    // The mime types a representation is offered and read as, the preferred first.
    static const std::vector<std::string>& mimeTypes(PasteboardType type);

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace vl
