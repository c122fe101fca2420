// Helpers shared by the units of the data types: failure texts, result
// codes, rounding and the conversion rules between kinds.
#pragma once

#include <cstdint>
#include <string>

#include "types/data_type.h"

namespace tdb::detail {

// A getter or setter the type does not have, or another plain failure.
[[noreturn]] void RaisePlain(const char16_t* text);

// 1 less, 2 equal, 3 greater.
template <typename T>
inline int ThreeWay(const T& a, const T& b) noexcept {
    return a < b ? kCompareLess : (b < a ? kCompareGreater : kCompareEqual);
}
inline int FromSign(int sign) noexcept {
    return sign < 0 ? kCompareLess : (sign > 0 ? kCompareGreater : kCompareEqual);
}

// Exact results of 64-bit arithmetic that overflowed, for naming them in messages.
__extension__ typedef __int128 TWideInteger;
std::u16string WideIntegerText(TWideInteger value);

// Raises ETdbEngine 81 for a day number outside the calendar, named by Value.
[[noreturn]] void RaiseDayRange(std::u16string value, const TTdbDataType* target);

// Nearest integer, ties to even. Raises ETdbEngine 81 for values that no
// 64-bit integer holds (named by TypeName).
std::int64_t RoundToInt64(double v, const TTdbDataType* target);

// Cuts a number to the width of an Integer-family code: SmallInt low 16 bits,
// Byte low 8, Boolean non-zero as 1, 32-bit kinds low 32 (sign-extended).
std::int64_t CutToWidth(TTdbColumnType columnType, std::int64_t v) noexcept;

// Writes into Target (a fresh cell of type To) the value FromValue of type
// From converted by the value rules. The caller has checked that the types convert.
void ConvertValue(const TTdbDataValue& fromValue, const TTdbDataType* from, TTdbDataValue& target,
                  const TTdbDataType* to);

// The integer result kind of two Integer-family types under Op.
TTdbColumnType IntegerResultKind(TTdbDataBinaryOperator op, TTdbColumnType a, TTdbColumnType b);

}  // namespace tdb::detail
