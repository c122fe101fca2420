#include "platform/text.h"

#include <gtest/gtest.h>

namespace tdb {
namespace {

TEST(TextTest, RoundTripsHungarianAndAstralText) {
    const std::u16string text = u"Őriszentpéter, Győr \U0001F4EE";
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(u"ő"), "\xC5\x91");
}

TEST(TextTest, BrokenInputBecomesReplacementCharacters) {
    struct Case {
        std::string utf8;
        std::u16string expected;
    };
    const Case cases[] = {
        {"a\xC5", u"a\uFFFD"},              // truncated sequence at the end
        {"\xC0\xAF", u"\uFFFD\uFFFD"},      // overlong encoding of '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xFF" "b", u"\uFFFDb"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FromUtf8(c.utf8), c.expected) << c.utf8;
    }
    EXPECT_EQ(ToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace tdb
