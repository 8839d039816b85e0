#include "platform/desktop/XAuthority.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <string_view>
#include <vector>

namespace vl {

namespace {

constexpr std::uint16_t familyWild = 65535;  // matches any host

void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(std::uint8_t(value >> 8));
    out.push_back(std::uint8_t(value));
}

void putCounted(std::vector<std::uint8_t>& out, std::string_view bytes) {
    put16(out, std::uint16_t(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::optional<XCookie> randomCookie() {
    XCookie cookie{};
    std::size_t filled = 0;
    while (filled < cookie.size()) {
        auto n = getrandom(cookie.data() + filled, cookie.size() - filled, 0);
        if (n <= 0) return std::nullopt;
        filled += std::size_t(n);
    }
    return cookie;
}

bool writeXAuthority(const std::string& path, int displayNumber, const XCookie& cookie) {
    std::vector<std::uint8_t> entry;
    put16(entry, familyWild);
    putCounted(entry, "");
    putCounted(entry, std::to_string(displayNumber));
    putCounted(entry, "MIT-MAGIC-COOKIE-1");
    putCounted(entry,
               std::string_view(reinterpret_cast<const char*>(cookie.data()), cookie.size()));

    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = write(fd, entry.data(), entry.size()) == ssize_t(entry.size());
    ok = close(fd) == 0 && ok;
    return ok;
}

}  // namespace vl
