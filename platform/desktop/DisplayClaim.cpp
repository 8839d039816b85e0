#include "platform/desktop/DisplayClaim.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

namespace vl {

namespace {

constexpr const char* claimDirectory = "/tmp/vl-display-claims";

bool alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
}

bool connects(const sockaddr_un& address, socklen_t length) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell: assume taken
    bool live = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
                (errno != ECONNREFUSED && errno != ENOENT);
    close(fd);
    return live;
}

// Writes our pid into the number's lock file the way X servers do (a complete file linked into
// place, so a reader never sees it half written). A lock whose holder died is replaced.
bool takeLockFile(int number) {
    const auto lock = DisplayClaim::lockFile(number);
    const auto temporary =
        "/tmp/.vlX" + std::to_string(number) + "-" + std::to_string(getpid()) + "-lock";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd < 0) return false;
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10ld\n", long(getpid()));
    bool written = write(fd, text, std::size_t(length)) == length;
    close(fd);
    bool taken = false;
    for (int attempt = 0; written && !taken && attempt < 3; ++attempt) {
        if (link(temporary.c_str(), lock.c_str()) == 0) {
            taken = true;
            break;
        }
        if (errno != EEXIST) break;
        auto holder = DisplayClaim::lockHolder(number);
        if (holder == getpid()) {
            taken = true;
        } else if (!holder || !alive(*holder)) {
            unlink(lock.c_str());  // stale (or unreadable, as X servers treat it)
        } else {
            break;
        }
    }
    unlink(temporary.c_str());
    return taken;
}

}  // namespace

std::string DisplayClaim::lockFile(int number) {
    return "/tmp/.X" + std::to_string(number) + "-lock";
}

std::string DisplayClaim::socketFile(int number) {
    return "/tmp/.X11-unix/X" + std::to_string(number);
}

std::optional<pid_t> DisplayClaim::lockHolder(int number) {
    std::ifstream lock(lockFile(number));
    long pid = 0;
    if (!(lock >> pid) || pid <= 0) return std::nullopt;
    return pid_t(pid);
}

bool DisplayClaim::socketLive(int number) {
    auto path = socketFile(number);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connects(address, sizeof address)) return true;
    // X servers on Linux also listen on the abstract name; a server whose socket file was
    // removed still owns the number through it.
    sockaddr_un abstract{};
    abstract.sun_family = AF_UNIX;
    std::memcpy(abstract.sun_path + 1, path.data(), path.size());
    return connects(abstract, socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size()));
}

std::optional<DisplayClaim> DisplayClaim::claim(int first, int last) {
    // Shared by every user's claimers, like /tmp/.X11-unix.
    if (mkdir(claimDirectory, 01777) == 0) chmod(claimDirectory, 01777);
    for (int number = first; number <= last; ++number) {
        auto path = std::string(claimDirectory) + "/" + std::to_string(number);
        // Claim files are never removed: removing one would let a later claimer lock a new file
        // while an earlier one still waits on the old.
        int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        auto holder = lockHolder(number);
        if ((holder && alive(*holder)) || socketLive(number)) {
            close(fd);
            continue;
        }
        DisplayClaim claim(number, fd);
        if (claim.takeBack()) return claim;
        // A stranger's server took the lock just now; the claim's destructor leaves it alone.
    }
    return std::nullopt;
}

DisplayClaim::DisplayClaim(DisplayClaim&& other) noexcept
    : number_(std::exchange(other.number_, -1)), fd_(std::exchange(other.fd_, -1)) {}

DisplayClaim& DisplayClaim::operator=(DisplayClaim&& other) noexcept {
    if (this != &other) {
        release();
        number_ = std::exchange(other.number_, -1);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void DisplayClaim::handOver() {
    if (fd_ >= 0 && lockHolder(number_) == getpid()) unlink(lockFile(number_).c_str());
}

bool DisplayClaim::takeBack() {
    if (fd_ < 0 || !takeLockFile(number_)) return false;
    // With the lock ours, a socket file there is a dead server's, even if a child it left
    // behind still holds it open.
    unlink(socketFile(number_).c_str());
    return true;
}

void DisplayClaim::release() {
    if (fd_ < 0) return;
    auto holder = lockHolder(number_);
    if (holder == getpid() || (holder && !alive(*holder))) {
        unlink(socketFile(number_).c_str());
        unlink(lockFile(number_).c_str());
    }
    close(fd_);
    fd_ = -1;
    number_ = -1;
}

}  // namespace vl
