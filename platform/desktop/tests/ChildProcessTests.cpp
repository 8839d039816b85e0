#include "platform/desktop/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, StopsByItsIdEvenWhenSigtermIsIgnored) {
    ChildProcess::Spawn spawn;
    spawn.arguments = {"sh", "-c", "trap '' TERM; sleep 30"};
    auto child = ChildProcess::start(spawn);
    ASSERT_TRUE(child);
    pid_t pid = child->pid();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(child->running());
    child->stop(200ms);
    EXPECT_FALSE(child->running());
    ASSERT_TRUE(child->exitStatus());
    EXPECT_TRUE(WIFSIGNALED(*child->exitStatus()));
    EXPECT_NE(kill(pid, 0), 0);  // reaped, not a zombie
}

TEST(ChildProcess, SigtermReachesAChildStartedWhereItIsBlockedOrIgnored) {
    // As in the server, whose signal thread waits for SIGTERM with it blocked everywhere else.
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &previous);
    auto oldHandler = signal(SIGINT, SIG_IGN);
    ChildProcess::Spawn spawn;
    spawn.arguments = {"sleep", "30"};
    auto child = ChildProcess::start(spawn);
    signal(SIGINT, oldHandler);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(child);
    std::this_thread::sleep_for(100ms);
    child->stop(5000ms);
    ASSERT_TRUE(child->exitStatus());
    EXPECT_TRUE(WIFSIGNALED(*child->exitStatus()));
    EXPECT_EQ(WTERMSIG(*child->exitStatus()), SIGTERM);  // not the SIGKILL after the grace
}

TEST(ChildProcess, PassesTheEnvironmentTheLogAndDescriptorThree) {
    auto log = "/tmp/vl-display/child-" + std::to_string(getpid()) + ".log";
    std::filesystem::create_directories("/tmp/vl-display");
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ChildProcess::Spawn spawn;
    spawn.arguments = {"sh", "-c", "echo \"$ONLY\"; echo ready >&3"};
    spawn.environment = {"ONLY=this", "PATH=/usr/bin:/bin"};
    spawn.logFile = log;
    spawn.passFd = fds[1];
    auto child = ChildProcess::start(spawn);
    close(fds[1]);
    ASSERT_TRUE(child);
    char buffer[16] = {};
    EXPECT_EQ(read(fds[0], buffer, sizeof buffer - 1), 6);
    EXPECT_STREQ(buffer, "ready\n");
    close(fds[0]);
    while (child->running()) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(WEXITSTATUS(*child->exitStatus()), 0);
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_EQ(text.str(), "this\n");
    std::filesystem::remove(log);
}

TEST(ChildProcess, InheritsNoDescriptorBeyondTheStandardOnes) {
    // A socket opened without O_CLOEXEC, as the network library opens its UDP sockets.
    int leaky = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(leaky, 0);
    ChildProcess::Spawn spawn;
    spawn.arguments = {"sh", "-c", "test -e /proc/self/fd/" + std::to_string(leaky)};
    auto child = ChildProcess::start(spawn);
    close(leaky);
    ASSERT_TRUE(child);
    while (child->running()) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(WEXITSTATUS(*child->exitStatus()), 1) << "descriptor " << leaky << " was inherited";
}

TEST(ChildProcess, AnUnknownProgramExitsAt127) {
    ChildProcess::Spawn spawn;
    spawn.arguments = {"/nonexistent/vl-no-such-program"};
    auto child = ChildProcess::start(spawn);
    ASSERT_TRUE(child);
    while (child->running()) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(WEXITSTATUS(*child->exitStatus()), 127);
}

}  // namespace
}  // namespace vl
