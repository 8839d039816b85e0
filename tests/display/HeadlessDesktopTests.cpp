// The server's own desktop on a machine without one: Xorg with the dummy driver and openbox, or
// Xvfb, started and stopped by the desktop itself.
#include "phantomScreen/PhantomScreenInf.h"
#include "platform/display/x11/X11DisplayService.h"
#include "tests/display/TestDesktop.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace vl {
namespace {

using testing::Reports;
using testing::run;
using testing::testDesktopOptions;

bool socketExists(const std::string& display) {
    struct stat info;
    return lstat(("/tmp/.X11-unix/X" + display.substr(1)).c_str(), &info) == 0;
}

class HeadlessDesktopTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(testDesktopOptions().workDirectory);
    }
    Reports reports;
};

TEST_F(HeadlessDesktopTest, StartsXorgAndOpenboxWhenNoDisplayIsReachableAndStopsThem) {
    setenv("DISPLAY", ":99999", 1);  // names a display nobody serves
    unsetenv("XAUTHORITY");
    HeadlessDesktop desktop(testDesktopOptions(), reports.sink());
    auto running =
        testing::startWaitingForANumber(reports, [&] { return desktop.startIfNeeded(); });
    ASSERT_TRUE(running) << reports.all();
    EXPECT_EQ(running->server, HeadlessDesktop::Server::xorgDummy) << reports.all();
    int number = std::stoi(running->display.substr(1));
    EXPECT_GE(number, 70);
    EXPECT_LE(number, 79);
    EXPECT_EQ(reports.count("DISPLAY :99999 is not reachable"), 1);

    // Only holders of the cookie get in.
    EXPECT_FALSE(HeadlessDesktop::reachable(running->display));
    HeadlessDesktop::exportEnvironment(*running);
    EXPECT_TRUE(HeadlessDesktop::reachable(running->display));
    EXPECT_NE(run("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id #"), std::string::npos);
    EXPECT_NE(run("xrandr").find("DUMMY0 connected primary 1920x1080+0+0"), std::string::npos);
    EXPECT_NE(run("xrandr").find("maximum 32767 x 32767"), std::string::npos);

    // With a desktop reachable, a second one starts nothing.
    HeadlessDesktop second(testDesktopOptions(), reports.sink());
    auto existing = second.startIfNeeded();
    ASSERT_TRUE(existing);
    EXPECT_EQ(existing->server, HeadlessDesktop::Server::existing);
    EXPECT_EQ(existing->display, running->display);
    second.stop();
    EXPECT_TRUE(desktop.serverRunning());

    desktop.stop();
    EXPECT_FALSE(desktop.serverRunning());
    EXPECT_FALSE(HeadlessDesktop::reachable(running->display));
    EXPECT_FALSE(socketExists(running->display));
    EXPECT_FALSE(std::filesystem::exists(running->xauthority));
}

TEST_F(HeadlessDesktopTest, FallsBackToXvfbAndSaysVirtualDisplaysCannotBeAdded) {
    auto options = testDesktopOptions();
    options.xorgProgram = "/nonexistent/Xorg";
    HeadlessDesktop desktop(options, reports.sink());
    auto running = testing::startWaitingForANumber(reports, [&] { return desktop.start(); });
    ASSERT_TRUE(running) << reports.all();
    EXPECT_EQ(running->server, HeadlessDesktop::Server::xvfb);
    EXPECT_EQ(reports.count("Xorg with the dummy driver could not start"), 1) << reports.all();
    EXPECT_EQ(reports.count("virtual displays cannot be added on it"), 1);
    HeadlessDesktop::exportEnvironment(*running);
    EXPECT_TRUE(HeadlessDesktop::reachable(running->display));

    // The virtual display library finds no output to use there and refuses.
    {
        X11DisplayService displays(running->display, reports.sink());
        auto inf =
            std::make_shared<PhantomScreenInf>(displays, DispatchQueue::main(), LIBRARY_PATH);
        inf->initLib();
        ASSERT_TRUE(inf->isLoaded());
        EXPECT_EQ(inf->addDisplay(Resolution::RES_XS, false), std::nullopt);
        inf->release();
    }
    desktop.stop();
    EXPECT_FALSE(socketExists(running->display));
}

TEST_F(HeadlessDesktopTest, NothingToStartIsReported) {
    auto options = testDesktopOptions();
    options.xorgProgram = "/nonexistent/Xorg";
    options.xvfbProgram = "/nonexistent/Xvfb";
    HeadlessDesktop desktop(options, reports.sink());
    EXPECT_EQ(desktop.start(), std::nullopt);
    EXPECT_EQ(reports.count("neither Xorg nor Xvfb could start"), 1) << reports.all();
}

}  // namespace
}  // namespace vl
