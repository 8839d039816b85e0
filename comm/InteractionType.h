// comm: the message kind byte of every packet header; its raw value is its position.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>

namespace vl {

enum class InteractionType : std::uint8_t {
    cursor,
    tap,
    text,
    click,
    scroll,
    pinch,
    zoom,
    drag,
    doubleTap,
    pulout,
    close,
    resize,
    connect,
    disconnect,
    ret200,
    ret400,
    retBusy,
    speedTest,
    speedTestStart,
    speedTestStop,
    rdpVideo,
    rdpAudio,
    rdpStart,
    rdpStop,
    displayStart,
    displayStop,
    micStart,
    micStop,
    camStart,
    camStop,
    lookAt,
    keepLive,
    moveWindowToVDIfNotOnVD,
    mouseEvent,
    clipboard,
    jumpToDisplay,
    activeWindowOnDisplay,
    undefined,  // 37, the last case
};

constexpr std::uint8_t rawValue(InteractionType type) {
    return static_cast<std::uint8_t>(type);
}

// The plain constructor: nothing for bytes above 37.
constexpr std::optional<InteractionType> interactionTypeFromRaw(std::uint8_t raw) {
    if (raw > rawValue(InteractionType::undefined)) return std::nullopt;
    return static_cast<InteractionType>(raw);
}

// What the packet decoder uses: bytes above 37 read as undefined.
constexpr InteractionType interactionTypeOrUndefined(std::uint8_t raw) {
    return interactionTypeFromRaw(raw).value_or(InteractionType::undefined);
}

// The case name.
constexpr std::string_view description(InteractionType type) {
    constexpr std::array<std::string_view, 38> names = {
        "cursor",
        "tap",
        "text",
        "click",
        "scroll",
        "pinch",
        "zoom",
        "drag",
        "doubleTap",
        "pulout",
        "close",
        "resize",
        "connect",
        "disconnect",
        "ret200",
        "ret400",
        "retBusy",
        "speedTest",
        "speedTestStart",
        "speedTestStop",
        "rdpVideo",
        "rdpAudio",
        "rdpStart",
        "rdpStop",
        "displayStart",
        "displayStop",
        "micStart",
        "micStop",
        "camStart",
        "camStop",
        "lookAt",
        "keepLive",
        "moveWindowToVDIfNotOnVD",
        "mouseEvent",
        "clipboard",
        "jumpToDisplay",
        "activeWindowOnDisplay",
        "undefined",
    };
    std::uint8_t raw = rawValue(type);
    return raw < names.size() ? names[raw] : names.back();
}

inline std::ostream& operator<<(std::ostream& out, InteractionType type) {
    return out << description(type);
}

}  // namespace vl
