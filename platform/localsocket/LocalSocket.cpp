#include "platform/localsocket/LocalSocket.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vl::localsocket {

namespace {

std::optional<sockaddr_un> addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

int connectTo(const sockaddr_un& address) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<std::string> preparePrivateFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + folder.string() + ": " + std::strerror(errno);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0)
        return "cannot inspect " + folder.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return folder.string() + " is not a folder of this user";
    if ((info.st_mode & 0077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return "cannot make " + folder.string() + " private: " + std::strerror(errno);
    return std::nullopt;
}

int listenAt(const std::filesystem::path& path, std::string* error) {
    auto fail = [&](std::string reason) {
        if (error) *error = std::move(reason);
        return -1;
    };
    const auto address = addressOf(path);
    if (!address) return fail("socket path too long: " + path.string());
    if (auto problem = preparePrivateFolder(path.parent_path())) return fail(*problem);
    if (const int other = connectTo(*address); other >= 0) {
        ::close(other);
        return fail("another process answers on " + path.string());
    }
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return fail("cannot listen on " + path.string() + ": " + reason);
    }
    return fd;
}

int connectTo(const std::filesystem::path& path, bool sameUserOnly) {
    const auto address = addressOf(path);
    if (!address) return -1;
    const int fd = connectTo(*address);
    if (fd >= 0 && sameUserOnly && !peerIsSameUser(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool peerIsSameUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return credentials.uid == ::geteuid();
}

bool writeAll(int fd, ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace vl::localsocket
