#include "platform/display/x11/RandrScreen.h"

#include <gtest/gtest.h>

namespace vl::x11 {
namespace {

TEST(VirtualIdentityRecord, RoundTripsAndSkipsMalformedLines) {
    std::vector<VirtualIdentity> identities = {{0x44, 2028, 1217, 171111, "Corvane"},
                                               {0x45, 2028, 1217, 171112, "Corvane 1 2"}};
    EXPECT_EQ(decodeIdentities(encodeIdentities(identities)), identities);

    auto decoded = decodeIdentities(
        "garbage\n0 2028 1217 1 zero-output\n70 2028\n71 1 2 99999999999 too-big\n"
        "72 2028 1217 171113 ok\n");
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].output, 72u);
    EXPECT_EQ(decoded[0].name, "ok");
}

TEST(VirtualIdentityRecord, NamesCannotBreakTheLineFormat) {
    auto decoded = decodeIdentities(encodeIdentities({{9, 1, 2, 3, "a\n10 2028 1217 5 x"}}));
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].output, 9u);
}

}  // namespace
}  // namespace vl::x11
