// The input role through the real XTest backend on a private Xvfb: gestures and keys as the X
// server delivers them to a witness window, and the cursor kept inside the virtual display while
// confinement is on, checked with xdotool.
#include "input/InputService.h"

#include "base/testing/CommandOutput.h"
#include "base/testing/Eventually.h"
#include "base/testing/MainLoop.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/tests/WitnessWindow.h"
#include "platform/events/x11/X11EventsService.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <cstdio>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::Seen;

[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new vl::testing::MainLoopEnvironment);

constexpr DisplayID virtualDisplay = 3;

class InputX11Test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { xvfb_ = new test::XvfbServer(1280, 800); }
    static void TearDownTestSuite() {
        delete xvfb_;
        xvfb_ = nullptr;
    }
    void SetUp() override {
        if (!xvfb_->running()) GTEST_SKIP() << "no private Xvfb";
        witness_ = std::make_unique<test::WitnessWindow>(xvfb_->name());
        X11EventsService::Options options;
        options.display = xvfb_->name();
        std::shared_ptr<EventsService> events = X11EventsService::open(options);
        ASSERT_TRUE(events);
        // The right half of the screen stands for the session's virtual display.
        displays_->addDisplay(FakeDisplayService::make(virtualDisplay, {640, 0, 640, 800}));
        InputService::Services services;
        services.events = events;
        services.displays = displays_;
        services.virtualDisplayIDs = [] {
            return std::vector<std::optional<DisplayID>>{virtualDisplay};
        };
        input_ = InputService::make(services);
    }
    void TearDown() override {
        if (input_) onMain([&] { input_->stopConstrainingCursor(); });
        onMain([&] { input_.reset(); });
        witness_.reset();
    }
    static void onMain(const std::function<void()>& block) { DispatchQueue::main().sync(block); }
    void mouse(MouseEventKind kind, double x, double y) {
        onMain([&] {
            input_->handleMouseEvent(MouseEvent{"s", MouseButton::left, kind, x, y},
                                     virtualDisplay);
        });
    }
    std::string pointer() {
        return testing::commandOutput("DISPLAY=" + xvfb_->name() + " xdotool getmouselocation");
    }

    static test::XvfbServer* xvfb_;
    std::unique_ptr<test::WitnessWindow> witness_;
    std::shared_ptr<FakeDisplayService> displays_ = std::make_shared<FakeDisplayService>();
    std::shared_ptr<InputService> input_;
};
test::XvfbServer* InputX11Test::xvfb_ = nullptr;

TEST_F(InputX11Test, AClickAndADragLandOnTheVirtualDisplay) {
    mouse(MouseEventKind::down, 0.5, 0.5);
    mouse(MouseEventKind::up, 0.5, 0.5);
    mouse(MouseEventKind::down, 0.25, 0.25);
    mouse(MouseEventKind::drag, 0.5, 0.25);
    mouse(MouseEventKind::up, 0.5, 0.25);
    witness_->waitFor(XCB_BUTTON_RELEASE, 2);
    const auto presses = witness_->of(XCB_BUTTON_PRESS);
    const auto releases = witness_->of(XCB_BUTTON_RELEASE);
    ASSERT_EQ(presses.size(), 2u);
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(presses[0].x, 960);
    EXPECT_EQ(presses[0].y, 400);
    EXPECT_EQ(presses[1].x, 800);
    EXPECT_EQ(presses[1].y, 200);
    EXPECT_EQ(releases[1].x, 960);
    EXPECT_EQ(releases[1].y, 200);
}

TEST_F(InputX11Test, TextAndKeyCodesArriveAsKeysOfThisDesktop) {
    onMain([&] {
        input_->handleKeyboard(KeyboardEvent{"s", 0x04, "ä", 0, true});
        input_->handleKeyboard(KeyboardEvent{"s", 0x04, "ä", 0, false});
        input_->handleKeyboard(KeyboardEvent{"s", 0x28, "\r", 0, true});
        input_->handleKeyboard(KeyboardEvent{"s", 0x28, "\r", 0, false});
    });
    witness_->waitFor(XCB_KEY_RELEASE, 2);
    const auto presses = witness_->of(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(witness_->keysym(presses[0].detail), XK_adiaeresis);
    EXPECT_EQ(witness_->keysym(presses[1].detail), XK_Return);
}

TEST_F(InputX11Test, TheCursorStaysInsideTheVirtualDisplayOnlyWhileConfined) {
    onMain([&] { input_->startConstrainingCursor(virtualDisplay); });
    testing::commandOutput("DISPLAY=" + xvfb_->name() + " xdotool mousemove 100 300");
    EXPECT_TRUE(vl::testing::eventually([&] { return pointer().find("x:640 y:300") == 0; }, 2s))
        << pointer();

    onMain([&] { input_->stopConstrainingCursor(); });
    testing::commandOutput("DISPLAY=" + xvfb_->name() + " xdotool mousemove 100 300");
    std::this_thread::sleep_for(100ms);  // several ticks, had the timer survived
    EXPECT_EQ(pointer().find("x:100 y:300"), 0u) << pointer();
}

TEST_F(InputX11Test, EndingTheSessionReleasesAHeldButton) {
    mouse(MouseEventKind::down, 0.5, 0.5);
    onMain([&] { input_->stopConstrainingCursor(); });
    witness_->waitFor(XCB_BUTTON_RELEASE, 1);
    EXPECT_EQ(witness_->of(XCB_BUTTON_PRESS).size(), 1u);
    EXPECT_EQ(witness_->of(XCB_BUTTON_RELEASE).size(), 1u);
}

}  // namespace
}  // namespace vl
