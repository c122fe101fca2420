// The engine's data types: shared, immutable descriptors that know a value's
// column image, read and write value cells, compare, convert and calculate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/calendar.h"
#include "types/collation.h"

namespace tdb {

// Column type codes; they are stored in table definitions and keep their values.
using TTdbColumnType = std::int16_t;
inline constexpr TTdbColumnType ctNull = -1;
inline constexpr TTdbColumnType ctChar = 0;
inline constexpr TTdbColumnType ctString = 1;
inline constexpr TTdbColumnType ctSmallInt = 2;
inline constexpr TTdbColumnType ctFloat = 3;
inline constexpr TTdbColumnType ctByte = 4;
inline constexpr TTdbColumnType ctBoolean = 5;
inline constexpr TTdbColumnType ctDate = 6;
inline constexpr TTdbColumnType ctMemo = 7;
inline constexpr TTdbColumnType ctEnum = 8;
inline constexpr TTdbColumnType ctAutoInc = 9;
inline constexpr TTdbColumnType ctLink = 10;
inline constexpr TTdbColumnType ctBlob = 11;
inline constexpr TTdbColumnType ctRelation = 12;
inline constexpr TTdbColumnType ctTime = 13;
inline constexpr TTdbColumnType ctInteger = 16;
inline constexpr TTdbColumnType ctTimeStamp = 17;
inline constexpr TTdbColumnType ctWideString = 18;
inline constexpr TTdbColumnType ctWideMemo = 19;
inline constexpr TTdbColumnType ctBigInt = 20;
inline constexpr TTdbColumnType ctGuid = 21;

// Results of Compare: the order is undetermined because a value is NULL, or less/equal/greater.
inline constexpr int kCompareUndetermined = 0;
inline constexpr int kCompareLess = 1;
inline constexpr int kCompareEqual = 2;
inline constexpr int kCompareGreater = 3;

enum class TTdbDataBinaryOperator : std::uint8_t {
    Add = 0,
    Subtract = 1,
    Multiply = 2,
    Divide = 3,
    IntDivide = 4,
    Remainder = 5,
    And = 6,
    Or = 7,
};

enum class TTdbDataUnaryOperator : std::uint8_t {
    Negate = 0,
    Complement = 1,
    Successor = 2,
    UpperCase = 3,
    LowerCase = 4,
};

// The largest maximum length: Memo and WideMemo are unbounded.
inline constexpr std::int32_t kUnboundedLength = 0x7FFFFFFF;
inline constexpr std::int32_t kMaxStringLength = 32764;
inline constexpr std::int32_t kMaxWideStringLength = 16382;
inline constexpr std::int16_t kCurrentTableLevel = 6;

// One value outside a record: a tag and either an inline column image, a
// reference to an image elsewhere (a record buffer or key), or an owned heap
// buffer (strings, blobs). The types read and write it; the cell itself only
// manages its storage. Movable, not copyable (use TTdbDataType::Assign); the
// destructor releases an owned buffer, never a referenced image.
class TTdbDataValue {
public:
    // Tag bit 15: the cell points at an image it does not own.
    static constexpr std::uint16_t kReferenceBit = 0x8000;
    // A nullable GUID with its indicator byte is the largest inline image.
    static constexpr std::size_t kInlineSize = 17;

    TTdbDataValue() noexcept = default;
    ~TTdbDataValue() = default;
    TTdbDataValue(TTdbDataValue&& other) noexcept;
    TTdbDataValue& operator=(TTdbDataValue&& other) noexcept;
    TTdbDataValue(const TTdbDataValue&) = delete;
    TTdbDataValue& operator=(const TTdbDataValue&) = delete;

    // Both release an owned buffer and leave the cell empty (tag 0).
    void InitValue() noexcept { DoneValue(); }
    void DoneValue() noexcept;
    // Nothing assigned yet. A Char value shares tag 0 with the empty cell, so
    // assignment is tracked on its own.
    bool IsEmpty() const noexcept { return !FAssigned; }

    std::int16_t Tag() const noexcept { return FTag; }
    bool IsReference() const noexcept {
        return (static_cast<std::uint16_t>(FTag) & kReferenceBit) != 0;
    }
    // The tag without the reference bit; -1 for a NULL of the null type.
    TTdbColumnType ColumnType() const noexcept {
        return FTag == -1 ? ctNull
                          : static_cast<TTdbColumnType>(static_cast<std::uint16_t>(FTag) & 0x7FFF);
    }

    // Where the value's image lies: the referenced image, the owned buffer, or
    // the inline bytes. Null for a string cell without a buffer yet.
    std::uint8_t* Image() noexcept;
    const std::uint8_t* Image() const noexcept;

    // Storage management for the types; not for general use.
    void SetTag(std::int16_t tag) noexcept {
        FTag = tag;
        FAssigned = true;
    }
    // Drops any owned buffer and points the cell at Image.
    void SetReferenceImage(TTdbColumnType columnType, std::uint8_t* image) noexcept;
    // Makes the owned buffer at least Bytes long, keeping its contents and
    // zero-filling what is new. Turns a reference into an owned cell only
    // when the caller has cleared it first.
    void ReserveBuffer(std::size_t bytes);
    std::size_t Capacity() const noexcept { return FCapacity; }
    bool HasBuffer() const noexcept { return FBuffer != nullptr; }
    std::size_t BytesInUse() const noexcept { return FBytesInUse; }
    void SetBytesInUse(std::size_t bytes) noexcept { FBytesInUse = bytes; }
    std::uint8_t* InlineImage() noexcept { return FInline; }
    void* Object() const noexcept { return FObject; }
    void SetObject(void* object) noexcept { FObject = object; }

private:
    std::int16_t FTag = 0;
    bool FAssigned = false;
    std::uint8_t FInline[kInlineSize] = {};
    std::uint8_t* FReference = nullptr;
    std::unique_ptr<std::uint8_t[]> FBuffer;
    std::size_t FCapacity = 0;
    std::size_t FBytesInUse = 0;
    void* FObject = nullptr;
};

// One item of an enumeration: its name and its stored value (1..255; 0 is NULL).
struct TTdbEnumItem {
    std::u16string Name;
    std::uint8_t Value = 0;

    friend bool operator==(const TTdbEnumItem&, const TTdbEnumItem&) = default;
};

class TTdbStringType;

// The root of the data types. Instances come only from the registry
// functions below, are shared by everyone who asks with equal parameters and
// live until the process ends: keep plain pointers, never free them.
class TTdbDataType {
public:
    virtual ~TTdbDataType() = default;
    TTdbDataType(const TTdbDataType&) = delete;
    TTdbDataType& operator=(const TTdbDataType&) = delete;

    // ---- Registry ----

    // Fixed-size kinds; Date, Time and TimeStamp at precision 4; Memo and
    // WideMemo unbounded with the built-in collation; Blob. Null for String,
    // Enum and WideString (they need more parameters) and unknown codes.
    static const TTdbDataType* GetDataType(TTdbColumnType columnType, bool nullable,
                                           std::int16_t level = kCurrentTableLevel);
    // As above, but String and WideString take their maximum length from the
    // column image size.
    static const TTdbDataType* GetDataType(TTdbColumnType columnType, bool nullable,
                                           std::int32_t size, std::int16_t level);
    // String, WideString, Memo, WideMemo. Raises ETdbEngine 189 for lengths
    // outside 1..32764 (String) or 1..16382 (WideString), 138 for an unknown collation.
    static const TTdbStringType* GetStringType(TTdbColumnType columnType, bool nullable,
                                               std::int32_t maxLength,
                                               std::u16string_view collationName,
                                               std::int16_t level = kCurrentTableLevel);
    // Rounds the length up to a coarse grid so that computed values share types.
    static const TTdbStringType* GetApproxStringType(TTdbColumnType columnType, bool nullable,
                                                     std::int32_t maxLength,
                                                     std::u16string_view collationName,
                                                     std::int16_t level = kCurrentTableLevel);
    // Date, Time, TimeStamp; precision 1 hours, 2 minutes, 3 seconds, 4 milliseconds.
    static const TTdbDataType* GetDateTimeType(TTdbColumnType columnType, bool nullable,
                                               std::int16_t precision,
                                               std::int16_t level = kCurrentTableLevel);
    // Integer-family kinds by code, including the 4-byte Blob block reference
    // (code 11) that a Blob column keeps in its record; null for other codes.
    static const TTdbDataType* GetIntegerType(TTdbColumnType columnType, bool nullable,
                                              std::int16_t level = kCurrentTableLevel);
    static const TTdbDataType* GetFloatType(bool nullable, std::int16_t scale = 0,
                                            std::int16_t level = kCurrentTableLevel);
    static const TTdbDataType* GetEnumType(std::u16string_view name,
                                           std::span<const TTdbEnumItem> items, bool nullable,
                                           std::int16_t level = kCurrentTableLevel);
    // Names separated by Separator, each optionally enclosed in Quote (doubled
    // inside to stand for itself); empty names become "Enum%d" with their
    // 1-based position, which is also each item's value.
    static const TTdbDataType* GetEnumType(std::u16string_view name, std::u16string_view names,
                                           char16_t separator, char16_t quote, bool nullable,
                                           std::int16_t level = kCurrentTableLevel);
    static const TTdbDataType* GetBinaryType(bool nullable, std::int32_t maxSize = kUnboundedLength,
                                             std::int16_t level = kCurrentTableLevel);
    static const TTdbDataType* GetNullType();
    // The type of a script variable holding a column of ColumnType; null for
    // codes without one.
    static const TTdbDataType* GetTablePLDataType(TTdbColumnType columnType);
    // Memo and WideMemo read as String and WideString; all else unchanged.
    static const TTdbDataType* GetVariableType(const TTdbDataType* dataType);
    static bool MayBeNullable(TTdbColumnType columnType, std::int16_t tableLevel) noexcept;
    // Types whose NULL is a zero value (an empty date, block number or link) rather than an
    // indicator byte.
    static bool MarksNullByZero(TTdbColumnType columnType) noexcept;

    // ---- Descriptor ----

    TTdbColumnType GetColumnType() const noexcept { return FColumnType; }
    std::int16_t GetLevel() const noexcept { return FLevel; }
    bool GetNullable() const noexcept { return FNullable; }

    bool IsOfType(const TTdbDataValue& value) const noexcept {
        return value.ColumnType() == FColumnType;
    }
    // Image size in bytes inside a record or key, null indicator included.
    virtual std::int32_t GetDataSize() const noexcept { return 0; }
    virtual bool GetHasNullByte() const noexcept { return false; }
    virtual std::u16string GetSqlName() const = 0;
    virtual std::u16string GetTplName() const = 0;
    virtual const TTdbDataType* GetNullableType(bool nullable) const;
    virtual const TTdbDataType* GetLevelType(std::int16_t level) const;

    bool IsIntegerFamily() const noexcept { return FIntegerFamily; }
    bool IsNumeric() const noexcept { return IsIntegerFamily() || FColumnType == ctFloat; }
    bool IsStringType() const noexcept;  // String, Memo, WideString, WideMemo
    bool IsAnsiStringType() const noexcept {
        return FColumnType == ctString || FColumnType == ctMemo;
    }
    bool IsWideStringType() const noexcept {
        return FColumnType == ctWideString || FColumnType == ctWideMemo;
    }
    bool IsDateTimeType() const noexcept {
        return FColumnType == ctDate || FColumnType == ctTime || FColumnType == ctTimeStamp;
    }

    // ---- Values ----

    virtual void GetDefault(TTdbDataValue& value) const;
    virtual void GetMaximum(TTdbDataValue& value) const;
    virtual void GetMinimum(TTdbDataValue& value) const;
    // Bytes the value's image uses (strings: up to the last character in use;
    // blobs: the bytes in use).
    virtual std::int32_t GetSize(const TTdbDataValue& value) const;
    // Writes the value's column image (GetDataSize bytes; unbounded strings:
    // GetSize bytes) to Dest.
    virtual void CopyTo(const TTdbDataValue& value, void* dest) const;
    // Makes Value a reference to the image at Image (in a record or key).
    virtual void SetReference(TTdbDataValue& value, void* image) const;
    // Makes Value a reference to the image that Other holds or references.
    virtual void SetReference(TTdbDataValue& value, TTdbDataValue& other) const;
    virtual void DoneValue(TTdbDataValue& value) const;
    // Copies Source (a value of this type) into Dest; a reference Dest is written in place.
    virtual void Assign(TTdbDataValue& dest, const TTdbDataValue& source) const;

    virtual bool IsNull(const TTdbDataValue& value) const;
    // Raises ETdbEngine 47 when the type is not nullable. The value bytes stay as they were.
    virtual void SetNull(TTdbDataValue& value) const;
    virtual void SetInteger(TTdbDataValue& value, std::int64_t v) const;
    virtual std::int64_t GetInteger(const TTdbDataValue& value) const;
    virtual void SetDouble(TTdbDataValue& value, double v) const;
    virtual double GetDouble(const TTdbDataValue& value) const;
    virtual void SetGuid(TTdbDataValue& value, const TTdbGuid& v) const;
    virtual TTdbGuid GetGuid(const TTdbDataValue& value) const;
    // Ticks (100 ns) since midnight.
    virtual void SetTime(TTdbDataValue& value, std::int64_t ticks) const;
    virtual std::int64_t GetTime(const TTdbDataValue& value) const;
    // Packed dates.
    virtual void SetDate(TTdbDataValue& value, std::int32_t date) const;
    virtual std::int32_t GetDate(const TTdbDataValue& value) const;
    virtual void SetTimeStamp(TTdbDataValue& value, const TTdbTimeStamp& v) const;
    virtual TTdbTimeStamp GetTimeStamp(const TTdbDataValue& value) const;
    // ANSI text in the type's code page.
    virtual void SetAnsiString(TTdbDataValue& value, std::string_view v) const;
    // Makes Value a reference to an ANSI string image (length prefix, characters).
    virtual void SetAnsiStringRef(TTdbDataValue& value, void* image) const;
    virtual std::string GetAnsiString(const TTdbDataValue& value) const;
    // The characters in place, valid while the value is unchanged; never allocates.
    virtual std::string_view GetPAnsiChar(const TTdbDataValue& value) const;
    virtual void SetWideString(TTdbDataValue& value, std::u16string_view v) const;
    virtual std::u16string GetWideString(const TTdbDataValue& value) const;
    virtual void SetObject(TTdbDataValue& value, void* object) const;
    virtual void* GetObject(const TTdbDataValue& value) const;
    virtual void SetBytes(TTdbDataValue& value, std::span<const std::uint8_t> bytes) const;
    virtual std::span<const std::uint8_t> GetBytes(const TTdbDataValue& value) const;

    // ---- Comparison, conversion, operators (receiver side) ----

    virtual bool CanCompareTo(const TTdbDataType* other) const;
    // V1 of this type with V2 of T2; one of the kCompare... results.
    virtual int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                          TStrCmpOptions options) const;
    virtual bool CanConvertTo(const TTdbDataType* to, bool explicitly) const;
    virtual bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const;
    // This type is the source.
    virtual void ConvertTo(const TTdbDataValue& fromValue, TTdbDataValue& toValue,
                           const TTdbDataType* to, bool explicitly) const;
    // This type is the target.
    virtual void ConvertFrom(const TTdbDataValue& fromValue, TTdbDataValue& toValue,
                             const TTdbDataType* from, bool explicitly) const;
    // A NULL value gives an empty text. Raises ETdbEngine 52 for types without a text form.
    virtual std::u16string ConvertToString(const TTdbDataValue& value) const;
    // A missing text (and, for all but string types, an empty one) gives NULL.
    virtual void ConvertFromString(TTdbDataValue& value,
                                   std::optional<std::u16string_view> text) const;
    // The common type of this and Other, or null.
    virtual const TTdbDataType* GetSuperType(const TTdbDataType* other) const;
    virtual const TTdbDataType* GetResultDataType(TTdbDataUnaryOperator op) const;
    // T1 op T2, where this type is T1 or T2; null when it does not know the pair.
    virtual const TTdbDataType* GetResultDataTypeWith(TTdbDataBinaryOperator op,
                                                      const TTdbDataType* t1,
                                                      const TTdbDataType* t2) const;
    virtual void CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                               const TTdbDataValue& v2, TTdbDataValue& result,
                               const TTdbDataType* t1, const TTdbDataType* t2,
                               const TTdbDataType* resultType) const;
    virtual void CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v,
                               TTdbDataValue& result, const TTdbDataType* resultType) const;

    // ---- Two operands ----

    static bool CanCompare(const TTdbDataType* t1, const TTdbDataType* t2);
    // Raises tdb::Exception "Cannot compare these types" when neither side accepts the other.
    static int Compare(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t1,
                       const TTdbDataType* t2, TStrCmpOptions options = 0);
    static bool CanConvert(const TTdbDataType* from, const TTdbDataType* to, bool explicitly);
    // Raises ETdbEngine 44 "Type mismatch: From->To" when the types do not
    // convert; a failed conversion leaves ToValue as it was.
    static void Convert(const TTdbDataValue& fromValue, TTdbDataValue& toValue,
                        const TTdbDataType* from, const TTdbDataType* to, bool explicitly);
    // In place: Value becomes an owned value of type To.
    static void Convert(TTdbDataValue& value, const TTdbDataType* from, const TTdbDataType* to,
                        bool explicitly);
    static const TTdbDataType* GetSuperType(const TTdbDataType* t1, const TTdbDataType* t2);
    static const TTdbDataType* GetResultDataType(TTdbDataBinaryOperator op, const TTdbDataType* t1,
                                                 const TTdbDataType* t2);
    static const TTdbDataType* GetResultDataType(TTdbDataUnaryOperator op, const TTdbDataType* t);
    // ResultType may be null: it is then looked up.
    static void Calculate(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                          const TTdbDataValue& v2, TTdbDataValue& result, const TTdbDataType* t1,
                          const TTdbDataType* t2, const TTdbDataType* resultType = nullptr);
    static void Calculate(TTdbDataUnaryOperator op, const TTdbDataValue& v, TTdbDataValue& result,
                          const TTdbDataType* t, const TTdbDataType* resultType = nullptr);

protected:
    TTdbDataType(TTdbColumnType columnType, bool nullable, std::int16_t level) noexcept
        : FLevel(level), FColumnType(columnType), FNullable(nullable) {}

    // Where the value's image starts and where its indicator byte is (-1: none).
    std::int32_t NullByteOffset() const noexcept;
    std::int32_t ValueOffset() const noexcept;
    // The image to read; null when a string cell has none yet.
    const std::uint8_t* ReadImage(const TTdbDataValue& value) const noexcept;
    // The image to write, with the tag set on first use and the indicator
    // byte set to "present".
    std::uint8_t* WriteImage(TTdbDataValue& value) const;
    // Tag and inline storage for a first write; a reference keeps its image.
    void PrepareFixed(TTdbDataValue& value) const noexcept;
    [[noreturn]] void RaiseNotNullable() const;
    [[noreturn]] void RaiseRange(std::int64_t v, std::int64_t lo, std::int64_t hi) const;
    [[noreturn]] static void RaiseTypeMismatch(const TTdbDataType* from, const TTdbDataType* to);
    // The SQL name that failures name (an enumeration names itself).
    virtual std::u16string GetErrorName() const { return GetSqlName(); }

    std::int16_t FLevel;
    TTdbColumnType FColumnType;
    bool FNullable;
    // Set by TTdbIntegerType: code 11 is also the Blob, which is no integer.
    bool FIntegerFamily = false;
};

class TTdbNullType final : public TTdbDataType {
public:
    TTdbNullType() noexcept : TTdbDataType(ctNull, true, kCurrentTableLevel) {}
    std::u16string GetSqlName() const override { return u"<null type>"; }
    std::u16string GetTplName() const override { return u"<null type>"; }
    const TTdbDataType* GetNullableType(bool) const override { return this; }
    const TTdbDataType* GetLevelType(std::int16_t) const override { return this; }
    bool IsNull(const TTdbDataValue&) const override { return true; }
    void SetNull(TTdbDataValue& value) const override;
    void GetDefault(TTdbDataValue& value) const override { SetNull(value); }
    void GetMinimum(TTdbDataValue& value) const override { SetNull(value); }
    void GetMaximum(TTdbDataValue& value) const override { SetNull(value); }
    void Assign(TTdbDataValue& dest, const TTdbDataValue& source) const override;
    bool CanConvertTo(const TTdbDataType* to, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue&) const override { return {}; }
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
};

// Integer family and Float: they share the null byte rule.
class TTdbNumericType : public TTdbDataType {
public:
    bool GetHasNullByte() const noexcept override { return FHasNullByte; }
    std::int32_t GetDataSize() const noexcept override { return FDataSize; }

protected:
    TTdbNumericType(TTdbColumnType columnType, bool nullable, std::int16_t level,
                    std::int32_t valueSize) noexcept;
    bool FHasNullByte;
    std::int32_t FDataSize;
};

// SmallInt, Byte, Boolean, AutoInc, Link, the Blob reference (code 11), Integer, BigInt.
class TTdbIntegerType final : public TTdbNumericType {
public:
    TTdbIntegerType(TTdbColumnType columnType, bool nullable, std::int16_t level) noexcept;

    std::int64_t GetRangeMin() const noexcept;
    std::int64_t GetRangeMax() const noexcept;
    std::int32_t GetValueSize() const noexcept;

    std::u16string GetSqlName() const override;
    std::u16string GetTplName() const override { return u"Integer"; }
    const TTdbDataType* GetNullableType(bool nullable) const override;
    const TTdbDataType* GetLevelType(std::int16_t level) const override;
    void GetDefault(TTdbDataValue& value) const override;
    void GetMaximum(TTdbDataValue& value) const override;
    void GetMinimum(TTdbDataValue& value) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    // Raises ETdbEngine 81 outside the type's range.
    void SetInteger(TTdbDataValue& value, std::int64_t v) const override;
    std::int64_t GetInteger(const TTdbDataValue& value) const override;
    void SetDouble(TTdbDataValue& value, double v) const override;
    double GetDouble(const TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
    bool CanConvertTo(const TTdbDataType* to, bool explicitly) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
    const TTdbDataType* GetResultDataType(TTdbDataUnaryOperator op) const override;
    const TTdbDataType* GetResultDataTypeWith(TTdbDataBinaryOperator op, const TTdbDataType* t1,
                                              const TTdbDataType* t2) const override;
    void CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1, const TTdbDataValue& v2,
                       TTdbDataValue& result, const TTdbDataType* t1, const TTdbDataType* t2,
                       const TTdbDataType* resultType) const override;
    void CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v, TTdbDataValue& result,
                       const TTdbDataType* resultType) const override;

private:
    // Boolean < Byte < SmallInt < 32-bit kinds < BigInt.
    int Rank() const noexcept;
    // The hot paths of key comparison, without virtual calls.
    bool IsNullImage(const std::uint8_t* image) const noexcept;
    std::int64_t LoadValue(const std::uint8_t* image) const noexcept;

    // Fixed at construction: where the value and the indicator lie (-1: none).
    std::int32_t FValueSize;
    std::int32_t FValueAt;
    std::int32_t FIndicatorAt;
};

class TTdbFloatType final : public TTdbNumericType {
public:
    TTdbFloatType(bool nullable, std::int16_t scale, std::int16_t level) noexcept;

    std::int16_t GetPrecision() const noexcept { return FPrecision; }
    std::int16_t GetScale() const noexcept { return FScale; }

    std::u16string GetSqlName() const override { return u"DOUBLE"; }
    std::u16string GetTplName() const override { return u"Real"; }
    const TTdbDataType* GetNullableType(bool nullable) const override;
    const TTdbDataType* GetLevelType(std::int16_t level) const override;
    void GetDefault(TTdbDataValue& value) const override;
    void GetMaximum(TTdbDataValue& value) const override;
    void GetMinimum(TTdbDataValue& value) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    void SetInteger(TTdbDataValue& value, std::int64_t v) const override;
    void SetDouble(TTdbDataValue& value, double v) const override;
    double GetDouble(const TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
    const TTdbDataType* GetResultDataType(TTdbDataUnaryOperator op) const override;
    const TTdbDataType* GetResultDataTypeWith(TTdbDataBinaryOperator op, const TTdbDataType* t1,
                                              const TTdbDataType* t2) const override;
    void CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1, const TTdbDataValue& v2,
                       TTdbDataValue& result, const TTdbDataType* t1, const TTdbDataType* t2,
                       const TTdbDataType* resultType) const override;
    void CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v, TTdbDataValue& result,
                       const TTdbDataType* resultType) const override;

private:
    std::int16_t FPrecision = 15;
    std::int16_t FScale;
};

class TTdbEnumType final : public TTdbDataType {
public:
    TTdbEnumType(std::u16string name, std::vector<TTdbEnumItem> items, bool nullable,
                 std::int16_t level);

    const std::u16string& GetName() const noexcept { return FName; }
    const std::vector<TTdbEnumItem>& GetEnumItems() const noexcept { return FEnumItems; }
    // The item with that name (compared like column names) or value; null when none.
    const TTdbEnumItem* FindItem(std::u16string_view name) const;
    const TTdbEnumItem* FindItem(std::int64_t value) const;

    std::int32_t GetDataSize() const noexcept override { return 1; }
    std::u16string GetSqlName() const override { return u"<enumeration>"; }
    std::u16string GetTplName() const override { return u"<enumeration>"; }
    const TTdbDataType* GetNullableType(bool nullable) const override;
    const TTdbDataType* GetLevelType(std::int16_t level) const override;
    void GetDefault(TTdbDataValue& value) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    // Raises EOverflowError "Enum overflow" for a value that is no item.
    void SetInteger(TTdbDataValue& value, std::int64_t v) const override;
    std::int64_t GetInteger(const TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
    bool CanConvertTo(const TTdbDataType* to, bool explicitly) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;

protected:
    std::u16string GetErrorName() const override { return FName; }

private:
    std::u16string FName;
    std::vector<TTdbEnumItem> FEnumItems;
};

class TTdbGuidType final : public TTdbDataType {
public:
    TTdbGuidType(bool nullable, std::int16_t level) noexcept
        : TTdbDataType(ctGuid, nullable, level) {}

    std::int32_t GetDataSize() const noexcept override { return FNullable ? 17 : 16; }
    bool GetHasNullByte() const noexcept override { return FNullable; }
    std::u16string GetSqlName() const override { return u"Guid"; }
    std::u16string GetTplName() const override { return u"Guid"; }
    void GetDefault(TTdbDataValue& value) const override;
    void GetMaximum(TTdbDataValue& value) const override;
    void GetMinimum(TTdbDataValue& value) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    void SetGuid(TTdbDataValue& value, const TTdbGuid& v) const override;
    TTdbGuid GetGuid(const TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
};

// Date, Time and TimeStamp.
class TTdbDateTimeType final : public TTdbDataType {
public:
    TTdbDateTimeType(TTdbColumnType columnType, bool nullable, std::int16_t precision,
                     std::int16_t level) noexcept;

    std::int16_t GetPrecision() const noexcept { return FPrecision; }

    std::int32_t GetDataSize() const noexcept override;
    bool GetHasNullByte() const noexcept override { return FHasNullByte; }
    std::u16string GetSqlName() const override;
    std::u16string GetTplName() const override;
    const TTdbDataType* GetNullableType(bool nullable) const override;
    const TTdbDataType* GetLevelType(std::int16_t level) const override;
    void GetDefault(TTdbDataValue& value) const override;
    void GetMaximum(TTdbDataValue& value) const override;
    void GetMinimum(TTdbDataValue& value) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    void SetTime(TTdbDataValue& value, std::int64_t ticks) const override;
    std::int64_t GetTime(const TTdbDataValue& value) const override;
    void SetDate(TTdbDataValue& value, std::int32_t date) const override;
    std::int32_t GetDate(const TTdbDataValue& value) const override;
    void SetTimeStamp(TTdbDataValue& value, const TTdbTimeStamp& v) const override;
    TTdbTimeStamp GetTimeStamp(const TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
    bool CanConvertTo(const TTdbDataType* to, bool explicitly) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
    const TTdbDataType* GetResultDataType(TTdbDataUnaryOperator op) const override;
    const TTdbDataType* GetResultDataTypeWith(TTdbDataBinaryOperator op, const TTdbDataType* t1,
                                              const TTdbDataType* t2) const override;
    void CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1, const TTdbDataValue& v2,
                       TTdbDataValue& result, const TTdbDataType* t1, const TTdbDataType* t2,
                       const TTdbDataType* resultType) const override;
    void CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v, TTdbDataValue& result,
                       const TTdbDataType* resultType) const override;

private:
    // Time: stored as minutes (precision 1-2) or milliseconds (3-4).
    bool StoresMinutes() const noexcept { return FPrecision != 3 && FPrecision != 4; }

    std::int16_t FPrecision;
    bool FHasNullByte;
};

class TTdbCharType final : public TTdbDataType {
public:
    TTdbCharType(bool nullable, std::int16_t level) noexcept
        : TTdbDataType(ctChar, nullable, level) {}

    std::int32_t GetDataSize() const noexcept override { return FNullable ? 2 : 1; }
    bool GetHasNullByte() const noexcept override { return FNullable; }
    std::u16string GetSqlName() const override;
    std::u16string GetTplName() const override { return u"String"; }
    void GetDefault(TTdbDataValue& value) const override;
    void GetMaximum(TTdbDataValue& value) const override;
    void GetMinimum(TTdbDataValue& value) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    // One character at most; longer text fails with "String too long".
    void SetAnsiString(TTdbDataValue& value, std::string_view v) const override;
    std::string GetAnsiString(const TTdbDataValue& value) const override;
    std::string_view GetPAnsiChar(const TTdbDataValue& value) const override;
    void SetWideString(TTdbDataValue& value, std::u16string_view v) const override;
    std::u16string GetWideString(const TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
    bool CanConvertTo(const TTdbDataType* to, bool explicitly) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
};

// String, Memo, WideString, WideMemo: a length prefix and characters, under a collation.
class TTdbStringType : public TTdbDataType {
public:
    std::int32_t GetMaxLength() const noexcept { return FMaxLength; }
    const std::u16string& GetCollationName() const noexcept { return FCollationName; }
    std::uint32_t GetLocaleId() const noexcept { return FLocaleId; }
    TStrCmpOptions GetStrCmpOptions() const noexcept { return FStrCmpOptions; }
    const TTdbCollation& GetCollation() const noexcept { return *FCollation; }
    bool IsUnbounded() const noexcept { return FMaxLength == kUnboundedLength; }
    // Bytes per character: 1 ANSI, 2 UTF-16.
    std::int32_t GetCharSize() const noexcept { return FCharSize; }
    // Bytes of the length prefix: 1, 2 or 4.
    std::int32_t GetPrefixSize() const noexcept { return FPrefixSize; }

    std::int32_t GetDataSize() const noexcept override;
    bool GetHasNullByte() const noexcept override { return FNullable; }
    const TTdbDataType* GetNullableType(bool nullable) const override;
    const TTdbDataType* GetLevelType(std::int16_t level) const override;
    void GetDefault(TTdbDataValue& value) const override;
    void GetMaximum(TTdbDataValue& value) const override;
    void GetMinimum(TTdbDataValue& value) const override;
    std::int32_t GetSize(const TTdbDataValue& value) const override;
    void CopyTo(const TTdbDataValue& value, void* dest) const override;
    void Assign(TTdbDataValue& dest, const TTdbDataValue& source) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    bool CanCompareTo(const TTdbDataType* other) const override;
    bool CanConvertTo(const TTdbDataType* to, bool explicitly) const override;
    bool CanConvertFrom(const TTdbDataType* from, bool explicitly) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
    void ConvertFromString(TTdbDataValue& value,
                           std::optional<std::u16string_view> text) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;
    const TTdbDataType* GetResultDataType(TTdbDataUnaryOperator op) const override;
    const TTdbDataType* GetResultDataTypeWith(TTdbDataBinaryOperator op, const TTdbDataType* t1,
                                              const TTdbDataType* t2) const override;
    void CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1, const TTdbDataValue& v2,
                       TTdbDataValue& result, const TTdbDataType* t1, const TTdbDataType* t2,
                       const TTdbDataType* resultType) const override;
    void CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v, TTdbDataValue& result,
                       const TTdbDataType* resultType) const override;

    // Writes the length prefix (cut to the maximum length and the buffer).
    void SetLength(TTdbDataValue& value, std::int32_t length) const;
    // Characters in use; 0 for NULL.
    std::int32_t GetLength(const TTdbDataValue& value) const;
    // Of a column image of this type.
    std::int32_t GetLength(const void* image) const noexcept;
    // Whether the stored length prefix of a column image lies within the maximum length; a
    // record decrypted with a wrong key shows itself here.
    bool HasPlausibleLength(const void* image) const noexcept;
    // Turns the value into its prefix bound by appending one NUL, when there
    // is room below the maximum length; an empty cell becomes the bound of the
    // empty string. Raises tdb::Exception for a cell of another kind.
    void GetMaximumFill(TTdbDataValue& value) const;
    // Turns the value into its lower prefix bound by appending two NULs: the point
    // just below every string that a pattern beginning with the value's characters
    // can match, whatever their case and accents (matching ignores accents, and a
    // collation may rank the accented or upper-case form of a prefix above strings
    // that match it). Where the two NULs find no room below the maximum length,
    // characters are dropped from the end, down to the empty string. NULL stays NULL.
    void GetMinimumFill(TTdbDataValue& value) const;
    // Wildcard match of Value against Pattern (of OtherType, a string type);
    // false when either is NULL.
    bool Matches(const TTdbDataValue& value, const TTdbDataValue& pattern,
                 const TTdbDataType* otherType, char16_t multiJoker, char16_t singleJoker,
                 char16_t escape) const;
    // The value as UTF-16 into Buffer (ANSI widened through the type's code
    // page); no heap allocation for what fits the buffer.
    std::u16string_view WideView(const TTdbDataValue& value, char16_t* buffer,
                                 std::size_t bufferSize, std::u16string& spill) const;

protected:
    TTdbStringType(TTdbColumnType columnType, bool nullable, std::int32_t maxLength,
                   std::u16string collationName, const TTdbCollation& collation,
                   std::int16_t level);

    // Offset of the length prefix inside the image (after a leading indicator).
    std::int32_t PrefixOffset() const noexcept;
    std::int32_t IndicatorOffset() const noexcept;  // -1 without one
    // Bytes an owned buffer needs for Length characters.
    std::size_t BufferBytes(std::int32_t length) const noexcept;
    // Makes room for Length characters and writes the prefix; returns where
    // the characters go. Length is already cut to the maximum.
    std::uint8_t* PrepareChars(TTdbDataValue& value, std::int32_t length) const;
    const std::uint8_t* ReadChars(const TTdbDataValue& value, std::int32_t& length) const noexcept;

    std::int32_t FMaxLength;
    std::u16string FCollationName;
    std::uint32_t FLocaleId;
    TStrCmpOptions FStrCmpOptions;
    const TTdbCollation* FCollation;
    std::int32_t FCharSize;
    std::int32_t FPrefixSize;
};

// String (1) and Memo (7): 8-bit characters in the collation's ANSI code page.
class TTdbAnsiStringType final : public TTdbStringType {
public:
    TTdbAnsiStringType(TTdbColumnType columnType, bool nullable, std::int32_t maxLength,
                       std::u16string collationName, const TTdbCollation& collation,
                       std::int16_t level);

    // The UTF-16 unit of each byte, for single-byte code pages; null otherwise.
    const char16_t* GetWideTable() const noexcept { return FHasWideTable ? FWideTable : nullptr; }

    std::u16string GetSqlName() const override;
    std::u16string GetTplName() const override { return u"String"; }
    void SetAnsiString(TTdbDataValue& value, std::string_view v) const override;
    void SetAnsiStringRef(TTdbDataValue& value, void* image) const override;
    std::string GetAnsiString(const TTdbDataValue& value) const override;
    std::string_view GetPAnsiChar(const TTdbDataValue& value) const override;
    void SetWideString(TTdbDataValue& value, std::u16string_view v) const override;
    std::u16string GetWideString(const TTdbDataValue& value) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;

private:
    char16_t FWideTable[256] = {};
    bool FHasWideTable = false;
};

// WideString (18) and WideMemo (19): UTF-16 code units.
class TTdbWideStringType final : public TTdbStringType {
public:
    TTdbWideStringType(TTdbColumnType columnType, bool nullable, std::int32_t maxLength,
                       std::u16string collationName, const TTdbCollation& collation,
                       std::int16_t level);

    std::u16string GetSqlName() const override;
    std::u16string GetTplName() const override { return u"String"; }
    void SetAnsiString(TTdbDataValue& value, std::string_view v) const override;
    std::string GetAnsiString(const TTdbDataValue& value) const override;
    void SetWideString(TTdbDataValue& value, std::u16string_view v) const override;
    std::u16string GetWideString(const TTdbDataValue& value) const override;
    int CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t2,
                  TStrCmpOptions options) const override;
};

// Blob (11) values: bytes in an owned buffer; the record keeps a 4-byte block reference.
class TTdbBinaryType final : public TTdbDataType {
public:
    TTdbBinaryType(bool nullable, std::int32_t maxSize, std::int16_t level) noexcept
        : TTdbDataType(ctBlob, nullable, level), FMaxSize(maxSize) {}

    std::int32_t GetMaxSize() const noexcept { return FMaxSize; }

    std::int32_t GetDataSize() const noexcept override { return 4; }
    std::u16string GetSqlName() const override { return u"LONGVARBINARY"; }
    std::u16string GetTplName() const override { return u"Blob"; }
    const TTdbDataType* GetNullableType(bool nullable) const override;
    const TTdbDataType* GetLevelType(std::int16_t level) const override;
    void GetDefault(TTdbDataValue& value) const override;
    std::int32_t GetSize(const TTdbDataValue& value) const override;
    void CopyTo(const TTdbDataValue& value, void* dest) const override;
    void SetReference(TTdbDataValue& value, void* image) const override;
    void SetReference(TTdbDataValue& value, TTdbDataValue& other) const override;
    void Assign(TTdbDataValue& dest, const TTdbDataValue& source) const override;
    // An empty blob is NULL, as the block reference 0 that stores it.
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    // Raises EOverflowError "Blob too large" beyond the maximum size.
    void SetBytes(TTdbDataValue& value, std::span<const std::uint8_t> bytes) const override;
    std::span<const std::uint8_t> GetBytes(const TTdbDataValue& value) const override;
    const TTdbDataType* GetSuperType(const TTdbDataType* other) const override;

private:
    std::int32_t FMaxSize;
};

// A relation (linked table) value: an object handle, nothing in the record.
class TTdbRelationType final : public TTdbDataType {
public:
    TTdbRelationType(bool nullable, std::int16_t level) noexcept
        : TTdbDataType(ctRelation, nullable, level) {}

    std::u16string GetSqlName() const override { return u"Relation"; }
    std::u16string GetTplName() const override { return u"Relation"; }
    void SetReference(TTdbDataValue& value, void* image) const override;
    void SetReference(TTdbDataValue& value, TTdbDataValue& other) const override;
    void Assign(TTdbDataValue& dest, const TTdbDataValue& source) const override;
    bool IsNull(const TTdbDataValue& value) const override;
    void SetNull(TTdbDataValue& value) const override;
    void SetObject(TTdbDataValue& value, void* object) const override;
    void* GetObject(const TTdbDataValue& value) const override;
    void GetDefault(TTdbDataValue& value) const override;
    std::u16string ConvertToString(const TTdbDataValue& value) const override;
};

}  // namespace tdb
