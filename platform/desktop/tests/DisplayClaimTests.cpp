// Display claims against real lock files, sockets and (for the hand-over) a real Xvfb. Each test
// works in its own range of numbers so that they can run side by side.
#include "platform/desktop/DisplayClaim.h"

#include "platform/desktop/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void writeLock(int number, pid_t holder) {
    std::ofstream(DisplayClaim::lockFile(number)) << holder << "\n";
}

// A listening unix socket; abstract (no file) or on the number's socket file.
int listenOn(int number, bool abstract) {
    mkdir("/tmp/.X11-unix", 01777);
    auto path = DisplayClaim::socketFile(number);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + (abstract ? 1 : 0), path.data(), path.size());
    auto length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void clean(int first, int last) {
    for (int n = first; n <= last; ++n) {
        unlink(DisplayClaim::lockFile(n).c_str());
        unlink(DisplayClaim::socketFile(n).c_str());
    }
}

TEST(DisplayClaim, HoldsTheLowestFreeNumberAgainstOtherClaimersUntilReleased) {
    clean(300, 303);
    auto first = DisplayClaim::claim(300, 303);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->number(), 300);
    EXPECT_EQ(first->display(), ":300");
    EXPECT_EQ(DisplayClaim::lockHolder(300), getpid());

    // Held even while no lock file names it (our server about to start).
    first->handOver();
    EXPECT_FALSE(exists(DisplayClaim::lockFile(300)));
    auto second = DisplayClaim::claim(300, 303);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->number(), 301);

    // Another process sees the same.
    pid_t child = fork();
    if (child == 0) {
        auto claim = DisplayClaim::claim(300, 303);
        _exit(claim ? claim->number() - 300 : 100);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 2);

    ASSERT_TRUE(first->takeBack());
    EXPECT_EQ(DisplayClaim::lockHolder(300), getpid());
    first->release();
    EXPECT_FALSE(first->held());
    EXPECT_FALSE(exists(DisplayClaim::lockFile(300)));
    auto again = DisplayClaim::claim(300, 303);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->number(), 300);
    again->release();
    second->release();
    clean(300, 303);  // the child's stale lock
}

TEST(DisplayClaim, AClaimerThatDiesLeavesNothingThatBlocksTheNumber) {
    clean(310, 311);
    pid_t child = fork();
    if (child == 0) {
        auto claim = DisplayClaim::claim(310, 310);
        _exit(claim ? 0 : 1);  // no release: as if killed
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(DisplayClaim::lockHolder(310), child);  // its lock file is stale now

    // So is a socket file nothing listens on.
    int fd = listenOn(310, false);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(exists(DisplayClaim::socketFile(310)));

    auto claim = DisplayClaim::claim(310, 311);
    ASSERT_TRUE(claim);
    EXPECT_EQ(claim->number(), 310);
    EXPECT_EQ(DisplayClaim::lockHolder(310), getpid());
    EXPECT_FALSE(exists(DisplayClaim::socketFile(310)));
}

TEST(DisplayClaim, ANumberInUseByAnotherServerIsSkipped) {
    clean(320, 323);
    // A live process's lock file.
    ChildProcess::Spawn spawn;
    spawn.arguments = {"sleep", "30"};
    auto holder = ChildProcess::start(spawn);
    ASSERT_TRUE(holder);
    writeLock(320, holder->pid());
    // A server listening on the file socket without a lock file, and one only on the abstract
    // name (its socket file removed).
    int onFile = listenOn(321, false);
    int onAbstract = listenOn(322, true);
    ASSERT_GE(onFile, 0);
    ASSERT_GE(onAbstract, 0);

    auto claim = DisplayClaim::claim(320, 323);
    ASSERT_TRUE(claim);
    EXPECT_EQ(claim->number(), 323);
    EXPECT_EQ(DisplayClaim::claim(320, 322), std::nullopt);
    EXPECT_EQ(DisplayClaim::lockHolder(320), holder->pid());  // left alone

    claim->release();
    holder->stop(100ms);
    close(onFile);
    close(onAbstract);
    clean(320, 323);
}

TEST(DisplayClaim, AStrangerXServerCannotTakeTheNumberWhileOursIsDown) {
    clean(330, 331);
    auto claim = DisplayClaim::claim(330, 331);
    ASSERT_TRUE(claim);
    int number = claim->number();
    auto display = claim->display();

    auto xvfb = [&](const std::string& log) {
        ChildProcess::Spawn spawn;
        spawn.arguments = {"Xvfb", display, "-nolisten", "tcp", "-screen", "0", "320x240x24"};
        spawn.environment = {"PATH=/usr/bin:/bin"};
        spawn.logFile = log;
        return ChildProcess::start(spawn);
    };
    auto waitForSocket = [&](ChildProcess& server) {
        for (int i = 0; i < 200 && server.running(); ++i) {
            if (DisplayClaim::socketLive(number)) return true;
            std::this_thread::sleep_for(25ms);
        }
        return false;
    };
    auto log = "/tmp/vl-display-claim-" + std::to_string(getpid()) + ".log";

    // Our server gets the number and its lock file.
    claim->handOver();
    auto ours = xvfb(log);
    ASSERT_TRUE(ours);
    ASSERT_TRUE(waitForSocket(*ours)) << "Xvfb did not start on " << display;
    EXPECT_EQ(DisplayClaim::lockHolder(number), ours->pid());

    // It is killed: the lock and socket it leaves are stale until we take the number back.
    ASSERT_EQ(kill(ours->pid(), SIGKILL), 0);
    while (ours->running()) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(claim->takeBack());
    EXPECT_EQ(DisplayClaim::lockHolder(number), getpid());
    EXPECT_FALSE(exists(DisplayClaim::socketFile(number)));

    // A stranger's server started meanwhile refuses the number.
    auto stranger = xvfb(log);
    ASSERT_TRUE(stranger);
    for (int i = 0; i < 200 && stranger->running(); ++i) std::this_thread::sleep_for(25ms);
    EXPECT_FALSE(stranger->running());
    EXPECT_FALSE(DisplayClaim::socketLive(number));

    // And ours starts there again.
    claim->handOver();
    auto restarted = xvfb(log);
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(waitForSocket(*restarted));
    restarted->stop(1000ms);
    claim->release();
    EXPECT_FALSE(exists(DisplayClaim::lockFile(number)));
    unlink(log.c_str());
}

}  // namespace
}  // namespace vl
