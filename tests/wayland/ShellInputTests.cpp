// Input through Mutter with our extension on a private headless GNOME Shell: text the US layout
// has no key for reaches a focused GTK text field, in order with the keys around it; and the
// pointer's position is the shell's, also after a move that did not come from us.
#include "platform/events/mutter/MutterEventsService.h"
#include "platform/windows/gnomeshell/GnomeShellInput.h"
#include "tests/wayland/PostedInput.h"
#include "tests/wayland/ShellFixture.h"
#include "tests/wayland/WaylandWitness.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

using testing::key;
using testing::typed;

// The texts the witness's field held, in order ("text <text>" lines).
std::vector<std::string> fieldTexts(const std::string& output) {
    std::vector<std::string> texts;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("text ", 0) == 0) texts.push_back(line.substr(5));
    return texts;
}

class WaylandShellInputTest : public testing::ShellFixture {
  protected:
    void SetUp() override {
        ShellFixture::SetUp();
        if (!ready()) return;
        addMonitor(800, 600);
        if (!ready()) return;
        shell = std::make_shared<GnomeShellInput>(bus);
        MutterEventsService::Options options;
        options.pointer = [this] { return shell->pointer(); };
        options.commitText = [this](const std::string& text) { return shell->commitText(text); };
        events = std::make_unique<MutterEventsService>(monitors, std::move(options));
    }

    // The shell starts in its overview, which has the keyboard; Escape leaves it.
    void leaveOverview() {
        EXPECT_TRUE(events->post(key(53, true)));
        EXPECT_TRUE(events->post(key(53, false)));
    }

    std::shared_ptr<GnomeShellInput> shell;
    std::unique_ptr<MutterEventsService> events;
};

TEST_F(WaylandShellInputTest, TextOffTheLayoutReachesTheFocusedFieldInOrderWithKeys) {
    testing::WaylandWitness witness(*desktop, 40, 40, 120, {"--entry"});
    // Clicked as a person would; the field has the focus once a key typed by keysym lands in it.
    int tries = 0;
    ASSERT_TRUE(eventually(
        [&] {
            if (++tries % 25 == 1) {
                leaveOverview();
                testing::click(*events, {400, 300});
                EXPECT_TRUE(events->post(typed("a")));
            }
            return !fieldTexts(witness.output()).empty();
        },
        20s))
        << witness.output() << desktop->mutterLog();
    const std::string start = fieldTexts(witness.output()).back();
    ASSERT_FALSE(start.empty());

    // Back to back: a key before the committed text, and keys and text after it.
    EXPECT_TRUE(events->post(typed("€Ä")));
    EXPECT_TRUE(events->post(typed("b")));
    EXPECT_TRUE(events->post(key(51, true)));  // Backspace
    EXPECT_TRUE(events->post(key(51, false)));
    EXPECT_TRUE(events->post(typed("ö!")));
    const std::vector<std::string> expected = {start + "€Ä", start + "€Äb", start + "€Ä",
                                               start + "€Äö", start + "€Äö!"};
    auto after = [&] {
        auto texts = fieldTexts(witness.output());
        auto from = std::find(texts.rbegin(), texts.rend(), start);
        return std::vector<std::string>(from.base(), texts.end());
    };
    EXPECT_TRUE(eventually([&] { return after().size() >= expected.size(); }, 10s))
        << witness.output();
    EXPECT_EQ(after(), expected) << witness.output();
}

TEST_F(WaylandShellInputTest, ThePointerIsWhereTheShellHasIt) {
    // Mutter drops a new session's first absolute motion now and then.
    ASSERT_TRUE(eventually([&] {
        EXPECT_EQ(events->warp({100, 100}), std::nullopt);
        return shell->pointer() == DisplayPoint{100, 100};
    })) << ::testing::PrintToString(shell->pointer());
    // A move by another device, as a local mouse would make.
    ASSERT_TRUE(monitor->session().pointerMotionRelative(300, 50));
    EXPECT_TRUE(eventually([&] {
        return events->location() == DisplayPoint{400, 150};
    })) << ::testing::PrintToString(events->location());
}

}  // namespace
}  // namespace vl
