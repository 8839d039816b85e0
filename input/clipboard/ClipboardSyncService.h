// input/clipboard: clipboard sync — desktop copies go to the client, the client's go onto the
// general pasteboard. Polls the pasteboard's change count every 500 ms on the main queue (and at
// once when the pasteboard reports a change), sends the richest representation within the caps,
// and keeps the change count it produced itself so nothing echoes back.
#pragma once

#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/TimerClock.h"
#include "comm/SessionEnvironment.h"
#include "platform/pasteboard/Interface.h"
#include "platform/pasteboard/convert/ImageCodec.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace vl {

class ClipboardSyncService final : public ClipboardSync,
                                   public std::enable_shared_from_this<ClipboardSyncService> {
  public:
    // Caps in bytes, inclusive: images after re-encoding, and every other type.
    static constexpr std::size_t imageCap = 5767168;
    static constexpr std::size_t textCap = 1048576;
    static constexpr double jpegQuality = 0.85;
    static constexpr Clock::duration pollInterval = std::chrono::milliseconds(500);

    // Must be owned by a shared pointer (the timer and the change handler hold it weakly).
    // `mainQueue` and `clock` must outlive it.
    static std::shared_ptr<ClipboardSyncService> make(
        std::shared_ptr<Pasteboard> pasteboard, DispatchQueue& mainQueue = DispatchQueue::main(),
        TimerClock& clock = TimerClock::real());
    ~ClipboardSyncService() override;

    // All on the main queue.
    void startClipboardMonitor(Sender sendToClient) override;
    void stopClipboardMonitor() override;
    void handleClipboard(const ClipboardEvent& event) override;
    // One polling step.
    void pollPasteboardForUpload();

    // Image bytes in any supported type to bytes of `fileType`; none when they do not decode.
    static std::optional<Bytes> reencodeImageData(ByteView data, ImageFileType fileType,
                                                  double quality);

  private:
    ClipboardSyncService(std::shared_ptr<Pasteboard> pasteboard, DispatchQueue& mainQueue,
                         TimerClock& clock);
    void send(ClipboardEvent event);

    std::shared_ptr<Pasteboard> pasteboard_;
    DispatchQueue& mainQueue_;
    TimerClock& clock_;
    // Main queue only.
    std::shared_ptr<DispatchTimer> clipboardMonitorTimer_;
    std::int64_t lastPasteboardChangeCount_ = 0;
    Sender sendToClient_;
};

}  // namespace vl
