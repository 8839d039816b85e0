// app/shell: one client connection in the connection log, and its JSON form.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vl {

struct LogItem {
    std::chrono::system_clock::time_point time;
    std::string description;  // the client's device name
    std::string deviceId;
    bool blocked = false;

    bool operator==(const LogItem&) const = default;
};

// "2026-12-07T19:17:04Z"; whole seconds, UTC.
std::string iso8601Text(std::chrono::system_clock::time_point time);
// Internet date-time text with "Z" or a numeric offset, optional fraction; nothing otherwise.
std::optional<std::chrono::system_clock::time_point> parseIso8601(const std::string& text);

}  // namespace vl
