#include "platform/mutter/DesktopBackendChoice.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

DesktopSessionFacts waylandFacts(std::set<std::string> names) {
    DesktopSessionFacts facts;
    facts.sessionType = "wayland";
    facts.waylandDisplay = "wayland-0";
    facts.x11Display = ":0";
    facts.sessionBusReachable = true;
    facts.sessionBusNames = std::move(names);
    return facts;
}

TEST(DesktopBackendChoice, GnomeWaylandSessionGetsMutter) {
    auto choice = chooseDesktopBackend(
        waylandFacts({"org.freedesktop.DBus", mutterScreenCastName, mutterRemoteDesktopName}));
    EXPECT_EQ(choice.backend, DesktopBackend::mutter);
    EXPECT_TRUE(choice.wayland);
    EXPECT_TRUE(choice.missing.empty());
    EXPECT_NE(choice.report.find("Mutter"), std::string::npos) << choice.report;
}

TEST(DesktopBackendChoice, WaylandSocketAloneCountsWhenSessionTypeIsUnset) {
    auto facts = waylandFacts({mutterScreenCastName, mutterRemoteDesktopName});
    facts.sessionType.clear();
    EXPECT_EQ(chooseDesktopBackend(facts).backend, DesktopBackend::mutter);
    // A session that says it is X11 stays X11 even with a stray Wayland socket around.
    facts.sessionType = "x11";
    EXPECT_EQ(chooseDesktopBackend(facts).backend, DesktopBackend::x11);
}

TEST(DesktopBackendChoice, X11SessionKeepsX11EvenWhereMutterOffersItsInterfaces) {
    // GNOME on Xorg owns the same names; the X11 backends serve that session.
    DesktopSessionFacts facts;
    facts.sessionType = "x11";
    facts.x11Display = ":1";
    facts.sessionBusReachable = true;
    facts.sessionBusNames = {mutterScreenCastName, mutterRemoteDesktopName};
    auto choice = chooseDesktopBackend(facts);
    EXPECT_EQ(choice.backend, DesktopBackend::x11);
    EXPECT_FALSE(choice.wayland);
    EXPECT_NE(choice.report.find("X11 on display :1"), std::string::npos) << choice.report;
}

TEST(DesktopBackendChoice, OtherWaylandCompositorIsToldWhatIsMissing) {
    auto choice = chooseDesktopBackend(waylandFacts({"org.freedesktop.DBus"}));
    EXPECT_EQ(choice.backend, DesktopBackend::x11);
    EXPECT_EQ(choice.missing,
              (std::vector<std::string>{mutterScreenCastName, mutterRemoteDesktopName}));
    EXPECT_NE(choice.report.find(mutterScreenCastName), std::string::npos) << choice.report;
    EXPECT_NE(choice.report.find(mutterRemoteDesktopName), std::string::npos) << choice.report;
    EXPECT_NE(choice.report.find("Desktop backend: X11 on :0"), std::string::npos) << choice.report;
    EXPECT_NE(choice.report.find("audio, microphone and camera run"), std::string::npos);

    // Only one of the two is not enough, and the report names just the absent one.
    choice = chooseDesktopBackend(waylandFacts({mutterScreenCastName}));
    EXPECT_EQ(choice.backend, DesktopBackend::x11);
    EXPECT_EQ(choice.missing, (std::vector<std::string>{mutterRemoteDesktopName}));
    EXPECT_EQ(choice.report.find(std::string(mutterScreenCastName) + ","), std::string::npos);
}

TEST(DesktopBackendChoice, WaylandWithoutXwaylandOrBusSaysWhatStillRuns) {
    auto facts = waylandFacts({});
    facts.x11Display.clear();
    facts.sessionBusReachable = false;
    auto choice = chooseDesktopBackend(facts);
    EXPECT_EQ(choice.backend, DesktopBackend::x11);
    EXPECT_EQ(choice.missing.size(), 2u);
    EXPECT_NE(choice.report.find("no session bus"), std::string::npos) << choice.report;
    EXPECT_NE(choice.report.find("no X display: only audio, microphone and camera run"),
              std::string::npos)
        << choice.report;
}

}  // namespace
}  // namespace vl
