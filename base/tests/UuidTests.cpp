#include "base/Bytes.h"
#include "base/Uuid.h"

#include <gtest/gtest.h>

#include <set>

using namespace vl;

TEST(Uuid, TextIsUpperCaseCanonicalOrderAndParsesBack) {
    auto parsed = Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->bytes()[0], 0xE6);
    EXPECT_EQ(parsed->bytes()[15], 0x5F);
    EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(Uuid::fromString("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5G"));
    EXPECT_FALSE(Uuid::fromString("E621E1F8+C36C-495A-93FC-0C247A3E6E5F"));
}

TEST(Uuid, RandomAreVersionFourAndDistinct) {
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        Uuid u = Uuid::random();
        EXPECT_EQ(u.bytes()[6] >> 4, 4);
        EXPECT_EQ(u.bytes()[8] >> 6, 2);
        EXPECT_EQ(Uuid::fromString(u.uuidString()), u);
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Utf8, AcceptsWellFormedAndRefusesMalformed) {
    EXPECT_TRUE(isValidUtf8(bytesOf("plain ascii")));
    EXPECT_TRUE(isValidUtf8(bytesOf("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x9F\xA5")));  // é € 🟥
    for (std::string bad : {"\xC3", "\xE2\x82", "\xC0\x80", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80",
                            "\x80", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(isValidUtf8(bytesOf(bad)));
}
