#include "app/shell/LogItem.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace vl {

std::string iso8601Text(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::optional<std::chrono::system_clock::time_point> parseIso8601(const std::string& text) {
    // YYYY-MM-DDTHH:MM:SS[.fff](Z|+HH:MM|-HH:MM)
    auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
        if (at + count > text.size()) return std::nullopt;
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    auto at = [&](std::size_t i, char c) { return i < text.size() && text[i] == c; };
    auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
    auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || !at(4, '-') || !at(7, '-') ||
        !(at(10, 'T') || at(10, 't')) || !at(13, ':') || !at(16, ':'))
        return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
        *second > 60)
        return std::nullopt;
    std::size_t i = 19;
    std::chrono::nanoseconds fraction{0};
    if (at(i, '.')) {
        ++i;
        std::size_t start = i;
        long long scale = 100'000'000;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            fraction += std::chrono::nanoseconds((text[i] - '0') * scale);
            scale /= 10;
            ++i;
        }
        if (i == start) return std::nullopt;
    }
    int offsetMinutes = 0;
    if (at(i, 'Z') || at(i, 'z')) {
        ++i;
    } else if (at(i, '+') || at(i, '-')) {
        const int sign = text[i] == '-' ? -1 : 1;
        auto offsetHours = digits(i + 1, 2), offsetMins = digits(i + 4, 2);
        if (!offsetHours || !at(i + 3, ':') || !offsetMins || *offsetHours > 23 || *offsetMins > 59)
            return std::nullopt;
        offsetMinutes = sign * (*offsetHours * 60 + *offsetMins);
        i += 6;
    } else {
        return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;

    std::tm utc{};
    utc.tm_year = *year - 1900;
    utc.tm_mon = *month - 1;
    utc.tm_mday = *day;
    utc.tm_hour = *hour;
    utc.tm_min = *minute;
    utc.tm_sec = *second;
    const std::time_t seconds = timegm(&utc);
    return std::chrono::system_clock::from_time_t(seconds) - std::chrono::minutes(offsetMinutes) +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(fraction);
}

}  // namespace vl
