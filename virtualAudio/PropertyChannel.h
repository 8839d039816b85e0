// virtualAudio: the property channel between the server and the virtual
// microphone's host — get, set and listen for changes of the device's properties by selector,
// over a Unix socket in the user's runtime folder that only the user's own processes may use.
// Both ends frame the same messages.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace vl::micchannel {

enum class Kind : std::uint8_t {
    translateUID = 1,  // value: the UID's bytes; answer: the device id (0 when unknown)
    get = 2,           // answer: the value
    set = 3,           // answer: the status
    listen = 4,        // from now on, `changed` for the selector
    reply = 5,
    changed = 6,  // the host tells a listener
};

// A number (unsigned 32-bit), a block of bytes, or nothing.
using Value = std::variant<std::monostate, std::uint32_t, Bytes>;

struct Message {
    Kind kind = Kind::reply;
    std::uint32_t request = 0;  // a reply carries its request's number
    std::uint32_t selector = 0;
    std::int32_t status = 0;
    Value value;
};

// Larger messages are a broken peer: the connection is closed.
inline constexpr std::size_t maxMessageSize = 2 * 1024 * 1024;

Bytes encode(const Message& message);

// Cuts a byte stream into messages.
class MessageReader {
  public:
    void append(ByteView bytes);
    std::optional<Message> next();
    // A message that cannot be framed was seen; nothing more comes out.
    bool broken() const { return broken_; }

  private:
    Bytes buffer_;
    std::size_t offset_ = 0;
    bool broken_ = false;
};

// $XDG_RUNTIME_DIR/vantrel-link/mic.sock, else /tmp/vantrel-link-<uid>/mic.sock.
std::filesystem::path defaultSocketPath();

}  // namespace vl::micchannel
