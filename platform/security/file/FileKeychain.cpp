#include "platform/security/file/FileKeychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <iterator>

namespace vl {

namespace {

// File names keep letters, digits, '.', '_' and '-'; every other byte is escaped as %XX.
std::string escaped(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '.' || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool writeAll(int fd, ByteView data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

FileKeychain::FileKeychain(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path FileKeychain::pathOf(const std::string& service,
                                           const std::string& account) const {
    // '+' never appears in an escaped name, so the pair is unambiguous.
    return directory_ / (escaped(service) + "+" + escaped(account) + ".item");
}

std::optional<Bytes> FileKeychain::copyItem(const std::string& service,
                                            const std::string& account) {
    std::lock_guard lock(mutex_);
    std::ifstream in(pathOf(service, account), std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

KeychainStatus FileKeychain::addItem(const std::string& service, const std::string& account,
                                     ByteView data) {
    std::lock_guard lock(mutex_);
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    ::chmod(directory_.c_str(), 0700);
    auto target = pathOf(service, account);
    auto temporary = target;
    temporary += ".tmp." + std::to_string(::getpid());

    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return KeychainStatus::ioError;
    bool written = writeAll(fd, data) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        return KeychainStatus::ioError;
    }
    // link() publishes the complete file atomically and refuses to replace an existing item.
    int linked = ::link(temporary.c_str(), target.c_str());
    int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked == 0) return KeychainStatus::success;
    return linkError == EEXIST ? KeychainStatus::duplicateItem : KeychainStatus::ioError;
}

KeychainStatus FileKeychain::deleteItem(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (::unlink(pathOf(service, account).c_str()) == 0) return KeychainStatus::success;
    return errno == ENOENT ? KeychainStatus::itemNotFound : KeychainStatus::ioError;
}

}  // namespace vl
