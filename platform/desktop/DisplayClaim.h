// platform/desktop: an X display number held by this process from the moment it is chosen until
// it is released, whether or not an X server runs on it meanwhile.
//
// Two layers, because X servers manage /tmp/.X<n>-lock themselves: they create it when they
// start and remove it when they exit, so that file alone cannot hold a number across a restart.
// - Among claimers (the headless desktop and every test fixture) a flock on
//   /tmp/vl-display-claims/<n> decides. The kernel drops it when the holder dies, so a crashed
//   test leaves nothing stale behind, and it stays held while the server is down.
// - Towards X servers started by anyone else, the claimer writes its own pid into
//   /tmp/.X<n>-lock in the X convention whenever no server of its own runs there. Servers that
//   follow the convention then refuse the number; handOver() gives the file to our server just
//   before it starts, and takeBack() reclaims it (and clears what the server left) once it is gone.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vl {

class DisplayClaim {
  public:
    // The lowest number in [first, last] that no claimer holds and no X server uses; stale lock
    // files and sockets of dead servers do not count. Nothing when all are taken.
    static std::optional<DisplayClaim> claim(int first, int last);

    DisplayClaim() = default;
    ~DisplayClaim() { release(); }
    DisplayClaim(DisplayClaim&& other) noexcept;
    DisplayClaim& operator=(DisplayClaim&& other) noexcept;
    DisplayClaim(const DisplayClaim&) = delete;
    DisplayClaim& operator=(const DisplayClaim&) = delete;

    bool held() const { return fd_ >= 0; }
    int number() const { return number_; }
    std::string display() const { return ":" + std::to_string(number_); }

    // Just before our X server starts on the number: removes our lock file so it can take it.
    void handOver();
    // Once our server exited or failed to start: the lock file names us again, and the server's
    // stale lock and socket are removed. False when a live stranger took the lock meanwhile.
    bool takeBack();
    // Removes our lock file and frees the number for other claimers. Stop our server first.
    void release();

    static std::string lockFile(int number);
    static std::string socketFile(int number);
    // The pid written in the number's lock file, if any.
    static std::optional<pid_t> lockHolder(int number);
    // Whether anything accepts connections on the number's socket (file or abstract).
    static bool socketLive(int number);

  private:
    DisplayClaim(int number, int fd) : number_(number), fd_(fd) {}
    int number_ = -1;
    int fd_ = -1;
};

}  // namespace vl
