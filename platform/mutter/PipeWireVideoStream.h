// platform/mutter: a PipeWire consumer of one screen-cast node. It asks for 8-bit BGRx/BGRA at
// one fixed size, which for a virtual stream is what makes Mutter size its virtual monitor, and
// takes shared-memory buffers (memfd or plain memory). Mutter sends a buffer only when the monitor
// changed (or, without pixels, when only the cursor moved), so frames are damage-driven as they
// come.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vl {

struct PipeWireVideoFrame {
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    // BGRA byte order; the fourth byte is padding when hasAlpha is false. Valid only during the
    // callback.
    const std::uint8_t* pixels = nullptr;
    bool hasAlpha = false;
    // Where the cursor is in the frame, when the producer told.
    std::optional<std::pair<int, int>> cursor;
};

class PipeWireVideoStream {
  public:
    struct Options {
        std::uint32_t node = 0;
        int width = 0;
        int height = 0;
        int maxFramesPerSecond = 60;  // the rate frames are used at; Mutter may send more
        // Runs on the stream's own thread for each buffer with pixels.
        std::function<void(const PipeWireVideoFrame&)> frame;
        // Runs on the stream's thread when the stream fails or the producer goes away.
        std::function<void(const std::string&)> ended;
    };

    // Connected (negotiation goes on in the background); null when PipeWire cannot be reached,
    // `error` then says why.
    static std::unique_ptr<PipeWireVideoStream> connect(Options options, std::string* error);
    // Disconnects; no callback runs once it has returned.
    ~PipeWireVideoStream();

    // The size both sides agreed on; none before negotiation finished.
    std::optional<std::pair<int, int>> negotiatedSize() const;
    std::uint64_t framesReceived() const { return framesReceived_; }

    struct Impl;

  private:
    explicit PipeWireVideoStream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
    std::atomic<std::uint64_t> framesReceived_{0};
    friend struct Impl;
};

}  // namespace vl
