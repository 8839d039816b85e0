#include "platform/pasteboard/convert/RtfText.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

std::optional<std::string> text(std::string_view rtf) {
    return RtfText::plainText(
        ByteView(reinterpret_cast<const std::uint8_t*>(rtf.data()), rtf.size()));
}

TEST(RtfTextTest, HiddenTablesAndDestinationsAreLeftOut) {
    const char* rtf =
        "{\\rtf1\\ansi\\ansicpg1252\\cocoartf2709\n"
        "{\\fonttbl\\f0\\fswiss\\fcharset0 Helvetica;\\f1\\fnil Menlo;}\n"
        "{\\colortbl;\\red255\\green0\\blue0;}\n"
        "{\\*\\expandedcolortbl;;}\n"
        "{\\info{\\title Secret}{\\author Nobody}}\n"
        "{\\*\\generator Some Writer;}\n"
        "\\pard\\f0\\fs24 \\cf1 Hello {\\b bold {\\i nested}} world\\par\n"
        "Second line\\line third\\tab tabbed\\par\n"
        "}";
    EXPECT_EQ(text(rtf), "Hello bold nested world\nSecond line\nthird\ttabbed\n");
}

TEST(RtfTextTest, CodePageBytesUnicodeEscapesAndEmoji) {
    EXPECT_EQ(text("{\\rtf1\\ansi\\ansicpg1252 Caf\\'e9 na\\'efve \\'80 5}"), "Café naïve € 5");
    EXPECT_EQ(text("{\\rtf1\\ansi\\ansicpg1251 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2}"), "Привет");
    // Shift-JIS: two bytes a character, decoded together.
    EXPECT_EQ(text("{\\rtf1\\ansi\\ansicpg932 \\'93\\'fa\\'96\\'7b}"), "日本");
    // \uN with its fallback character skipped; \uc2 skips two; negative values wrap.
    EXPECT_EQ(text("{\\rtf1\\uc1 \\u26085?\\u26412?}"), "日本");
    EXPECT_EQ(text("{\\rtf1\\uc2 \\u20013\\'3f\\'3f\\u25991??x}"), "中文x");
    EXPECT_EQ(text("{\\rtf1 \\u-3913?}"), "\uF0B7");
    // An emoji as a surrogate pair.
    EXPECT_EQ(text("{\\rtf1\\uc1 smile \\u-10179?\\u-8694?}"), "smile 😊");
    // \ucN holds for its group only.
    EXPECT_EQ(text("{\\rtf1 {\\uc0 \\u233}\\u233?}"), "éé");
}

TEST(RtfTextTest, EscapesSymbolsTablesAndBinary) {
    EXPECT_EQ(text("{\\rtf1 a\\{b\\}c\\\\d\\~e\\-f\\emdash g}"), "a{b}c\\d\u00A0ef\u2014g");
    EXPECT_EQ(text("{\\rtf1 \\trowd\\cellx1000\\cellx2000 \\intbl A\\cell B\\cell\\row "
                   "\\intbl C\\cell D\\cell\\row}"),
              "A\tB\nC\tD\n");
    EXPECT_EQ(text("{\\rtf1 x{\\*\\unknowndest hidden {deeper}}y{\\pict\\bin4 {}{}}\\par z}"),
              "xy\nz");
    // A field shows its result, not its instruction.
    EXPECT_EQ(text("{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt link}}}"),
              "link");
}

TEST(RtfTextTest, MalformedOrTooDeepDocumentsGiveNothing) {
    EXPECT_FALSE(text("plain text"));
    EXPECT_FALSE(text(""));
    EXPECT_FALSE(text("{\\rtf1 unclosed {group}"));
    // Bytes after the document (padding some programs add) are ignored.
    EXPECT_EQ(text("{\\rtf1 extra}}}"), "extra");
    std::string deep = "{\\rtf1 ";
    for (int i = 0; i < 10000; ++i) deep += '{';
    deep += "x";
    for (int i = 0; i < 10000; ++i) deep += '}';
    deep += '}';
    EXPECT_FALSE(text(deep));
    std::string fine = "{\\rtf1 ";
    for (int i = 0; i < 100; ++i) fine += '{';
    fine += "x";
    for (int i = 0; i < 100; ++i) fine += '}';
    fine += '}';
    EXPECT_EQ(text(fine), "x");
    // Truncated escapes at the very end do not read past the buffer.
    EXPECT_FALSE(text("{\\rtf1 \\'e"));
    EXPECT_FALSE(text("{\\rtf1 \\u12345678901234567890"));
}

}  // namespace
}  // namespace vl
