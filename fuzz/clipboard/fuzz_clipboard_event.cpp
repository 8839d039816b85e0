// A clipboard packet's payload from the client: decoded, then applied to an in-memory pasteboard
// the way the session applies it (caps, UTF-8 check, image to PNG, RTF and HTML to text).
#include "base/Logger.h"
#include "input/clipboard/ClipboardSyncService.h"
#include "platform/pasteboard/fake/FakePasteboard.h"

#include <cstddef>
#include <cstdint>

// Reports have nowhere to go: formatting and queueing them per input would cost more than the
// input's own work.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vl::Logger::shared().setWritesToStderr(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto pasteboard = std::make_shared<vl::FakePasteboard>();
    static const auto sync = vl::ClipboardSyncService::make(pasteboard, vl::DispatchQueue::main());
    if (auto event = vl::ClipboardEvent::fromJson(vl::ByteView(data, size)))
        sync->handleClipboard(*event);
    return 0;
}
