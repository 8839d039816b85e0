#include "comm/Der.h"

#include <gtest/gtest.h>

using namespace vl;
using namespace std::chrono;

namespace {

std::string hex(ByteView bytes) {
    std::string out;
    char digits[4];
    for (auto b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        out += digits;
    }
    return out;
}

TEST(Der, LengthsUseTheShortestForm) {
    EXPECT_EQ(hex(derLength(0)), "00");
    EXPECT_EQ(hex(derLength(127)), "7F");
    EXPECT_EQ(hex(derLength(128)), "8180");
    EXPECT_EQ(hex(derLength(255)), "81FF");
    EXPECT_EQ(hex(derLength(256)), "820100");
    EXPECT_EQ(hex(derLength(65535)), "82FFFF");
}

TEST(Der, IntegersStayPositiveAndOidsUseBase128) {
    EXPECT_EQ(hex(derInteger(Bytes{0x80})), "02020080");
    EXPECT_EQ(hex(derInteger(Bytes{0x01})), "020101");
    EXPECT_EQ(hex(derOID({1, 2, 840, 113549, 1, 1, 11})), "06092A864886F70D01010B");
    EXPECT_EQ(hex(derOID({2, 5, 4, 3})), "0603550403");
    EXPECT_EQ(hex(derOID({1})), "0600");
    EXPECT_EQ(hex(derExplicitTag(0, derInteger(Bytes{0x02}))), "A003020102");
    EXPECT_EQ(hex(sha256WithRSAEncryptionAlgorithm()), "300D06092A864886F70D01010B0500");
    EXPECT_EQ(hex(rsaEncryptionAlgorithm()), "300D06092A864886F70D0101010500");
    EXPECT_EQ(hex(derNULL()), "0500");
    EXPECT_EQ(hex(derUTF8String("ab")), "0C026162");
}

TEST(Der, ValidityIsTenCalendarYearsInUtcTime) {
    auto now = sys_days{2026y / December / 7} + 10h + 5min + 9s;
    Bytes validity = derValidity(now);
    ASSERT_EQ(validity.size(), 32u);
    EXPECT_EQ(hex(ByteView(validity).first(2)), "301E");
    EXPECT_EQ(stringOf(ByteView(validity).subspan(4, 13)), "261207100509Z");
    EXPECT_EQ(stringOf(ByteView(validity).subspan(19, 13)), "361207100509Z");
    EXPECT_EQ(validity[2], 0x17);
    EXPECT_EQ(validity[17], 0x17);

    // Calendar years, not 3650 days: a leap day ten years on is the end of February.
    Bytes leap = derValidity(sys_days{2028y / February / 29} + 23h + 59min + 59s);
    EXPECT_EQ(stringOf(ByteView(leap).subspan(4, 13)), "280229235959Z");
    EXPECT_EQ(stringOf(ByteView(leap).subspan(19, 13)), "380228235959Z");

    // Ten years on from 2041 is past UTCTime's range: 2051 would read as 1951.
    Bytes late = derValidity(sys_days{2041y / March / 1});
    ASSERT_EQ(late.size(), 34u);
    EXPECT_EQ(late[2], 0x17);
    EXPECT_EQ(stringOf(ByteView(late).subspan(4, 13)), "410301000000Z");
    EXPECT_EQ(hex(ByteView(late).subspan(17, 2)), "180F");
    EXPECT_EQ(stringOf(ByteView(late).subspan(19, 15)), "20510301000000Z");
}

}  // namespace
