#include "platform/notify/sdbus/SdBusNotifyCenter.h"

#include "base/testing/Eventually.h"
#include "platform/notify/testing/PrivateSessionBus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <vector>

using namespace vl;
using namespace std::chrono_literals;

namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::string> names;
    void add(const std::string& name) {
        std::lock_guard lock(mutex);
        names.push_back(name);
    }
    std::vector<std::string> get() {
        std::lock_guard lock(mutex);
        return names;
    }
};

class SdBusNotifyCenterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus) << "dbus-daemon could not be started";
        poster = SdBusNotifyCenter::open(bus->address());
        listener = SdBusNotifyCenter::open(bus->address());
        ASSERT_TRUE(poster && listener);
    }
    std::optional<vl::testing::PrivateSessionBus> bus = vl::testing::PrivateSessionBus::start();
    std::unique_ptr<SdBusNotifyCenter> poster;
    std::unique_ptr<SdBusNotifyCenter> listener;
};

TEST_F(SdBusNotifyCenterTest, AnotherConnectionSeesOnlyTheNamesItObservesUntilItStops) {
    Seen shows, stops;
    auto show = listener->addObserver("com.corvane.cam.persona.showDevice",
                                      [&](const std::string& name) { shows.add(name); });
    auto stop = listener->addObserver("com.corvane.cam.persona.format.stop",
                                      [&](const std::string& name) { stops.add(name); });
    ASSERT_TRUE(show && stop);

    EXPECT_TRUE(poster->post("com.corvane.cam.persona.hideDevice"));
    EXPECT_TRUE(poster->post("com.corvane.cam.persona.showDevice"));
    ASSERT_TRUE(vl::testing::eventually([&] { return shows.get().size() == 1; }, 5s));
    EXPECT_EQ(shows.get()[0], "com.corvane.cam.persona.showDevice");

    listener->removeObserver(*show);
    EXPECT_TRUE(poster->post("com.corvane.cam.persona.showDevice"));
    EXPECT_TRUE(poster->post("com.corvane.cam.persona.format.stop"));
    ASSERT_TRUE(vl::testing::eventually([&] { return stops.get().size() == 1; }, 5s));
    // Signals arrive in order: the stop came after the second show, which nobody watched.
    EXPECT_EQ(shows.get().size(), 1u);
}

TEST_F(SdBusNotifyCenterTest, APosterSeesItsOwnNameAndAHandlerMayPostAndRemoveItself) {
    Seen echoes;
    std::optional<NotifyCenter::Token> ping;
    ping = poster->addObserver("ping", [&](const std::string&) {
        poster->removeObserver(*ping);
        poster->post("pong");
    });
    auto pong = poster->addObserver("pong", [&](const std::string& name) { echoes.add(name); });
    ASSERT_TRUE(ping && pong);
    poster->post("ping");
    ASSERT_TRUE(vl::testing::eventually([&] { return echoes.get().size() == 1; }, 5s));
    poster->post("ping");  // no longer observed: no second pong
    poster->post("pong");
    ASSERT_TRUE(vl::testing::eventually([&] { return echoes.get().size() == 2; }, 5s));
}

TEST_F(SdBusNotifyCenterTest, AnIndependentSenderReachesTheObserverAndBadNamesAreRefused) {
    Seen seen;
    ASSERT_TRUE(listener->addObserver("com.corvane.cam.persona.format.1280x720",
                                      [&](const std::string& name) { seen.add(name); }));
    EXPECT_FALSE(listener->addObserver("a',arg0='b", [](const std::string&) {}));
    const std::string command =
        "dbus-send --bus='" + bus->address() + "' --type=signal " + SdBusNotifyCenter::objectPath +
        " " + SdBusNotifyCenter::interfaceName + "." + SdBusNotifyCenter::memberName +
        " string:com.corvane.cam.persona.format.1280x720";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(vl::testing::eventually([&] { return seen.get().size() == 1; }, 5s));
}

}  // namespace
