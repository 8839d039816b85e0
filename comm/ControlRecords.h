// comm: the JSON records carried by control messages. Keys are the field names; key order does
// not matter; enumerations travel as their raw value, byte buffers as standard Base64 text.
// Decoding is strict — a missing key, a wrong JSON type, an integer out of its range or an
// unknown enumeration value fails the whole record — and never throws. Unknown keys are ignored.
// An integer field accepts a JSON number with no fractional part (5 or 5.0), never 5.5.
#pragma once

#include "base/Bytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vl {

// One-byte enumerations of the records: raw value, case name, and a constructor that fails
// outside the known values.
enum class MouseButton : std::uint8_t { left = 0, right = 1, middle = 2 };
enum class MouseEventKind : std::uint8_t { move = 0, down = 1, drag = 2, up = 3 };
enum class ScrollDirection : std::uint8_t { up = 0, down = 1 };
enum class ZuPBTypes : std::uint8_t { text = 0, image = 1, rtf = 2, html = 3, file = 4 };

std::optional<MouseButton> mouseButtonFromRaw(std::int64_t raw);
std::optional<MouseEventKind> mouseEventKindFromRaw(std::int64_t raw);
std::optional<ScrollDirection> scrollDirectionFromRaw(std::int64_t raw);
std::optional<ZuPBTypes> zuPBTypesFromRaw(std::int64_t raw);

std::string_view description(MouseButton value);
std::string_view description(MouseEventKind value);
std::string_view description(ScrollDirection value);
std::string_view description(ZuPBTypes value);

// What a shared item shows. JSON: an object with exactly one key, the case name, whose value is
// an object of the case's associated values ({"display":{"displayID":5}}, {"stUnknown":{}}).
struct SharedType {
    struct Display {
        std::uint32_t displayID = 0;
        friend bool operator==(const Display&, const Display&) = default;
    };
    struct LeafDisplay {
        std::uint32_t displayID = 0;
        friend bool operator==(const LeafDisplay&, const LeafDisplay&) = default;
    };
    struct Window {
        std::uint32_t displayID = 0;
        std::string windowID;
        std::optional<std::string> title;  // left out of the JSON when absent
        friend bool operator==(const Window&, const Window&) = default;
    };
    struct Region {
        std::uint32_t displayID = 0;
        std::string windowID;
        std::int64_t left = 0, top = 0, width = 0, height = 0;
        friend bool operator==(const Region&, const Region&) = default;
    };
    struct Unknown {
        friend bool operator==(const Unknown&, const Unknown&) = default;
    };
    // Alternatives in declaration order of the cases.
    using Value = std::variant<Display, LeafDisplay, Window, Region, Unknown>;

    Value value = Unknown{};

    static SharedType display(std::uint32_t displayID) { return {Display{displayID}}; }
    static SharedType stLeafDisplay(std::uint32_t displayID) { return {LeafDisplay{displayID}}; }
    static SharedType stWindow(std::uint32_t displayID, std::string windowID,
                               std::optional<std::string> title = std::nullopt) {
        return {Window{displayID, std::move(windowID), std::move(title)}};
    }
    static SharedType stRegion(std::uint32_t displayID, std::string windowID, std::int64_t left,
                               std::int64_t top, std::int64_t width, std::int64_t height) {
        return {Region{displayID, std::move(windowID), left, top, width, height}};
    }
    static SharedType stUnknown() { return {Unknown{}}; }

    // The case name: display, stLeafDisplay, stWindow, stRegion or stUnknown.
    std::string_view description() const;
    // The display of every case but stUnknown.
    std::optional<std::uint32_t> displayID() const;

    std::string toJson() const;
    static std::optional<SharedType> fromJson(ByteView json);

    friend bool operator==(const SharedType&, const SharedType&) = default;
};

// Client to server with connect and disconnect.
struct ConnectReq {
    std::uint8_t clientType = 0;
    std::string clientVersion;
    std::string clientDeviceID;
    std::string clientDeviceName;
    std::string password;  // Base64 of the UTF-8 password

    std::string toJson() const;
    static std::optional<ConnectReq> fromJson(ByteView json);
    friend bool operator==(const ConnectReq&, const ConnectReq&) = default;
};

// Server to client as the answer to rdpStart and displayStart; also the server's own record of
// each shared item.
struct SharedItem {
    SharedType sharedType;
    std::int64_t sharedVideoPort = 0;
    std::int64_t sharedAudioPort = 0;
    std::int64_t sharedMicPort = 0;
    std::int64_t sharedCamPort = 0;
    std::int64_t left = 0;
    std::int64_t top = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t fps = 30;
    bool hdr = false;
    std::string serverIP;
    std::string sharedID;  // upper-case UUID text
    std::string title;

    std::string toJson() const;
    static std::optional<SharedItem> fromJson(ByteView json);
    friend bool operator==(const SharedItem&, const SharedItem&) = default;
};

// Client to server, mouseEvent.
struct MouseEvent {
    std::string shareId;
    MouseButton button = MouseButton::left;
    MouseEventKind kind = MouseEventKind::move;
    double horzPosition = 0;
    double vertPosition = 0;

    std::string toJson() const;
    static std::optional<MouseEvent> fromJson(ByteView json);
    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

// Client to server, scroll.
struct MouseScroll {
    std::string shareId;
    double horzPosition = 0;
    double vertPosition = 0;
    ScrollDirection direction = ScrollDirection::up;
    double delta = 0;

    std::string toJson() const;
    static std::optional<MouseScroll> fromJson(ByteView json);
    friend bool operator==(const MouseScroll&, const MouseScroll&) = default;
};

// Client to server, text.
struct KeyboardEvent {
    std::string shareId;
    std::uint32_t keyCode = 0;
    std::string characters;
    std::int64_t modifierFlags = 0;
    bool isKeyDown = false;

    std::string toJson() const;
    static std::optional<KeyboardEvent> fromJson(ByteView json);
    friend bool operator==(const KeyboardEvent&, const KeyboardEvent&) = default;
};

// Both directions, clipboard. `data` travels as standard Base64 text (strictly decoded).
struct ClipboardEvent {
    std::string shareId;
    ZuPBTypes type = ZuPBTypes::text;
    Bytes data;

    std::string toJson() const;
    static std::optional<ClipboardEvent> fromJson(ByteView json);
    friend bool operator==(const ClipboardEvent&, const ClipboardEvent&) = default;
};

// Client to server, lookAt.
struct LookAtInfo {
    std::string shareId;

    std::string toJson() const;
    static std::optional<LookAtInfo> fromJson(ByteView json);
    friend bool operator==(const LookAtInfo&, const LookAtInfo&) = default;
};

// Client to server, jumpToDisplay.
struct JumpToDisplayInfo {
    std::string shareId;

    std::string toJson() const;
    static std::optional<JumpToDisplayInfo> fromJson(ByteView json);
    friend bool operator==(const JumpToDisplayInfo&, const JumpToDisplayInfo&) = default;
};

// Server to client, activeWindowOnDisplay.
struct ActiveWindowInfo {
    std::string shareId;

    std::string toJson() const;
    static std::optional<ActiveWindowInfo> fromJson(ByteView json);
    friend bool operator==(const ActiveWindowInfo&, const ActiveWindowInfo&) = default;
};

// Text forms of the records decode the same way: Record::fromJson(asBytes("{...}")).
inline ByteView asBytes(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace vl
