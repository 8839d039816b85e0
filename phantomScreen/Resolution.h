// phantomScreen: the ten supported virtual display resolutions. A case's position in allCases()
// is the library's mode index; its raw value is the library's resolution code.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace vl {

class Resolution {
  public:
    enum Case : std::int32_t {
        RES_XSS = 23,
        RES_XS = 38,
        RES_S = 82,
        RES_M = 79,
        RES_L = 54,
        RES_XL = 88,
        RES_XXL = 99,
        RES_S1 = 101,
        RES_S2 = 102,
        RES_S3 = 103,
    };

    constexpr Resolution(Case value) : value_(value) {}

    static const std::array<Resolution, 10>& allCases();
    static std::optional<Resolution> fromRawValue(std::int32_t rawValue);
    // Exact landscape match against the table; any other size is RES_XS.
    static Resolution from(int width, int height);

    std::int32_t rawValue() const { return value_; }
    // Position in allCases(), the library's mode index.
    int modeIndex() const;
    std::pair<int, int> resolution() const;
    std::string description() const;

    bool operator==(const Resolution&) const = default;

  private:
    Case value_;
};

}  // namespace vl

template <>
struct std::hash<vl::Resolution> {
    std::size_t operator()(const vl::Resolution& r) const noexcept {
        return std::hash<std::int32_t>()(r.rawValue());
    }
};
