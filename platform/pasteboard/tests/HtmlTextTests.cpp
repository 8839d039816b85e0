#include "platform/pasteboard/convert/HtmlText.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

std::optional<std::string> text(std::string_view html) {
    return HtmlText::plainText(
        ByteView(reinterpret_cast<const std::uint8_t*>(html.data()), html.size()));
}

TEST(HtmlTextTest, BlocksBreaksAndWhitespaceReadAsTheyShow) {
    EXPECT_EQ(text("<meta charset='utf-8'><p>Hello   <b>bold</b>\n <i>world</i></p><p>next</p>"),
              "Hello bold world\nnext");
    EXPECT_EQ(text("<div>line<br>break</div><ul><li>one</li><li>two</li></ul><h1>Title</h1>"),
              "line\nbreak\none\ntwo\nTitle");
    EXPECT_EQ(text("<pre>keep   this\n  indented</pre>"), "keep   this\n  indented");
    EXPECT_EQ(text("<html><head><title>t</title><style>p{}</style><script>alert(1)</script>"
                   "</head><body>only this</body></html>"),
              "only this");
}

TEST(HtmlTextTest, AccentsCjkEmojiAndEntitiesAsUtf8) {
    // Clipboard HTML often comes without a charset: read as UTF-8.
    EXPECT_EQ(text("<span>Café – 日本語 😊 &amp; &lt;tag&gt; &eacute;&#x1F600;</span>"),
              "Café – 日本語 😊 & <tag> é😀");
}

TEST(HtmlTextTest, TablesSeparateCellsByTabsAndRowsByLines) {
    EXPECT_EQ(text("<table><tr><th>Name</th><th>Qty</th></tr>"
                   "<tr><td> apples </td><td>3</td></tr><tr><td>pears</td><td>5</td></tr></table>"),
              "Name\tQty\napples\t3\npears\t5");
}

TEST(HtmlTextTest, BrokenAndDeeplyNestedMarkupIsRecovered) {
    EXPECT_EQ(text("<p>unclosed <b>bold <i>both</p>after"), "unclosed bold both\nafter");
    EXPECT_EQ(text("no markup at all"), "no markup at all");
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<div>";
    deep += "bottom";
    auto result = text(deep);
    ASSERT_TRUE(result);  // the parser stops early; no crash and no hang
    EXPECT_EQ(text("").value_or(""), "");
    // UTF-16 with a byte order mark.
    const std::string utf16("\xff\xfe<\0b\0>\0h\0i\0<\0/\0b\0>\0", 18);
    EXPECT_EQ(text(utf16), "hi");
}

}  // namespace
}  // namespace vl
