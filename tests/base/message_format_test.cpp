// Checks message formatting: placeholders, widths and the failures that error
// handling must catch.
#include "base/message_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/text.h"

namespace tdb {
namespace {

struct FormatCase {
    const char* name;
    std::u16string format;
    TdbFormatArgs args;
    std::optional<std::u16string> expected;  // nothing: formatting fails
};

TEST(MessageFormatTest, FormatsOrReportsFailure) {
    const std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    const std::uint64_t maximum = std::numeric_limits<std::uint64_t>::max();
    const FormatCase cases[] = {
        {"no placeholders", u"Record not found", {}, u"Record not found"},
        {"text", u"Cannot open file \"%s\"", {u"Irsz.tdbt"}, u"Cannot open file \"Irsz.tdbt\""},
        {"two texts",
         u"\"%s\" expected but \"%s\" found",
         {u")", u"END"},
         u"\")\" expected but \"END\" found"},
        {"three integers",
         u"String type has a length of %d, which is outside the allowed range of %d to %d",
         {0, 1, 255},
         u"String type has a length of 0, which is outside the allowed range of 1 to 255"},
        {"mixed", u"%s:%d", {u"TELEP", -19}, u"TELEP:-19"},
        {"percent", u"100%% of %s", {u"Irsz"}, u"100% of Irsz"},
        {"only percent", u"%%", {}, u"%"},
        {"empty format", u"", {u"x"}, u""},
        {"smallest integer", u"%d", {minimum}, u"-9223372036854775808"},
        {"largest unsigned",
         u"%d|%u",
         {maximum, maximum},
         u"18446744073709551615|18446744073709551615"},
        {"width", u"[%5d][%-5d][%4s][%-4s]", {42, 42, u"ab", u"ab"}, u"[   42][42   ][  ab][ab  ]"},
        {"narrow width", u"[%2s]", {u"Budapest"}, u"[Budapest]"},
        {"precision",
         u"[%.4d][%.4d][%.3s][%6.2s]",
         {7, -7, u"Szeged", u"Pécs"},
         u"[0007][-0007][Sze][    Pé]"},
        {"precision keeps surrogate pairs whole", u"%.2s", {u"a\U0001F4EEb"}, u"a"},
        {"hex and unsigned", u"%x %X %u", {255, 255, 4000000000u}, u"ff FF 4000000000"},
        {"surplus arguments are ignored", u"Record not found", {u"x", 5}, u"Record not found"},
        {"surplus after a used one",
         u"Table \"%s\" not found",
         {u"Irsz", u"extra"},
         u"Table \"Irsz\" not found"},
        {"too few arguments", u"Value %s of type %s", {u"5"}, std::nullopt},
        {"no arguments", u"Cannot open file \"%s\"", {}, std::nullopt},
        {"integer for text", u"Table \"%s\" not found", {5}, std::nullopt},
        {"text for integer", u"length %d", {u"5"}, std::nullopt},
        {"negative for unsigned", u"%u", {-1}, std::nullopt},
        {"negative for hex", u"%x", {-1}, std::nullopt},
        {"unknown conversion", u"%q", {u"x"}, std::nullopt},
        {"lone percent at the end", u"50%", {}, std::nullopt},
        {"width beyond limit", u"%99999s", {u"x"}, std::nullopt},
        {"precision beyond limit", u"%.99999d", {1}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TryFormatMessage(c.format, c.args), c.expected) << c.name;
    }
}

TEST(MessageFormatTest, WidthAtTheLimitIsHonoured) {
    const auto text = TryFormatMessage(u"%4096s", {u"x"});
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->size(), 4096u);
    EXPECT_EQ(text->back(), u'x');
}

}  // namespace
}  // namespace tdb
