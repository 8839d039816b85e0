#include "app/SettingsSchema.h"
#include "platform/defaults/fake/MemoryDefaults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vl {
namespace {

Setting setting(std::string_view key) {
    return *findSetting(key);
}

std::string refusal(const ParsedSetting& parsed) {
    const auto* refused = std::get_if<SettingRefusal>(&parsed);
    return refused ? refused->reason : "(accepted)";
}

TEST(SettingsSchemaTest, ValuesAreCheckedAgainstTheirKindAndStoredAsTheServerReadsThem) {
    EXPECT_EQ(refusal(parseSetting(setting("controlport"), "65527")),
              "is a number from 1 to 65526");
    EXPECT_EQ(refusal(parseSetting(setting("controlport"), "80 ")), "is a number from 1 to 65526");
    EXPECT_EQ(std::get<std::string>(
                  std::get<DefaultsValue>(parseSetting(setting("controlport"), "+9000"))),
              "9000");
    EXPECT_EQ(refusal(parseSetting(setting("password"), "")), "must not be empty");
    EXPECT_EQ(refusal(parseSetting(setting("commandkey"), "meta")), "is control or super");
    EXPECT_EQ(refusal(parseSetting(setting("keepawake"), "yes")), "is true or false");
    EXPECT_EQ(std::get<bool>(std::get<DefaultsValue>(parseSetting(setting("keepawake"), "false"))),
              false);
    // An empty session command goes back to our own session.
    EXPECT_TRUE(
        std::holds_alternative<std::monostate>(parseSetting(setting("desktopsession"), "")));
    EXPECT_FALSE(findSetting("audioport"));
}

TEST(SettingsSchemaTest, AHandEditedValueOutsideItsRuleFallsBackWithOneReport) {
    MemoryDefaults defaults;
    std::vector<std::string> reports;
    auto report = [&](const std::string& text) { reports.push_back(text); };

    EXPECT_EQ(numberSetting(defaults, "scrollpixelsperclick", report), 50);
    EXPECT_EQ(choiceSetting(defaults, "commandkey", report), "control");
    EXPECT_TRUE(reports.empty());

    defaults.set("scrollpixelsperclick", std::string("120"));
    defaults.set("accessibilitytimeoutms", std::string("5000"));
    defaults.set("commandkey", std::string("super"));
    EXPECT_EQ(numberSetting(defaults, "scrollpixelsperclick", report), 120);
    EXPECT_EQ(numberSetting(defaults, "accessibilitytimeoutms", report), 10);
    EXPECT_EQ(choiceSetting(defaults, "commandkey", report), "super");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0],
              "Setting accessibilitytimeoutms \"5000\" is not a number from 1 to 2000; using 10");
}

}  // namespace
}  // namespace vl
