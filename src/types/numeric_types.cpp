// The Integer family (SmallInt, Byte, Boolean, AutoInc, Link, the Blob block
// reference, Integer, BigInt) and Float: images, ranges, comparison, text
// forms and arithmetic.
#include <cmath>
#include <limits>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "types/data_type.h"
#include "types/data_type_internal.h"
#include "types/text_forms.h"
#include "types/type_errors.h"

namespace tdb {

using detail::RaisePlain;
using detail::ThreeWay;

namespace {

bool IsZeroNullCode(TTdbColumnType code) noexcept {
    return code == ctAutoInc || code == ctLink || code == ctBlob;
}


std::int32_t IntegerValueSize(TTdbColumnType code) noexcept {
    switch (code) {
        case ctSmallInt:
            return 2;
        case ctByte:
        case ctBoolean:
            return 1;
        case ctBigInt:
            return 8;
        default:
            return 4;
    }
}

const TTdbDataType* IntegerOfKind(TTdbColumnType kind, bool nullable, std::int16_t level) {
    return TTdbDataType::GetIntegerType(kind, nullable, level);
}

}  // namespace

bool TTdbDataType::MarksNullByZero(TTdbColumnType columnType) noexcept {
    switch (columnType) {
        case ctDate:
        case ctMemo:
        case ctEnum:
        case ctLink:
        case ctBlob:
        case ctRelation:
        case ctTimeStamp:
        case ctWideMemo:
            return true;
        default:
            return false;
    }
}

TTdbNumericType::TTdbNumericType(TTdbColumnType columnType, bool nullable, std::int16_t level,
                                 std::int32_t valueSize) noexcept
    : TTdbDataType(columnType, nullable, level),
      FHasNullByte(nullable && MayBeNullable(columnType, level) && !MarksNullByZero(columnType)),
      FDataSize(valueSize + (FHasNullByte ? 1 : 0)) {}

// ---------------------------------------------------------------------------
// Integer family

TTdbIntegerType::TTdbIntegerType(TTdbColumnType columnType, bool nullable,
                                 std::int16_t level) noexcept
    : TTdbNumericType(columnType, nullable, level, IntegerValueSize(columnType)),
      FValueSize(IntegerValueSize(columnType)),
      FValueAt(FHasNullByte && level >= 6 ? 1 : 0),
      FIndicatorAt(!FHasNullByte ? -1 : (level >= 6 ? 0 : FValueSize)) {
    FIntegerFamily = true;
}

std::int32_t TTdbIntegerType::GetValueSize() const noexcept {
    return FValueSize;
}

bool TTdbIntegerType::IsNullImage(const std::uint8_t* image) const noexcept {
    if (FIndicatorAt >= 0) {
        return image[FIndicatorAt] == 0;
    }
    return IsZeroNullCode(FColumnType) && LoadLE<std::int32_t>(image) == 0;
}

std::int64_t TTdbIntegerType::LoadValue(const std::uint8_t* image) const noexcept {
    image += FValueAt;
    switch (FValueSize) {
        case 1:
            return image[0];
        case 2:
            return LoadLE<std::int16_t>(image);
        case 4:
            return LoadLE<std::int32_t>(image);
        default:
            return LoadLE<std::int64_t>(image);
    }
}

std::int64_t TTdbIntegerType::GetRangeMin() const noexcept {
    switch (FColumnType) {
        case ctSmallInt:
            return -32768;
        case ctByte:
        case ctBoolean:
        case ctAutoInc:
        case ctLink:
        case ctBlob:
            return 0;
        case ctInteger:
            return std::numeric_limits<std::int32_t>::min();
        default:
            return std::numeric_limits<std::int64_t>::min();
    }
}

std::int64_t TTdbIntegerType::GetRangeMax() const noexcept {
    switch (FColumnType) {
        case ctSmallInt:
            return 32767;
        case ctByte:
            return 255;
        case ctBoolean:
            return 1;
        case ctAutoInc:
        case ctLink:
        case ctBlob:
        case ctInteger:
            return std::numeric_limits<std::int32_t>::max();
        default:
            return std::numeric_limits<std::int64_t>::max();
    }
}

std::u16string TTdbIntegerType::GetSqlName() const {
    switch (FColumnType) {
        case ctSmallInt:
            return u"SmallInt";
        case ctByte:
            return u"Byte";
        case ctBoolean:
            return u"Boolean";
        case ctAutoInc:
            return u"RecordId";
        case ctLink:
            return u"Link";
        case ctBlob:
            return u"Blob";
        case ctInteger:
            return u"Integer";
        default:
            return u"BigInt";
    }
}

const TTdbDataType* TTdbIntegerType::GetNullableType(bool nullable) const {
    return nullable == FNullable ? this : IntegerOfKind(FColumnType, nullable, FLevel);
}

const TTdbDataType* TTdbIntegerType::GetLevelType(std::int16_t level) const {
    return level == FLevel ? this : IntegerOfKind(FColumnType, FNullable, level);
}

void TTdbIntegerType::GetDefault(TTdbDataValue& value) const {
    SetInteger(value, 0);
}

void TTdbIntegerType::GetMaximum(TTdbDataValue& value) const {
    SetInteger(value, GetRangeMax());
}

void TTdbIntegerType::GetMinimum(TTdbDataValue& value) const {
    if (FNullable && FLevel >= 4) {
        SetNull(value);
        return;
    }
    SetInteger(value, GetRangeMin());
}

bool TTdbIntegerType::IsNull(const TTdbDataValue& value) const {
    return IsNullImage(value.Image());
}

void TTdbIntegerType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    PrepareFixed(value);
    std::uint8_t* image = value.Image();
    if (FHasNullByte) {
        image[NullByteOffset()] = 0;
    } else if (IsZeroNullCode(FColumnType)) {
        StoreLE<std::int32_t>(image, 0);
    } else {
        RaiseNotNullable();  // nullable at a level that cannot mark it
    }
}

void TTdbIntegerType::SetInteger(TTdbDataValue& value, std::int64_t v) const {
    std::int64_t lo = GetRangeMin();
    std::int64_t hi = GetRangeMax();
    if (v < lo || v > hi) {
        RaiseRange(v, lo, hi);
    }
    std::uint8_t* image = WriteImage(value) + FValueAt;
    switch (FValueSize) {
        case 1:
            image[0] = static_cast<std::uint8_t>(v);
            break;
        case 2:
            StoreLE<std::int16_t>(image, static_cast<std::int16_t>(v));
            break;
        case 4:
            StoreLE<std::int32_t>(image, static_cast<std::int32_t>(v));
            break;
        default:
            StoreLE<std::int64_t>(image, v);
            break;
    }
}

std::int64_t TTdbIntegerType::GetInteger(const TTdbDataValue& value) const {
    return LoadValue(value.Image());
}

void TTdbIntegerType::SetDouble(TTdbDataValue& value, double v) const {
    SetInteger(value, detail::RoundToInt64(v, this));
}

double TTdbIntegerType::GetDouble(const TTdbDataValue& value) const {
    return static_cast<double>(GetInteger(value));
}

bool TTdbIntegerType::CanCompareTo(const TTdbDataType* other) const {
    return other->IsIntegerFamily();
}

int TTdbIntegerType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                               const TTdbDataType* t2, TStrCmpOptions) const {
    const std::uint8_t* a = v1.Image();
    if (t2->IsIntegerFamily()) {
        auto* other = static_cast<const TTdbIntegerType*>(t2);
        const std::uint8_t* b = v2.Image();
        if (IsNullImage(a) || other->IsNullImage(b)) {
            return kCompareUndetermined;
        }
        return ThreeWay(LoadValue(a), other->LoadValue(b));
    }
    if (IsNullImage(a) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    return ThreeWay(LoadValue(a), t2->GetInteger(v2));
}

bool TTdbIntegerType::CanConvertTo(const TTdbDataType* to, bool explicitly) const {
    return TTdbDataType::CanConvertTo(to, explicitly) || to->IsNumeric();
}

bool TTdbIntegerType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    if (TTdbDataType::CanConvertFrom(from, explicitly) || from->IsNumeric()) {
        return true;
    }
    // An enumeration's value, when asked for.
    return explicitly && from->GetColumnType() == ctEnum;
}

std::u16string TTdbIntegerType::ConvertToString(const TTdbDataValue& value) const {
    if (IsNull(value)) {
        return {};
    }
    if (FColumnType == ctBoolean) {
        return BooleanToText(GetInteger(value) != 0);
    }
    return IntegerToText(GetInteger(value));
}

void TTdbIntegerType::ConvertFromString(TTdbDataValue& value,
                                        std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        SetNull(value);
        return;
    }
    if (FColumnType == ctBoolean) {
        if (std::optional<bool> b = TryBooleanFromText(*text)) {
            SetInteger(value, *b ? 1 : 0);
            return;
        }
        if (std::optional<std::int64_t> n = TryIntegerFromText(*text)) {
            SetInteger(value, *n);
            return;
        }
        RaiseEngineError(81, {std::u16string(*text), GetSqlName(), u"False", u"True"});
    }
    SetInteger(value, IntegerFromText(*text));
}

int TTdbIntegerType::Rank() const noexcept {
    switch (FColumnType) {
        case ctBoolean:
            return 0;
        case ctByte:
            return 1;
        case ctSmallInt:
            return 2;
        case ctBigInt:
            return 4;
        default:
            return 3;
    }
}

const TTdbDataType* TTdbIntegerType::GetSuperType(const TTdbDataType* other) const {
    bool nullable = FNullable || other->GetNullable();
    if (other->GetColumnType() == ctFloat) {
        return other->GetNullableType(nullable);
    }
    if (!other->IsIntegerFamily()) {
        return nullptr;
    }
    auto* o = static_cast<const TTdbIntegerType*>(other);
    const TTdbIntegerType* wider = o->Rank() > Rank() ? o : this;
    TTdbColumnType kind = wider->GetColumnType();
    if (o->Rank() == Rank() && o->GetColumnType() != FColumnType) {
        kind = ctInteger;  // two different 32-bit kinds meet in Integer
    }
    return IntegerOfKind(kind, nullable, FLevel);
}

namespace {

TTdbColumnType WiderKind(TTdbColumnType a, TTdbColumnType b) {
    auto rank = [](TTdbColumnType k) {
        switch (k) {
            case ctBoolean:
                return 0;
            case ctByte:
                return 1;
            case ctSmallInt:
                return 2;
            case ctBigInt:
                return 4;
            default:
                return 3;
        }
    };
    TTdbColumnType kind = rank(a) >= rank(b) ? a : b;
    // AutoInc, Link and the block reference compute as Integer.
    if (rank(kind) == 3) {
        kind = ctInteger;
    }
    return kind;
}

}  // namespace

namespace detail {

TTdbColumnType IntegerResultKind(TTdbDataBinaryOperator op, TTdbColumnType a, TTdbColumnType b) {
    TTdbColumnType kind = WiderKind(a, b);
    switch (op) {
        case TTdbDataBinaryOperator::Add:
        case TTdbDataBinaryOperator::Subtract:
            switch (kind) {
                case ctBoolean:
                case ctByte:
                    return ctSmallInt;
                case ctSmallInt:
                    return ctInteger;
                default:
                    return ctBigInt;
            }
        case TTdbDataBinaryOperator::Multiply:
            return kind == ctInteger || kind == ctBigInt ? ctBigInt : ctInteger;
        case TTdbDataBinaryOperator::Divide:
            return ctFloat;
        default:
            return kind;  // integer division, remainder, and, or
    }
}

}  // namespace detail

const TTdbDataType* TTdbIntegerType::GetResultDataType(TTdbDataUnaryOperator op) const {
    switch (op) {
        case TTdbDataUnaryOperator::Negate:
        case TTdbDataUnaryOperator::Successor:
            return IntegerOfKind(
                detail::IntegerResultKind(TTdbDataBinaryOperator::Add, FColumnType, FColumnType),
                FNullable, FLevel);
        case TTdbDataUnaryOperator::Complement:
            return IntegerOfKind(WiderKind(FColumnType, FColumnType), FNullable, FLevel);
        default:
            return nullptr;
    }
}

const TTdbDataType* TTdbIntegerType::GetResultDataTypeWith(TTdbDataBinaryOperator op,
                                                           const TTdbDataType* t1,
                                                           const TTdbDataType* t2) const {
    if (!t1->IsIntegerFamily() || !t2->IsIntegerFamily()) {
        return nullptr;
    }
    bool nullable = t1->GetNullable() || t2->GetNullable();
    TTdbColumnType kind = detail::IntegerResultKind(op, t1->GetColumnType(), t2->GetColumnType());
    if (kind == ctFloat) {
        return GetFloatType(nullable, 0, t1->GetLevel());
    }
    return IntegerOfKind(kind, nullable, t1->GetLevel());
}

namespace {

// The exact result left the 64-bit range: report it against the result type.
[[noreturn]] void RaiseResultRange(const TTdbDataType* resultType, detail::TWideInteger exact) {
    std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    if (resultType->IsIntegerFamily()) {
        auto* integer = static_cast<const TTdbIntegerType*>(resultType);
        lo = integer->GetRangeMin();
        hi = integer->GetRangeMax();
    }
    RaiseEngineError(81, {detail::WideIntegerText(exact), resultType->GetSqlName(),
                          IntegerToText(lo), IntegerToText(hi)});
}

}  // namespace

void TTdbIntegerType::CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                                    const TTdbDataValue& v2, TTdbDataValue& result,
                                    const TTdbDataType* t1, const TTdbDataType* t2,
                                    const TTdbDataType* resultType) const {
    if (!t1->IsIntegerFamily() || !t2->IsIntegerFamily()) {
        TTdbDataType::CalculateWith(op, v1, v2, result, t1, t2, resultType);
    }
    std::int64_t a = t1->GetInteger(v1);
    std::int64_t b = t2->GetInteger(v2);
    std::int64_t r = 0;
    switch (op) {
        case TTdbDataBinaryOperator::Add:
            if (__builtin_add_overflow(a, b, &r)) {
                RaiseResultRange(resultType, detail::TWideInteger{a} + b);
            }
            break;
        case TTdbDataBinaryOperator::Subtract:
            if (__builtin_sub_overflow(a, b, &r)) {
                RaiseResultRange(resultType, detail::TWideInteger{a} - b);
            }
            break;
        case TTdbDataBinaryOperator::Multiply:
            if (__builtin_mul_overflow(a, b, &r)) {
                RaiseResultRange(resultType, detail::TWideInteger{a} * b);
            }
            break;
        case TTdbDataBinaryOperator::Divide:
            if (b == 0) {
                RaiseEngineError(178);
            }
            resultType->SetDouble(result, static_cast<double>(a) / static_cast<double>(b));
            return;
        case TTdbDataBinaryOperator::IntDivide:
        case TTdbDataBinaryOperator::Remainder:
            if (b == 0) {
                throw EDivByZero();
            }
            if (a == std::numeric_limits<std::int64_t>::min() && b == -1) {
                if (op == TTdbDataBinaryOperator::Remainder) {
                    r = 0;
                    break;
                }
                RaiseResultRange(resultType, -detail::TWideInteger{a});
            }
            r = op == TTdbDataBinaryOperator::IntDivide ? a / b : a % b;
            break;
        case TTdbDataBinaryOperator::And:
            r = a & b;
            break;
        case TTdbDataBinaryOperator::Or:
            r = a | b;
            break;
    }
    resultType->SetInteger(result, r);
}

void TTdbIntegerType::CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v,
                                    TTdbDataValue& result, const TTdbDataType* resultType) const {
    std::int64_t a = GetInteger(v);
    switch (op) {
        case TTdbDataUnaryOperator::Negate:
            if (a == std::numeric_limits<std::int64_t>::min()) {
                RaiseResultRange(resultType, -detail::TWideInteger{a});
            }
            resultType->SetInteger(result, -a);
            return;
        case TTdbDataUnaryOperator::Successor:
            if (a == std::numeric_limits<std::int64_t>::max()) {
                RaiseResultRange(resultType, detail::TWideInteger{a} + 1);
            }
            resultType->SetInteger(result, a + 1);
            return;
        case TTdbDataUnaryOperator::Complement:
            // Within the kind's own width: a Byte stays a byte, a Boolean flips.
            switch (resultType->GetColumnType()) {
                case ctBoolean:
                    resultType->SetInteger(result, a == 0 ? 1 : 0);
                    return;
                case ctByte:
                    resultType->SetInteger(result, ~a & 0xFF);
                    return;
                default:
                    resultType->SetInteger(result, ~a);
                    return;
            }
        default:
            TTdbDataType::CalculateWith(op, v, result, resultType);
    }
}

// ---------------------------------------------------------------------------
// Float

TTdbFloatType::TTdbFloatType(bool nullable, std::int16_t scale, std::int16_t level) noexcept
    : TTdbNumericType(ctFloat, nullable, level, 8), FScale(scale) {}

const TTdbDataType* TTdbFloatType::GetNullableType(bool nullable) const {
    return nullable == FNullable ? this : GetFloatType(nullable, FScale, FLevel);
}

const TTdbDataType* TTdbFloatType::GetLevelType(std::int16_t level) const {
    return level == FLevel ? this : GetFloatType(FNullable, FScale, level);
}

void TTdbFloatType::GetDefault(TTdbDataValue& value) const {
    SetDouble(value, 0.0);
}

void TTdbFloatType::GetMaximum(TTdbDataValue& value) const {
    SetDouble(value, 1e16);
}

void TTdbFloatType::GetMinimum(TTdbDataValue& value) const {
    if (FNullable && FLevel >= 4) {
        SetNull(value);
        return;
    }
    SetDouble(value, -1e16);
}

bool TTdbFloatType::IsNull(const TTdbDataValue& value) const {
    return FHasNullByte && value.Image()[NullByteOffset()] == 0;
}

void TTdbFloatType::SetNull(TTdbDataValue& value) const {
    TTdbDataType::SetNull(value);
}

void TTdbFloatType::SetInteger(TTdbDataValue& value, std::int64_t v) const {
    SetDouble(value, static_cast<double>(v));
}

void TTdbFloatType::SetDouble(TTdbDataValue& value, double v) const {
    StoreDoubleLE(WriteImage(value) + ValueOffset(), v);
}

double TTdbFloatType::GetDouble(const TTdbDataValue& value) const {
    return LoadDoubleLE(value.Image() + ValueOffset());
}

bool TTdbFloatType::CanCompareTo(const TTdbDataType* other) const {
    return other->GetColumnType() == ctNull || other->IsNumeric();
}

int TTdbFloatType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                             const TTdbDataType* t2, TStrCmpOptions) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    double a = GetDouble(v1);
    double b = t2->GetDouble(v2);
    // NaN answers false to every comparison, which would make it equal to
    // everything; it is one value above +infinity instead, as in index keys.
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) ? (std::isnan(b) ? kCompareEqual : kCompareGreater) : kCompareLess;
    }
    // Equal within FPrecision significant digits.
    double sum = std::fabs(a) + std::fabs(b);
    double tolerance = FPrecision == 15 ? 1e-15 : std::pow(10.0, -FPrecision);
    if (sum <= tolerance || std::fabs(a - b) / sum <= tolerance) {
        return kCompareEqual;
    }
    return ThreeWay(a, b);
}

bool TTdbFloatType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    return TTdbDataType::CanConvertFrom(from, explicitly) || from->IsNumeric();
}

std::u16string TTdbFloatType::ConvertToString(const TTdbDataValue& value) const {
    return IsNull(value) ? std::u16string() : FloatToText(GetDouble(value));
}

void TTdbFloatType::ConvertFromString(TTdbDataValue& value,
                                      std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        SetNull(value);
        return;
    }
    SetDouble(value, FloatFromText(*text));
}

const TTdbDataType* TTdbFloatType::GetSuperType(const TTdbDataType* other) const {
    if (!other->IsNumeric()) {
        return nullptr;
    }
    return GetNullableType(FNullable || other->GetNullable());
}

const TTdbDataType* TTdbFloatType::GetResultDataType(TTdbDataUnaryOperator op) const {
    if (op == TTdbDataUnaryOperator::Negate || op == TTdbDataUnaryOperator::Successor) {
        return this;
    }
    return nullptr;
}

const TTdbDataType* TTdbFloatType::GetResultDataTypeWith(TTdbDataBinaryOperator op,
                                                         const TTdbDataType* t1,
                                                         const TTdbDataType* t2) const {
    if (!t1->IsNumeric() || !t2->IsNumeric()) {
        return nullptr;
    }
    if (t1->GetColumnType() != ctFloat && t2->GetColumnType() != ctFloat) {
        return nullptr;
    }
    switch (op) {
        case TTdbDataBinaryOperator::Add:
        case TTdbDataBinaryOperator::Subtract:
        case TTdbDataBinaryOperator::Multiply:
        case TTdbDataBinaryOperator::Divide:
            return GetFloatType(t1->GetNullable() || t2->GetNullable(), FScale, t1->GetLevel());
        default:
            return nullptr;
    }
}

void TTdbFloatType::CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                                  const TTdbDataValue& v2, TTdbDataValue& result,
                                  const TTdbDataType* t1, const TTdbDataType* t2,
                                  const TTdbDataType* resultType) const {
    if (GetResultDataTypeWith(op, t1, t2) == nullptr) {
        TTdbDataType::CalculateWith(op, v1, v2, result, t1, t2, resultType);
    }
    double a = t1->GetDouble(v1);
    double b = t2->GetDouble(v2);
    double r = 0;
    switch (op) {
        case TTdbDataBinaryOperator::Add:
            r = a + b;
            break;
        case TTdbDataBinaryOperator::Subtract:
            r = a - b;
            break;
        case TTdbDataBinaryOperator::Multiply:
            r = a * b;
            break;
        default:
            if (b == 0) {
                RaiseEngineError(178);
            }
            r = a / b;
            break;
    }
    resultType->SetDouble(result, r);
}

void TTdbFloatType::CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v,
                                  TTdbDataValue& result, const TTdbDataType* resultType) const {
    switch (op) {
        case TTdbDataUnaryOperator::Negate:
            resultType->SetDouble(result, -GetDouble(v));
            return;
        case TTdbDataUnaryOperator::Successor:
            resultType->SetDouble(result, GetDouble(v) + 1.0);
            return;
        default:
            TTdbDataType::CalculateWith(op, v, result, resultType);
    }
}

}  // namespace tdb
