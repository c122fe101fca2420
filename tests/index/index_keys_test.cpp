// Index keys: entries built from records, text and partial values, and the order IndexLess gives
// them, over column types, table levels, collations and damaged keys.
#include "index/index_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "base/byte_image.h"
#include "base/engine_error.h"
#include "engine_code.h"
#include "platform/text.h"
#include "types/column_def.h"
#include "types/sort_def.h"

namespace tdb {
namespace {

using TBytes = std::vector<std::byte>;
using TSetter = std::function<void(const TTdbDataType*, TTdbDataValue&)>;

constexpr std::int32_t kMaxRecordNo = std::numeric_limits<std::int32_t>::max();

using testing::EngineCode;

TSetter Int(std::int64_t v) {
    return [v](const TTdbDataType* t, TTdbDataValue& value) { t->SetInteger(value, v); };
}
TSetter Dbl(double v) {
    return [v](const TTdbDataType* t, TTdbDataValue& value) { t->SetDouble(value, v); };
}
TSetter Text(std::u16string v) {
    return [v](const TTdbDataType* t, TTdbDataValue& value) { t->SetWideString(value, v); };
}
TSetter Ansi(std::string v) {
    return [v](const TTdbDataType* t, TTdbDataValue& value) { t->SetAnsiString(value, v); };
}
TSetter Null() {
    return [](const TTdbDataType* t, TTdbDataValue& value) { t->SetNull(value); };
}

const TTdbStringType* WideType(std::int32_t length, std::u16string_view collation = u"",
                               std::int16_t level = 6, bool nullable = true) {
    return TTdbDataType::GetStringType(ctWideString, nullable, length, collation, level);
}

// A table's columns and the keys over them, with records and entries made from values.
class KeyTable {
public:
    explicit KeyTable(std::int16_t level) : level_(level) {}

    // The 1-based column number.
    std::int16_t Add(const TTdbDataType* type) {
        return static_cast<std::int16_t>(
            columns_.Add(FromUtf8("C" + std::to_string(columns_.GetCount())), type, 0) + 1);
    }
    const TTdbColumnDef& Column(std::int16_t no) const { return *columns_.GetColumnDef(no - 1); }

    // An index over columns (negative numbers: descending), each taking its column's size.
    TTdbSortDef Index(std::initializer_list<int> columnNos, bool varSize = false) const {
        TTdbSortDef def(u"IDX");
        for (int no : columnNos) {
            const TTdbColumnDef& column = Column(static_cast<std::int16_t>(std::abs(no)));
            def.AddItem(static_cast<std::int16_t>(std::abs(no)),
                        static_cast<std::uint8_t>(column.GetColumnType()), column.Size, no < 0);
        }
        def.IsVarSize = varSize;
        def.UpdateSize(level_);
        return def;
    }

    TBytes Record(std::initializer_list<TSetter> values) const {
        TBytes record(static_cast<std::size_t>(columns_.GetRecordSize()));
        std::int16_t no = 1;
        for (const TSetter& set : values) {
            Set(record, no++, set);
        }
        return record;
    }
    void Set(TBytes& record, std::int16_t no, const TSetter& set) const {
        const TTdbColumnDef& column = Column(no);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data() + column.Position);
        set(column.DataType, value);
    }

    // The entry cut to the bytes it uses, so that reading past them is caught.
    TBytes Entry(const TTdbSortDef& def, const TBytes& record, std::int32_t recordNo) const {
        TBytes entry(static_cast<std::size_t>(def.GetSize()));
        entry.resize(static_cast<std::size_t>(keys_.CalcIndexInfo(def, record, recordNo, entry)));
        return entry;
    }
    TBytes Entry(const TTdbSortDef& def, std::initializer_list<TSetter> values,
                 std::int32_t recordNo) const {
        return Entry(def, Record(values), recordNo);
    }
    TBytes FromText(const TTdbSortDef& def, std::u16string_view text, std::int32_t recordNo,
                    char16_t separator = u';') const {
        TBytes entry(static_cast<std::size_t>(def.GetSize()));
        entry.resize(
            static_cast<std::size_t>(keys_.StringToIndex(def, text, recordNo, separator, entry)));
        return entry;
    }
    TBytes Completed(const TTdbSortDef& def, int given, bool upper, TBytes record,
                     std::int32_t recordNo) const {
        TBytes entry(static_cast<std::size_t>(def.GetSize()));
        entry.resize(static_cast<std::size_t>(
            keys_.CompleteIndexInfo(def, given, upper, record, recordNo, entry)));
        return entry;
    }

    bool Less(const TTdbSortDef& def, const TBytes& x, const TBytes& y, bool* unique = nullptr,
              TStrCmpOptions options = 0) const {
        bool u = true;
        const bool less = keys_.IndexLess(x, y, u, options, def);
        if (unique != nullptr) {
            *unique = u;
        }
        return less;
    }

    const TTdbIndexKeys& Keys() const { return keys_; }

private:
    std::int16_t level_;
    TTdbColumnDefs columns_;
    TTdbIndexKeys keys_{columns_, level_, 3};
};

std::u16string Wide(std::string_view utf8) {
    return FromUtf8(utf8);
}

// ---------------------------------------------------------------- order by type and level

struct OrderCase {
    const char* name;
    TTdbColumnType code;
    std::function<const TTdbDataType*(std::int16_t level, bool nullable)> type;
    // Low sorts before high; their bytes sort the other way where that is possible.
    TSetter low;
    TSetter high;
};

std::vector<OrderCase> OrderCases() {
    auto plain = [](TTdbColumnType code) {
        return [code](std::int16_t level, bool nullable) {
            return TTdbDataType::GetDataType(code, nullable, level);
        };
    };
    auto timeOf = [](TTdbColumnType code, std::int16_t precision) {
        return [code, precision](std::int16_t level, bool nullable) {
            return TTdbDataType::GetDateTimeType(code, nullable, precision, level);
        };
    };
    auto guid = [](std::uint32_t d1) {
        return [d1](const TTdbDataType* t, TTdbDataValue& v) { t->SetGuid(v, TTdbGuid{d1}); };
    };
    auto stamp = [](std::int32_t date, std::int32_t ms) {
        return [date, ms](const TTdbDataType* t, TTdbDataValue& v) {
            t->SetTimeStamp(v, {date, ms});
        };
    };
    auto date = [](std::int32_t packed) {
        return [packed](const TTdbDataType* t, TTdbDataValue& v) { t->SetDate(v, packed); };
    };
    auto ticks = [](std::int64_t t) {
        return [t](const TTdbDataType* type, TTdbDataValue& v) { type->SetTime(v, t); };
    };
    return {
        {"Char", ctChar, plain(ctChar), Ansi("z"), Ansi("\xE9")},
        {"String", ctString,
         [](std::int16_t level, bool nullable) {
             return TTdbDataType::GetStringType(ctString, nullable, 20, u"", level);
         },
         Text(u"abc"), Text(u"ABD")},
        {"SmallInt", ctSmallInt, plain(ctSmallInt), Int(-2), Int(1)},
        {"Float", ctFloat,
         [](std::int16_t level, bool nullable) {
             return TTdbDataType::GetFloatType(nullable, 0, level);
         },
         Dbl(-1.5), Dbl(0.25)},
        {"Byte", ctByte, plain(ctByte), Int(2), Int(200)},
        {"Boolean", ctBoolean, plain(ctBoolean), Int(0), Int(1)},
        {"Date", ctDate, timeOf(ctDate, 4), date(PackDate(2015, 3, 2)), date(PackDate(2016, 1, 1))},
        {"Enum", ctEnum,
         [](std::int16_t level, bool nullable) {
             return TTdbDataType::GetEnumType(u"E", u"a,b,c", u',', 0, nullable, level);
         },
         Int(1), Int(3)},
        {"AutoInc", ctAutoInc, plain(ctAutoInc), Int(255), Int(256)},
        {"Link", ctLink, plain(ctLink), Int(255), Int(256)},
        {"TimeMinutes", ctTime, timeOf(ctTime, 2), ticks(255 * kTicksPerMinute),
         ticks(256 * kTicksPerMinute)},
        {"TimeMilliseconds", ctTime, timeOf(ctTime, 4), ticks(255 * kTicksPerMillisecond),
         ticks(256 * kTicksPerMillisecond)},
        {"Integer", ctInteger, plain(ctInteger), Int(-1), Int(1)},
        {"TimeStamp", ctTimeStamp, timeOf(ctTimeStamp, 4), stamp(PackDate(2015, 3, 2), 86399999),
         stamp(PackDate(2015, 3, 3), 0)},
        {"WideString", ctWideString,
         [](std::int16_t level, bool nullable) { return WideType(20, u"", level, nullable); },
         Text(u"\u00C9va"), Text(u"Ewa")},
        {"BigInt", ctBigInt, plain(ctBigInt), Int(-1), Int(std::int64_t{1} << 40)},
        {"Guid", ctGuid, plain(ctGuid), guid(1), guid(0x100)},
    };
}

TEST(IndexKeysOrder, EveryTypeAtEveryLevel) {
    for (std::int16_t level : {1, 3, 4, 5, 6}) {
        for (const OrderCase& c : OrderCases()) {
            SCOPED_TRACE(std::string(c.name) + " at level " + std::to_string(level));
            const bool nullable = TTdbDataType::MayBeNullable(c.code, level);
            KeyTable t(level);
            const std::int16_t col = t.Add(c.type(level, nullable));
            const TTdbSortDef def = t.Index({col});
            const TBytes low = t.Entry(def, {c.low}, 7);
            const TBytes high = t.Entry(def, {c.high}, 3);
            bool unique = true;
            EXPECT_TRUE(t.Less(def, low, high, &unique));
            EXPECT_FALSE(t.Less(def, high, low, &unique));
            EXPECT_TRUE(unique);

            // Equal keys stand in record-number order and are reported as such.
            const TBytes lowFirst = t.Entry(def, {c.low}, 2);
            EXPECT_TRUE(t.Less(def, lowFirst, low, &unique));
            EXPECT_FALSE(unique);
            EXPECT_FALSE(t.Less(def, low, lowFirst));

            const std::size_t last = low.size() - 1;
            if (t.Column(col).GetHasNullByte() && level < 4) {
                EXPECT_EQ(low[last], std::byte{0}) << "keys below level 4 carry no indicator";
            }
            if (!nullable || level < 4) {
                continue;
            }
            const TBytes null = t.Entry(def, {Null()}, 9);
            EXPECT_TRUE(t.Less(def, null, low)) << "NULL sorts first";
            EXPECT_FALSE(t.Less(def, low, null));
            EXPECT_TRUE(t.Less(def, t.Entry(def, {Null()}, 1), null, &unique));
            EXPECT_FALSE(unique) << "two NULLs are equal keys";
            if (t.Column(col).GetHasNullByte()) {
                const std::size_t indicator = level >= 6 ? kTdbIndexRecordRefSize : last;
                EXPECT_EQ(null[indicator], std::byte{0});
                EXPECT_EQ(low[indicator], std::byte{1});
            }
        }
    }
}

// Keys order floats as the data types compare them: NaN equals NaN whatever its bits, and lies
// above +infinity, so an open upper bound still covers it.
TEST(IndexKeysOrder, FloatKeysPutNaNAboveInfinity) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    KeyTable t(6);
    const std::int16_t col = t.Add(TTdbDataType::GetFloatType(true, 0, 6));
    const TTdbSortDef def = t.Index({col});
    const TBytes big = t.Entry(def, {Dbl(1e308)}, 5);
    const TBytes infinity = t.Entry(def, {Dbl(inf)}, 5);
    const TBytes quiet = t.Entry(def, {Dbl(nan)}, 2);
    const TBytes negative = t.Entry(def, {Dbl(-nan)}, 3);
    EXPECT_TRUE(t.Less(def, big, infinity));
    EXPECT_TRUE(t.Less(def, infinity, quiet));
    EXPECT_FALSE(t.Less(def, quiet, infinity));
    bool unique = true;
    EXPECT_TRUE(t.Less(def, quiet, negative, &unique));
    EXPECT_FALSE(unique) << "every NaN is the same key";
    const TBytes upper = t.Completed(def, 0, true, t.Record({Dbl(0)}), kMaxRecordNo);
    EXPECT_TRUE(t.Less(def, negative, upper));
}

TEST(IndexKeysOrder, TrailingIndicatorDecidesOnlyForNullAtLevelsFourAndFive) {
    for (std::int16_t level : {4, 5}) {
        KeyTable t(level);
        const std::int16_t col = t.Add(TTdbDataType::GetDataType(ctInteger, true, level));
        const TTdbSortDef def = t.Index({col});
        // A NULL keeps the value bytes it had; only its indicator tells it apart.
        TBytes record = t.Record({Int(-100)});
        t.Set(record, col, Null());
        const TBytes null = t.Entry(def, record, 1);
        EXPECT_TRUE(t.Less(def, null, t.Entry(def, {Int(-200)}, 2)));
        TBytes damaged = t.Entry(def, {Int(5)}, 3);
        damaged.back() = std::byte{2};  // an indicator other than 0 and 1: a value all the same
        bool unique = true;
        EXPECT_TRUE(t.Less(def, damaged, t.Entry(def, {Int(5)}, 4), &unique));
        EXPECT_FALSE(unique);
        EXPECT_TRUE(t.Less(def, damaged, t.Entry(def, {Int(6)}, 1)));
    }
}

TEST(IndexKeysOrder, DescendingComponentReversesOnlyItself) {
    KeyTable t(6);
    const std::int16_t n = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    const std::int16_t s = t.Add(WideType(10));
    const TTdbSortDef def = t.Index({-n, s});
    struct Row {
        std::int64_t n;
        std::u16string s;
        std::int32_t recordNo;
    };
    const std::vector<Row> rows = {{1, u"b", 1}, {3, u"a", 2}, {1, u"a", 3}, {3, u"a", 4},
                                   {2, u"c", 5}, {1, u"a", 6}, {3, u"b", 7}};
    std::vector<TBytes> entries;
    for (const Row& row : rows) {
        entries.push_back(t.Entry(def, {Int(row.n), Text(row.s)}, row.recordNo));
    }
    std::sort(entries.begin(), entries.end(),
              [&](const TBytes& a, const TBytes& b) { return t.Less(def, a, b); });
    std::vector<std::int32_t> order;
    for (const TBytes& e : entries) {
        order.push_back(GetDateiVerweis(e));
    }
    EXPECT_EQ(order, (std::vector<std::int32_t>{2, 4, 7, 5, 3, 6, 1}));
    // NULL sorts first ascending, so last descending.
    EXPECT_TRUE(t.Less(def, entries.back(), t.Entry(def, {Null(), Text(u"a")}, 1)));
}

// ---------------------------------------------------------------- layout

TEST(IndexKeysLayout, ShortenedStringKeepsTheCharactersThatFit) {
    struct Case {
        TTdbColumnType code;
        std::int16_t level;
        std::int16_t size;  // 10 characters, the prefix and the indicator
    };
    for (const Case c : {Case{ctString, 6, 12}, Case{ctString, 5, 12}, Case{ctWideString, 6, 23},
                         Case{ctWideString, 5, 23}}) {
        SCOPED_TRACE(std::to_string(c.code) + " at level " + std::to_string(c.level));
        KeyTable t(c.level);
        const std::int16_t col = t.Add(TTdbDataType::GetStringType(c.code, true, 40, u"", c.level));
        TTdbSortDef def(u"SHORT");
        def.AddItem(col, static_cast<std::uint8_t>(c.code), c.size);
        def.UpdateSize(c.level);
        ASSERT_EQ(def.GetSize(), 4 + c.size);

        const TBytes entry = t.Entry(def, {Text(u"Budapest XIV. ker\u00FClet")}, 1);
        const std::byte* key = entry.data() + 4;
        const std::size_t prefixAt = c.level >= 6 ? 1 : 0;
        const std::size_t charsAt = prefixAt + (c.code == ctString ? 1 : 2);
        const std::int32_t length = c.code == ctString ? std::to_integer<int>(key[prefixAt])
                                                       : LoadLE<std::uint16_t>(key + prefixAt);
        EXPECT_EQ(length, 10);
        const std::size_t charSize = c.code == ctString ? 1 : 2;
        for (std::size_t i = 0; i < 10; ++i) {
            EXPECT_EQ(std::to_integer<char>(key[charsAt + i * charSize]), "Budapest X"[i]);
        }
        const std::size_t indicator = c.level >= 6 ? 0 : static_cast<std::size_t>(c.size - 1);
        EXPECT_EQ(key[indicator], std::byte{1});

        bool unique = true;
        EXPECT_TRUE(t.Less(def, entry, t.Entry(def, {Text(u"Budapest XV.")}, 2), &unique));
        EXPECT_FALSE(unique) << "equal in the first ten characters";
        const TBytes shortValue = t.Entry(def, {Text(u"Baja")}, 3);
        EXPECT_EQ(std::to_integer<int>(shortValue[4 + prefixAt]), 4);
        EXPECT_TRUE(t.Less(def, shortValue, entry));
        const TBytes null = t.Entry(def, {Null()}, 4);
        EXPECT_EQ(null[4 + indicator], std::byte{0});
        EXPECT_TRUE(t.Less(def, null, shortValue));
    }
}

TEST(IndexKeysLayout, VariableKeysTakeWhatTheirStringsUse) {
    KeyTable t(6);
    const std::int16_t telep = t.Add(WideType(38, u"Hungarian"));
    const std::int16_t n = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    const std::int16_t longAnsi = t.Add(TTdbDataType::GetStringType(ctString, true, 300, u"", 6));
    const std::int16_t shortAnsi = t.Add(TTdbDataType::GetStringType(ctString, false, 20, u"", 6));
    const TTdbSortDef def = t.Index({telep, n}, true);

    const TBytes aba5 = t.Entry(def, {Text(u"Aba"), Int(5)}, 1);
    EXPECT_EQ(aba5.size(), 4u + (1 + 2 + 6) + 5);
    const TBytes null = t.Entry(def, {Null(), Int(5)}, 2);
    EXPECT_EQ(null.size(), 4u + 1 + 5) << "a NULL string is its indicator alone";
    EXPECT_EQ(t.Entry(def, {Text(u""), Null()}, 3).size(), 4u + 3 + 5);

    // Each key is read at its own offsets.
    EXPECT_TRUE(t.Less(def, t.Entry(def, {Text(u"Ab"), Int(9)}, 1), aba5));
    EXPECT_TRUE(t.Less(def, aba5, t.Entry(def, {Text(u"Aba"), Int(7)}, 1)));
    EXPECT_TRUE(t.Less(def, null, t.Entry(def, {Text(u""), Int(1)}, 1)));

    TBytes record = t.Record({Text(u"x"), Int(0), Text(u"abc"), Text(u"abc")});
    EXPECT_EQ(t.Entry(t.Index({longAnsi}, true), record, 1).size(), 4u + 1 + 2 + 3)
        << "a String over 255 characters has a 2-byte prefix";
    EXPECT_EQ(t.Entry(t.Index({shortAnsi}, true), record, 1).size(), 4u + 1 + 3);

    // A shortened component in a variable key keeps what fits.
    TTdbSortDef shortened(u"SHORT");
    shortened.AddItem(telep, ctWideString, 1 + 2 + 2 * 5);
    shortened.IsVarSize = true;
    shortened.UpdateSize(6);
    const TBytes cut = t.Entry(shortened, {Text(Wide("Abaújszántó"))}, 1);
    EXPECT_EQ(cut.size(), 4u + 13);
    EXPECT_EQ(LoadLE<std::uint16_t>(cut.data() + 5), 5);
}

TEST(IndexKeysLayout, VariableKeysBelowLevelSixEndWithTheIndicator) {
    KeyTable t(5);
    const std::int16_t s = t.Add(WideType(20, u"", 5));
    const TTdbSortDef def = t.Index({s}, true);
    const TBytes aba = t.Entry(def, {Text(u"Aba")}, 1);
    ASSERT_EQ(aba.size(), 4u + 2 + 6 + 1);
    EXPECT_EQ(aba.back(), std::byte{1});
    const TBytes null = t.Entry(def, {Null()}, 2);
    ASSERT_EQ(null.size(), 4u + 2 + 1);
    EXPECT_EQ(null.back(), std::byte{0});
    EXPECT_TRUE(t.Less(def, null, aba));
}

TEST(IndexKeysLayout, BadDefinitionsAndBuffersAreRefused) {
    KeyTable t(6);
    const std::int16_t n = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    const TBytes record = t.Record({Int(1)});
    TTdbSortDef def = t.Index({n});
    TBytes entry(static_cast<std::size_t>(def.GetSize()), std::byte{0x5A});

    TBytes small(static_cast<std::size_t>(def.GetSize() - 1));
    EXPECT_THROW(t.Keys().CalcIndexInfo(def, record, 1, small), std::invalid_argument);
    EXPECT_THROW(t.Keys().CalcIndexInfo(def, TBytes(3), 1, entry), std::invalid_argument);

    TTdbSortDef missingColumn = def;
    missingColumn.Items[0].ColumnNo = 9;
    EXPECT_EQ(EngineCode([&] { t.Keys().CalcIndexInfo(missingColumn, record, 1, entry); }), 28);
    TTdbSortDef oversized = def;
    oversized.Items[0].Size = 6;
    oversized.UpdateSize(6);
    TBytes bigger(static_cast<std::size_t>(oversized.GetSize()), std::byte{0x5A});
    EXPECT_EQ(EngineCode([&] { t.Keys().CalcIndexInfo(oversized, record, 1, bigger); }), 28);
    TTdbSortDef shortEntry = def;
    shortEntry.SetSize(6);
    EXPECT_EQ(EngineCode([&] { t.Keys().CalcIndexInfo(shortEntry, record, 1, entry); }), 28);
    EXPECT_TRUE(std::all_of(entry.begin(), entry.end(), [](std::byte b) {
        return b == std::byte{0x5A};
    })) << "a refused entry is left as it was";

    bool unique = true;
    EXPECT_THROW(t.Keys().GetTreeLess()(entry, entry, unique, 0, nullptr), std::invalid_argument);
}

// ---------------------------------------------------------------- collations

TEST(IndexKeysCollation, HungarianOrderAndOptions) {
    KeyTable t(6);
    const std::int16_t telep = t.Add(WideType(38, u"Hungarian"));
    const std::int16_t folded = t.Add(WideType(38, u"Hungarian_AI"));
    const TTdbSortDef def = t.Index({telep}, true);
    std::vector<std::u16string> names = {Wide("Öcsöd"),  Wide("Csány"),  Wide("Asszonyfa"),
                                         Wide("Őcsény"), Wide("Cegléd"), Wide("Aszaló"),
                                         Wide("Öcs"),    Wide("Cún")};
    std::vector<TBytes> entries;
    for (std::size_t i = 0; i < names.size(); ++i) {
        entries.push_back(t.Entry(def, {Text(names[i])}, static_cast<std::int32_t>(i + 1)));
    }
    std::sort(entries.begin(), entries.end(),
              [&](const TBytes& a, const TBytes& b) { return t.Less(def, a, b); });
    std::vector<std::int32_t> order;
    for (const TBytes& e : entries) {
        order.push_back(GetDateiVerweis(e));
    }
    // Aszaló < Asszonyfa ("ssz" is sz+sz), c before cs, Ö and Ő one letter.
    EXPECT_EQ(order, (std::vector<std::int32_t>{6, 3, 5, 8, 2, 7, 4, 1}));

    bool unique = true;
    const TBytes lower = t.Entry(def, {Text(Wide("cegléd"))}, 1);
    const TBytes upper = t.Entry(def, {Text(Wide("Cegléd"))}, 2);
    EXPECT_TRUE(t.Less(def, lower, upper, &unique));
    EXPECT_FALSE(unique) << "case is ignored";
    // The call's options add to the column's: case-sensitive, lower case sorts first.
    unique = true;
    EXPECT_TRUE(t.Less(def, lower, upper, &unique, scoCaseSensitive));
    EXPECT_FALSE(t.Less(def, upper, lower, &unique, scoCaseSensitive));
    EXPECT_TRUE(unique);

    const TTdbSortDef accentFree = t.Index({folded});
    const TBytes acs = t.Entry(accentFree, {Null(), Text(u"Acs")}, 2);
    EXPECT_TRUE(
        t.Less(accentFree, t.Entry(accentFree, {Null(), Text(Wide("Ács"))}, 1), acs, &unique));
    EXPECT_FALSE(unique) << "accents are ignored under _AI";
    EXPECT_TRUE(t.Less(def, t.Entry(def, {Text(u"Acs")}, 2), t.Entry(def, {Text(Wide("Ács"))}, 1)))
        << "but not under the accent-sensitive collation";
}

// ---------------------------------------------------------------- search entries

class IndexKeysSearch : public ::testing::TestWithParam<bool> {
protected:
    IndexKeysSearch() : t(6) {
        telep = t.Add(WideType(38, u"Hungarian"));
        irsz = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    }

    KeyTable t;
    std::int16_t telep;
    std::int16_t irsz;
};

TEST_P(IndexKeysSearch, TextGivesTheEntryOfTheSameValues) {
    const bool varSize = GetParam();
    const TTdbSortDef def = t.Index({telep, irsz}, varSize);
    EXPECT_EQ(t.FromText(def, u"Buda;1000", 5), t.Entry(def, {Text(u"Buda"), Int(1000)}, 5));
    EXPECT_EQ(t.FromText(def, u"\"Buda;pest\";7", 5),
              t.Entry(def, {Text(u"Buda;pest"), Int(7)}, 5));
    EXPECT_EQ(t.FromText(def, u"\"Say \"\"hi\"\"\";-1", 5),
              t.Entry(def, {Text(u"Say \"hi\""), Int(-1)}, 5));
    EXPECT_EQ(t.FromText(def, u"Buda|2", 5, u'|'), t.Entry(def, {Text(u"Buda"), Int(2)}, 5));
    EXPECT_EQ(t.FromText(def, u";", 5), t.Entry(def, {Text(u""), Null()}, 5))
        << "an empty piece of a number is NULL";

    // A shortened component holds what a record's entry holds, not the whole value.
    TTdbSortDef shortened(u"SHORT");
    shortened.AddItem(telep, ctWideString, 1 + 2 + 2 * 4);
    shortened.AddItem(irsz, ctInteger, 5);
    shortened.IsVarSize = varSize;
    shortened.UpdateSize(6);
    EXPECT_EQ(t.FromText(shortened, u"Budapest;3", 1),
              t.Entry(shortened, {Text(u"Budapest"), Int(3)}, 1));
}

TEST_P(IndexKeysSearch, MissingPiecesBoundTheGivenOnes) {
    for (const bool descending : {false, true}) {
        SCOPED_TRACE(descending ? "descending" : "ascending");
        const TTdbSortDef def = t.Index({telep, descending ? -irsz : irsz}, GetParam());
        const std::vector<TBytes> buda = {
            t.Entry(def, {Text(u"Buda"), Null()}, 4),
            t.Entry(def, {Text(u"buda"), Int(std::numeric_limits<std::int32_t>::min())}, 2),
            t.Entry(def, {Text(u"Buda"), Int(0)}, 3),
            t.Entry(def, {Text(u"Buda"), Int(kMaxRecordNo)}, 5)};
        const std::vector<TBytes> others = {t.Entry(def, {Text(u"Bud"), Int(kMaxRecordNo)}, 9),
                                            t.Entry(def, {Text(u"Budafok"), Null()}, 1),
                                            t.Entry(def, {Null(), Int(1)}, 1)};
        // Record number 1 and 0 ask for the lower end, the largest for the upper.
        for (const std::int32_t lowerNo : {1, 0}) {
            const TBytes lower = t.FromText(def, u"Buda", lowerNo);
            const TBytes upper = t.FromText(def, u"Buda", kMaxRecordNo);
            for (const TBytes& e : buda) {
                EXPECT_TRUE(t.Less(def, lower, e)) << GetDateiVerweis(e);
                EXPECT_TRUE(t.Less(def, e, upper)) << GetDateiVerweis(e);
            }
            for (const TBytes& e : others) {
                EXPECT_EQ(t.Less(def, e, lower), t.Less(def, e, upper)) << GetDateiVerweis(e);
            }
        }
        const TBytes all = t.FromText(def, u"", 1);
        for (const TBytes& e : others) {
            EXPECT_TRUE(t.Less(def, all, e));
        }
    }
}

TEST_P(IndexKeysSearch, BadTextIsRefusedAndTheEntryKept) {
    const TTdbSortDef def = t.Index({telep, irsz}, GetParam());
    TBytes entry(static_cast<std::size_t>(def.GetSize()), std::byte{0x5A});
    const TBytes before = entry;
    EXPECT_EQ(EngineCode([&] { t.Keys().StringToIndex(def, u"a;1;2", 1, u';', entry); }), 57);
    EXPECT_THROW(t.Keys().StringToIndex(def, u"Buda;x", 1, u';', entry), Exception);
    EXPECT_EQ(entry, before);
}

TEST_P(IndexKeysSearch, CompletedBoundsBracketEveryEntryWithTheGivenValues) {
    const std::int16_t f = t.Add(TTdbDataType::GetFloatType(true, 0, 6));
    const std::int16_t c = t.Add(TTdbDataType::GetDataType(ctChar, true, 6));
    const std::int16_t k = t.Add(TTdbDataType::GetDataType(ctInteger, false, 6));
    const TTdbSortDef def = t.Index({telep, f, -c, k}, GetParam());

    const std::vector<TSetter> leads = {Text(u"Buda"), Text(u"buda"), Text(u"Bud"),
                                        Text(u"Budafok"), Null()};
    const std::vector<TSetter> floats = {Null(),
                                         Dbl(-1e300),
                                         Dbl(0),
                                         Dbl(1e20),
                                         Dbl(std::numeric_limits<double>::infinity()),
                                         Dbl(std::nan(""))};
    const std::vector<TSetter> chars = {Null(), Ansi("a"), Ansi("\xFF")};
    const std::vector<TSetter> ints = {Int(std::numeric_limits<std::int32_t>::min()), Int(0),
                                       Int(kMaxRecordNo)};
    struct Row {
        std::size_t lead;
        std::size_t fl;
        TBytes entry;
    };
    std::vector<Row> rows;
    std::int32_t recordNo = 1;
    for (std::size_t a = 0; a < leads.size(); ++a) {
        for (std::size_t b = 0; b < floats.size(); ++b) {
            for (const TSetter& ch : chars) {
                for (const TSetter& in : ints) {
                    rows.push_back(
                        {a, b, t.Entry(def, {leads[a], Int(0), floats[b], ch, in}, recordNo++)});
                }
            }
        }
    }
    // Leads 0 and 1 are equal under the collation; float 2 is 0.
    const auto check = [&](int given, const std::function<bool(const Row&)>& inside) {
        const TBytes search = t.Record({Text(u"Buda"), Int(0), Dbl(0)});
        const TBytes lower = t.Completed(def, given, false, search, 0);
        const TBytes upper = t.Completed(def, given, true, search, kMaxRecordNo);
        for (const Row& row : rows) {
            SCOPED_TRACE(GetDateiVerweis(row.entry));
            if (inside(row)) {
                EXPECT_TRUE(t.Less(def, lower, row.entry));
                EXPECT_TRUE(t.Less(def, row.entry, upper));
            } else {
                EXPECT_EQ(t.Less(def, row.entry, lower), t.Less(def, row.entry, upper));
            }
        }
    };
    check(0, [](const Row&) { return true; });
    check(1, [](const Row& row) { return row.lead < 2; });
    check(2, [](const Row& row) { return row.lead < 2 && row.fl == 2; });
}

TEST_P(IndexKeysSearch, PrefixBoundCoversTheStringsThatBeginWithIt) {
    const TTdbSortDef def = t.Index({telep, irsz}, GetParam());
    const auto telepType = static_cast<const TTdbStringType*>(t.Column(telep).DataType);
    TBytes bound = t.Record({Text(u"Bonn")});
    t.Set(bound, telep,
          [&](const TTdbDataType*, TTdbDataValue& v) { telepType->GetMaximumFill(v); });
    const TBytes lower = t.Completed(def, 1, false, t.Record({Text(u"Bonn")}), 0);
    const TBytes upper = t.Completed(def, 1, true, bound, kMaxRecordNo);
    std::int32_t recordNo = 1;
    for (const char* name : {"Bonnya", "Bonn", "bonnya"}) {
        const TBytes e = t.Entry(def, {Text(Wide(name)), Int(recordNo)}, recordNo);
        ++recordNo;
        EXPECT_TRUE(t.Less(def, lower, e)) << name;
        EXPECT_TRUE(t.Less(def, e, upper)) << name;
    }
    for (const char* name : {"Bóly", "Bon", "Borsodnádasd", "Bodrogkeresztúr"}) {
        const TBytes e = t.Entry(def, {Text(Wide(name)), Int(1)}, 1);
        EXPECT_EQ(t.Less(def, e, lower), t.Less(def, e, upper)) << name;
    }
}

// The bounds a nearest search builds from its own entry are the entries of the filled values
// a LIKE range builds from a record, whatever the layout: a leading or trailing indicator or
// none, ANSI or wide characters, components before and after the text.
TEST_P(IndexKeysSearch, PrefixBoundsOfAnEntryAreThoseOfTheFilledValue) {
    for (const std::int16_t level : {3, 4, 6}) {
        for (const TTdbColumnType code : {ctWideString, ctString}) {
            SCOPED_TRACE("level " + std::to_string(level) + (code == ctString ? " ANSI" : ""));
            KeyTable k(level);
            const std::int16_t number = k.Add(TTdbDataType::GetDataType(ctInteger, true, level));
            const std::int16_t name =
                k.Add(TTdbDataType::GetStringType(code, true, 8, u"Hungarian", level));
            const TTdbSortDef def = k.Index({number, name, number}, GetParam());
            const auto type = static_cast<const TTdbStringType*>(k.Column(name).DataType);
            for (const char* text : {"Bonn", "Bonnyaxy", "B", ""}) {
                SCOPED_TRACE(text);
                const TBytes given =
                    k.Completed(def, 2, false, k.Record({Int(7), Text(Wide(text))}), 1);
                TTdbKeyText read;
                ASSERT_TRUE(k.Keys().KeyText(def, 1, given, read));
                EXPECT_FALSE(read.IsNull);
                EXPECT_EQ(read.Length, static_cast<std::int32_t>(std::string_view(text).size()));
                EXPECT_EQ(read.CharSize, code == ctString ? 1 : 2);
                EXPECT_EQ(read.Collation, &type->GetCollation());
                EXPECT_FALSE(k.Keys().KeyText(def, 0, given, read)) << "no text";
                for (const bool upper : {false, true}) {
                    TBytes record = k.Record({Int(7), Text(Wide(text))});
                    k.Set(record, name, [&](const TTdbDataType*, TTdbDataValue& v) {
                        upper ? type->GetMaximumFill(v) : type->GetMinimumFill(v);
                    });
                    TBytes expected = k.Completed(def, 2, false, record, 1);
                    expected.resize(static_cast<std::size_t>(def.GetSize()));
                    TBytes bound(static_cast<std::size_t>(def.GetSize()), std::byte{0x5A});
                    const bool built = k.Keys().PrefixBoundEntry(def, 1, given, upper, bound);
                    if (upper && std::string_view(text).size() == 8) {
                        EXPECT_FALSE(built) << "no room for the NUL";
                        continue;
                    }
                    ASSERT_TRUE(built) << upper;
                    EXPECT_EQ(bound, expected) << upper;
                }
            }
            if (level >= 4) {
                const TBytes null = k.Entry(def, {Int(7), Null()}, 1);
                TTdbKeyText read;
                ASSERT_TRUE(k.Keys().KeyText(def, 1, null, read));
                EXPECT_TRUE(read.IsNull);
                TBytes bound(static_cast<std::size_t>(def.GetSize()));
                EXPECT_FALSE(k.Keys().PrefixBoundEntry(def, 1, null, false, bound));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(IndexKeys, IndexKeysSearch, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Variable" : "Fixed"; });

// ---------------------------------------------------------------- expression keys

// Negates an Integer column, or gives NULL for NULL.
class NegateCalculation : public TTdbCalculation {
public:
    NegateCalculation(const TTdbColumnDef& column, const TTdbDataType* resultType)
        : TTdbCalculation(u"-N"), column_(column) {
        FResultType = resultType;
    }
    TTdbExpressionSyntax GetKind() const override { return tesTableSQL; }
    std::unique_ptr<TTdbCalculation> Clone() const override {
        return std::make_unique<NegateCalculation>(*this);
    }
    void Prepare(TTdbRltnIdx, std::uint32_t) override {}
    void Unprepare() override {}
    bool IsSame(const TTdbCalculation& other) const override {
        return other.GetSource() == FSource;
    }
    void Calculate(TTdbDataValue&) override { throw std::logic_error("needs a record"); }
    void Calculate(TTdbRltnIdx rltnIdx, std::span<const std::byte> recBuffer,
                   TTdbDataValue& result) override {
        lastRltnIdx = rltnIdx;
        TTdbDataValue value;
        std::vector<std::byte> image(recBuffer.begin() + column_.Position,
                                     recBuffer.begin() + column_.Position + column_.Size);
        column_.DataType->SetReference(value, image.data());
        if (column_.DataType->IsNull(value)) {
            FResultType->SetNull(result);
        } else {
            FResultType->SetInteger(result, -column_.DataType->GetInteger(value));
        }
    }

    TTdbRltnIdx lastRltnIdx = 0;

private:
    const TTdbColumnDef& column_;
};

TEST(IndexKeysExpression, KeyIsTheResultImage) {
    KeyTable t(6);
    const std::int16_t n = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    const TTdbDataType* resultType = TTdbDataType::GetDataType(ctBigInt, true, 6);
    auto calculation = std::make_unique<NegateCalculation>(t.Column(n), resultType);
    NegateCalculation* calc = calculation.get();
    const TTdbSortDef def(u"EXPR", std::move(calculation), false);
    ASSERT_EQ(def.GetSize(), 4 + 9);

    const TBytes five = t.Entry(def, {Int(5)}, 1);
    EXPECT_EQ(calc->lastRltnIdx, 3);
    EXPECT_EQ(five[4], std::byte{1});
    EXPECT_EQ(LoadLE<std::int64_t>(five.data() + 5), -5);
    const TBytes two = t.Entry(def, {Int(2)}, 2);
    const TBytes null = t.Entry(def, {Null()}, 3);
    EXPECT_TRUE(t.Less(def, five, two));
    EXPECT_TRUE(t.Less(def, null, five));

    EXPECT_EQ(t.FromText(def, u"-5", 1), t.Entry(def, {Int(5)}, 1));
    EXPECT_TRUE(
        t.Less(def, t.FromText(def, u"", kMaxRecordNo - 1), t.FromText(def, u"", kMaxRecordNo)));
    EXPECT_TRUE(t.Less(def, five, t.Completed(def, 0, true, t.Record({Int(0)}), kMaxRecordNo)));
    EXPECT_TRUE(t.Less(def, t.Completed(def, 0, false, t.Record({Int(0)}), 0), null));
}

TEST(IndexKeysExpression, WithoutItsCalculationTheKeyIsRefused) {
    KeyTable t(6);
    t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    TTdbSortDef def(u"EXPR", u"-N", false, true);
    def.Items[0] = {ctBigInt, 0, 9, false};
    def.UpdateSize(6);
    TBytes entry(static_cast<std::size_t>(def.GetSize()));
    const std::int16_t code =
        EngineCode([&] { t.Keys().CalcIndexInfo(def, t.Record({Int(1)}), 1, entry); });
    EXPECT_EQ(code, 28);
    // Search entries need only the stored result type.
    const TBytes seven = t.FromText(def, u"7", 1);
    EXPECT_EQ(LoadLE<std::int64_t>(seven.data() + 5), 7);
    EXPECT_TRUE(t.Less(def, t.FromText(def, u"-7", 2), seven));
}

// ---------------------------------------------------------------- damaged keys

TEST(IndexKeysDamaged, LengthsBeyondTheKeyAreReadOnlyAsFarAsItGoes) {
    for (const bool varSize : {false, true}) {
        SCOPED_TRACE(varSize ? "variable" : "fixed");
        KeyTable t(6);
        const std::int16_t wide = t.Add(WideType(10));
        const std::int16_t ansi = t.Add(TTdbDataType::GetStringType(ctString, false, 8, u"", 6));
        const TTdbSortDef def = t.Index({wide, ansi}, varSize);
        const TBytes good = t.Entry(def, {Text(u"abc"), Text(u"xy")}, 1);

        TBytes damaged = good;
        StoreLE<std::uint16_t>(damaged.data() + 5, 0xFFFF);  // the wide string's length
        TBytes ansiDamaged = t.Entry(def, {Text(u"abc"), Text(u"xy")}, 2);
        ansiDamaged[varSize ? 4 + 1 + 2 + 6 : 4 + 23] = std::byte{0xFF};
        std::vector<TBytes> keys = {good, damaged, ansiDamaged};
        for (std::size_t cut = 0; cut < good.size(); cut += 3) {
            keys.emplace_back(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(cut));
        }
        for (const TBytes& a : keys) {
            bool unique = true;
            EXPECT_FALSE(t.Less(def, a, a, &unique));
            EXPECT_FALSE(unique);
            for (const TBytes& b : keys) {
                EXPECT_FALSE(t.Less(def, a, b) && t.Less(def, b, a));
            }
        }
        EXPECT_FALSE(t.Keys().IsSameIndexKey(def, good, damaged));
    }
    // A field shorter than its column reads as if zeros followed.
    const std::byte five[] = {std::byte{1}, std::byte{5}};
    const std::byte six[] = {std::byte{1}, std::byte{6}, std::byte{0}, std::byte{0}, std::byte{0}};
    EXPECT_EQ(TTdbIndexKeys::CompareFields(five, six, ctInteger, 2, 5, 5, true, 6, nullptr, 0), -1);
    EXPECT_EQ(TTdbIndexKeys::CompareFields(six, five, ctBigInt, 5, 2, 9, true, 6, nullptr, 0), 1);
}

// ---------------------------------------------------------------- entry equality

TEST(IndexKeysSame, KeysRecordNumbersAndFirstDifference) {
    KeyTable t(6);
    const std::int16_t s = t.Add(WideType(10));
    const std::int16_t n = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    const TTdbSortDef def = t.Index({s, n}, true);
    const TBytes a = t.Entry(def, {Text(u"Buda"), Int(1)}, 4);
    const TBytes sameKey = t.Entry(def, {Text(u"BUDA"), Int(1)}, 5);
    const TBytes sameEntry = t.Entry(def, {Text(u"buda"), Int(1)}, 4);
    const TBytes other = t.Entry(def, {Text(u"Buda"), Int(2)}, 4);

    EXPECT_TRUE(t.Keys().IsSameIndexKey(def, a, sameKey));
    EXPECT_FALSE(t.Keys().IsSameIndexKey(def, a, other));
    EXPECT_TRUE(t.Keys().IsSameIndexInfo(def, a, sameEntry));
    EXPECT_FALSE(t.Keys().IsSameIndexInfo(def, a, sameKey));
    EXPECT_FALSE(t.Keys().IsSameIndexInfo(def, t.Entry(def, {Text(u"Buda"), Int(1)}, 0),
                                          t.Entry(def, {Text(u"Buda"), Int(1)}, 0)));
    EXPECT_EQ(t.Keys().FindSortKeyDiff(def, a, sameKey), 2);
    EXPECT_EQ(t.Keys().FindSortKeyDiff(def, a, other), 1);
    EXPECT_EQ(t.Keys().FindSortKeyDiff(def, a, t.Entry(def, {Text(u"Pest"), Int(1)}, 4)), 0);

    const TTdbTreeLess less = t.Keys().GetTreeLess();
    bool unique = true;
    EXPECT_TRUE(less(a, sameKey, unique, 0, &def));
    EXPECT_FALSE(unique);
}

// ---------------------------------------------------------------- prepared comparison

// A column type of the differential table and the values its records draw from.
struct DrawnColumn {
    const char* name;
    std::function<const TTdbDataType*(std::int16_t level, bool nullable)> type;
    std::vector<TSetter> values;
};

std::vector<DrawnColumn> DrawnColumns() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto plain = [](TTdbColumnType code) {
        return [code](std::int16_t level, bool nullable) {
            return TTdbDataType::GetDataType(code, nullable, level);
        };
    };
    auto timeOf = [](TTdbColumnType code, std::int16_t precision) {
        return [code, precision](std::int16_t level, bool nullable) {
            return TTdbDataType::GetDateTimeType(code, nullable, precision, level);
        };
    };
    auto stringOf = [](TTdbColumnType code, std::int32_t length, std::u16string collation) {
        return [code, length, collation](std::int16_t level, bool nullable) {
            return TTdbDataType::GetStringType(code, nullable, length, collation, level);
        };
    };
    auto ints = [](std::initializer_list<std::int64_t> values) {
        std::vector<TSetter> setters;
        for (std::int64_t v : values) {
            setters.push_back(Int(v));
        }
        return setters;
    };
    auto dates = [](std::initializer_list<std::int32_t> packed) {
        std::vector<TSetter> setters;
        for (std::int32_t date : packed) {
            setters.push_back(
                [date](const TTdbDataType* t, TTdbDataValue& v) { t->SetDate(v, date); });
        }
        return setters;
    };
    auto times = [](std::int64_t unit, std::initializer_list<std::int64_t> counts) {
        std::vector<TSetter> setters;
        for (std::int64_t count : counts) {
            setters.push_back([ticks = unit * count](const TTdbDataType* t, TTdbDataValue& v) {
                t->SetTime(v, ticks);
            });
        }
        return setters;
    };
    auto stamp = [](std::int32_t date, std::int32_t ms) -> TSetter {
        return [date, ms](const TTdbDataType* t, TTdbDataValue& v) {
            t->SetTimeStamp(v, {date, ms});
        };
    };
    auto guid = [](std::uint32_t d1) -> TSetter {
        return [d1](const TTdbDataType* t, TTdbDataValue& v) { t->SetGuid(v, TTdbGuid{d1}); };
    };
    // Case, accents, ligatures, Hungarian digraphs, prefixes of each other and longer names than
    // shortened components keep.
    std::vector<TSetter> texts;
    for (const char* text : {"",
                             "Buda",
                             "buda",
                             "BUDA",
                             "Budafok",
                             "Budapest",
                             "Cs",
                             "Csepel",
                             "Cukor",
                             "Éva",
                             "Eva",
                             "Öcs",
                             "Őcsény",
                             "Zs",
                             "Zsámbék",
                             "Sz",
                             "Szeged",
                             "a^b",
                             "a b",
                             "straße",
                             "strasse",
                             "Hosszúhetény",
                             "Abaújszántó-Kisfalud"}) {
        texts.push_back(Text(Wide(text)));
    }
    const std::int32_t day = PackDate(2015, 3, 2);
    return {
        {"Char", plain(ctChar), {Ansi("a"), Ansi("A"), Ansi("z"), Ansi("\xE9")}},
        {"String", stringOf(ctString, 20, u""), texts},
        {"LongString", stringOf(ctString, 300, u""), texts},
        {"HungarianString", stringOf(ctString, 20, u"Hungarian"), texts},
        {"SmallInt", plain(ctSmallInt), ints({-32768, -2, 0, 1, 32767})},
        {"Float",
         [](std::int16_t level, bool nullable) {
             return TTdbDataType::GetFloatType(nullable, 0, level);
         },
         {Dbl(-inf), Dbl(-1.5), Dbl(-0.0), Dbl(0), Dbl(0.25), Dbl(1e300), Dbl(inf), Dbl(nan),
          Dbl(-nan)}},
        {"Byte", plain(ctByte), ints({0, 1, 200, 255})},
        {"Boolean", plain(ctBoolean), ints({0, 1})},
        {"Date", timeOf(ctDate, 4),
         dates({PackDate(1, 1, 1), day, PackDate(2016, 1, 1), PackDate(9999, 12, 31)})},
        {"Enum",
         [](std::int16_t level, bool nullable) {
             return TTdbDataType::GetEnumType(u"E", u"a,b,c", u',', 0, nullable, level);
         },
         ints({1, 2, 3})},
        {"AutoInc", plain(ctAutoInc), ints({0, 1, 255, 256, 2147483647})},
        {"Link", plain(ctLink), ints({0, 1, 255, 256, 2147483647})},
        {"TimeMinutes", timeOf(ctTime, 2), times(kTicksPerMinute, {0, 255, 256, 1439})},
        {"TimeMilliseconds", timeOf(ctTime, 4),
         times(kTicksPerMillisecond, {0, 255, 256, 86399999})},
        {"Integer", plain(ctInteger), ints({-2147483648LL, -1, 0, 1, 256, 2147483647})},
        {"TimeStamp",
         timeOf(ctTimeStamp, 4),
         {stamp(day, 0), stamp(day, 86399999), stamp(day + 1, 0), stamp(PackDate(1, 1, 1), 5)}},
        {"HungarianWide", stringOf(ctWideString, 38, u"Hungarian"), texts},
        {"Wide", stringOf(ctWideString, 20, u""), texts},
        {"HungarianCaseWide", stringOf(ctWideString, 38, u"Hungarian_CS_AI"), texts},
        {"BigInt", plain(ctBigInt),
         ints({std::numeric_limits<std::int64_t>::min(), -1, 0, std::int64_t{1} << 40,
               std::numeric_limits<std::int64_t>::max()})},
        {"Guid", plain(ctGuid), {guid(1), guid(0x100), guid(0xFFFFFFFF)}},
    };
}

// Every pair of Entries under Def, by the comparator prepared for it and by IndexLess, with and
// without call options: the first pair on which order or Unique differ, or nothing.
std::string Disagreement(const KeyTable& t, const TTdbSortDef& def,
                         const std::vector<TBytes>& entries) {
    const TTdbKeyComparator comparator(t.Keys(), def);
    if (!comparator.IsPreparedFor(&def)) {
        return "not prepared";
    }
    for (const TStrCmpOptions options : {TStrCmpOptions{0}, scoCaseSensitive}) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            for (std::size_t j = 0; j < entries.size(); ++j) {
                bool oldUnique = true;
                bool newUnique = true;
                const bool oldLess =
                    t.Keys().IndexLess(entries[i], entries[j], oldUnique, options, def);
                const bool newLess =
                    comparator.IndexLess(entries[i], entries[j], newUnique, options);
                if (oldLess != newLess || oldUnique != newUnique) {
                    return "entries " + std::to_string(i) + " and " + std::to_string(j) +
                           " with options " + std::to_string(options) + ": less " +
                           std::to_string(oldLess) + " became " + std::to_string(newLess) +
                           ", unique " + std::to_string(oldUnique) + " became " +
                           std::to_string(newUnique);
                }
            }
        }
    }
    return {};
}

TEST(IndexKeysPrepared, OrdersEveryDefinitionAsIndexLess) {
    std::mt19937 random(20240607);
    const std::vector<DrawnColumn> drawn = DrawnColumns();
    for (std::int16_t level : {1, 3, 4, 5, 6}) {
        KeyTable t(level);
        // Each type twice where the level allows: nullable, and not.
        std::vector<std::int16_t> columns;
        std::vector<std::size_t> drawnOf;
        for (std::size_t k = 0; k < drawn.size(); ++k) {
            const TTdbColumnType code = drawn[k].type(level, false)->GetColumnType();
            for (const bool nullable : {false, true}) {
                if (!nullable || TTdbDataType::MayBeNullable(code, level)) {
                    columns.push_back(t.Add(drawn[k].type(level, nullable)));
                    drawnOf.push_back(k);
                }
            }
        }
        // The column of that type, nullable where the level allows it when asked for.
        const auto find = [&](std::string_view name, bool nullable) {
            std::int16_t found = 0;
            for (std::size_t c = 0; c < columns.size(); ++c) {
                if (drawn[drawnOf[c]].name == name &&
                    (found == 0 || t.Column(columns[c]).DataType->GetNullable() == nullable)) {
                    found = columns[c];
                }
            }
            return found;
        };

        // Records of values drawn at random, one in five NULL where the column allows it; few
        // record numbers, so that equal entries meet too.
        std::vector<TBytes> records;
        std::vector<std::int32_t> recordNos;
        for (int r = 0; r < 24; ++r) {
            TBytes record = t.Record({});
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const std::vector<TSetter>& values = drawn[drawnOf[c]].values;
                const bool null = t.Column(columns[c]).DataType->GetNullable() && random() % 5 == 0;
                t.Set(record, columns[c], null ? Null() : values[random() % values.size()]);
            }
            records.push_back(std::move(record));
            recordNos.push_back(static_cast<std::int32_t>(1 + random() % 4));
        }

        // Definitions: every column alone either way, shortened strings, several components.
        std::vector<std::pair<std::string, TTdbSortDef>> defs;
        const auto component = [&](TTdbSortDef& def, std::int16_t no, bool descending,
                                   std::int16_t cutChars = 0) {
            const TTdbColumnDef& column = t.Column(no);
            const std::int16_t charSize = column.GetColumnType() == ctWideString ? 2 : 1;
            def.AddItem(no, static_cast<std::uint8_t>(column.GetColumnType()),
                        static_cast<std::int16_t>(column.Size - cutChars * charSize), descending);
        };
        for (std::size_t c = 0; c < columns.size(); ++c) {
            for (const bool descending : {false, true}) {
                TTdbSortDef def(u"IDX");
                component(def, columns[c], descending);
                defs.emplace_back(
                    std::string(drawn[drawnOf[c]].name) +
                        (t.Column(columns[c]).DataType->GetNullable() ? " null" : "") +
                        (descending ? " desc" : ""),
                    std::move(def));
            }
        }
        for (const char* name : {"String", "LongString", "HungarianWide", "Wide"}) {
            for (const bool nullable : {false, true}) {
                const std::int16_t no = find(name, nullable);
                const auto* type = static_cast<const TTdbStringType*>(t.Column(no).DataType);
                for (const std::int32_t keep : {10, 3}) {
                    TTdbSortDef def(u"IDX");
                    component(def, no, false,
                              static_cast<std::int16_t>(type->GetMaxLength() - keep));
                    defs.emplace_back(std::string(name) + " keeping " + std::to_string(keep) +
                                          (nullable ? " null" : ""),
                                      std::move(def));
                }
            }
        }
        {
            TTdbSortDef def(u"IDX");
            component(def, find("HungarianWide", true), false);
            component(def, find("Integer", true), true);
            component(def, find("Float", true), false);
            defs.emplace_back("HungarianWide, Integer desc, Float", std::move(def));
        }
        {
            TTdbSortDef def(u"IDX");
            component(def, find("String", true), false, 14);
            component(def, find("Date", true), true);
            component(def, find("Guid", true), false);
            component(def, find("Wide", false), true, 15);
            component(def, find("BigInt", true), false);
            defs.emplace_back("short String, Date desc, Guid, short Wide desc, BigInt",
                              std::move(def));
        }
        {
            TTdbSortDef def(u"IDX");
            for (const char* name : {"Char", "Boolean", "TimeStamp", "TimeMinutes", "SmallInt",
                                     "Byte", "Enum", "AutoInc", "Link", "TimeMilliseconds"}) {
                component(def, find(name, true), def.LevelCount % 2 == 1);
            }
            defs.emplace_back("ten small components", std::move(def));
        }

        for (auto& [name, def] : defs) {
            bool hasString = false;
            for (int i = 0; i < def.LevelCount; ++i) {
                const TTdbColumnType code = def.Items[static_cast<std::size_t>(i)].ColumnType;
                hasString = hasString || code == ctString || code == ctWideString;
            }
            for (const bool varSize : {false, true}) {
                if (varSize && !hasString) {
                    continue;
                }
                def.IsVarSize = varSize;
                def.UpdateSize(level);
                std::vector<TBytes> entries;
                for (std::size_t r = 0; r < records.size(); ++r) {
                    entries.push_back(t.Entry(def, records[r], recordNos[r]));
                }
                // Cut and overwritten entries, as a damaged file may hand them over: lengths
                // beyond the key and indicators other than 0 and 1 among them.
                for (int cut = 0; cut < 4; ++cut) {
                    TBytes entry = entries[random() % records.size()];
                    entry.resize(random() % entry.size());
                    entries.push_back(std::move(entry));
                }
                const TBytes sound = entries[random() % records.size()];
                for (std::size_t at = kTdbIndexRecordRefSize;
                     at < std::min<std::size_t>(sound.size(), kTdbIndexRecordRefSize + 8); ++at) {
                    TBytes entry = sound;
                    entry[at] = std::byte{0xFF};
                    entries.push_back(std::move(entry));
                }
                EXPECT_EQ(Disagreement(t, def, entries), "")
                    << name << (varSize ? " variable" : "") << " at level " << level;
            }
        }
    }
}

TEST(IndexKeysPrepared, FollowsTheDefinitionAsPreparedAndFallsBackWhereItCannot) {
    KeyTable t(6);
    const std::int16_t n = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    TTdbSortDef def = t.Index({n});
    const TBytes one = t.Entry(def, {Int(1)}, 2);
    const TBytes two = t.Entry(def, {Int(2)}, 1);
    bool unique = true;

    TTdbKeyComparator comparator(t.Keys());
    EXPECT_FALSE(comparator.IsPrepared());
    EXPECT_THROW(comparator.IndexLess(one, two, unique, 0), std::logic_error);
    EXPECT_TRUE(comparator.IndexLess(one, two, unique, 0, def)) << "unprepared: IndexLess";

    comparator.Prepare(def);
    EXPECT_TRUE(comparator.IsPreparedFor(&def));
    def.Items[0].Descending = true;
    EXPECT_TRUE(comparator.IndexLess(one, two, unique, 0)) << "the definition as prepared";
    comparator.Prepare(def);
    EXPECT_FALSE(comparator.IndexLess(one, two, unique, 0));

    // A tree handed another definition than the prepared one compares by that one.
    auto shared = std::make_shared<TTdbKeyComparator>(t.Keys(), def);
    const TTdbTreeLess less = t.Keys().GetTreeLess(shared);
    const TTdbSortDef ascending = t.Index({n});
    EXPECT_FALSE(less(one, two, unique, 0, &def));
    EXPECT_TRUE(less(one, two, unique, 0, &ascending));
    EXPECT_THROW(less(one, two, unique, 0, nullptr), std::invalid_argument);
    const KeyTable other(6);
    EXPECT_THROW(other.Keys().GetTreeLess(shared), std::invalid_argument);
    EXPECT_THROW(t.Keys().GetTreeLess(nullptr), std::invalid_argument);

    // A column the table lacks is reported as the comparison reaches it, as IndexLess does.
    TTdbSortDef missing = t.Index({n});
    missing.AddItem(9, static_cast<std::uint8_t>(ctInteger), 5);
    missing.UpdateSize(6);
    comparator.Prepare(missing);
    EXPECT_FALSE(comparator.IsPrepared());
    const TBytes wide(static_cast<std::size_t>(missing.GetSize()), std::byte{1});
    EXPECT_EQ(EngineCode([&] { comparator.IndexLess(wide, wide, unique, 0, missing); }), 28);

    // An expression key keeps IndexLess, which reads its result type.
    const TTdbDataType* resultType = TTdbDataType::GetDataType(ctBigInt, true, 6);
    const TTdbSortDef expression(
        u"EXPR", std::make_unique<NegateCalculation>(t.Column(n), resultType), false);
    comparator.Prepare(expression);
    EXPECT_FALSE(comparator.IsPrepared());
    EXPECT_FALSE(comparator.IndexLess(t.Entry(expression, {Int(1)}, 1),
                                      t.Entry(expression, {Int(2)}, 2), unique, 0, expression));
}

TEST(IndexKeysPrepared, ComparesWithoutAllocating) {
    if (!testing::CanCountAllocations()) {
        GTEST_SKIP() << "allocations are counted only under the address sanitizer";
    }
    KeyTable t(6);
    const std::int16_t telep = t.Add(WideType(38, u"Hungarian"));
    const std::int16_t code = t.Add(TTdbDataType::GetDataType(ctInteger, true, 6));
    const std::int16_t name = t.Add(TTdbDataType::GetStringType(ctString, true, 20, u"", 6));
    const TTdbSortDef def = t.Index({telep, -code, name}, true);
    std::vector<TBytes> entries;
    std::int32_t recordNo = 0;
    for (const char* text : {"Öcsöd", "Őcsény", "Budapest", "Buda", "Zsámbék", "Asszonyfa"}) {
        for (const std::int64_t n : {1, 2}) {
            entries.push_back(
                t.Entry(def, {Text(Wide(text)), Int(n), Text(Wide(text))}, ++recordNo));
        }
    }
    entries.push_back(t.Entry(def, {Null(), Null(), Null()}, ++recordNo));
    auto comparator = std::make_shared<TTdbKeyComparator>(t.Keys(), def);
    const TTdbTreeLess less = t.Keys().GetTreeLess(comparator);
    std::int64_t count = 0;
    const auto compareAll = [&] {
        for (const TBytes& a : entries) {
            for (const TBytes& b : entries) {
                bool unique = true;
                count += comparator->IndexLess(a, b, unique, 0) ? 1 : 0;
                count += less(a, b, unique, scoCaseSensitive, &def) ? 1 : 0;
            }
        }
    };
    compareAll();  // the collation's first use of a locale may set it up
    EXPECT_EQ(testing::AllocationsIn(compareAll), 0);
    EXPECT_GT(count, 0);
}

}  // namespace
}  // namespace tdb
