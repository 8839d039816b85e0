#include "base/NotificationCenter.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vl;

TEST(NotificationCenter, DeliversSynchronouslyOnThePostingThreadToMatchingNamesOnly) {
    NotificationCenter center;
    std::vector<std::string> seen;
    std::thread::id deliveredOn;
    auto a = center.addObserver("clientConnect", [&](const std::any& object) {
        deliveredOn = std::this_thread::get_id();
        seen.push_back("connect:" + std::any_cast<std::string>(object));
    });
    center.addObserver("clientDisconnect", [&](const std::any&) { seen.push_back("disconnect"); });

    center.post("clientConnect", std::string("device"));
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    center.removeObserver(a);
    center.post("clientConnect", std::string("again"));
    center.post("clientDisconnect");
    EXPECT_EQ(seen, (std::vector<std::string>{"connect:device", "disconnect"}));
}

TEST(NotificationCenter, ObserverMayRemoveItselfWhileBeingCalled) {
    NotificationCenter center;
    int calls = 0;
    NotificationCenter::Token token = 0;
    token = center.addObserver("x", [&](const std::any&) {
        ++calls;
        center.removeObserver(token);
    });
    center.post("x");
    center.post("x");
    EXPECT_EQ(calls, 1);
}
