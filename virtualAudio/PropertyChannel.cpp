#include "virtualAudio/PropertyChannel.h"

#include "base/Bytes.h"

#include <cstdlib>

#include <unistd.h>

namespace vl::micchannel {

namespace {

// size (after this field), kind, request, selector, status, value type, value.
constexpr std::size_t fixedSize = 1 + 4 + 4 + 4 + 1;

}  // namespace

Bytes encode(const Message& message) {
    Bytes out;
    std::uint8_t type = 0;
    std::size_t valueSize = 0;
    if (std::holds_alternative<std::uint32_t>(message.value)) {
        type = 1;
        valueSize = 4;
    } else if (const auto* bytes = std::get_if<Bytes>(&message.value)) {
        type = 2;
        valueSize = bytes->size();
    }
    out.reserve(4 + fixedSize + valueSize);
    appendBigEndian32(out, static_cast<std::uint32_t>(fixedSize + valueSize));
    out.push_back(static_cast<std::uint8_t>(message.kind));
    appendBigEndian32(out, message.request);
    appendBigEndian32(out, message.selector);
    appendBigEndian32(out, static_cast<std::uint32_t>(message.status));
    out.push_back(type);
    if (type == 1) appendBigEndian32(out, std::get<std::uint32_t>(message.value));
    if (type == 2) {
        const auto& bytes = std::get<Bytes>(message.value);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

void MessageReader::append(ByteView bytes) {
    if (broken_) return;
    if (offset_ > 0 && offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Message> MessageReader::next() {
    if (broken_ || buffer_.size() - offset_ < 4) return std::nullopt;
    const std::uint8_t* p = buffer_.data() + offset_;
    const std::uint32_t size = readBigEndian32(p);
    if (size < fixedSize || size > maxMessageSize) {
        broken_ = true;
        return std::nullopt;
    }
    if (buffer_.size() - offset_ < 4 + std::size_t(size)) return std::nullopt;
    p += 4;
    Message m;
    m.kind = static_cast<Kind>(p[0]);
    m.request = readBigEndian32(p + 1);
    m.selector = readBigEndian32(p + 5);
    m.status = static_cast<std::int32_t>(readBigEndian32(p + 9));
    const std::uint8_t type = p[13];
    const std::size_t valueSize = size - fixedSize;
    if (type == 1 && valueSize == 4) {
        m.value = readBigEndian32(p + fixedSize);
    } else if (type == 2) {
        m.value = Bytes(p + fixedSize, p + fixedSize + valueSize);
    } else if (type != 0 || valueSize != 0) {
        broken_ = true;
        return std::nullopt;
    }
    offset_ += 4 + size;
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
    return m;
}

std::filesystem::path defaultSocketPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::filesystem::path(runtime) / "vantrel-link" / "mic.sock";
    return std::filesystem::path("/tmp") / ("vantrel-link-" + std::to_string(getuid())) /
           "mic.sock";
}

}  // namespace vl::micchannel
