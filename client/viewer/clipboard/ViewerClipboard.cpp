#include "client/viewer/clipboard/ViewerClipboard.h"

#include "base/DispatchQueue.h"
#include "base/Log.h"
#include "input/clipboard/ClipboardSyncService.h"
#include "platform/pasteboard/x11/X11Pasteboard.h"

namespace vl {

struct ViewerClipboard::Impl {
    // The pasteboard may hold a caller for as long as another owner takes to answer: the sync runs
    // on a thread of its own rather than the viewer's main loop.
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::dedicated("ViewerClipboard");
    std::shared_ptr<X11Pasteboard> pasteboard;
    std::shared_ptr<ClipboardSyncService> sync;
};

ViewerClipboard::ViewerClipboard(Sender send, std::string display)
    : impl_(std::make_shared<Impl>()) {
    impl_->pasteboard =
        std::make_shared<X11Pasteboard>(std::move(display), [](const std::string& message) {
            logMsg("📋 viewer clipboard: " + message, LogLevel::warning);
        });
    impl_->sync = ClipboardSyncService::make(impl_->pasteboard, *impl_->queue);
    impl_->queue->sync([&] { impl_->sync->startClipboardMonitor(std::move(send)); });
}

ViewerClipboard::~ViewerClipboard() {
    // Queued messages are applied first; nothing is sent after the monitor stops.
    impl_->queue->sync([&] {
        impl_->sync->stopClipboardMonitor();
        impl_->sync.reset();
        impl_->pasteboard.reset();
    });
}

void ViewerClipboard::handle(const ClipboardEvent& event) {
    impl_->queue->async([impl = impl_, event] {
        if (impl->sync) impl->sync->handleClipboard(event);
    });
}

bool ViewerClipboard::connected() const {
    return impl_->pasteboard->connected();
}

}  // namespace vl
