#include "phantomScreen/tests/TestSupport.h"

#include "phantomScreen/DisplayArrangement.h"

#include <filesystem>
#include <future>

namespace vl {
namespace {

using testing::FakeLibraryTest;

TEST_F(FakeLibraryTest, PortraitDisplayGetsItsModeAndGoesRightOfTheOthers) {
    auto id = inf->addDisplayEx(Resolution::RES_XS, true);
    ASSERT_TRUE(id);
    // The library made it in portrait, listing the landscape mode too.
    auto settings = virtuals->settings(*id);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->modes.front(), (ps::VirtualDisplayMode{1080, 1920, 90.0}));
    auto completedBefore = arrangement.counters().completed;

    settle();
    EXPECT_EQ(arrangement.bounds(*id), (DisplayRect{4481, 0, 1080, 1920}));
    auto counters = arrangement.counters();
    EXPECT_EQ(counters.completed, completedBefore + 2);  // mode, then origin
    EXPECT_EQ(counters.completeOptions.back(), ConfigureOption::permanently);
    EXPECT_EQ(inf->findPS(), id);
}

// A client asks for its extra display right after the first: each goes beside the displays that
// were there before it, so they end up side by side, the first where it was put.
TEST_F(FakeLibraryTest, TwoDisplaysAddedTogetherSitSideBySide) {
    auto first = inf->addDisplayEx(Resolution::RES_XSS, false);
    auto second = inf->addDisplayEx(Resolution::RES_S, false);
    ASSERT_TRUE(first && second);
    settle();
    const DisplayRect a = arrangement.bounds(*first);
    const DisplayRect b = arrangement.bounds(*second);
    EXPECT_EQ(a.x, 4481);
    EXPECT_EQ(b.x, a.maxX() + 1);
    EXPECT_EQ(a.y, 0);
    EXPECT_EQ(b.y, 0);
}

TEST_F(FakeLibraryTest, SetResolutionFallsBackToPointSizes) {
    auto hiDPI = FakeDisplayService::make(7, {0, 1440, 1280, 720});
    hiDPI.modes = {{1, 2560, 1440, 1280, 720, 60}, {2, 3840, 2160, 1920, 1080, 60}};
    arrangement.addDisplay(hiDPI);
    inf->setResolution(7, 1920, 1080);
    EXPECT_EQ(arrangement.bounds(7).width, 1920);

    inf->setResolution(7, 5000, 5000);
    EXPECT_EQ(reports.count("No 5000x5000 mode for display 7"), 1);
    inf->setResolution(2, 1920, 1080);
    EXPECT_EQ(reports.count("No display modes for 2"), 1);

    FakeDisplayService::Faults faults;
    faults.complete = DisplayError::failure;
    arrangement.setFaults(faults);
    inf->setResolution(7, 1280, 720);
    EXPECT_EQ(reports.count("Failed to set 1280x720 on display 7"), 1);
    inf->placeToRightOfExisting(7);
    EXPECT_EQ(reports.count("Failed to position display 7 at x 4481."), 1);
    EXPECT_EQ(arrangement.counters().cancelled, 2);
}

TEST_F(FakeLibraryTest, RemovingDisplaysTheServerCreated) {
    service->startService(Resolution::RES_S);
    auto ids = service->extraDisplayIDs();
    ASSERT_EQ(ids.size(), 1u);
    ASSERT_TRUE(ids[0]);
    auto extra = inf->addDisplayEx(Resolution::RES_XSS, false);
    ASSERT_TRUE(extra);

    EXPECT_FALSE(inf->removeDisplay(2));  // not ours
    EXPECT_TRUE(arrangement.display(2));
    service->stopPS(*extra);  // not in the session's list, still stopped
    EXPECT_FALSE(arrangement.display(*extra));
    EXPECT_EQ(service->extraDisplayIDs().size(), 1u);
    EXPECT_FALSE(inf->removeDisplay(*extra));  // already gone

    service->stopService();
    EXPECT_FALSE(arrangement.display(*ids[0]));
    EXPECT_TRUE(service->extraDisplayIDs().empty());
    EXPECT_EQ(inf->findPS(), std::nullopt);
}

TEST_F(FakeLibraryTest, FindPSReturnsTheFirstVirtualDisplayListed) {
    auto first = inf->addDisplayEx(Resolution::RES_XSS, false);
    auto second = inf->addDisplayEx(Resolution::RES_XSS, false);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(inf->removeDisplay(*first));
    auto third = inf->addDisplayEx(Resolution::RES_XSS, false);  // reuses slot 0
    ASSERT_TRUE(third);
    EXPECT_EQ(inf->findPS(), second);

    FakeDisplayService::Faults faults;
    faults.list = DisplayError::invalidConnection;
    arrangement.setFaults(faults);
    EXPECT_EQ(inf->findPS(), std::nullopt);
    EXPECT_EQ(reports.count("Error fetching active displays: invalid connection"), 1);
}

TEST_F(FakeLibraryTest, FailedLoadIsRetriedByEachAddDisplayEx) {
    auto missing = std::make_shared<PhantomScreenInf>(arrangement, DispatchQueue::main(),
                                                      "/nonexistent/libPhantomScreen.so");
    missing->initLib();
    EXPECT_FALSE(missing->isLoaded());
    EXPECT_EQ(reports.count("cannot load /nonexistent/libPhantomScreen.so"), 1);
    EXPECT_EQ(missing->addDisplayEx(Resolution::RES_XS, false), std::nullopt);
    EXPECT_EQ(reports.count("cannot load"), 2);
    EXPECT_EQ(missing->addDisplay(Resolution::RES_XS, false), std::nullopt);
    EXPECT_EQ(reports.count("addDisplay failed for HD-1920x1080, portrait: false"), 1);

    service->initService();
    EXPECT_TRUE(inf->isLoaded());
    service->destroyService();
    EXPECT_FALSE(inf->isLoaded());
    EXPECT_TRUE(service->addDisplayEx(Resolution::RES_XS, false));
}

TEST_F(FakeLibraryTest, LibraryRefusalIsReported) {
    virtuals->setRefusesSettings(true);
    EXPECT_EQ(inf->addDisplayEx(Resolution::RES_M, true), std::nullopt);
    EXPECT_EQ(reports.count("addDisplay failed for 4K-3840x2160, portrait: true"), 1);
}

TEST_F(FakeLibraryTest, EachInstanceRemovesOnlyTheDisplaysItCreated) {
    auto other =
        std::make_shared<PhantomScreenInf>(arrangement, DispatchQueue::main(), FAKE_LIBRARY_PATH);
    auto mine = inf->addDisplayEx(Resolution::RES_XSS, false);
    auto theirs = other->addDisplayEx(Resolution::RES_XSS, false);
    ASSERT_TRUE(mine && theirs);
    EXPECT_FALSE(inf->removeDisplay(*theirs));
    EXPECT_TRUE(arrangement.display(*theirs));

    // Releasing one instance's library leaves the other's loaded and working.
    other->release();
    EXPECT_FALSE(other->isLoaded());
    EXPECT_TRUE(inf->isLoaded());
    EXPECT_TRUE(inf->removeDisplay(*mine));
    EXPECT_FALSE(arrangement.display(*mine));
}

TEST_F(FakeLibraryTest, TheDelayedModeAndPlacementOfAnInstanceThatIsGoneDoNothing) {
    auto other =
        std::make_shared<PhantomScreenInf>(arrangement, DispatchQueue::main(), FAKE_LIBRARY_PATH);
    auto id = other->addDisplayEx(Resolution::RES_XS, true);
    ASSERT_TRUE(id);
    auto completedBefore = arrangement.counters().completed;
    other.reset();
    settle();
    EXPECT_EQ(arrangement.counters().completed, completedBefore);
    EXPECT_EQ(arrangement.bounds(*id).x, 4480);  // where the library put it, not moved
}

TEST(PhantomScreenInfPath, DefaultPathIsTheInstalledLibraryFolderBesideTheProgram) {
    auto path = std::filesystem::path(PhantomScreenInf::libraryPath());
    auto executable = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(path, (executable.parent_path().parent_path() / "lib" / "vantrel-link" /
                     "libPhantomScreen.so"));
    // In the build tree the real library is built exactly there.
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
}

}  // namespace
}  // namespace vl
