#include "Lensway/LenswayWire.h"

#include "base/Bytes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace vl::lensway {

namespace {

bool knownKind(std::uint32_t kind) {
    return kind >= 1 && kind <= 4;
}

}  // namespace

std::optional<std::filesystem::path> socketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return std::nullopt;
    return std::filesystem::path(runtime) / "lensway" / "camera.sock";
}

Bytes encode(MessageKind kind, ByteView payload) {
    Bytes out;
    out.reserve(headerSize + payload.size());
    appendBigEndian32(out, static_cast<std::uint32_t>(kind));
    appendBigEndian32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes encodeForDevice(MessageKind kind, std::uint32_t device, ByteView rest) {
    Bytes out;
    out.reserve(headerSize + 4 + rest.size());
    appendBigEndian32(out, static_cast<std::uint32_t>(kind));
    appendBigEndian32(out, static_cast<std::uint32_t>(4 + rest.size()));
    appendBigEndian32(out, device);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

std::optional<std::uint32_t> deviceOf(const Message& message) {
    if (message.payload.size() < 4) return std::nullopt;
    return readBigEndian32(message.payload.data());
}

void MessageReader::append(ByteView bytes) {
    if (poisoned_) return;
    if (consumed_ > 0 && consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Message> MessageReader::next() {
    if (poisoned_) return std::nullopt;
    const std::size_t available = buffer_.size() - consumed_;
    if (available < headerSize) return std::nullopt;
    const std::uint8_t* head = buffer_.data() + consumed_;
    const std::uint32_t kind = readBigEndian32(head);
    const std::uint32_t length = readBigEndian32(head + 4);
    if (!knownKind(kind) || length > maxPayload) {
        poisoned_ = true;
        buffer_.clear();
        consumed_ = 0;
        return std::nullopt;
    }
    if (available < headerSize + length) return std::nullopt;
    Message message;
    message.kind = static_cast<MessageKind>(kind);
    message.payload.assign(head + headerSize, head + headerSize + length);
    consumed_ += headerSize + length;
    // Keep the buffer from growing with every message: drop what was read once it is most of it.
    if (consumed_ > 65536 && consumed_ * 2 > buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    return message;
}

std::optional<Message> readMessage(int fd, MessageReader& reader) {
    for (;;) {
        if (auto message = reader.next()) return message;
        if (reader.poisoned()) return std::nullopt;
        std::uint8_t chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        reader.append(ByteView(chunk, static_cast<std::size_t>(n)));
    }
}

}  // namespace vl::lensway
