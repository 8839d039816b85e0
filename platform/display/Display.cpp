#include "platform/display/Interface.h"

#include <charconv>
#include <cmath>

namespace vl {

namespace {

// Shortest round-trip text of a double, always with a fraction or exponent ("1920.0").
std::string describe(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc()) return "nan";
    std::string text(buffer, end);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace

std::string describe(DisplayPoint point) {
    return "(" + describe(point.x) + ", " + describe(point.y) + ")";
}

const char* description(DisplayError error) {
    switch (error) {
        case DisplayError::success:
            return "success";
        case DisplayError::failure:
            return "failure";
        case DisplayError::illegalArgument:
            return "illegal argument";
        case DisplayError::invalidConnection:
            return "invalid connection";
        case DisplayError::invalidOperation:
            return "invalid operation";
        case DisplayError::notSupported:
            return "not supported";
        case DisplayError::rangeCheck:
            return "range check";
    }
    return "unknown";
}

}  // namespace vl
