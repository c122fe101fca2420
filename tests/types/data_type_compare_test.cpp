// Comparison of values across types: which pairs compare, their order,
// mirroring, NULLs, collations, prefix bounds and wildcard matching.
#include <gtest/gtest.h>

#include <limits>

#include "platform/exception.h"
#include "types/data_type.h"

namespace tdb {
namespace {

const TTdbDataType* T(TTdbColumnType code, bool nullable = true) {
    return TTdbDataType::GetDataType(code, nullable, 6);
}

const TTdbStringType* Str(TTdbColumnType code, std::u16string_view collation = u"",
                          std::int32_t length = 40) {
    return TTdbDataType::GetStringType(code, true, length, collation, 6);
}

int CompareStrings(const TTdbDataType* t1, std::u16string_view a, const TTdbDataType* t2,
                   std::u16string_view b) {
    TTdbDataValue v1, v2;
    t1->SetWideString(v1, a);
    t2->SetWideString(v2, b);
    return TTdbDataType::Compare(v1, v2, t1, t2);
}

TEST(DataTypeCompareTest, NumbersAcrossKinds) {
    TTdbDataValue i, f, b;
    T(ctInteger)->SetInteger(i, 3);
    T(ctFloat)->SetDouble(f, 3.0000000000000004);
    EXPECT_EQ(TTdbDataType::Compare(i, f, T(ctInteger), T(ctFloat)), kCompareEqual);
    EXPECT_EQ(TTdbDataType::Compare(f, i, T(ctFloat), T(ctInteger)), kCompareEqual);
    T(ctFloat)->SetDouble(f, 3.001);
    // Integer does not accept Float: Float answers and the result is mirrored.
    EXPECT_EQ(TTdbDataType::Compare(i, f, T(ctInteger), T(ctFloat)), kCompareLess);
    EXPECT_EQ(TTdbDataType::Compare(f, i, T(ctFloat), T(ctInteger)), kCompareGreater);
    T(ctFloat)->SetDouble(f, 1e-16);
    T(ctFloat)->SetDouble(b, -1e-16);
    EXPECT_EQ(TTdbDataType::Compare(f, b, T(ctFloat), T(ctFloat)), kCompareEqual);

    T(ctBigInt)->SetInteger(b, -5);
    T(ctByte)->SetInteger(i, 200);
    EXPECT_EQ(TTdbDataType::Compare(b, i, T(ctBigInt), T(ctByte)), kCompareLess);
    T(ctInteger)->SetNull(i);
    EXPECT_EQ(TTdbDataType::Compare(b, i, T(ctBigInt), T(ctInteger)), kCompareUndetermined);
    EXPECT_EQ(TTdbDataType::Compare(i, b, T(ctInteger), T(ctBigInt)), kCompareUndetermined);
}

// Sorting and filtering need one order: NaN equals NaN and lies above +infinity.
TEST(DataTypeCompareTest, FloatsFormOneTotalOrderWithNaNOnTop) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Ranked {
        double value;
        int rank;
    };
    const Ranked values[] = {{-inf, 0},
                             {-1e308, 1},
                             {-1, 2},
                             {-0.0, 3},
                             {0.0, 3},
                             {5, 4},
                             {1e308, 5},
                             {inf, 6},
                             {nan, 7},
                             {-nan, 7},
                             {std::numeric_limits<double>::signaling_NaN(), 7}};
    const TTdbDataType* f = T(ctFloat);
    for (const Ranked& a : values) {
        for (const Ranked& b : values) {
            TTdbDataValue va, vb;
            f->SetDouble(va, a.value);
            f->SetDouble(vb, b.value);
            const int expected = a.rank < b.rank   ? kCompareLess
                                 : a.rank > b.rank ? kCompareGreater
                                                   : kCompareEqual;
            EXPECT_EQ(TTdbDataType::Compare(va, vb, f, f), expected) << a.value << " " << b.value;
        }
    }
    // An integer meets NaN through the Float side, mirrored.
    TTdbDataValue i, n;
    T(ctInteger)->SetInteger(i, 5);
    f->SetDouble(n, nan);
    EXPECT_EQ(TTdbDataType::Compare(i, n, T(ctInteger), f), kCompareLess);
    EXPECT_EQ(TTdbDataType::Compare(n, i, f, T(ctInteger)), kCompareGreater);
}

TEST(DataTypeCompareTest, EnumsWithIntegers) {
    const TTdbDataType* e = TTdbDataType::GetEnumType(u"E", u"a,b,c", u',', 0, true, 6);
    TTdbDataValue ve, vi;
    e->SetInteger(ve, 2);
    T(ctInteger)->SetInteger(vi, 3);
    EXPECT_EQ(TTdbDataType::Compare(ve, vi, e, T(ctInteger)), kCompareLess);
    EXPECT_EQ(TTdbDataType::Compare(vi, ve, T(ctInteger), e), kCompareGreater);
}

TEST(DataTypeCompareTest, DatesTimesAndStamps) {
    TTdbDataValue d, ts, t1, t2;
    T(ctDate)->SetDate(d, PackDate(2024, 2, 29));
    T(ctTimeStamp)->SetTimeStamp(ts, {PackDate(2024, 2, 29), 0});
    EXPECT_EQ(TTdbDataType::Compare(d, ts, T(ctDate), T(ctTimeStamp)), kCompareEqual);
    T(ctTimeStamp)->SetTimeStamp(ts, {PackDate(2024, 2, 29), 1});
    EXPECT_EQ(TTdbDataType::Compare(d, ts, T(ctDate), T(ctTimeStamp)), kCompareLess);
    EXPECT_EQ(TTdbDataType::Compare(ts, d, T(ctTimeStamp), T(ctDate)), kCompareGreater);
    // Different precisions compare by ticks.
    const TTdbDataType* minutes = TTdbDataType::GetDateTimeType(ctTime, true, 2, 6);
    minutes->SetTime(t1, 90 * kTicksPerMinute);
    T(ctTime)->SetTime(t2, 90 * kTicksPerMinute + kTicksPerMillisecond);
    EXPECT_EQ(TTdbDataType::Compare(t1, t2, minutes, T(ctTime)), kCompareLess);
    EXPECT_FALSE(TTdbDataType::CanCompare(T(ctTime), T(ctDate)));
}

TEST(DataTypeCompareTest, CharsGuidsAndIncomparables) {
    TTdbDataValue a, b;
    T(ctChar)->SetAnsiString(a, "\xE9");
    T(ctChar)->SetAnsiString(b, "z");
    EXPECT_EQ(TTdbDataType::Compare(a, b, T(ctChar), T(ctChar)), kCompareGreater);  // unsigned

    TTdbGuid g1{1, 2, 3, {0, 0, 0, 0, 0, 0, 0, 9}};
    TTdbGuid g2{1, 2, 3, {0, 1, 0, 0, 0, 0, 0, 0}};
    T(ctGuid)->SetGuid(a, g1);
    T(ctGuid)->SetGuid(b, g2);
    // Bytes 8-9 as one little-endian number decide before byte 15.
    EXPECT_EQ(TTdbDataType::Compare(a, b, T(ctGuid), T(ctGuid)), kCompareLess);

    EXPECT_FALSE(TTdbDataType::CanCompare(T(ctInteger), Str(ctString)));
    T(ctInteger)->SetInteger(a, 1);
    Str(ctString)->SetAnsiString(b, "1");
    try {
        TTdbDataType::Compare(a, b, T(ctInteger), Str(ctString));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Cannot compare these types");
    }
}

TEST(DataTypeCompareTest, StringsUnderTheirCollation) {
    const TTdbDataType* s = Str(ctString);
    const TTdbDataType* w = Str(ctWideString);
    EXPECT_EQ(CompareStrings(s, u"abc", s, u"ABC"), kCompareEqual);
    EXPECT_EQ(CompareStrings(s, u"Eva", s, u"\u00C9va"), kCompareLess);
    EXPECT_EQ(CompareStrings(s, u"a^b", s, u"a b"), kCompareEqual);
    EXPECT_EQ(CompareStrings(w, u"Buda", w, u"Budapest"), kCompareLess);
    // The caller's options add to the collation's.
    TTdbDataValue v1, v2;
    s->SetAnsiString(v1, "abc");
    s->SetAnsiString(v2, "ABC");
    EXPECT_EQ(TTdbDataType::Compare(v1, v2, s, s, scoCaseSensitive), kCompareGreater);
    // A narrow operand is widened for a wide receiver, also when it is the left one.
    EXPECT_EQ(CompareStrings(w, u"\u00E1rok", s, u"\u00C1rok"), kCompareEqual);
    EXPECT_EQ(CompareStrings(s, u"Arok", w, u"\u00C1rz"), kCompareLess);
    EXPECT_FALSE(s->CanCompareTo(w));
    EXPECT_TRUE(w->CanCompareTo(s));

    const TTdbDataType* h = Str(ctWideString, u"Hungarian");
    EXPECT_EQ(CompareStrings(h, u"cukor", h, u"csak"), kCompareLess);
    EXPECT_EQ(CompareStrings(h, u"\u00D6cs", h, u"\u0150cs\u00E9ny"), kCompareLess);
    EXPECT_EQ(CompareStrings(h, u"GY\u00C1R", h, u"gy\u00E1r"), kCompareEqual);
    // Narrow Hungarian text goes through windows-1250, so "ő" survives.
    const TTdbDataType* hs = Str(ctString, u"Hungarian");
    EXPECT_EQ(CompareStrings(h, u"\u0150r", hs, u"\u0150r"), kCompareEqual);
    EXPECT_EQ(CompareStrings(s, u"x", s, u""), kCompareGreater);
    s->SetNull(v1);
    EXPECT_EQ(TTdbDataType::Compare(v1, v2, s, s), kCompareUndetermined);
}

TEST(DataTypeCompareTest, PrefixBounds) {
    const TTdbStringType* s = Str(ctWideString);
    TTdbDataValue bound, plain;
    s->SetWideString(bound, u"Buda");
    s->GetMaximumFill(bound);
    EXPECT_EQ(s->GetLength(bound), 5);
    for (const char16_t* text : {u"Buda", u"Budapest", u"buda"}) {
        s->SetWideString(plain, text);
        EXPECT_EQ(TTdbDataType::Compare(bound, plain, s, s), kCompareGreater);
    }
    s->SetWideString(plain, u"Budb");
    EXPECT_EQ(TTdbDataType::Compare(bound, plain, s, s), kCompareLess);
    // The maximum is above every string; no room is left for a NUL at the limit.
    s->GetMaximum(bound);
    s->SetWideString(plain, u"\uFFFF\uFFFF");
    EXPECT_EQ(TTdbDataType::Compare(bound, plain, s, s), kCompareGreater);
    const TTdbStringType* two = Str(ctWideString, u"", 2);
    two->SetWideString(plain, u"ab");
    two->GetMaximumFill(plain);
    EXPECT_EQ(two->GetLength(plain), 2);
}

// A cell's image can be read only through the kind that wrote it; a cell of
// another kind is refused and keeps its value instead of becoming the empty bound.
TEST(DataTypeCompareTest, PrefixBoundOfAnotherKindIsRefused) {
    const TTdbStringType* ansi = Str(ctString);
    const TTdbStringType* wide = Str(ctWideString);
    const TTdbStringType* memo = static_cast<const TTdbStringType*>(T(ctMemo));
    struct Case {
        const TTdbStringType* holder;
        const TTdbStringType* filler;
        const char16_t* failure;
    };
    for (const Case& c :
         {Case{wide, ansi, u"Is not an ANSI string."}, Case{ansi, wide, u"Is not a wide string."},
          Case{memo, ansi, u"Is not an ANSI string."}}) {
        TTdbDataValue v;
        c.holder->SetWideString(v, u"Buda");
        std::u16string failure;
        try {
            c.filler->GetMaximumFill(v);
        } catch (const Exception& e) {
            failure = e.Message();
        }
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(c.holder->GetWideString(v), u"Buda");
    }
    TTdbDataValue i;
    T(ctInteger)->SetInteger(i, 7);
    EXPECT_THROW(ansi->GetMaximumFill(i), Exception);
    EXPECT_EQ(T(ctInteger)->GetInteger(i), 7);
    // An empty cell becomes the bound of the empty string, as a value of the kind would.
    TTdbDataValue empty, plain;
    wide->GetMaximumFill(empty);
    wide->SetWideString(plain, u"\uFFFF");
    EXPECT_EQ(TTdbDataType::Compare(empty, plain, wide, wide), kCompareGreater);
}

TEST(DataTypeCompareTest, WildcardMatching) {
    const TTdbStringType* s = Str(ctString);
    const TTdbStringType* w = Str(ctWideString);
    struct Case {
        const char16_t* value;
        const char16_t* pattern;
        bool matches;
    };
    for (const Case& c : {Case{u"Budapest", u"Buda*", true}, Case{u"Budapest", u"buda?est", true},
                          Case{u"Budapest", u"Buda", false}, Case{u"", u"", true},
                          Case{u"x", u"", false}, Case{u"50%", u"50\\%", true}}) {
        TTdbDataValue v, p;
        s->SetWideString(v, c.value);
        s->SetWideString(p, c.pattern);
        char16_t multi = c.pattern[0] == u'5' ? u'%' : u'*';
        EXPECT_EQ(s->Matches(v, p, s, multi, u'?', u'\\'), c.matches) << int(c.value[0]);
        // Mixed widths go through UTF-16.
        w->SetWideString(v, c.value);
        EXPECT_EQ(w->Matches(v, p, s, multi, u'?', u'\\'), c.matches);
    }
    TTdbDataValue v, p;
    s->SetNull(v);
    s->SetWideString(p, u"*");
    EXPECT_FALSE(s->Matches(v, p, s, u'*', u'?', 0));
}

}  // namespace
}  // namespace tdb
