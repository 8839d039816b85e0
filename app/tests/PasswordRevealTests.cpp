#include "app/shell/PasswordReveal.h"

#include "base/DispatchQueue.h"
#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "platform/session/fake/FakeAuthenticator.h"

#include <gtest/gtest.h>

using namespace vl;
using vl::testing::eventually;

namespace {

struct RevealFixture {
    explicit RevealFixture(std::optional<std::string> accountPassword)
        : authenticator(std::make_shared<FakeAuthenticator>(std::move(accountPassword))) {
        PasswordReveal::View view;
        view.alert = [this](const std::string& title, const std::string& text) {
            alerts.push_back(title + ": " + text);
        };
        view.askSecret = [this](const std::string& reason,
                                std::function<void(std::optional<std::string>)> answer) {
            reasons.push_back(reason);
            answer(typed);
        };
        view.setShown = [this](bool shown) { states.push_back(shown); };
        reveal = PasswordReveal::make(authenticator, view, work, ui);
    }
    void toggle() {
        ui.sync([&] { reveal->toggle(); });
    }
    bool settled() {
        bool done = false;
        ui.sync([&] { done = true; });
        work.sync([] {});
        ui.sync([] {});
        return done;
    }

    std::shared_ptr<FakeAuthenticator> authenticator;
    DispatchQueue work{"test.reveal.work"};
    DispatchQueue ui{"test.reveal.ui"};
    std::shared_ptr<PasswordReveal> reveal;
    std::optional<std::string> typed;
    std::vector<std::string> alerts, reasons;
    std::vector<bool> states;
};

TEST(PasswordReveal, WithoutAuthenticationTheAlertShowsAndThePasswordStaysHidden) {
    RevealFixture f(std::nullopt);
    f.toggle();
    ASSERT_TRUE(f.settled());
    EXPECT_EQ(f.alerts, (std::vector<std::string>{
                            "Authentication Required: Your system password is required to view "
                            "the password."}));
    EXPECT_TRUE(f.reasons.empty());
    EXPECT_TRUE(f.states.empty());
    EXPECT_FALSE(f.reveal->shown());
}

TEST(PasswordReveal, OnlyTheRightAccountPasswordShowsItAndHidingNeedsNothing) {
    vl::testing::LogCapture log;
    RevealFixture f("hunter2");
    f.typed = "wrong";
    f.toggle();
    ASSERT_TRUE(eventually([&] { return f.authenticator->attempts == 1; }));
    f.settled();
    EXPECT_FALSE(f.reveal->shown());
    EXPECT_TRUE(log.contains("Authentication failed: Authentication failure"));

    f.typed = std::nullopt;  // cancelled
    f.toggle();
    f.settled();
    EXPECT_FALSE(f.reveal->shown());
    EXPECT_EQ(f.authenticator->attempts, 1);

    f.typed = "hunter2";
    f.toggle();
    ASSERT_TRUE(eventually([&] {
        bool shown = false;
        f.ui.sync([&] { shown = f.reveal->shown(); });
        return shown;
    }));
    EXPECT_EQ(f.reasons.back(), "Authenticate to view password");
    f.toggle();  // hide: no prompt
    f.settled();
    EXPECT_FALSE(f.reveal->shown());
    EXPECT_EQ(f.reasons.size(), 3u);
    EXPECT_EQ(f.states, (std::vector<bool>{true, false}));
}

}  // namespace
