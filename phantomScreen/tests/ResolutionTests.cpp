#include "phantomScreen/Resolution.h"
#include "phantomScreen/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace vl {
namespace {

TEST(Resolution, FromSizeMatchesLandscapeRowsOnly) {
    EXPECT_EQ(Resolution::from(1080, 1920), Resolution::RES_XS);
    EXPECT_EQ(Resolution::from(3440, 1440), Resolution::RES_S2);
    EXPECT_EQ(Resolution::from(8160, 7200), Resolution::RES_XXL);
    EXPECT_EQ(Resolution::from(0, -5), Resolution::RES_XS);
}

TEST(Resolution, RawValuesDescriptionsAndModeOrder) {
    EXPECT_FALSE(Resolution::fromRawValue(24));
    EXPECT_EQ(Resolution::fromRawValue(54), Resolution::RES_L);
    EXPECT_EQ(Resolution(Resolution::RES_XSS).description(), "HD720-1280x720");
    EXPECT_EQ(Resolution(Resolution::RES_S2).description(), "4K-3440x1440");
    EXPECT_EQ(Resolution(Resolution::RES_XXL).description(), "HDR 8KI-8160x7200");

    const std::vector<std::int32_t> codes = {23, 38, 82, 79, 54, 88, 99, 101, 102, 103};
    std::unordered_set<Resolution> distinct;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        auto r = Resolution::allCases()[i];
        EXPECT_EQ(r.rawValue(), codes[i]);
        EXPECT_EQ(r.modeIndex(), int(i));
        distinct.insert(r);
    }
    EXPECT_EQ(distinct.size(), 10u);
    EXPECT_EQ(Resolution(Resolution::RES_S3).resolution(), std::make_pair(5120, 2880));
}

}  // namespace
}  // namespace vl

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vl::testing::MainLoopEnvironment);
    return RUN_ALL_TESTS();
}
