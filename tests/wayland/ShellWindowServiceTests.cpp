// Windows on a private headless GNOME Shell running our extension: a witness window is listed
// with its process, reported when made and when closed, kept by its id when minimised, moved onto
// a virtual display by the window manager, raised and focused; and the main display moves to the
// display the role names.
#include "libPhantomScreen/platform/mutter/MutterVirtualDisplays.h"
#include "platform/display/mutter/MutterDisplayService.h"
#include "platform/mutter/SessionBusNames.h"
#include "platform/windows/gnomeshell/GnomeShellWindowService.h"
#include "platform/windows/tests/WindowEventLog.h"
#include "tests/wayland/DisplayDescriptors.h"
#include "tests/wayland/ShellFixture.h"
#include "tests/wayland/WaylandWitness.h"
#include "windowsmgmt/VNSWindowManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

namespace vl {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

using testing::descriptorNamed;

class WaylandShellWindowTest : public testing::ShellFixture {
  protected:
    void SetUp() override {
        ShellFixture::SetUp();
        if (!ready()) return;
        std::string error;
        windows = GnomeShellWindowService::connect(bus, remember(), &error);
        ASSERT_TRUE(windows) << error << "\n" << desktop->mutterLog();
        monitors = std::make_shared<MutterMonitors>(bus);
        displays = std::make_shared<MutterDisplayService>(monitors, remember());
        platform =
            std::make_unique<ps::MutterVirtualDisplays>(monitors, displays, nullptr, remember());
    }

    std::function<void(const std::string&)> remember() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex);
            reports.push_back(text);
        };
    }
    std::unique_ptr<ps::VirtualDisplay> display(const std::string& name, std::uint32_t serial,
                                                std::uint32_t width, std::uint32_t height) {
        auto made = platform->createDisplay(descriptorNamed(name, serial));
        if (!made || !made->applySettings({.hiDPI = 0, .modes = {{width, height, 30}}}))
            return nullptr;
        return made;
    }
    // Once it has its first size: the shell lists a window from before its first frame.
    std::optional<WindowRecord> witnessWindow(ProcessID pid) {
        for (const auto& record : windows->windowList())
            if (record.pid == pid && record.frame.width > 0) return record;
        return std::nullopt;
    }

    std::shared_ptr<GnomeShellWindowService> windows;
    std::shared_ptr<MutterDisplayService> displays;
    std::unique_ptr<ps::MutterVirtualDisplays> platform;
    std::mutex mutex;
    std::vector<std::string> reports;
};

TEST_F(WaylandShellWindowTest, AWitnessIsReportedListedMovedRaisedAndFocused) {
    auto wide = display("Vantrel", 0x5000, 1280, 720);
    auto small = display("Vantrel_1", 0x5001, 640, 480);
    ASSERT_TRUE(wide && small) << ::testing::PrintToString(reports);

    testing::WindowEventLog seen;
    // Handlers may call the service: they run off the bus thread.
    auto observation = windows->observe(
        seen.handlers([&](WindowID id) { EXPECT_TRUE(windows->window(id).has_value()); }));
    testing::WaylandWitness witness(*desktop, 0, 0, 255, {"--windowed"});
    const ProcessID pid = witness.pid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return witnessWindow(pid).has_value(); }, 20s))
        << witness.output();
    const WindowRecord record = *witnessWindow(pid);
    EXPECT_EQ(record.title, "vl-witness");
    EXPECT_EQ(record.ownerName, "python3");
    EXPECT_EQ(record.kind, WindowKind::normal);
    EXPECT_GE(record.frame.width, 400);
    EXPECT_EQ(windows->windowsOfProcess(pid), std::vector<WindowID>{record.id});
    auto applications = windows->regularApplications();
    EXPECT_NE(std::find(applications.begin(), applications.end(), pid), applications.end());
    EXPECT_TRUE(eventually([&] {
        return seen.wasCreated(record.id, pid) && seen.launched() == std::vector<ProcessID>{pid};
    }));

    // The window manager moves it onto the small display, keeping its place there.
    DispatchQueue queue{"shell.windows.tests"};
    auto manager = VNSWindowManager::make(*displays, *windows, {}, queue);
    const DisplayRect target = displays->bounds(small->displayID());
    ASSERT_GT(target.width, 0);
    manager->moveAllWindowsToDisplay(small->displayID());
    EXPECT_TRUE(eventually([&] {
        auto now = windows->frame(record.id);
        return now && target.contains({now->x, now->y}) &&
               target.contains({now->maxX() - 1, now->maxY() - 1});
    })) << ::testing::PrintToString(windows->frame(record.id).value_or(DisplayRect{}));

    // An exact frame, which the witness's next commit confirms.
    const DisplayRect exact{target.x + 20, target.y + 30, 500, 400};
    EXPECT_EQ(windows->setFrame(record.id, exact), WindowError::success);
    EXPECT_EQ(windows->frame(record.id), exact);
    EXPECT_TRUE(eventually([&] { return witness.said("size "); }));
    EXPECT_EQ(windows->windowAtPoint({exact.x + 10, exact.y + 10}), record.id);

    // A second window takes the focus; raising the first gives it back.
    testing::WaylandWitness other(*desktop, 255, 0, 0, {"--windowed"});
    ASSERT_TRUE(eventually(
        [&] {
            auto second = witnessWindow(other.pid());
            return second && windows->focusedWindow() == second->id &&
                   windows->windowList().front().id == second->id;
        },
        20s))
        << other.output();
    EXPECT_EQ(windows->raise(record.id), WindowError::success);
    EXPECT_TRUE(eventually([&] { return windows->focusedWindow() == record.id; }));
    EXPECT_EQ(windows->windowList().front().id, record.id) << "raised to the front";
    EXPECT_TRUE(eventually([&] { return seen.wasFocused(record.id); }));

    WindowID gone = 1;
    for (const auto& listed : windows->windowList()) gone = std::max(gone, listed.id + 1);
    EXPECT_EQ(windows->raise(gone), WindowError::notFound);
    EXPECT_EQ(windows->setFrame(gone, exact), WindowError::notFound);
}

// As the X11 backend reports a window leaving the client list: no event of its own, and the
// process's end with its last window. Ids are the shell's own small numbers, one per window.
TEST_F(WaylandShellWindowTest, ClosedWindowsLeaveTheListAndIdsAreNeverShared) {
    testing::WindowEventLog seen;
    auto observation = windows->observe(seen.handlers());
    testing::WaylandWitness two(*desktop, 0, 0, 255, {"--windowed", "--second"});
    testing::WaylandWitness one(*desktop, 255, 0, 0, {"--windowed"});
    auto ids = [&] {
        std::map<std::pair<ProcessID, std::string>, WindowID> now;
        for (const auto& record : windows->windowList())
            if (record.frame.width > 0) now[{record.pid, record.title}] = record.id;
        return now;
    };
    const std::pair first{two.pid(), std::string("vl-witness")};
    const std::pair second{two.pid(), std::string("vl-witness-2")};
    const std::pair only{one.pid(), std::string("vl-witness")};
    ASSERT_TRUE(eventually(
        [&] {
            auto now = ids();
            return now.contains(first) && now.contains(second) && now.contains(only) &&
                   two.said("started") && one.said("started");
        },
        20s))
        << two.output() << one.output();
    const auto before = ids();
    std::set<WindowID> distinct;
    for (const auto& [owner, id] : before) distinct.insert(id);
    EXPECT_EQ(distinct.size(), before.size()) << "no two windows share an id";
    EXPECT_EQ(ids(), before) << "ids are the same at every look";
    EXPECT_EQ(windows->windowsOfProcess(two.pid()),
              (std::vector<WindowID>{before.at(first), before.at(second)}));

    // One of two windows closes: the process still has a window.
    two.signal(SIGUSR2);
    EXPECT_TRUE(eventually([&] { return !ids().contains(second); })) << two.output();
    EXPECT_FALSE(windows->window(before.at(second)));
    EXPECT_EQ(windows->windowsOfProcess(two.pid()), std::vector<WindowID>{before.at(first)});
    // Events come in order: once the other process's end is told, the close above was handled.
    one.signal(SIGUSR2);
    EXPECT_TRUE(eventually([&] { return !seen.terminated().empty(); }));
    EXPECT_EQ(seen.terminated(), std::vector<ProcessID>{one.pid()});
    EXPECT_FALSE(ids().contains(only));
    EXPECT_NE(windows->focusedWindow(), before.at(only)) << "a closed window has no focus";

    // Its last window closes while the program runs on.
    two.signal(SIGUSR2);
    EXPECT_TRUE(eventually([&] {
        return seen.terminated() == std::vector<ProcessID>{one.pid(), two.pid()};
    }));
    EXPECT_TRUE(two.said("closed vl-witness\n")) << two.output();
    EXPECT_TRUE(windows->windowsOfProcess(two.pid()).empty());
    auto applications = windows->regularApplications();
    EXPECT_EQ(std::find(applications.begin(), applications.end(), two.pid()), applications.end());

    // A window made afterwards takes no closed window's id, and its process is launched anew.
    testing::WaylandWitness later(*desktop, 0, 255, 0, {"--windowed"});
    ASSERT_TRUE(eventually([&] { return witnessWindow(later.pid()).has_value(); }, 20s))
        << later.output();
    EXPECT_FALSE(distinct.contains(witnessWindow(later.pid())->id));
    EXPECT_TRUE(eventually([&] { return seen.wasLaunched(later.pid()); }));
    auto launched = seen.launched();
    std::sort(launched.begin(), launched.end());
    std::vector<ProcessID> each{two.pid(), one.pid(), later.pid()};
    std::sort(each.begin(), each.end());
    EXPECT_EQ(launched, each) << "each with its first window only";
}

// GNOME Shell turns extensions off on its lock screen and on again when unlocked: what happened to
// windows meanwhile is told once the extension is back, and the service works on.
TEST_F(WaylandShellWindowTest, AnObservationCatchesUpOnWhatHappenedWhileTheExtensionWasOff) {
    testing::WindowEventLog seen;
    auto observation = windows->observe(seen.handlers());
    testing::WaylandWitness leaving(*desktop, 255, 0, 0, {"--windowed"});
    ASSERT_TRUE(eventually([&] { return seen.wasLaunched(leaving.pid()); }, 20s))
        << leaving.output();

    auto turn = [&](const char* method) {
        return bus->withBus([&](sd_bus* c) {
            return sd_bus_call_method(c, "org.gnome.Shell", "/org/gnome/Shell",
                                      "org.gnome.Shell.Extensions", method, nullptr, nullptr, "s",
                                      shellWindowsExtension) >= 0;
        });
    };
    auto answers = [&] {
        return sessionBusNames(desktop->busAddress())->contains(shellWindowsName);
    };
    ASSERT_TRUE(turn("DisableExtension"));
    ASSERT_TRUE(eventually([&] { return !answers(); }));
    // Meanwhile one program closes its only window and another opens one.
    leaving.signal(SIGUSR2);
    EXPECT_TRUE(eventually([&] { return leaving.said("closed vl-witness"); })) << leaving.output();
    testing::WaylandWitness coming(*desktop, 0, 255, 0, {"--windowed"});
    ASSERT_TRUE(eventually([&] { return coming.said("started"); }, 20s)) << coming.output();
    EXPECT_FALSE(seen.wasTerminated(leaving.pid()));
    EXPECT_FALSE(seen.wasLaunched(coming.pid()));

    ASSERT_TRUE(turn("EnableExtension"));
    EXPECT_TRUE(eventually([&] {
        return seen.wasTerminated(leaving.pid()) && seen.wasLaunched(coming.pid());
    })) << ::testing::PrintToString(seen.launched())
        << " " << ::testing::PrintToString(seen.terminated());
    ASSERT_TRUE(eventually([&] { return witnessWindow(coming.pid()).has_value(); }));
    const WindowID id = witnessWindow(coming.pid())->id;
    EXPECT_TRUE(seen.wasCreated(id, coming.pid()));
    EXPECT_EQ(windows->raise(id), WindowError::success);
    EXPECT_TRUE(eventually([&] { return seen.wasFocused(id); }));
}

// As on X11: a minimised window is off the on-screen list, but still its process's window, found
// by its id, moved, and raised back.
TEST_F(WaylandShellWindowTest, AMinimisedWindowIsOffTheListButFoundAndRaised) {
    // A monitor to place and move it on: a headless shell has none of its own.
    auto screen = display("Vantrel", 0x5000, 1280, 720);
    ASSERT_TRUE(screen) << ::testing::PrintToString(reports);
    testing::WaylandWitness witness(*desktop, 0, 0, 255, {"--windowed"});
    ASSERT_TRUE(eventually(
        [&] { return witnessWindow(witness.pid()).has_value() && witness.said("started"); }, 20s))
        << witness.output();
    const WindowRecord record = *witnessWindow(witness.pid());
    const DisplayPoint inside{record.frame.x + 10, record.frame.y + 10};
    ASSERT_EQ(windows->windowAtPoint(inside), record.id);

    witness.signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return !witnessWindow(witness.pid()); })) << witness.output();
    auto found = windows->window(record.id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->pid, witness.pid());
    EXPECT_EQ(found->title, "vl-witness");
    EXPECT_EQ(windows->windowsOfProcess(witness.pid()), std::vector<WindowID>{record.id});
    auto applications = windows->regularApplications();
    EXPECT_NE(std::find(applications.begin(), applications.end(), witness.pid()),
              applications.end());
    EXPECT_NE(windows->windowAtPoint(inside), record.id);
    const DisplayRect target{record.frame.x + 20, record.frame.y + 10, 360, 280};
    EXPECT_EQ(windows->setFrame(record.id, target), WindowError::success);
    EXPECT_EQ(windows->frame(record.id), target);
    EXPECT_FALSE(witnessWindow(witness.pid())) << "moved, still minimised";

    EXPECT_EQ(windows->raise(record.id), WindowError::success);
    EXPECT_TRUE(eventually([&] {
        auto listed = windows->windowList();
        return !listed.empty() && listed.front().id == record.id &&
               windows->focusedWindow() == record.id;
    }));
    EXPECT_EQ(windows->windowAtPoint({target.x + 10, target.y + 10}), record.id);
}

TEST_F(WaylandShellWindowTest, TheMainDisplayIsTheOneTheManagerNames) {
    // Either way round, so that the display Mutter made first is not simply kept.
    auto wide = display("Vantrel", 0x5000, 1280, 720);
    auto small = display("Vantrel_1", 0x5001, 640, 480);
    ASSERT_TRUE(wide && small) << ::testing::PrintToString(reports);
    DispatchQueue queue{"shell.windows.tests"};
    auto manager = VNSWindowManager::make(*displays, *windows, {}, queue);
    for (auto* made : {&small, &wide}) {
        const DisplayID id = (*made)->displayID();
        manager->setMainDisplay(id);
        EXPECT_EQ(displays->mainDisplay(), id) << ::testing::PrintToString(reports);
        // Mutter's layout starts at its top-left corner whichever display is the main one.
        EXPECT_EQ(
            std::min(displays->bounds(small->displayID()).x, displays->bounds(wide->displayID()).x),
            0);
        EXPECT_EQ(displays->activeDisplayList(maxDisplays).value.front(), id);
    }
}

// The package installs the extension for every user; a shell that runs it off is asked to turn it
// on, and bare Mutter is told apart.
TEST(WaylandShellExtensionTest, ADisabledExtensionIsTurnedOnAndBareMutterHasNoWindows) {
    if (auto missing = testing::PrivateMutter::missingProgram(true)) GTEST_SKIP() << *missing;
    std::string error;
    auto shell = testing::PrivateMutter::start(
        &error, testing::PrivateMutter::Shell{.extensionFolder = VL_SHELL_EXTENSION,
                                              .extensionUUID = shellWindowsExtension,
                                              .busName = shellWindowsName,
                                              .enabled = false});
    ASSERT_TRUE(shell) << error;
    auto names = sessionBusNames(shell->busAddress());
    ASSERT_TRUE(names);
    EXPECT_FALSE(names->contains(shellWindowsName)) << "off until asked";
    auto bus = MutterBus::open(shell->busAddress(), &error);
    ASSERT_TRUE(bus) << error;
    auto windows = GnomeShellWindowService::connect(bus, {}, &error);
    ASSERT_TRUE(windows) << error << "\n" << shell->mutterLog();
    EXPECT_TRUE(windows->trusted());
    EXPECT_TRUE(sessionBusNames(shell->busAddress())->contains(shellWindowsName));
    shell.reset();

    auto mutter = testing::PrivateMutter::start(&error);
    ASSERT_TRUE(mutter) << error;
    auto mutterBus = MutterBus::open(mutter->busAddress(), &error);
    ASSERT_TRUE(mutterBus) << error;
    error.clear();
    EXPECT_FALSE(GnomeShellWindowService::connect(mutterBus, {}, &error));
    EXPECT_EQ(error, "GNOME Shell does not run");
}

}  // namespace
}  // namespace vl
