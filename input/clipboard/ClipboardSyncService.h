// input/clipboard: clipboard sync — desktop copies go to the client, the client's go onto the
// general pasteboard. Polls the pasteboard's change count every 500 ms on its queue (and at once
// when the pasteboard reports a change), sends the richest representation within the caps, and
// keeps the change count it produced itself so nothing echoes back. Reading another program's
// clipboard may wait for it and converting a large image takes a while, so the server gives the
// service a queue of its own: the main queue, which posts input, never waits for either.
#pragma once

#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/TimerClock.h"
#include "comm/SessionEnvironment.h"
#include "platform/pasteboard/Interface.h"
#include "platform/pasteboard/convert/ImageCodec.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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

    // Must be owned by a shared pointer (the timer and the change handler hold it weakly). The
    // pasteboard is used on `queue` only; `clock` must outlive the service.
    static std::shared_ptr<ClipboardSyncService> make(std::shared_ptr<Pasteboard> pasteboard,
                                                      DispatchQueue& queue,
                                                      TimerClock& clock = TimerClock::real());
    ~ClipboardSyncService() override;

    // From any queue; the work runs on the service's queue, in the order of the calls. Once
    // stopClipboardMonitor has returned, nothing more is sent.
    void startClipboardMonitor(Sender sendToClient) override;
    void stopClipboardMonitor() override;
    void handleClipboard(const ClipboardEvent& event) override;
    // One polling step, on the service's queue.
    void pollPasteboardForUpload();

    // Image bytes in any supported type to bytes of `fileType`; none when they do not decode.
    static std::optional<Bytes> reencodeImageData(ByteView data, ImageFileType fileType,
                                                  double quality);

  private:
    ClipboardSyncService(std::shared_ptr<Pasteboard> pasteboard, DispatchQueue& queue,
                         TimerClock& clock);
    // Runs the block on the service's queue: in place when already there.
    void onQueue(std::function<void(ClipboardSyncService&)> block);
    void startMonitor(Sender sendToClient);
    void stopMonitor();
    void applyClipboard(const ClipboardEvent& event);
    void send(ClipboardEvent event);

    std::shared_ptr<Pasteboard> pasteboard_;
    const std::shared_ptr<DispatchQueue> queue_;
    TimerClock& clock_;
    // The service's queue only.
    std::shared_ptr<DispatchTimer> clipboardMonitorTimer_;
    std::int64_t lastPasteboardChangeCount_ = 0;
    // Set on the queue, cleared at once by a stop from anywhere.
    std::mutex senderMutex_;
    Sender sendToClient_;
};

}  // namespace vl
