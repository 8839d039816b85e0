// comm: the short text payloads of control messages — the display descriptor of rdpStart and
// displayStart, the share identity texts of displayStop and rdpVideo, and the connect answer.
// The descriptor scanners are hand-written, linear and non-recursive, so any input is safe.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vl {

// What a client asks of a display, e.g. "2560x1440@60 HDR portrait:false".
struct DisplayDescriptor {
    int width = 0;
    int height = 0;
    int fps = 30;
    bool hdr = false;
    bool portrait = false;  // read for displayStart only

    // A text that parses back to this descriptor: "<w>x<h>@<fps>[ HDR] portrait:<true|false>".
    std::string text() const;
    // The payload form: the Base64 of text().
    Bytes encode() const;

    friend bool operator==(const DisplayDescriptor&, const DisplayDescriptor&) = default;
};

// The payload is the Base64 of UTF-8 text; nothing when either decoding fails.
std::optional<std::string> displayDescriptorText(ByteView payload);
// Nothing without a valid size.
std::optional<DisplayDescriptor> parseDisplayDescriptor(std::string_view text);
// Both steps at once.
std::optional<DisplayDescriptor> decodeDisplayDescriptor(ByteView payload);

// The pieces of the descriptor grammar; all matching is case-sensitive and takes the first match.
// Size: the first "<digits>x<digits>"; nothing when either number does not fit an int.
std::optional<std::pair<int, int>> descriptorSize(std::string_view text);
// Frame rate: the digits of the first "@<digits>"; absent or unreadable gives 30; 30, 48, 60 and
// 90 stand, any other value is clamped into 30..90.
int descriptorFrameRate(std::string_view text);
// HDR: the text contains "HDR".
bool descriptorHdr(std::string_view text);
// Portrait: the first "portrait:<word characters>" ends with "true".
bool descriptorPortrait(std::string_view text);

// displayStop: the sharedID as Base64 of its UTF-8 bytes; when that does not decode to UTF-8
// text, the payload itself read as UTF-8. Nothing when neither is UTF-8.
std::optional<std::string> decodeShareIdentityText(ByteView payload);
Bytes encodeShareIdentityText(std::string_view sharedID);
// rdpVideo: the sharedID as plain UTF-8 bytes. Nothing when they are not UTF-8.
std::optional<std::string> decodePlainShareIdentity(ByteView payload);

// The connect answer: "<application id>|<machine name>", no terminator.
Bytes connectAnswerText(std::string_view applicationID, std::string_view machineName);
// The client's reading of it: split at the first "|"; nothing without one or when not UTF-8.
std::optional<std::pair<std::string, std::string>> parseConnectAnswer(ByteView payload);

}  // namespace vl
