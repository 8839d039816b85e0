// The virtual display library and the server's display manager against a real Xorg with the dummy
// driver, checked with xrandr.
#include "phantomScreen/DisplayArrangement.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"
#include "platform/capture/tests/CaptureTestSupport.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/display/x11/RandrScreen.h"
#include "platform/display/x11/X11DisplayService.h"
#include "tests/display/TestDesktop.h"

#include "base/DispatchQueue.h"

#include <signal.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

class MainLoop : public ::testing::Environment {
  public:
    void SetUp() override {
        thread_ = std::thread([] { DispatchQueue::runMain(); });
    }
    void TearDown() override {
        DispatchQueue::main().sync([] {});
        DispatchQueue::stopMain();
        thread_.join();
    }

  private:
    std::thread thread_;
};

const auto* mainLoop = ::testing::AddGlobalTestEnvironment(new MainLoop);

class VirtualDisplayTest : public testing::DesktopTest {
  protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (HasFatalFailure()) return;
        displays = std::make_unique<X11DisplayService>(std::string{}, reports.sink());
        inf = std::make_shared<PhantomScreenInf>(*displays, DispatchQueue::main(), LIBRARY_PATH);
        service = std::make_shared<PhantomScreenService>(inf, DispatchQueue::global());
        service->initService();
        ASSERT_TRUE(inf->isLoaded());
        before = testing::xrandr();
        ASSERT_EQ(before.enabled.size(), 1u);
    }
    void TearDown() override {
        settle();
        if (service) {
            service->stopService();
            service->destroyService();
        }
        service.reset();
        inf.reset();
        displays.reset();
        DesktopTest::TearDown();
    }

    // Lets the mode and placement that addDisplayEx posts 0.2 s ahead run.
    static void settle() {
        std::this_thread::sleep_for(300ms);
        DispatchQueue::main().sync([] {});
    }

    // A session's display: created at this size, online, and extended beside the main display.
    std::optional<DisplayID> extendedVirtualDisplay(Resolution resolution) {
        service->stopService();
        service->startService(resolution);
        std::promise<std::optional<DisplayID>> online;
        service->waitForPhantomScreen(5.0,
                                      [&](std::optional<DisplayID> id) { online.set_value(id); });
        auto id = online.get_future().get();
        EXPECT_TRUE(id) << reports.all();
        if (!id) return std::nullopt;
        auto arrangement = DisplayArrangement::make(*displays, DispatchQueue::main());
        std::promise<bool> extended;
        DispatchQueue::main().async([&] {
            arrangement->setDisplayExtended(*id, 5, [&](bool ok) { extended.set_value(ok); });
        });
        EXPECT_TRUE(extended.get_future().get());
        settle();
        return id;
    }

    // The outputs xrandr shows switched on now but not before.
    std::map<std::string, testing::XrandrOutput> added() {
        std::map<std::string, testing::XrandrOutput> result;
        for (const auto& [name, output] : testing::xrandr().enabled)
            if (!before.enabled.count(name)) result[name] = output;
        return result;
    }

    std::unique_ptr<X11DisplayService> displays;
    std::shared_ptr<PhantomScreenInf> inf;
    std::shared_ptr<PhantomScreenService> service;
    testing::XrandrState before;
};

TEST_F(VirtualDisplayTest, ADisplayAppearsRightOfTheOthersIsFoundAndGoesAgain) {
    auto id = inf->addDisplayEx(Resolution::RES_S, false);
    ASSERT_TRUE(id) << reports.all();
    settle();

    auto now = added();
    ASSERT_EQ(now.size(), 1u) << testing::run("xrandr");
    auto output = now.begin()->second;
    EXPECT_EQ(output.width, 2560);
    EXPECT_EQ(output.height, 1440);
    EXPECT_EQ(output.x, 1921);  // one past the main display's right edge
    EXPECT_EQ(output.y, 0);
    auto screen = testing::xrandr();
    EXPECT_GE(screen.screenWidth, 1921 + 2560);
    EXPECT_GE(screen.screenHeight, 1440);

    EXPECT_EQ(inf->findPS(), id);
    EXPECT_EQ(displays->vendorNumber(*id), 2028u);
    EXPECT_EQ(displays->modelNumber(*id), 1217u);
    // Another X client reads the same identity from the server.
    auto record = testing::run("xprop -root _VANTREL_VIRTUAL_DISPLAYS");
    EXPECT_NE(record.find("2028 1217 171111 Corvane"), std::string::npos) << record;
    // The main display keeps the identity of its own (empty) EDID.
    EXPECT_NE(displays->vendorNumber(displays->mainDisplay()), 2028u);

    EXPECT_TRUE(inf->removeDisplay(*id));
    EXPECT_EQ(testing::xrandr(), before) << testing::run("xrandr");
    EXPECT_EQ(inf->findPS(), std::nullopt);
}

TEST_F(VirtualDisplayTest, APortraitRequestGivesThePortraitMode) {
    auto id = inf->addDisplayEx(Resolution::RES_XS, true);
    ASSERT_TRUE(id) << reports.all();
    settle();
    auto now = added();
    ASSERT_EQ(now.size(), 1u) << testing::run("xrandr");
    EXPECT_EQ(now.begin()->second, (testing::XrandrOutput{1080, 1920, 1921, 0}));
    // The landscape mode is offered too, so the display can be turned.
    auto modes = displays->modes(*id);
    EXPECT_TRUE(std::any_of(modes.begin(), modes.end(), [](const DisplayMode& m) {
        return m.pixelWidth == 1920 && m.pixelHeight == 1080;
    }));
}

TEST_F(VirtualDisplayTest, FiveCoexistASixthIsRefusedAndAllGoAgain) {
    std::vector<DisplayID> ids;
    for (int i = 0; i < 5; ++i) {
        auto id = inf->addDisplayEx(Resolution::RES_XSS, false);
        ASSERT_TRUE(id) << "display " << i << "\n" << reports.all();
        ids.push_back(*id);
        settle();
    }
    auto now = added();
    ASSERT_EQ(now.size(), 5u) << testing::run("xrandr");
    // Side by side, none overlapping, all at the top.
    std::vector<int> xs;
    for (const auto& [name, output] : now) {
        EXPECT_EQ(output.width, 1280);
        EXPECT_EQ(output.y, 0);
        xs.push_back(output.x);
    }
    std::sort(xs.begin(), xs.end());
    for (std::size_t i = 1; i < xs.size(); ++i) EXPECT_GE(xs[i] - xs[i - 1], 1280);

    EXPECT_EQ(inf->addDisplayEx(Resolution::RES_XSS, false), std::nullopt);

    for (auto id : ids) EXPECT_TRUE(inf->removeDisplay(id));
    EXPECT_EQ(testing::xrandr(), before) << testing::run("xrandr");
}

// The library reports on standard error, its host's log.
class CapturedStderr {
  public:
    CapturedStderr() : path_("/tmp/vl-display/stderr-" + std::to_string(getpid())) {
        std::fflush(stderr);
        saved_ = dup(2);
        int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, 2);
        close(file);
    }
    ~CapturedStderr() {
        restore();
        std::filesystem::remove(path_);
    }
    std::string text() {
        restore();
        std::stringstream text;
        text << std::ifstream(path_).rdbuf();
        return text.str();
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

TEST_F(VirtualDisplayTest, ADisplayBeyondXsLimitIsRefusedWithAReportAndLeavesNothing) {
    // The main display far right, so that a 2560-wide display beside it would pass 32767.
    auto main = displays->mainDisplay();
    auto configuration = displays->beginConfiguration();
    ASSERT_TRUE(configuration.ok());
    configuration.value->configureDisplayOrigin(main, 30000, 0);
    ASSERT_EQ(configuration.value->complete(ConfigureOption::permanently), DisplayError::success);
    before = testing::xrandr();
    ASSERT_EQ(before.enabled.begin()->second.x, 30000);

    CapturedStderr library;
    EXPECT_EQ(inf->addDisplayEx(Resolution::RES_S, false), std::nullopt);
    auto text = library.text();
    EXPECT_NE(text.find("2560x1440 does not fit in the X screen (32767x32767 at most)"),
              std::string::npos)
        << text;
    EXPECT_EQ(testing::xrandr(), before);
    EXPECT_EQ(testing::run("xrandr").find("VL2560x1440"), std::string::npos);
}

// A server without spare outputs (every one here is claimed by another process) gets RandR
// monitors in an enlarged framebuffer instead.
TEST_F(VirtualDisplayTest, WithoutASpareOutputADisplayIsAMonitorInAnEnlargedFramebuffer) {
    x11::RandrScreen screen({}, {});
    auto snap = screen.snapshot();
    ASSERT_TRUE(snap);
    screen.updateIdentities([&](std::vector<x11::VirtualIdentity>& list) {
        for (const auto& output : snap->outputs)
            if (output.crtc == 0) list.push_back({output.id, 1, 1, 1, "elsewhere"});
    });

    auto id = inf->addDisplayEx(Resolution::RES_S, false);
    ASSERT_TRUE(id) << reports.all();
    settle();
    EXPECT_TRUE(added().empty());  // no output switched on

    auto monitors = testing::run("xrandr --listmonitors");
    EXPECT_NE(monitors.find("VL-Corvane-" + std::to_string(getpid()) + " 2560/677x1440/381+1921+0"),
              std::string::npos)
        << monitors;
    auto state = testing::xrandr();
    EXPECT_EQ(state.screenWidth, 1921 + 2560);
    EXPECT_EQ(state.screenHeight, 1440);
    EXPECT_EQ(inf->findPS(), id);
    EXPECT_EQ(displays->bounds(*id), (DisplayRect{1921, 0, 2560, 1440}));

    EXPECT_TRUE(inf->removeDisplay(*id));
    EXPECT_EQ(testing::xrandr(), before);
    EXPECT_EQ(testing::run("xrandr --listmonitors").find("VL-"), std::string::npos);
    EXPECT_EQ(inf->findPS(), std::nullopt);
}

// The order in which the sharing session starts its main display.
TEST_F(VirtualDisplayTest, TheSessionWaitsForItsDisplayThenExtendsBesideTheMainDisplay) {
    service->stopService();
    service->startService(Resolution::from(2560, 1440));
    std::promise<std::optional<DisplayID>> online;
    service->waitForPhantomScreen(5.0, [&](std::optional<DisplayID> id) { online.set_value(id); });
    auto id = online.get_future().get();
    ASSERT_TRUE(id) << reports.all();
    EXPECT_EQ(service->extraDisplayIDs().front(), id);

    auto arrangement = DisplayArrangement::make(*displays, DispatchQueue::main());
    std::promise<bool> extended;
    DispatchQueue::main().async(
        [&] { arrangement->setDisplayExtended(*id, 5, [&](bool ok) { extended.set_value(ok); }); });
    EXPECT_TRUE(extended.get_future().get());
    settle();
    EXPECT_EQ(displays->bounds(*id), (DisplayRect{1920, 0, 2560, 1440}));
    EXPECT_EQ(added().begin()->second, (testing::XrandrOutput{2560, 1440, 1920, 0}));
    EXPECT_FALSE(displays->isInMirrorSet(*id));
}

TEST_F(VirtualDisplayTest, TheDisplayMovedToTheOriginBecomesThePrimaryOutputAndBack) {
    const auto id = extendedVirtualDisplay(Resolution::from(1280, 720));
    ASSERT_TRUE(id);
    const DisplayID main = displays->mainDisplay();
    ASSERT_NE(main, *id);
    // The output xrandr calls primary, by name.
    auto primary = [] {
        std::smatch m;
        std::string all = testing::run("xrandr --query");
        static const std::regex line(R"((\S+) connected primary)");
        return std::regex_search(all, m, line) ? m[1].str() : std::string();
    };
    const std::string mainName = primary();
    ASSERT_FALSE(mainName.empty());

    auto placeAtOrigin = [&](DisplayID first, DisplayID second, double secondX) {
        auto begun = displays->beginConfiguration();
        ASSERT_TRUE(begun.ok() && begun.value);
        (*begun.value).configureDisplayOrigin(first, 0, 0);
        (*begun.value).configureDisplayOrigin(second, std::int32_t(secondX), 0);
        ASSERT_EQ((*begun.value).complete(ConfigureOption::permanently), DisplayError::success);
    };
    placeAtOrigin(*id, main, 1280);
    EXPECT_EQ(displays->mainDisplay(), *id);
    EXPECT_NE(primary(), mainName);
    EXPECT_EQ(added().begin()->second, (testing::XrandrOutput{1280, 720, 0, 0}));

    placeAtOrigin(main, *id, 1920);
    EXPECT_EQ(displays->mainDisplay(), main);
    EXPECT_EQ(primary(), mainName);
}

TEST_F(VirtualDisplayTest, TheCursorOnADisplayBesideTheMainOneIsDrawnWhereItIsOnThatDisplay) {
    const auto id = extendedVirtualDisplay(Resolution::from(1280, 720));
    ASSERT_TRUE(id);
    const auto bounds = displays->bounds(*id);
    ASSERT_GT(bounds.x, 0);  // beside the main display, not at the origin

    test::Painter painter(std::getenv("DISPLAY"));
    painter.fill(0x808080, 0, 0, static_cast<int>(bounds.maxX()), static_cast<int>(bounds.maxY()));
    X11CaptureService capture;
    DispatchQueue queue("com.corvane.vantrel.capture.test");
    test::Collector collector;
    auto stream = capture.makeStream(*id, test::configurationFor({*id, 1280, 720}, 30, true), queue,
                                     collector.output());
    ASSERT_FALSE(test::startAndWait(*stream));
    // Differing pixels in a 40-pixel square of the picture around (cx, cy).
    auto cursorAround = [&](int cx, int cy) {
        const auto picture = collector.last();
        int differing = 0;
        for (int y = cy - 20; y < cy + 20; ++y)
            for (int x = cx - 20; x < cx + 20; ++x)
                differing += std::abs(test::lumaAt(*picture, x, y) - 126) > 2 ? 1 : 0;
        return differing;
    };
    auto pointAt = [&](int x, int y) {
        const int before = collector.complete();
        painter.warpPointer(x, y);
        return collector.waitFor([&](int complete, int) { return complete > before; });
    };

    // (100, 100) on the virtual display: drawn there, and not where the screen position is.
    ASSERT_TRUE(pointAt(static_cast<int>(bounds.x) + 100, 100));
    EXPECT_GT(cursorAround(110, 110), 10);
    EXPECT_EQ(cursorAround(400, 110), 0);
    EXPECT_EQ(cursorAround(1000, 600), 0);
    // On the main display the pointer is not on the virtual one at all.
    ASSERT_TRUE(pointAt(200, 100));
    EXPECT_EQ(cursorAround(110, 110), 0);
    test::stopAndWait(*stream);
}

TEST_F(VirtualDisplayTest, AnXServerThatDiesIsReportedRestartedAndTheNextSessionRecreates) {
    service->startService(Resolution::RES_XSS);
    settle();
    ASSERT_EQ(added().size(), 1u) << reports.all();

    // The X server of this desktop (which the test started) dies.
    auto display = desktop->running()->display;
    auto server = desktop->serverPid();
    ASSERT_TRUE(server);
    ASSERT_EQ(kill(*server, SIGKILL), 0);

    // The session's displays go without a crash.
    std::this_thread::sleep_for(100ms);
    service->stopService();
    EXPECT_EQ(inf->findPS(), std::nullopt);

    // The desktop starts it again on the same display.
    for (int i = 0; i < 100 && desktop->serverPid().value_or(*server) == *server; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(desktop->serverPid().value_or(*server), *server) << reports.all();
    EXPECT_EQ(
        reports.count("Xorg with the dummy driver on " + display + " died; starting it again"), 1);
    EXPECT_EQ(desktop->running()->display, display);

    // The next session creates its display again.
    service->startService(Resolution::RES_XSS);
    settle();
    auto now = added();
    ASSERT_EQ(now.size(), 1u) << reports.all() << testing::run("xrandr");
    EXPECT_EQ(now.begin()->second, (testing::XrandrOutput{1280, 720, 1921, 0}));
    auto found = inf->findPS();
    ASSERT_TRUE(found);
    EXPECT_EQ(service->extraDisplayIDs().back(), found);
    // The arrangement reported the loss and the return.
    EXPECT_EQ(reports.count("X server " + display + " went away"), 1) << reports.all();
    EXPECT_EQ(reports.count("X server " + display + " is back"), 1) << reports.all();
}

// The session ends only after the desktop started its X server again (the server ends it when it
// learns of the death, while the desktop restarts): the dead server's display must not be brought
// touched on the new one, nor its ids applied there.
TEST_F(VirtualDisplayTest, ADisplayOfAServerThatDiedTouchesNothingOnTheServerAfterIt) {
    service->startService(Resolution::RES_XSS);
    settle();
    ASSERT_EQ(added().size(), 1u) << reports.all();
    auto server = desktop->serverPid();
    ASSERT_TRUE(server);
    ASSERT_EQ(kill(*server, SIGKILL), 0);
    for (int i = 0; i < 100 && desktop->serverPid().value_or(*server) == *server; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(desktop->serverPid().value_or(*server), *server) << reports.all();
    for (int i = 0; i < 100 && testing::xrandr().enabled.empty(); ++i)
        std::this_thread::sleep_for(50ms);

    service->stopService();
    EXPECT_EQ(inf->findPS(), std::nullopt);
    EXPECT_TRUE(added().empty()) << testing::run("xrandr");

    // The next session's display is the only one added, beside the main display.
    service->startService(Resolution::RES_XSS);
    settle();
    auto now = added();
    ASSERT_EQ(now.size(), 1u) << reports.all() << testing::run("xrandr");
    EXPECT_EQ(now.begin()->second, (testing::XrandrOutput{1280, 720, 1921, 0}));
}

}  // namespace
}  // namespace vl
