// base: 128-bit identities, random (version 4) or parsed, in their canonical byte order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

class Uuid {
  public:
    using ByteArray = std::array<std::uint8_t, 16>;

    Uuid() = default;  // the nil UUID
    explicit Uuid(const ByteArray& bytes) : bytes_(bytes) {}

    static Uuid random();
    // Accepts the 36-character hyphenated form, either case.
    static std::optional<Uuid> fromString(std::string_view text);

    const ByteArray& bytes() const { return bytes_; }
    // Upper-case hyphenated text, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string uuidString() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

  private:
    ByteArray bytes_{};
};

}  // namespace vl
