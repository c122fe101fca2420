// Prefix ranges of string types: the lower and the upper prefix bound of a LIKE
// prefix must enclose every value the pattern matches, under locale collations
// and the built-in one, for every prefix of every settlement name.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/text.h"
#include "settlement_names.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using test_data::SettlementNames;

// Lower case without accents: a name can match a prefix only when its fold begins
// with the prefix's fold, which narrows the names worth asking the collation about.
std::u16string Fold(std::u16string_view text) {
    static const std::u16string_view from = u"áéíóöőúüűÁÉÍÓÖŐÚÜŰ";
    static const std::u16string_view to = u"aeiooouuuaeiooouuu";
    std::u16string out;
    for (char16_t c : text) {
        const auto at = from.find(c);
        if (at != std::u16string_view::npos) {
            c = to[at];
        } else if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        out += c;
    }
    return out;
}

struct TRangeCase {
    const char* label;
    TTdbColumnType columnType;
    const char16_t* collation;
};

void PrintTo(const TRangeCase& c, std::ostream* os) {
    *os << c.label;
}

class PrefixRange : public ::testing::TestWithParam<TRangeCase> {};

TEST_P(PrefixRange, HoldsEveryNameThePatternMatches) {
    const TRangeCase& c = GetParam();
    const TTdbStringType* type = TTdbDataType::GetStringType(c.columnType, true, 60, c.collation);
    const auto names = SettlementNames();
    ASSERT_GT(names.size(), 3000u);
    std::vector<std::pair<std::u16string, std::u16string>> folded;  // fold, name
    for (const auto& n : names) {
        folded.emplace_back(Fold(n), n);
    }
    std::sort(folded.begin(), folded.end());
    std::set<std::u16string> prefixes;
    for (const auto& n : names) {
        for (std::size_t len = 1; len <= n.size(); ++len) {
            prefixes.insert(n.substr(0, len));
        }
    }

    TTdbDataValue name;
    TTdbDataValue pattern;
    TTdbDataValue lower;
    TTdbDataValue upper;
    std::size_t matched = 0;
    std::size_t belowLower = 0;
    std::vector<std::string> firstMisses;
    for (const auto& p : prefixes) {
        type->SetWideString(pattern, p + u'%');
        type->SetWideString(lower, p);
        type->GetMinimumFill(lower);
        type->SetWideString(upper, p);
        type->GetMaximumFill(upper);
        const std::u16string fp = Fold(p);
        for (auto it = std::lower_bound(folded.begin(), folded.end(),
                                        std::make_pair(fp, std::u16string()));
             it != folded.end() && it->first.starts_with(fp); ++it) {
            type->SetWideString(name, it->second);
            if (!type->Matches(name, pattern, type, u'%', u'_', 0)) {
                continue;
            }
            ++matched;
            if (TTdbDataType::Compare(name, lower, type, type) == kCompareLess) {
                ++belowLower;
                if (firstMisses.size() < 5) {
                    firstMisses.push_back(ToUtf8(it->second) + " below " + ToUtf8(p));
                }
            }
            ASSERT_EQ(TTdbDataType::Compare(name, upper, type, type), kCompareLess)
                << ToUtf8(it->second) << " / " << ToUtf8(p);
        }
    }
    EXPECT_GT(matched, names.size());
    EXPECT_EQ(belowLower, 0u) << ::testing::PrintToString(firstMisses);
}

INSTANTIATE_TEST_SUITE_P(
    Collations, PrefixRange,
    ::testing::Values(TRangeCase{"HungarianWide", ctWideString, u"Hungarian"},
                      TRangeCase{"HungarianAnsi", ctString, u"Hungarian"},
                      TRangeCase{"HungarianCaseSensitive", ctWideString, u"Hungarian_CS"},
                      TRangeCase{"BuiltIn", ctWideString, u""},
                      TRangeCase{"BuiltInCaseSensitive", ctWideString, u"TableDB_CS"}),
    [](const auto& info) { return std::string(info.param.label); });

// Points of one order: plain strings, lower bounds (two NULs) and upper bounds (one
// NUL), in the order each collation must keep them.
TEST(PrefixBounds, LowerBoundsOrderWithStringsAndUpperBounds) {
    for (const char16_t* collation : {u"Hungarian", u""}) {
        SCOPED_TRACE(ToUtf8(collation));
        const TTdbStringType* type = TTdbDataType::GetStringType(ctWideString, true, 20, collation);
        auto point = [&](std::u16string_view text, int kind) {
            TTdbDataValue value;
            type->SetWideString(value, text);
            if (kind < 0) {
                type->GetMinimumFill(value);
            } else if (kind > 0) {
                type->GetMaximumFill(value);
            }
            return value;
        };
        // Ascending: every point is below the next one.
        const std::pair<std::u16string_view, int> ordered[] = {
            {u"B", -1},   {u"B", 0},   {u"Bó", -1},   {u"bo", 0}, {u"Boc", 0},
            {u"Bócs", 0}, {u"Bód", 0}, {u"Bo", 1},    {u"C", -1}, {u"C", 1},
            {u"Ö", -1},   {u"Öcs", 0}, {u"öcsöd", 0}, {u"Ö", 1},
        };
        for (std::size_t i = 0; i < std::size(ordered); ++i) {
            for (std::size_t j = 0; j < std::size(ordered); ++j) {
                const TTdbDataValue a = point(ordered[i].first, ordered[i].second);
                const TTdbDataValue b = point(ordered[j].first, ordered[j].second);
                const int expected =
                    i < j ? kCompareLess : (i == j ? kCompareEqual : kCompareGreater);
                EXPECT_EQ(TTdbDataType::Compare(a, b, type, type), expected)
                    << i << " against " << j;
            }
        }
    }
    // The fault the lower bound mends: at secondary strength «Öcs» sorts below «Őcs»,
    // and LIKE 'Őcs%' matches it.
    const TTdbStringType* hu = TTdbDataType::GetStringType(ctWideString, true, 20, u"Hungarian");
    TTdbDataValue name;
    TTdbDataValue prefix;
    hu->SetWideString(name, u"Öcs");
    hu->SetWideString(prefix, u"Őcs");
    EXPECT_EQ(TTdbDataType::Compare(name, prefix, hu, hu), kCompareLess);
    hu->GetMinimumFill(prefix);
    EXPECT_EQ(TTdbDataType::Compare(name, prefix, hu, hu), kCompareGreater);
}

TEST(PrefixBounds, LowerBoundWithoutRoomDropsCharacters) {
    const TTdbStringType* type = TTdbDataType::GetStringType(ctWideString, true, 5, u"Hungarian");
    TTdbDataValue lower;
    type->SetWideString(lower, u"Budap");
    type->GetMinimumFill(lower);
    EXPECT_EQ(type->GetWideString(lower), std::u16string(u"Bud\0\0", 5));
    TTdbDataValue name;
    type->SetWideString(name, u"Budap");
    EXPECT_EQ(TTdbDataType::Compare(name, lower, type, type), kCompareGreater);

    const TTdbStringType* tiny = TTdbDataType::GetStringType(ctWideString, true, 1, u"");
    tiny->SetWideString(lower, u"B");
    tiny->GetMinimumFill(lower);
    EXPECT_EQ(tiny->GetWideString(lower), u"");

    type->SetNull(lower);
    type->GetMinimumFill(lower);
    EXPECT_TRUE(type->IsNull(lower));
}

}  // namespace
}  // namespace tdb
