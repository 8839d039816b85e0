// Lensway: the messages between the server and the camera daemon over its
// Unix socket. Each message is an 8-byte header (kind, payload length; both 32-bit little-endian)
// and the payload. Only processes of the daemon's own user may connect (checked by the daemon).
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vl::lensway {

enum class MessageKind : std::uint32_t {
    deviceQuery = 1,   // payload: the device UID text
    deviceAnswer = 2,  // payload: the 32-bit device id, 0 when no device has the UID
    encodedFrame = 3,  // payload: the 32-bit device id, then one access unit
    clearFrame = 4,    // payload: the 32-bit device id; the property got a value that is no frame
};

struct Message {
    MessageKind kind{};
    Bytes payload;
};

inline constexpr std::size_t headerSize = 8;
inline constexpr std::size_t maxPayload = 8 * 1024 * 1024 + 4;

// $XDG_RUNTIME_DIR/lensway/camera.sock (the runtime folder is the user's own); none without one.
std::optional<std::filesystem::path> socketPath();

Bytes encode(MessageKind kind, ByteView payload);
// Message with the 32-bit id at the head of its payload.
Bytes encodeForDevice(MessageKind kind, std::uint32_t device, ByteView rest = {});
std::optional<std::uint32_t> deviceOf(const Message& message);

// Cuts a byte stream into messages. A header announcing more than maxPayload (or an unknown
// kind) poisons the stream: the peer is out of step and the connection is to be dropped.
class MessageReader {
  public:
    void append(ByteView bytes);
    std::optional<Message> next();
    bool poisoned() const { return poisoned_; }

  private:
    Bytes buffer_;
    std::size_t consumed_ = 0;
    bool poisoned_ = false;
};

// The next message from a connected stream socket, blocking; none on error, end or timeout.
std::optional<Message> readMessage(int fd, MessageReader& reader);

}  // namespace vl::lensway
