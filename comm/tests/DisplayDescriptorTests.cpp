#include "comm/DisplayDescriptor.h"

#include "base/Base64.h"

#include <gtest/gtest.h>

using namespace vl;

namespace {

std::optional<DisplayDescriptor> parse(std::string_view text) {
    return parseDisplayDescriptor(text);
}

}  // namespace

TEST(DisplayDescriptor, PlainSizeDefaultsToThirtyFpsLandscapeNoHdr) {
    auto d = parse("1920x1080");
    ASSERT_TRUE(d);
    EXPECT_EQ(*d, (DisplayDescriptor{1920, 1080, 30, false, false}));
}

TEST(DisplayDescriptor, TheDocumentedExample) {
    EXPECT_EQ(parse("2560x1440@60 HDR portrait:false"),
              (DisplayDescriptor{2560, 1440, 60, true, false}));
}

TEST(DisplayDescriptor, SizeIsTheFirstDigitsXDigits) {
    EXPECT_FALSE(parse("no size here"));
    EXPECT_FALSE(parse("1920 x 1080"));
    EXPECT_FALSE(parse("x1080"));
    EXPECT_FALSE(parse("1920x"));
    EXPECT_FALSE(parse("1920X1080"));
    EXPECT_FALSE(parse(""));
    EXPECT_EQ(parse("res=800x600 then 1920x1080")->width, 800);
    EXPECT_EQ(parse("v2.12x7")->width, 12);
    auto d = parse("1x2x3");
    EXPECT_EQ(d->width, 1);
    EXPECT_EQ(d->height, 2);
    EXPECT_EQ(parse("a12b345x678c")->width, 345);
    EXPECT_EQ(parse("0001920x01080")->height, 1080);
}

TEST(DisplayDescriptor, ASizeThatOverflowsIsNoValidSize) {
    EXPECT_FALSE(parse("99999999999x1080"));
    EXPECT_FALSE(parse("1920x2147483648"));
    EXPECT_FALSE(parse("2147483648x1 1920x1080"));  // only the first match counts
    EXPECT_EQ(parse("2147483647x1")->width, 2147483647);
}

TEST(DisplayDescriptor, FrameRateKeepsTheFourRatesAndClampsTheRest) {
    EXPECT_EQ(parse("1920x1080@120")->fps, 90);
    EXPECT_EQ(parse("1920x1080@24")->fps, 30);
    EXPECT_EQ(parse("1920x1080@45")->fps, 45);
    EXPECT_EQ(parse("1920x1080@48")->fps, 48);
    EXPECT_EQ(parse("1920x1080@90")->fps, 90);
    EXPECT_EQ(parse("1920x1080@0")->fps, 30);
    EXPECT_EQ(parse("1920x1080@31")->fps, 31);
    EXPECT_EQ(parse("1920x1080@89")->fps, 89);
    EXPECT_EQ(parse("1920x1080@060")->fps, 60);
    EXPECT_EQ(parse("1920x1080@")->fps, 30);
    EXPECT_EQ(parse("1920x1080@fast @60")->fps, 60);  // the first "@" followed by digits
    EXPECT_EQ(parse("1920x1080@9999999999")->fps, 90);
    EXPECT_EQ(parse("1920x1080@99999999999999999999")->fps, 30);  // unreadable
    EXPECT_EQ(parse("@60 1920x1080")->fps, 60);
}

TEST(DisplayDescriptor, HdrAnywhereAndCaseSensitive) {
    EXPECT_TRUE(parse("3840x2160@60HDR")->hdr);
    EXPECT_TRUE(parse("HDR3840x2160")->hdr);
    EXPECT_FALSE(parse("3840x2160 hdr")->hdr);
}

TEST(DisplayDescriptor, PortraitWhenTheFirstPortraitWordEndsWithTrue) {
    EXPECT_TRUE(parse("1920x1080 portrait:true")->portrait);
    EXPECT_FALSE(parse("1920x1080 portrait:False")->portrait);
    EXPECT_FALSE(parse("1920x1080 portrait:True")->portrait);
    EXPECT_FALSE(parse("1920x1080 portrait:false")->portrait);
    EXPECT_TRUE(parse("1920x1080 portrait:untrue")->portrait);
    EXPECT_FALSE(parse("1920x1080 portrait:trueish")->portrait);
    EXPECT_FALSE(parse("1920x1080 portrait: true")->portrait);
    EXPECT_TRUE(parse("1920x1080 portrait: portrait:true")->portrait);  // first with a word
    EXPECT_FALSE(parse("1920x1080 portrait:false portrait:true")->portrait);
    EXPECT_FALSE(parse("1920x1080 Portrait:true")->portrait);
}

TEST(DisplayDescriptor, PayloadIsBase64OfUtf8) {
    auto payload = bytesOf(base64Encode("2560x1440@60 HDR portrait:true"));
    EXPECT_EQ(decodeDisplayDescriptor(payload), (DisplayDescriptor{2560, 1440, 60, true, true}));
    EXPECT_EQ(displayDescriptorText(payload), "2560x1440@60 HDR portrait:true");
    EXPECT_FALSE(displayDescriptorText(bytesOf("1920x1080")));  // not Base64
    EXPECT_FALSE(decodeDisplayDescriptor(bytesOf("1920x1080")));
    EXPECT_FALSE(displayDescriptorText(bytesOf(base64Encode("\xC3"))));  // not UTF-8
    EXPECT_EQ(displayDescriptorText(bytesOf(base64Encode("no size"))), "no size");
    EXPECT_FALSE(decodeDisplayDescriptor(bytesOf(base64Encode("no size"))));
}

TEST(DisplayDescriptor, TextParsesBack) {
    for (DisplayDescriptor d :
         {DisplayDescriptor{1920, 1080, 30, false, false},
          DisplayDescriptor{3840, 2160, 90, true, true}, DisplayDescriptor{0, 0, 45, false, true}})
        EXPECT_EQ(decodeDisplayDescriptor(d.encode()), d) << d.text();
}

TEST(DisplayDescriptor, HugeInputIsScannedWithoutTrouble) {
    std::string text(4 << 20, '9');
    text += "@";
    text += std::string(1 << 20, 'p');
    EXPECT_FALSE(parse(text));
    text += " 1x1";
    EXPECT_EQ(parse(text)->width, 1);
}

TEST(ShareIdentity, DisplayStopTakesBase64OrTheRawText) {
    const std::string id = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    EXPECT_EQ(decodeShareIdentityText(encodeShareIdentityText(id)), id);
    EXPECT_EQ(decodeShareIdentityText(bytesOf(id)), id);  // not Base64: the bytes themselves
    // "abcd" is Base64 of 69 B7 1D, which is not UTF-8: the bytes themselves are the id.
    EXPECT_EQ(decodeShareIdentityText(bytesOf("abcd")), "abcd");
    EXPECT_FALSE(decodeShareIdentityText(Bytes{0xFF, 0xFE, 0x00}));
    EXPECT_EQ(decodeShareIdentityText({}), "");
}

TEST(ShareIdentity, RdpVideoTakesPlainUtf8) {
    EXPECT_EQ(decodePlainShareIdentity(bytesOf("ABC-123")), "ABC-123");
    EXPECT_EQ(decodePlainShareIdentity(bytesOf("QUJD")), "QUJD");  // never Base64-decoded
    EXPECT_FALSE(decodePlainShareIdentity(Bytes{0xC3}));
}

TEST(ConnectAnswer, IsTheIdABarAndTheMachineName) {
    EXPECT_EQ(connectAnswerText("A1", "mac"), bytesOf("A1|mac"));
    EXPECT_EQ(connectAnswerText("A1", "mac").size(), 6u);
    auto parts = parseConnectAnswer(bytesOf("A1|my|mac"));
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->first, "A1");
    EXPECT_EQ(parts->second, "my|mac");
    EXPECT_FALSE(parseConnectAnswer(bytesOf("no bar")));
}
