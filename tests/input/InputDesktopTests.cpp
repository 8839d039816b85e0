// The client's input on a real desktop: text, shortcuts and gestures replayed through XTest, the
// windows found and moved through openbox, and the scroll thumb and split-view divider found
// through AT-SPI, all witnessed by a GTK application that prints what it receives.
#include "tests/input/InputDesktop.h"

#include "base/testing/MainLoop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

namespace vl {
namespace {

using namespace std::chrono_literals;

[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new vl::testing::MainLoopEnvironment);

constexpr std::int64_t command = 0x100000;

struct PointerEventLine {
    std::string kind;
    int x = 0, y = 0;
};

// "event button-press window=Vl_Input_Witness x=343 y=400 button=1"
std::optional<PointerEventLine> pointerEvent(const std::string& line) {
    static const std::regex pattern(R"(^event (\S+) window=\S+ x=(-?\d+) y=(-?\d+))");
    std::smatch m;
    if (!std::regex_search(line, m, pattern)) return std::nullopt;
    return PointerEventLine{m[1], std::stoi(m[2]), std::stoi(m[3])};
}

class InputDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        desktop_ = new test::InputDesktop;
        if (!desktop_->ready()) return;
        windows_ = std::make_shared<X11WindowService>(desktop_->display());
        AtspiAccessibility::Options options;
        // Generous for a loaded test machine; the server's own is far shorter.
        options.timeout = 500ms;
        options.windowAt = AtspiAccessibility::frontmostWindowIn(windows_);
        options.report = [](const std::string& text) {
            std::fprintf(stderr, "%s\n", text.c_str());
        };
        accessibility_ = AtspiAccessibility::open(options);
        X11EventsService::Options eventOptions;
        eventOptions.display = desktop_->display();
        std::shared_ptr<EventsService> events = X11EventsService::open(eventOptions);
        auto displays = std::make_shared<FakeDisplayService>();
        displays->addDisplay(FakeDisplayService::make(
            test::wholeScreen, {0, 0, test::screenWidth, test::screenHeight}));
        InputService::Services services;
        services.events = events;
        services.displays = displays;
        services.targets = std::make_shared<WindowPointerTargets>(windows_, accessibility_);
        input_ = InputService::make(services);
    }
    static void TearDownTestSuite() {
        DispatchQueue::main().sync([] { input_.reset(); });
        accessibility_.reset();
        windows_.reset();
        delete desktop_;
        desktop_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(desktop_->ready()) << desktop_->why();
        ASSERT_TRUE(accessibility_) << "no accessibility bus";
        ASSERT_TRUE(input_);
    }

    static void onMain(const std::function<void()>& block) { DispatchQueue::main().sync(block); }
    static void mouse(MouseEventKind kind, double x, double y) {
        onMain([&] {
            input_->handleMouseEvent(MouseEvent{"s", MouseButton::left, kind, x / test::screenWidth,
                                                y / test::screenHeight},
                                     test::wholeScreen);
        });
    }
    // A press, a drag in steps to the end point, and a release there.
    static void dragFrom(DisplayPoint from, DisplayPoint to, int steps = 8) {
        mouse(MouseEventKind::move, from.x, from.y);
        mouse(MouseEventKind::down, from.x, from.y);
        for (int i = 1; i <= steps; ++i)
            mouse(MouseEventKind::drag, from.x + (to.x - from.x) * i / steps,
                  from.y + (to.y - from.y) * i / steps);
        mouse(MouseEventKind::up, to.x, to.y);
    }
    static void key(std::uint32_t usage, const std::string& characters, std::int64_t flags = 0) {
        onMain([&] {
            input_->handleKeyboard(KeyboardEvent{"s", usage, characters, flags, true});
            input_->handleKeyboard(KeyboardEvent{"s", usage, characters, flags, false});
        });
    }
    static void type(const std::string& text) {
        // One key event per character, as the client sends them.
        for (std::size_t i = 0; i < text.size();) {
            std::size_t length = 1;
            const auto lead = static_cast<unsigned char>(text[i]);
            if (lead >= 0xF0)
                length = 4;
            else if (lead >= 0xE0)
                length = 3;
            else if (lead >= 0xC0)
                length = 2;
            key(0, text.substr(i, length));
            i += length;
        }
    }
    // Moves the pointer to a whole-pixel point and waits until the witness saw it there, so that
    // what it prints next comes after everything sent before. The first line after it.
    static std::size_t settleAt(DisplayPoint point) {
        const std::size_t from = desktop_->lines().size();
        mouse(MouseEventKind::move, point.x, point.y);
        const std::string seen = "x=" + std::to_string(static_cast<int>(point.x)) +
                                 " y=" + std::to_string(static_cast<int>(point.y));
        std::size_t after = from;
        testing::eventually(
            [&] {
                const auto all = desktop_->lines();
                for (std::size_t i = from; i < all.size(); ++i)
                    if (all[i].rfind("event motion-notify", 0) == 0 &&
                        all[i].find(seen) != std::string::npos) {
                        after = i + 1;
                        return true;
                    }
                return false;
            },
            5s, 10ms);
        return after;
    }
    static std::optional<WindowRecord> window(const std::string& title) {
        for (const WindowRecord& record : windows_->windowList())
            if (record.title == title) return record;
        return std::nullopt;
    }
    static DisplayPoint middle(const DisplayRect& rect) {
        return {rect.x + rect.width / 2, rect.y + rect.height / 2};
    }
    // Pointer events of one kind the witness received from line `from` on.
    static std::vector<PointerEventLine> events(const std::string& kind, std::size_t from) {
        std::vector<PointerEventLine> found;
        const auto all = desktop_->lines();
        for (std::size_t i = from; i < all.size(); ++i)
            if (auto event = pointerEvent(all[i]); event && event->kind == kind)
                found.push_back(*event);
        return found;
    }

    static test::InputDesktop* desktop_;
    static std::shared_ptr<X11WindowService> windows_;
    static std::shared_ptr<AtspiAccessibility> accessibility_;
    static std::shared_ptr<InputService> input_;
};
test::InputDesktop* InputDesktopTest::desktop_ = nullptr;
std::shared_ptr<X11WindowService> InputDesktopTest::windows_;
std::shared_ptr<AtspiAccessibility> InputDesktopTest::accessibility_;
std::shared_ptr<InputService> InputDesktopTest::input_;

TEST_F(InputDesktopTest, TextShortcutsAndADoubleClickInTheEntry) {
    const DisplayRect entry = desktop_->geometry("entry");
    const DisplayPoint inside{entry.x + 12, entry.y + std::floor(entry.height / 2)};
    const std::size_t start = settleAt(inside);
    mouse(MouseEventKind::down, inside.x, inside.y);
    mouse(MouseEventKind::up, inside.x, inside.y);
    const auto main = window("Vl Input Witness");
    ASSERT_TRUE(main);
    ASSERT_TRUE(testing::eventually([&] { return windows_->focusedWindow() == main->id; }));
    ASSERT_TRUE(testing::eventually([&] { return !events("button-release", start).empty(); }));

    type("Grüße € 你好");
    EXPECT_TRUE(desktop_->waitFor(R"(entry-text "Grüße € 你好")")) << desktop_->text();

    // A double click selects the word under the pointer.
    const std::size_t typed = desktop_->lines().size();
    mouse(MouseEventKind::down, inside.x, inside.y);
    mouse(MouseEventKind::up, inside.x, inside.y);
    mouse(MouseEventKind::down, inside.x, inside.y);
    mouse(MouseEventKind::up, inside.x, inside.y);
    EXPECT_TRUE(desktop_->waitFor(R"(entry-selection "Grüße")", typed)) << desktop_->text();

    // Command+A selects all (Command acts as Control here), Backspace empties the entry.
    const std::size_t selected = desktop_->lines().size();
    key(0x04, "a", command);
    key(0x2A, "\b");
    EXPECT_TRUE(desktop_->waitFor(R"(entry-text "")", selected)) << desktop_->text();
}

TEST_F(InputDesktopTest, ADragOnTheScrollThumbKeepsItsXAndScrollsTheList) {
    const DisplayRect bar = desktop_->geometry("listbar");
    ASSERT_GT(bar.height, 100) << desktop_->text();
    // The list is at its top: the thumb starts at the top of the bar.
    const DisplayPoint thumb{bar.x + std::floor(bar.width / 2), bar.y + 15};
    const std::size_t before = settleAt(thumb);
    dragFrom(thumb, {thumb.x + 60, thumb.y + 120});
    ASSERT_TRUE(testing::eventually([&] { return !events("button-release", before).empty(); }))
        << desktop_->text();

    const auto moves = events("motion-notify", before);
    ASSERT_FALSE(moves.empty());
    for (const auto& move : moves) EXPECT_EQ(move.x, static_cast<int>(thumb.x));
    EXPECT_EQ(events("button-release", before).front().x, static_cast<int>(thumb.x));
    const auto scrolled = desktop_->last("list-scroll ", before);
    ASSERT_TRUE(scrolled) << desktop_->text();
    // The thumb moved by 120 pixels of a track that shows about a tenth of the list.
    EXPECT_GT(std::stoi(scrolled->substr(12)), 500) << *scrolled;
}

TEST_F(InputDesktopTest, APressNearTheDividerSnapsOntoItAndADragMovesIt) {
    const DisplayRect handle = desktop_->geometry("handle");
    ASSERT_GT(handle.height, 100) << desktop_->text();
    const auto position = desktop_->last("paned ");
    const int start = position ? std::stoi(position->substr(6)) : 300;
    // 10 pixels right of the divider, over the table's empty rows.
    const DisplayPoint near{handle.x + handle.width + 10, handle.y + handle.height - 40};
    const std::size_t before = settleAt(near);
    dragFrom(near, {near.x + 100, near.y});
    ASSERT_TRUE(testing::eventually([&] { return !events("button-release", before).empty(); }))
        << desktop_->text();

    const auto presses = events("button-press", before);
    ASSERT_EQ(presses.size(), 1u) << desktop_->text();
    EXPECT_GE(presses[0].x, handle.x);
    EXPECT_LT(presses[0].x, handle.x + handle.width);
    // The divider followed the pointer from where it was grabbed.
    const int snapped = presses[0].x;
    const int expected = start + static_cast<int>(near.x + 100) - snapped;
    EXPECT_TRUE(testing::eventually([&] {
        auto now = desktop_->last("paned ", before);
        return now && std::abs(std::stoi(now->substr(6)) - expected) <= 3;
    })) << "expected about "
        << expected << "\n"
        << desktop_->text();
}

TEST_F(InputDesktopTest, TitleBarsAndEdgesMoveAndResizeWindows) {
    const auto main = window("Vl Input Witness");
    const auto back = window("Vl Input Back");
    ASSERT_TRUE(main && back);

    // A press on the title of the window behind raises and focuses it before the release.
    onMain([&] { input_->postMouseMove({back->frame.x + 100, back->frame.y + 8}); });
    mouse(MouseEventKind::down, back->frame.x + 100, back->frame.y + 8);
    EXPECT_TRUE(testing::eventually([&] { return windows_->focusedWindow() == back->id; }));
    EXPECT_EQ(windows_->windowList().front().id, back->id);
    mouse(MouseEventKind::up, back->frame.x + 100, back->frame.y + 8);

    // The title bar carries the window by the drag's distance.
    const DisplayPoint title{main->frame.x + 200, main->frame.y + 8};
    dragFrom(title, {title.x + 60, title.y + 40});
    EXPECT_TRUE(testing::eventually([&] {
        auto moved = windows_->frame(main->id);
        return moved && moved->x == main->frame.x + 60 && moved->y == main->frame.y + 40 &&
               moved->width == main->frame.width;
    })) << "from "
        << main->frame.x << "," << main->frame.y;

    // The left edge resizes it with the right edge where it was.
    const DisplayRect before = *windows_->frame(main->id);
    const DisplayPoint edge{before.x + 4, before.y + before.height / 2};
    dragFrom(edge, {edge.x - 50, edge.y});
    EXPECT_TRUE(testing::eventually([&] {
        auto resized = windows_->frame(main->id);
        return resized && resized->maxX() == before.maxX() && resized->x == before.x - 50;
    })) << "from "
        << before.x << " width " << before.width;
}

TEST_F(InputDesktopTest, AnApplicationThatStopsAnsweringIsLeftAloneForAWhile) {
    const DisplayPoint near = middle(desktop_->geometry("handle"));
    desktop_->pauseApplication(false);
    bool found = true;
    onMain([&] { found = accessibility_->elementAt(near).has_value(); });
    EXPECT_FALSE(found);
    // Left alone: the next question is not asked of it at all.
    const auto start = std::chrono::steady_clock::now();
    onMain([&] { found = accessibility_->elementAt(near).has_value(); });
    const auto took = std::chrono::steady_clock::now() - start;
    desktop_->pauseApplication(true);
    EXPECT_FALSE(found);
    EXPECT_LT(took, 400ms) << "asked again within the back-off";
    // Answering again once the back-off is over.
    EXPECT_TRUE(testing::eventually([&] {
        onMain([&] { found = accessibility_->elementAt(near).has_value(); });
        return found;
    }));
}

// Last: it takes the accessibility bus away for good.
TEST_F(InputDesktopTest, WithoutTheAccessibilityBusGesturesFallBackToPlainEvents) {
    const DisplayRect handle = desktop_->geometry("handle");
    const DisplayPoint near{handle.x + handle.width + 10, handle.y + handle.height - 40};
    onMain([&] { ASSERT_TRUE(accessibility_->elementAt(near)); });
    desktop_->stopAccessibilityBus();
    // Its daemon ends after the launcher.
    EXPECT_TRUE(testing::eventually([&] {
        bool found = true;
        onMain([&] { found = accessibility_->elementAt(near).has_value(); });
        return !found;
    }));

    // The press lands where it was made: no divider is found any more.
    const std::size_t before = settleAt(near);
    dragFrom(near, {near.x + 30, near.y});
    ASSERT_TRUE(testing::eventually([&] { return !events("button-release", before).empty(); }))
        << desktop_->text();
    const auto presses = events("button-press", before);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].x, static_cast<int>(near.x));
}

}  // namespace
}  // namespace vl
