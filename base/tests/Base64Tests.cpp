#include "base/Base64.h"

#include <gtest/gtest.h>

using namespace vl;

TEST(Base64, EncodesWithPaddingAndRoundTrips) {
    EXPECT_EQ(base64Encode(std::string_view("abc")), "YWJj");
    EXPECT_EQ(base64Encode(std::string_view("ab")), "YWI=");
    EXPECT_EQ(base64Encode(std::string_view("a")), "YQ==");
    EXPECT_EQ(base64Encode(std::string_view("")), "");
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
    for (std::size_t n = 0; n <= all.size(); n += 37) {
        Bytes part(all.begin(), all.begin() + n);
        EXPECT_EQ(base64Decode(base64Encode(part)), part) << n;
    }
}

TEST(Base64, StrictDecodingRefusesAnythingNonCanonical) {
    EXPECT_EQ(base64Decode(std::string_view("RXozS3Ekdm4=")), bytesOf("Ez3Kq$vn"));
    EXPECT_EQ(base64Decode(std::string_view("")), Bytes{});
    for (const char* bad : {"YWJ", "YW=j", "Y===", "YWJj\n", "YW J", "YWI", "YWJ-",
                            "YR==", "YWJ=YWJj", "====", "YWJ%"})
        EXPECT_FALSE(base64Decode(std::string_view(bad)).has_value()) << bad;
}
