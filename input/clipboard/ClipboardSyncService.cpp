#include "input/clipboard/ClipboardSyncService.h"

#include "base/Log.h"
#include "platform/pasteboard/convert/HtmlText.h"
#include "platform/pasteboard/convert/RtfText.h"

#include <array>
#include <string>
#include <utility>

namespace vl {

namespace {

// The text representations, richest first; the first that yields bytes decides.
constexpr std::array<std::pair<ZuPBTypes, PasteboardType>, 3> clipboardUploadOrder = {{
    {ZuPBTypes::rtf, PasteboardType::rtf},
    {ZuPBTypes::html, PasteboardType::html},
    {ZuPBTypes::text, PasteboardType::string},
}};

std::string typeName(ZuPBTypes type) {
    return std::string(description(type));
}

}  // namespace

std::shared_ptr<ClipboardSyncService> ClipboardSyncService::make(
    std::shared_ptr<Pasteboard> pasteboard, DispatchQueue& queue, TimerClock& clock) {
    return std::shared_ptr<ClipboardSyncService>(
        new ClipboardSyncService(std::move(pasteboard), queue, clock));
}

ClipboardSyncService::ClipboardSyncService(std::shared_ptr<Pasteboard> pasteboard,
                                           DispatchQueue& queue, TimerClock& clock)
    : pasteboard_(std::move(pasteboard)), queue_(queue.retain()), clock_(clock) {}

ClipboardSyncService::~ClipboardSyncService() {
    pasteboard_->setChangeHandler({});
    if (clipboardMonitorTimer_) clipboardMonitorTimer_->cancel();
}

void ClipboardSyncService::onQueue(std::function<void(ClipboardSyncService&)> block) {
    if (queue_->isCurrent()) return block(*this);
    queue_->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

void ClipboardSyncService::startClipboardMonitor(Sender sendToClient) {
    onQueue([sendToClient = std::move(sendToClient)](ClipboardSyncService& self) mutable {
        self.startMonitor(std::move(sendToClient));
    });
}

void ClipboardSyncService::stopClipboardMonitor() {
    {
        std::lock_guard lock(senderMutex_);
        sendToClient_ = nullptr;
    }
    onQueue([](ClipboardSyncService& self) { self.stopMonitor(); });
}

void ClipboardSyncService::handleClipboard(const ClipboardEvent& event) {
    onQueue([event](ClipboardSyncService& self) { self.applyClipboard(event); });
}

void ClipboardSyncService::startMonitor(Sender sendToClient) {
    queue_->assertCurrent();
    stopMonitor();
    {
        std::lock_guard lock(senderMutex_);
        sendToClient_ = std::move(sendToClient);
    }
    // Whatever is on the pasteboard now is the user's own and is never sent.
    lastPasteboardChangeCount_ = pasteboard_->changeCount();
    std::weak_ptr<ClipboardSyncService> weak = weak_from_this();
    auto timer = DispatchTimer::make(*queue_, clock_);
    timer->schedule(clock_.now() + pollInterval, pollInterval);
    timer->setEventHandler([weak] {
        if (auto self = weak.lock()) self->pollPasteboardForUpload();
    });
    clipboardMonitorTimer_ = timer;
    timer->resume();
    // A change seen by the pasteboard is polled at once instead of at the next tick.
    pasteboard_->setChangeHandler([weak, queue = queue_] {
        queue->async([weak] {
            if (auto self = weak.lock()) self->pollPasteboardForUpload();
        });
    });
    logMsg("📋 startClipboardMonitor: monitoring the pasteboard every 500 ms");
}

void ClipboardSyncService::stopMonitor() {
    queue_->assertCurrent();
    pasteboard_->setChangeHandler({});
    {
        std::lock_guard lock(senderMutex_);
        sendToClient_ = nullptr;
    }
    if (!clipboardMonitorTimer_) return;
    clipboardMonitorTimer_->setEventHandler({});
    clipboardMonitorTimer_->cancel();
    clipboardMonitorTimer_.reset();
}

void ClipboardSyncService::pollPasteboardForUpload() {
    queue_->assertCurrent();
    // Only while monitoring, which is exactly while the session is started.
    if (!clipboardMonitorTimer_) return;
    const std::int64_t count = pasteboard_->changeCount();
    if (count == lastPasteboardChangeCount_) return;
    // Consumed before the attempt: a failure below is not retried.
    lastPasteboardChangeCount_ = count;

    auto image = pasteboard_->data(PasteboardType::png);
    if (!image || image->empty()) image = pasteboard_->data(PasteboardType::tiff);
    if (image && !image->empty()) {
        auto jpeg = reencodeImageData(*image, ImageFileType::jpeg, jpegQuality);
        if (!jpeg) {
            logMsg("🟥 pollPasteboardForUpload: image of " + std::to_string(image->size()) +
                       " bytes could not be re-encoded as JPEG, skipping",
                   LogLevel::warning);
            return;
        }
        if (jpeg->size() > imageCap) {
            logMsg("🟨 pollPasteboardForUpload: image JPEG " + std::to_string(jpeg->size()) +
                       " bytes exceeds cap, skipping",
                   LogLevel::warning);
            return;
        }
        const auto size = jpeg->size();
        send(ClipboardEvent{"", ZuPBTypes::image, std::move(*jpeg)});
        logMsg("📋 pollPasteboardForUpload: uploaded " + std::to_string(size) +
               " bytes of image (JPEG) to client");
        return;
    }

    for (const auto& [type, pasteboardType] : clipboardUploadOrder) {
        std::optional<Bytes> bytes;
        if (pasteboardType == PasteboardType::string) {
            if (auto text = pasteboard_->string(); text && !text->empty()) bytes = bytesOf(*text);
        } else if (auto data = pasteboard_->data(pasteboardType); data && !data->empty()) {
            bytes = std::move(data);
        }
        if (!bytes) continue;
        const auto size = bytes->size();
        if (size > textCap) {
            logMsg("🟨 pollPasteboardForUpload: " + typeName(type) + " " + std::to_string(size) +
                       " bytes exceeds cap, skipping",
                   LogLevel::warning);
            return;
        }
        send(ClipboardEvent{"", type, std::move(*bytes)});
        logMsg("📋 pollPasteboardForUpload: uploaded " + std::to_string(size) + " bytes of " +
               typeName(type) + " to client");
        return;
    }
}

void ClipboardSyncService::applyClipboard(const ClipboardEvent& event) {
    queue_->assertCurrent();
    const std::size_t size = event.data.size();
    const std::size_t cap = event.type == ZuPBTypes::image ? imageCap : textCap;
    if (size > cap) {
        logMsg("🟨 handleClipboard: " + std::to_string(size) + " bytes exceeds cap for " +
                   typeName(event.type) + ", ignoring",
               LogLevel::warning);
        return;
    }
    switch (event.type) {
        case ZuPBTypes::text:
        case ZuPBTypes::image:
        case ZuPBTypes::rtf:
        case ZuPBTypes::html:
            break;
        default:
            logMsg("🟨 handleClipboard: type " + typeName(event.type) +
                       " not supported yet, ignoring",
                   LogLevel::warning);
            return;
    }
    pasteboard_->clearContents();
    switch (event.type) {
        case ZuPBTypes::text:
            if (!isValidUtf8(event.data)) {
                logMsg("🟥 handleClipboard: text of " + std::to_string(size) +
                           " bytes is not valid UTF-8, pasteboard left empty",
                       LogLevel::warning);
                return;
            }
            pasteboard_->setString(stringOf(event.data));
            break;
        case ZuPBTypes::image: {
            auto png = reencodeImageData(event.data, ImageFileType::png, 0);
            if (!png) {
                logMsg("🟥 handleClipboard: image of " + std::to_string(size) +
                           " bytes could not be converted to PNG, pasteboard left empty",
                       LogLevel::warning);
                return;
            }
            pasteboard_->setData(*png, PasteboardType::png);
            break;
        }
        case ZuPBTypes::rtf:
            pasteboard_->setData(event.data, PasteboardType::rtf);
            pasteboard_->setString(RtfText::plainText(event.data).value_or(""));
            break;
        case ZuPBTypes::html:
            pasteboard_->setData(event.data, PasteboardType::html);
            pasteboard_->setString(HtmlText::plainText(event.data).value_or(""));
            break;
        default:
            break;
    }
    // Our own change: the next polling step must not send it straight back.
    lastPasteboardChangeCount_ = pasteboard_->changeCount();
    logMsg("📋 handleClipboard: applied " + std::to_string(size) + " bytes of " +
           typeName(event.type) + " to local pasteboard");
}

std::optional<Bytes> ClipboardSyncService::reencodeImageData(ByteView data, ImageFileType fileType,
                                                             double quality) {
    auto bitmap = ImageCodec::decode(data);
    if (!bitmap) return std::nullopt;
    return ImageCodec::encode(*bitmap, fileType, quality);
}

void ClipboardSyncService::send(ClipboardEvent event) {
    Sender sender;
    {
        std::lock_guard lock(senderMutex_);
        sender = sendToClient_;
    }
    if (sender) sender(event);
}

}  // namespace vl
