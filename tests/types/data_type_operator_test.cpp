// Operators, result types, defaults, minima and maxima, common types and the
// failures of what a type does not support.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "base/engine_error.h"
#include "platform/exception.h"
#include "types/data_type.h"
#include "types/type_errors.h"

namespace tdb {
namespace {

using Op = TTdbDataBinaryOperator;
using Unary = TTdbDataUnaryOperator;

const TTdbDataType* T(TTdbColumnType code, bool nullable = false) {
    return TTdbDataType::GetDataType(code, nullable, 6);
}

std::u16string PlainText(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return {};
}

std::int16_t EngineCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Code();
    }
    return 0;
}

TEST(DataTypeOperatorTest, IntegerResultTypes) {
    struct Case {
        TTdbColumnType a;
        TTdbColumnType b;
        Op op;
        TTdbColumnType result;
    };
    for (const Case& c :
         {Case{ctSmallInt, ctByte, Op::Add, ctInteger},
          Case{ctByte, ctByte, Op::Subtract, ctSmallInt},
          Case{ctInteger, ctSmallInt, Op::Add, ctBigInt},
          Case{ctSmallInt, ctSmallInt, Op::Multiply, ctInteger},
          Case{ctAutoInc, ctByte, Op::Multiply, ctBigInt},
          Case{ctByte, ctByte, Op::Divide, ctFloat},
          Case{ctLink, ctSmallInt, Op::IntDivide, ctInteger},
          Case{ctByte, ctByte, Op::Remainder, ctByte},
          Case{ctSmallInt, ctByte, Op::And, ctSmallInt}, Case{ctInteger, ctFloat, Op::Add, ctFloat},
          Case{ctDate, ctInteger, Op::Add, ctDate}, Case{ctInteger, ctDate, Op::Add, ctDate},
          Case{ctDate, ctFloat, Op::Subtract, ctTimeStamp},
          Case{ctDate, ctDate, Op::Subtract, ctInteger},
          Case{ctTimeStamp, ctDate, Op::Subtract, ctFloat},
          Case{ctTime, ctTime, Op::Subtract, ctFloat}, Case{ctTime, ctSmallInt, Op::Add, ctTime}}) {
        const TTdbDataType* r = TTdbDataType::GetResultDataType(c.op, T(c.a), T(c.b));
        ASSERT_NE(r, nullptr) << c.a << " " << c.b;
        EXPECT_EQ(r->GetColumnType(), c.result) << c.a << " " << c.b;
    }
    EXPECT_TRUE(
        TTdbDataType::GetResultDataType(Op::Add, T(ctInteger, true), T(ctInteger))->GetNullable());
    EXPECT_EQ(TTdbDataType::GetResultDataType(Op::And, T(ctFloat), T(ctInteger)), nullptr);
    EXPECT_EQ(TTdbDataType::GetResultDataType(Op::Add, T(ctDate), T(ctDate)), nullptr);
}

TEST(DataTypeOperatorTest, IntegerArithmetic) {
    TTdbDataValue a, b, r;
    T(ctSmallInt)->SetInteger(a, 30000);
    T(ctSmallInt)->SetInteger(b, 30000);
    TTdbDataType::Calculate(Op::Add, a, b, r, T(ctSmallInt), T(ctSmallInt));
    EXPECT_EQ(r.ColumnType(), ctInteger);
    EXPECT_EQ(T(ctInteger)->GetInteger(r), 60000);
    TTdbDataType::Calculate(Op::Divide, a, b, r, T(ctSmallInt), T(ctSmallInt));
    EXPECT_EQ(T(ctFloat)->GetDouble(r), 1.0);

    T(ctByte)->SetInteger(a, 7);
    T(ctByte)->SetInteger(b, 0);
    EXPECT_THROW(TTdbDataType::Calculate(Op::IntDivide, a, b, r, T(ctByte), T(ctByte)), EDivByZero);
    EXPECT_THROW(TTdbDataType::Calculate(Op::Remainder, a, b, r, T(ctByte), T(ctByte)), EDivByZero);
    EXPECT_EQ(
        EngineCode([&] { TTdbDataType::Calculate(Op::Divide, a, b, r, T(ctByte), T(ctByte)); }),
        178);
    // The result type's range is checked: Byte - Byte gives a SmallInt, Byte % Byte a Byte.
    T(ctByte)->SetInteger(b, 9);
    TTdbDataType::Calculate(Op::Subtract, a, b, r, T(ctByte), T(ctByte));
    EXPECT_EQ(T(ctSmallInt)->GetInteger(r), -2);
    // 64-bit overflow is reported, not wrapped.
    T(ctBigInt)->SetInteger(a, INT64_MAX);
    EXPECT_EQ(
        EngineCode([&] { TTdbDataType::Calculate(Op::Add, a, a, r, T(ctBigInt), T(ctBigInt)); }),
        81);
    // NULL in, NULL out.
    T(ctInteger, true)->SetNull(a);
    T(ctInteger)->SetInteger(b, 1);
    TTdbDataType::Calculate(Op::Add, a, b, r, T(ctInteger, true), T(ctInteger));
    EXPECT_TRUE(T(ctBigInt, true)->IsNull(r));

    T(ctByte)->SetInteger(a, 0x0F);
    TTdbDataType::Calculate(Unary::Complement, a, r, T(ctByte));
    EXPECT_EQ(T(ctByte)->GetInteger(r), 0xF0);
    T(ctSmallInt)->SetInteger(a, -32768);
    TTdbDataType::Calculate(Unary::Negate, a, r, T(ctSmallInt));
    EXPECT_EQ(T(ctInteger)->GetInteger(r), 32768);
}

TEST(DataTypeOperatorTest, FloatAndDateArithmetic) {
    TTdbDataValue a, b, r;
    T(ctFloat)->SetDouble(a, 1.5);
    T(ctInteger)->SetInteger(b, 0);
    EXPECT_EQ(
        EngineCode([&] { TTdbDataType::Calculate(Op::Divide, a, b, r, T(ctFloat), T(ctInteger)); }),
        178);
    T(ctInteger)->SetInteger(b, 2);
    TTdbDataType::Calculate(Op::Multiply, b, a, r, T(ctInteger), T(ctFloat));
    EXPECT_EQ(T(ctFloat)->GetDouble(r), 3.0);

    T(ctDate)->SetDate(a, PackDate(2024, 2, 28));
    TTdbDataType::Calculate(Op::Add, a, b, r, T(ctDate), T(ctInteger));
    EXPECT_EQ(T(ctDate)->GetDate(r), PackDate(2024, 3, 1));
    TTdbDataValue d2;
    T(ctDate)->SetDate(d2, PackDate(2023, 2, 28));
    TTdbDataType::Calculate(Op::Subtract, a, d2, r, T(ctDate), T(ctDate));
    EXPECT_EQ(T(ctInteger)->GetInteger(r), 365);

    T(ctFloat)->SetDouble(b, 0.25);
    TTdbDataType::Calculate(Op::Add, a, b, r, T(ctDate), T(ctFloat));
    TTdbTimeStamp ts = T(ctTimeStamp)->GetTimeStamp(r);
    EXPECT_EQ(ts.Date, PackDate(2024, 2, 28));
    EXPECT_EQ(ts.Time, 6 * 3600000);

    // Time plus minutes wraps around midnight.
    T(ctTime)->SetTime(a, 23 * kTicksPerHour);
    T(ctInteger)->SetInteger(b, 90);
    TTdbDataType::Calculate(Op::Add, a, b, r, T(ctTime), T(ctInteger));
    EXPECT_EQ(T(ctTime)->GetTime(r), 30 * kTicksPerMinute);
    TTdbDataType::Calculate(Op::Subtract, r, a, d2, T(ctTime), T(ctTime));
    EXPECT_EQ(T(ctFloat)->GetDouble(d2), -1350.0);
}

std::u16string EngineMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Message();
    }
    return {};
}

// A 64-bit result that overflows names its exact value, which no 64-bit integer holds.
TEST(DataTypeOperatorTest, OverflowMessagesNameTheExactResult) {
    const TTdbDataType* big = T(ctBigInt);
    TTdbDataValue max, min, two, minusOne, r;
    big->SetInteger(max, INT64_MAX);
    big->SetInteger(min, INT64_MIN);
    big->SetInteger(two, 2);
    big->SetInteger(minusOne, -1);
    const std::u16string range =
        u" of type BigInt exceeds the allowed range from -9223372036854775808 to "
        u"9223372036854775807";
    struct Case {
        const char* what;
        std::function<void()> action;
        std::u16string value;
    };
    const Case cases[] = {
        {"max + 1", [&] { TTdbDataType::Calculate(Op::Add, max, two, r, big, big); },
         u"9223372036854775809"},
        {"min - 2", [&] { TTdbDataType::Calculate(Op::Subtract, min, two, r, big, big); },
         u"-9223372036854775810"},
        {"max * max", [&] { TTdbDataType::Calculate(Op::Multiply, max, max, r, big, big); },
         u"85070591730234615847396907784232501249"},
        {"min div -1", [&] { TTdbDataType::Calculate(Op::IntDivide, min, minusOne, r, big, big); },
         u"9223372036854775808"},
        {"-min", [&] { TTdbDataType::Calculate(Unary::Negate, min, r, big); },
         u"9223372036854775808"},
        {"succ max", [&] { TTdbDataType::Calculate(Unary::Successor, max, r, big); },
         u"9223372036854775808"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EngineMessage(c.action), u"Value " + c.value + range) << c.what;
    }
}

// Day arithmetic checks its operands before computing, so that no operand is
// large enough to overflow on the way to the range check.
TEST(DataTypeOperatorTest, DateArithmeticWithHugeOperandsIsOutOfRange) {
    const TTdbDataType* date = T(ctDate);
    const TTdbDataType* stamp = T(ctTimeStamp);
    TTdbDataValue d, ts, n, r;
    date->SetDate(d, PackDate(2015, 3, 2));
    stamp->SetTimeStamp(ts, {PackDate(2015, 3, 2), 1000});
    struct Case {
        const char* what;
        const TTdbDataType* when;
        const TTdbDataValue* value;
        const TTdbDataType* number;
        std::function<void()> setNumber;
        Op op;
    };
    const Case cases[] = {
        {"date + bigint max", date, &d, T(ctBigInt), [&] { T(ctBigInt)->SetInteger(n, INT64_MAX); },
         Op::Add},
        {"date - bigint min", date, &d, T(ctBigInt), [&] { T(ctBigInt)->SetInteger(n, INT64_MIN); },
         Op::Subtract},
        {"date + bigint min", date, &d, T(ctBigInt), [&] { T(ctBigInt)->SetInteger(n, INT64_MIN); },
         Op::Add},
        {"stamp + 1.07e11 days", stamp, &ts, T(ctFloat), [&] { T(ctFloat)->SetDouble(n, 1.07e11); },
         Op::Add},
        {"stamp - 1.06e11 days", stamp, &ts, T(ctFloat), [&] { T(ctFloat)->SetDouble(n, 1.06e11); },
         Op::Subtract},
        {"date + 1.06e11 days", date, &d, T(ctFloat), [&] { T(ctFloat)->SetDouble(n, 1.06e11); },
         Op::Add},
        {"date + NaN days", date, &d, T(ctFloat),
         [&] { T(ctFloat)->SetDouble(n, std::numeric_limits<double>::quiet_NaN()); }, Op::Add},
        {"date + 3652060 days", date, &d, T(ctInteger),
         [&] { T(ctInteger)->SetInteger(n, 3652060); }, Op::Add},
        {"date - 736000 days", date, &d, T(ctInteger), [&] { T(ctInteger)->SetInteger(n, 736000); },
         Op::Subtract},
    };
    for (const Case& c : cases) {
        c.setNumber();
        EXPECT_EQ(
            EngineCode([&] { TTdbDataType::Calculate(c.op, *c.value, n, r, c.when, c.number); }),
            81)
            << c.what;
    }
    // Within range the same arithmetic still works.
    T(ctFloat)->SetDouble(n, -0.5);
    TTdbDataType::Calculate(Op::Add, ts, n, r, stamp, T(ctFloat));
    EXPECT_EQ(stamp->GetTimeStamp(r).Date, PackDate(2015, 3, 1));
    EXPECT_EQ(stamp->GetTimeStamp(r).Time, 43201000);
}

TEST(DataTypeOperatorTest, StringConcatenationAndCase) {
    const TTdbDataType* s30 = TTdbDataType::GetStringType(ctString, false, 30000, u"", 6);
    const TTdbDataType* s10 = TTdbDataType::GetStringType(ctString, true, 10, u"", 6);
    auto* r =
        static_cast<const TTdbStringType*>(TTdbDataType::GetResultDataType(Op::Add, s30, s30));
    EXPECT_EQ(r->GetMaxLength(), 32764);
    r = static_cast<const TTdbStringType*>(TTdbDataType::GetResultDataType(Op::Add, s10, s10));
    EXPECT_EQ(r->GetMaxLength(), 20);
    EXPECT_TRUE(r->GetNullable());
    EXPECT_EQ(TTdbDataType::GetResultDataType(Op::Add, s10, T(ctMemo))->GetColumnType(), ctMemo);
    const TTdbDataType* w = TTdbDataType::GetStringType(ctWideString, false, 5, u"Hungarian", 6);
    EXPECT_EQ(TTdbDataType::GetResultDataType(Op::Add, s10, w)->GetColumnType(), ctWideString);

    TTdbDataValue a, b, out;
    s10->SetAnsiString(a, "Buda");
    w->SetWideString(b, u"őrs");
    TTdbDataType::Calculate(Op::Add, a, b, out, s10, w);
    auto* rt = TTdbDataType::GetResultDataType(Op::Add, s10, w);
    EXPECT_EQ(rt->GetWideString(out), u"Budaőrs");
    TTdbDataType::Calculate(Unary::UpperCase, b, out, w);
    EXPECT_EQ(w->GetWideString(out), u"ŐRS");
    EXPECT_EQ(PlainText([&] { TTdbDataType::Calculate(Op::Subtract, a, a, out, s10, s10); }),
              u"Cannot perform this operation on these data types.");
    EXPECT_EQ(PlainText([&] { TTdbDataType::Calculate(Unary::Negate, a, out, s10); }),
              u"Cannot perform the operation on this data type.");
}

TEST(DataTypeOperatorTest, DefaultsMinimaAndMaxima) {
    TTdbDataValue v;
    T(ctSmallInt)->GetMinimum(v);
    EXPECT_EQ(T(ctSmallInt)->GetInteger(v), -32768);
    T(ctSmallInt, true)->GetMinimum(v);
    EXPECT_TRUE(T(ctSmallInt, true)->IsNull(v));  // NULL sorts first from level 4
    TTdbDataType::GetDataType(ctSmallInt, true, 3)->GetMinimum(v);
    EXPECT_EQ(TTdbDataType::GetDataType(ctSmallInt, true, 3)->GetInteger(v), -32768);
    T(ctFloat)->GetMaximum(v);
    EXPECT_EQ(T(ctFloat)->GetDouble(v), 1e16);
    T(ctDate)->GetDefault(v);
    EXPECT_EQ(T(ctDate)->GetDate(v), kMinPackedDate);
    T(ctTimeStamp)->GetMaximum(v);
    EXPECT_EQ(T(ctTimeStamp)->GetTimeStamp(v).Time, 86399999);
    T(ctTime)->GetMaximum(v);
    // Stored in milliseconds at precision 4.
    EXPECT_EQ(T(ctTime)->GetTime(v), kMaxTimeTicks / kTicksPerMillisecond * kTicksPerMillisecond);
    T(ctChar)->GetMaximum(v);
    EXPECT_EQ(T(ctChar)->GetAnsiString(v), "\xFE");
    T(ctChar, true)->GetDefault(v);
    EXPECT_TRUE(T(ctChar, true)->IsNull(v));
    T(ctGuid)->GetMaximum(v);
    EXPECT_EQ(T(ctGuid)->GetGuid(v).D1, 0xFFFFFFFFU);
    const TTdbDataType* e = TTdbDataType::GetEnumType(u"E", u"x,y", u',', 0, false, 6);
    e->GetDefault(v);
    EXPECT_EQ(e->GetInteger(v), 1);
}

TEST(DataTypeOperatorTest, CommonTypes) {
    EXPECT_EQ(TTdbDataType::GetSuperType(T(ctNull, true), T(ctInteger)), T(ctInteger, true));
    EXPECT_EQ(TTdbDataType::GetSuperType(T(ctByte), T(ctInteger, true)), T(ctInteger, true));
    EXPECT_EQ(TTdbDataType::GetSuperType(T(ctInteger), T(ctFloat)), T(ctFloat));
    const TTdbDataType* s10 = TTdbDataType::GetStringType(ctString, false, 10, u"", 6);
    const TTdbDataType* s20 = TTdbDataType::GetStringType(ctString, false, 20, u"", 6);
    EXPECT_EQ(TTdbDataType::GetSuperType(s10, s20), s20);
    EXPECT_EQ(TTdbDataType::GetSuperType(T(ctChar), s10), s10);
    const TTdbDataType* ts = TTdbDataType::GetSuperType(
        T(ctDate), TTdbDataType::GetDateTimeType(ctTimeStamp, true, 3, 5));
    EXPECT_EQ(ts, TTdbDataType::GetDateTimeType(ctTimeStamp, true, 4, 6));
    EXPECT_EQ(TTdbDataType::GetSuperType(T(ctGuid), T(ctInteger)), nullptr);
}

TEST(DataTypeOperatorTest, UnsupportedGettersAndSetters) {
    TTdbDataValue v;
    T(ctInteger)->SetInteger(v, 1);
    struct Case {
        std::function<void()> action;
        const char16_t* text;
    };
    for (const Case& c : std::initializer_list<Case>{
             {[&] { T(ctDate)->GetInteger(v); }, u"Is not an integer."},
             {[&] { T(ctInteger)->GetDate(v); }, u"Is not a date."},
             {[&] { T(ctInteger)->GetWideString(v); }, u"Is not a wide string."},
             {[&] { T(ctInteger)->GetAnsiString(v); }, u"Is not an ANSI string."},
             {[&] { T(ctInteger)->GetGuid(v); }, u"Is not a GUID."},
             {[&] { T(ctInteger)->GetBytes(v); }, u"Is not a binary."},
             {[&] { T(ctInteger)->GetObject(v); }, u"Is not a class."},
             {[&] { T(ctDate)->SetTime(v, 0); }, u"Cannot assign time."},
             {[&] { T(ctGuid)->SetInteger(v, 0); }, u"Cannot assign integer."},
             {[&] { T(ctInteger)->SetWideString(v, u"1"); }, u"Cannot assign Unicode string."},
             {[&] { T(ctInteger)->SetBytes(v, {}); }, u"Cannot assign bytes."},
         }) {
        EXPECT_EQ(PlainText(c.action), c.text);
    }
    std::u16string message;
    try {
        T(ctGuid)->GetDouble(v);
    } catch (const ETdbEngine& e) {
        EXPECT_EQ(e.Code(), 44);
        message = e.Message();
    }
    EXPECT_EQ(message, u"Type mismatch: Guid->Double");
    EXPECT_EQ(T(ctInteger)->GetInteger(v), 1);  // nothing changed the cell
}

}  // namespace
}  // namespace tdb
