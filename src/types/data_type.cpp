// The root data type: the process-wide type registry, the image rules every
// type shares, the failures of unsupported getters and setters, and the
// class operations that take two operands (compare, convert, calculate).
#include "types/data_type.h"

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "base/engine_error.h"
#include "platform/exception.h"
#include "platform/text.h"
#include "types/data_type_internal.h"
#include "types/type_errors.h"

namespace tdb {

namespace detail {

void RaisePlain(const char16_t* text) {
    throw Exception(std::u16string(text));
}

}  // namespace detail

using detail::RaisePlain;

// ---------------------------------------------------------------------------
// Registry

namespace {

// Fixed-size kinds by code, nullability and level, answered without the lock.
constexpr int kFixedCodes = 23;  // -1 .. 21
constexpr int kFixedLevels = 8;  // 0 .. 7
constexpr std::size_t kFixedSlots = kFixedCodes * 2 * kFixedLevels;

// A registry key: the kind's parameters as text, separated so that no two
// parameter lists give the same key. Built on the stack, so that looking up a
// registered type (as calculations do for every value) allocates nothing;
// only keys longer than the inline room, such as enumerations with their
// items, spill to the heap.
class TRegistryKey {
public:
    TRegistryKey(char16_t kind, TTdbColumnType code, bool nullable, std::int16_t level,
                 std::int64_t extra = 0) {
        Append(kind);
        AppendNumber(code);
        AppendNumber(nullable ? 1 : 0);
        AppendNumber(level);
        AppendNumber(extra);
    }

    void Append(char16_t c) {
        if (FLength < FInline.size()) {
            FInline[FLength++] = c;
            return;
        }
        if (FSpilled.empty()) {
            FSpilled.assign(FInline.data(), FLength);
        }
        FSpilled += c;
        ++FLength;
    }
    void Append(std::u16string_view text) {
        for (char16_t c : text) {
            Append(c);
        }
    }
    std::u16string_view View() const noexcept {
        return FSpilled.empty() ? std::u16string_view(FInline.data(), FLength)
                                : std::u16string_view(FSpilled);
    }

private:
    void AppendNumber(std::int64_t v) {
        char buf[24];
        int n = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
        for (int i = 0; i < n; ++i) {
            Append(static_cast<char16_t>(buf[i]));
        }
        Append(u'|');
    }

    std::array<char16_t, 64> FInline{};
    std::size_t FLength = 0;
    std::u16string FSpilled;
};

struct TKeyHash {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view key) const noexcept {
        return std::hash<std::u16string_view>{}(key);
    }
};

class TTypeRegistry {
public:
    // The type for Key, made by Make on first use.
    template <typename TMake>
    const TTdbDataType* FindOrCreate(const TRegistryKey& key, TMake&& make) {
        std::lock_guard guard(FLock);
        auto it = FByKey.find(key.View());
        if (it != FByKey.end()) {
            return it->second;
        }
        std::unique_ptr<TTdbDataType> type = make();
        const TTdbDataType* result = type.get();
        FTypes.push_back(std::move(type));
        FByKey.emplace(std::u16string(key.View()), result);
        return result;
    }

    std::atomic<const TTdbDataType*>* FixedSlot(TTdbColumnType code, bool nullable,
                                                std::int16_t level) noexcept {
        if (code < -1 || code >= kFixedCodes - 1 || level < 0 || level >= kFixedLevels) {
            return nullptr;
        }
        std::size_t index =
            (static_cast<std::size_t>(code + 1) * 2 + (nullable ? 1 : 0)) * kFixedLevels +
            static_cast<std::size_t>(level);
        return &FFixed[index];
    }

private:
    std::mutex FLock;
    std::vector<std::unique_ptr<TTdbDataType>> FTypes;
    std::unordered_map<std::u16string, const TTdbDataType*, TKeyHash, std::equal_to<>> FByKey;
    std::array<std::atomic<const TTdbDataType*>, kFixedSlots> FFixed{};
};

TTypeRegistry& Registry() {
    static TTypeRegistry registry;
    return registry;
}

}  // namespace

const TTdbDataType* TTdbDataType::GetIntegerType(TTdbColumnType code, bool nullable,
                                                 std::int16_t level) {
    switch (code) {
        case ctSmallInt:
        case ctByte:
        case ctBoolean:
        case ctAutoInc:
        case ctLink:
        case ctBlob:
        case ctInteger:
        case ctBigInt:
            break;
        default:
            return nullptr;
    }
    return Registry().FindOrCreate(TRegistryKey(u'I', code, nullable, level), [&] {
        return std::make_unique<TTdbIntegerType>(code, nullable, level);
    });
}

bool TTdbDataType::MayBeNullable(TTdbColumnType columnType, std::int16_t tableLevel) noexcept {
    if (columnType == ctAutoInc) {
        return false;
    }
    if (tableLevel >= 4) {
        return true;
    }
    return columnType != ctChar && columnType != ctString && columnType != ctWideString;
}

const TTdbDataType* TTdbDataType::GetDataType(TTdbColumnType columnType, bool nullable,
                                              std::int16_t level) {
    TTypeRegistry& registry = Registry();
    std::atomic<const TTdbDataType*>* slot = registry.FixedSlot(columnType, nullable, level);
    if (slot != nullptr) {
        if (const TTdbDataType* cached = slot->load(std::memory_order_acquire)) {
            return cached;
        }
    }
    const TTdbDataType* type = nullptr;
    switch (columnType) {
        case ctNull:
            type = GetNullType();
            break;
        case ctChar:
            type = registry.FindOrCreate(TRegistryKey(u'C', columnType, nullable, level), [&] {
                return std::make_unique<TTdbCharType>(nullable, level);
            });
            break;
        case ctSmallInt:
        case ctByte:
        case ctBoolean:
        case ctAutoInc:
        case ctLink:
        case ctInteger:
        case ctBigInt:
            type = GetIntegerType(columnType, nullable, level);
            break;
        case ctFloat:
            type = GetFloatType(nullable, 0, level);
            break;
        case ctRelation:
            type = registry.FindOrCreate(TRegistryKey(u'R', columnType, nullable, level), [&] {
                return std::make_unique<TTdbRelationType>(nullable, level);
            });
            break;
        case ctGuid:
            type = registry.FindOrCreate(TRegistryKey(u'G', columnType, nullable, level), [&] {
                return std::make_unique<TTdbGuidType>(nullable, level);
            });
            break;
        case ctDate:
        case ctTime:
        case ctTimeStamp:
            type = GetDateTimeType(columnType, nullable, 4, level);
            break;
        case ctMemo:
        case ctWideMemo:
            type = GetStringType(columnType, nullable, kUnboundedLength, u"", level);
            break;
        case ctBlob:
            type = GetBinaryType(nullable, kUnboundedLength, level);
            break;
        default:
            return nullptr;  // String, Enum, WideString need more; unknown codes have none
    }
    if (slot != nullptr) {
        slot->store(type, std::memory_order_release);
    }
    return type;
}

const TTdbDataType* TTdbDataType::GetDataType(TTdbColumnType columnType, bool nullable,
                                              std::int32_t size, std::int16_t level) {
    if (columnType == ctString) {
        std::int32_t length;
        if (!nullable) {
            length = size <= 256 ? size - 1 : size - 2;
        } else {
            length = size <= 257 ? size - 2 : size - 3;
        }
        return GetStringType(columnType, nullable, length, u"", level);
    }
    if (columnType == ctWideString) {
        return GetStringType(columnType, nullable, (size - (nullable ? 3 : 2)) / 2, u"", level);
    }
    return GetDataType(columnType, nullable, level);
}

const TTdbStringType* TTdbDataType::GetStringType(TTdbColumnType columnType, bool nullable,
                                                  std::int32_t maxLength,
                                                  std::u16string_view collationName,
                                                  std::int16_t level) {
    switch (columnType) {
        case ctString:
            if (maxLength < 1 || maxLength > kMaxStringLength) {
                RaiseEngineError(189, {maxLength, 1, kMaxStringLength});
            }
            break;
        case ctWideString:
            if (maxLength < 1 || maxLength > kMaxWideStringLength) {
                RaiseEngineError(189, {maxLength, 1, kMaxWideStringLength});
            }
            break;
        case ctMemo:
        case ctWideMemo:
            maxLength = kUnboundedLength;
            break;
        default:
            return nullptr;
    }
    TRegistryKey key(u'S', columnType, nullable, level, maxLength);
    key.Append(collationName);
    const TTdbDataType* type = Registry().FindOrCreate(key, [&]() -> std::unique_ptr<TTdbDataType> {
        // Resolving the collation first raises 138 for unknown names and
        // registers nothing.
        const TTdbCollation& collation = TTdbCollation::Get(collationName);
        std::u16string name(collationName);
        if (columnType == ctString || columnType == ctMemo) {
            return std::make_unique<TTdbAnsiStringType>(columnType, nullable, maxLength,
                                                        std::move(name), collation, level);
        }
        return std::make_unique<TTdbWideStringType>(columnType, nullable, maxLength,
                                                    std::move(name), collation, level);
    });
    return static_cast<const TTdbStringType*>(type);
}

const TTdbStringType* TTdbDataType::GetApproxStringType(TTdbColumnType columnType, bool nullable,
                                                        std::int32_t maxLength,
                                                        std::u16string_view collationName,
                                                        std::int16_t level) {
    std::int32_t length;
    if (maxLength <= 10) {
        length = 10;
    } else if (maxLength <= 100) {
        length = (maxLength + 9) / 10 * 10;
    } else if (maxLength <= 1000) {
        length = (maxLength + 99) / 100 * 100;
    } else if (maxLength <= 10000) {
        length = (maxLength + 999) / 1000 * 1000;
    } else {
        length = columnType == ctWideString ? kMaxWideStringLength : kMaxStringLength;
    }
    // The grid may step over the wide limit (10000 < 16382 only up to 16000).
    if (columnType == ctWideString && length > kMaxWideStringLength) {
        length = kMaxWideStringLength;
    }
    if (columnType == ctString && length > kMaxStringLength) {
        length = kMaxStringLength;
    }
    return GetStringType(columnType, nullable, length, collationName, level);
}

const TTdbDataType* TTdbDataType::GetDateTimeType(TTdbColumnType columnType, bool nullable,
                                                  std::int16_t precision, std::int16_t level) {
    if (columnType != ctDate && columnType != ctTime && columnType != ctTimeStamp) {
        return nullptr;
    }
    bool hasNullByte = nullable && columnType == ctTime;
    return Registry().FindOrCreate(
        TRegistryKey(u'D', columnType, nullable, level, precision * 2 + (hasNullByte ? 1 : 0)),
        [&] { return std::make_unique<TTdbDateTimeType>(columnType, nullable, precision, level); });
}

const TTdbDataType* TTdbDataType::GetFloatType(bool nullable, std::int16_t scale,
                                               std::int16_t level) {
    return Registry().FindOrCreate(TRegistryKey(u'F', ctFloat, nullable, level, scale), [&] {
        return std::make_unique<TTdbFloatType>(nullable, scale, level);
    });
}

const TTdbDataType* TTdbDataType::GetEnumType(std::u16string_view name,
                                              std::span<const TTdbEnumItem> items, bool nullable,
                                              std::int16_t level) {
    TRegistryKey key(u'E', ctEnum, nullable, level, static_cast<std::int64_t>(items.size()));
    key.Append(name);
    for (const TTdbEnumItem& item : items) {
        key.Append(u'\0');
        key.Append(static_cast<char16_t>(item.Value));
        key.Append(item.Name);
    }
    return Registry().FindOrCreate(key, [&] {
        return std::make_unique<TTdbEnumType>(std::u16string(name),
                                              std::vector<TTdbEnumItem>(items.begin(), items.end()),
                                              nullable, level);
    });
}

const TTdbDataType* TTdbDataType::GetEnumType(std::u16string_view name, std::u16string_view names,
                                              char16_t separator, char16_t quote, bool nullable,
                                              std::int16_t level) {
    std::vector<TTdbEnumItem> items;
    std::size_t i = 0;
    bool more = !names.empty();
    while (more) {
        std::u16string item;
        if (quote != 0 && i < names.size() && names[i] == quote) {
            // A quoted name; a doubled quote inside stands for one quote.
            ++i;
            while (i < names.size()) {
                if (names[i] == quote) {
                    if (i + 1 < names.size() && names[i + 1] == quote) {
                        item += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += names[i++];
            }
            // Anything up to the separator after the closing quote belongs to the name.
            while (i < names.size() && names[i] != separator) {
                item += names[i++];
            }
        } else {
            while (i < names.size() && names[i] != separator) {
                item += names[i++];
            }
        }
        more = i < names.size();  // at a separator
        ++i;
        std::size_t position = items.size() + 1;
        if (position > 255) {
            throw EOverflowError(std::u16string(u"Enum overflow"));
        }
        if (item.empty()) {
            std::string text = "Enum" + std::to_string(position);
            item.assign(text.begin(), text.end());
        }
        items.push_back({std::move(item), static_cast<std::uint8_t>(position)});
    }
    return GetEnumType(name, items, nullable, level);
}

const TTdbDataType* TTdbDataType::GetBinaryType(bool nullable, std::int32_t maxSize,
                                                std::int16_t level) {
    return Registry().FindOrCreate(TRegistryKey(u'B', ctBlob, nullable, level, maxSize), [&] {
        return std::make_unique<TTdbBinaryType>(nullable, maxSize, level);
    });
}

const TTdbDataType* TTdbDataType::GetNullType() {
    static const TTdbNullType nullType;
    return &nullType;
}

const TTdbDataType* TTdbDataType::GetTablePLDataType(TTdbColumnType columnType) {
    switch (columnType) {
        case ctString:
        case ctWideString:
            return GetStringType(columnType, true, kMaxWideStringLength, u"", 6);
        case ctSmallInt:
        case ctByte:
        case ctInteger:
        case ctBigInt:
            return GetDataType(ctBigInt, true, 6);
        case ctFloat:
        case ctBoolean:
        case ctDate:
        case ctBlob:
        case ctTime:
        case ctTimeStamp:
            return GetDataType(columnType, true, 6);
        case ctEnum:
            return GetDataType(ctByte, false, 6);
        default:
            return nullptr;
    }
}

const TTdbDataType* TTdbDataType::GetVariableType(const TTdbDataType* dataType) {
    if (dataType == nullptr || !dataType->IsStringType()) {
        return dataType;
    }
    auto* s = static_cast<const TTdbStringType*>(dataType);
    if (s->GetColumnType() == ctMemo) {
        return GetStringType(ctString, s->GetNullable(), kMaxStringLength, s->GetCollationName(),
                             s->GetLevel());
    }
    if (s->GetColumnType() == ctWideMemo) {
        return GetStringType(ctWideString, s->GetNullable(), kMaxWideStringLength,
                             s->GetCollationName(), s->GetLevel());
    }
    return dataType;
}

// ---------------------------------------------------------------------------
// Descriptor

bool TTdbDataType::IsStringType() const noexcept {
    return IsAnsiStringType() || IsWideStringType();
}

const TTdbDataType* TTdbDataType::GetNullableType(bool nullable) const {
    if (nullable == FNullable) {
        return this;
    }
    const TTdbDataType* type = GetDataType(FColumnType, nullable, FLevel);
    return type != nullptr ? type : this;
}

const TTdbDataType* TTdbDataType::GetLevelType(std::int16_t level) const {
    if (level == FLevel) {
        return this;
    }
    const TTdbDataType* type = GetDataType(FColumnType, FNullable, level);
    return type != nullptr ? type : this;
}

std::int32_t TTdbDataType::NullByteOffset() const noexcept {
    if (!GetHasNullByte()) {
        return -1;
    }
    return FLevel >= 6 ? 0 : GetDataSize() - 1;
}

std::int32_t TTdbDataType::ValueOffset() const noexcept {
    return GetHasNullByte() && FLevel >= 6 ? 1 : 0;
}

const std::uint8_t* TTdbDataType::ReadImage(const TTdbDataValue& value) const noexcept {
    return value.Image();
}

void TTdbDataType::PrepareFixed(TTdbDataValue& value) const noexcept {
    if (value.IsReference()) {
        return;
    }
    if (value.IsEmpty() || value.ColumnType() != FColumnType || value.HasBuffer()) {
        value.DoneValue();
        value.SetTag(FColumnType);
    }
}

std::uint8_t* TTdbDataType::WriteImage(TTdbDataValue& value) const {
    PrepareFixed(value);
    std::uint8_t* image = value.Image();
    std::int32_t nullByte = NullByteOffset();
    if (nullByte >= 0) {
        image[nullByte] = 1;
    }
    return image;
}

void TTdbDataType::RaiseNotNullable() const {
    RaiseEngineError(47, {GetErrorName()});
}

void TTdbDataType::RaiseRange(std::int64_t v, std::int64_t lo, std::int64_t hi) const {
    RaiseEngineError(81, {NumberText(v), GetErrorName(), NumberText(lo), NumberText(hi)});
}

void TTdbDataType::RaiseTypeMismatch(const TTdbDataType* from, const TTdbDataType* to) {
    RaiseEngineError(44, {from->GetTplName() + u"->" + to->GetTplName()});
}

// ---------------------------------------------------------------------------
// Values: what every type shares, and the failures of what a type lacks

void TTdbDataType::GetDefault(TTdbDataValue& value) const {
    if (FNullable) {
        SetNull(value);
        return;
    }
    RaisePlain(u"Cannot perform the operation on this data type.");
}

void TTdbDataType::GetMaximum(TTdbDataValue& value) const {
    GetDefault(value);
}

void TTdbDataType::GetMinimum(TTdbDataValue& value) const {
    if (FNullable && FLevel >= 4) {
        SetNull(value);
        return;
    }
    GetDefault(value);
}

std::int32_t TTdbDataType::GetSize(const TTdbDataValue&) const {
    return GetDataSize();
}

void TTdbDataType::CopyTo(const TTdbDataValue& value, void* dest) const {
    std::int32_t size = GetDataSize();
    if (size <= 0) {
        return;
    }
    const std::uint8_t* image = ReadImage(value);
    if (image == nullptr) {
        std::memset(dest, 0, static_cast<std::size_t>(size));
        return;
    }
    std::memmove(dest, image, static_cast<std::size_t>(size));
}

void TTdbDataType::SetReference(TTdbDataValue& value, void* image) const {
    value.SetReferenceImage(FColumnType, static_cast<std::uint8_t*>(image));
}

void TTdbDataType::SetReference(TTdbDataValue& value, TTdbDataValue& other) const {
    if (&value == &other) {
        return;
    }
    value.SetReferenceImage(FColumnType, other.Image());
}

void TTdbDataType::DoneValue(TTdbDataValue& value) const {
    value.DoneValue();
}

void TTdbDataType::Assign(TTdbDataValue& dest, const TTdbDataValue& source) const {
    if (&dest == &source) {
        return;
    }
    std::int32_t size = GetDataSize();
    const std::uint8_t* from = ReadImage(source);
    PrepareFixed(dest);
    if (size > 0) {
        std::uint8_t* to = dest.Image();
        if (from == nullptr) {
            std::memset(to, 0, static_cast<std::size_t>(size));
        } else if (to != from) {
            std::memmove(to, from, static_cast<std::size_t>(size));
        }
    }
}

bool TTdbDataType::IsNull(const TTdbDataValue& value) const {
    std::int32_t nullByte = NullByteOffset();
    if (nullByte < 0) {
        return false;
    }
    const std::uint8_t* image = ReadImage(value);
    return image == nullptr || image[nullByte] == 0;
}

void TTdbDataType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    std::int32_t nullByte = NullByteOffset();
    if (nullByte < 0) {
        RaisePlain(u"Cannot perform the operation on this data type.");
    }
    PrepareFixed(value);
    value.Image()[nullByte] = 0;  // the value bytes stay as they were
}

void TTdbDataType::SetInteger(TTdbDataValue&, std::int64_t) const {
    RaisePlain(u"Cannot assign integer.");
}
std::int64_t TTdbDataType::GetInteger(const TTdbDataValue&) const {
    RaisePlain(u"Is not an integer.");
}
void TTdbDataType::SetDouble(TTdbDataValue&, double) const {
    RaisePlain(u"Cannot assign double.");
}
double TTdbDataType::GetDouble(const TTdbDataValue&) const {
    RaiseEngineError(44, {GetTplName() + u"->Double"});
}
void TTdbDataType::SetGuid(TTdbDataValue&, const TTdbGuid&) const {
    RaisePlain(u"Cannot assign GUID.");
}
TTdbGuid TTdbDataType::GetGuid(const TTdbDataValue&) const {
    RaisePlain(u"Is not a GUID.");
}
void TTdbDataType::SetTime(TTdbDataValue&, std::int64_t) const {
    RaisePlain(u"Cannot assign time.");
}
std::int64_t TTdbDataType::GetTime(const TTdbDataValue&) const {
    RaisePlain(u"Is not a time.");
}
void TTdbDataType::SetDate(TTdbDataValue&, std::int32_t) const {
    RaisePlain(u"Cannot assign date.");
}
std::int32_t TTdbDataType::GetDate(const TTdbDataValue&) const {
    RaisePlain(u"Is not a date.");
}
void TTdbDataType::SetTimeStamp(TTdbDataValue&, const TTdbTimeStamp&) const {
    RaisePlain(u"Cannot assign time stamp.");
}
TTdbTimeStamp TTdbDataType::GetTimeStamp(const TTdbDataValue&) const {
    RaisePlain(u"Is not a date.");
}
void TTdbDataType::SetAnsiString(TTdbDataValue&, std::string_view) const {
    RaisePlain(u"Cannot assign ANSI string.");
}
void TTdbDataType::SetAnsiStringRef(TTdbDataValue&, void*) const {
    RaisePlain(u"Cannot assign ANSI string reference.");
}
std::string TTdbDataType::GetAnsiString(const TTdbDataValue&) const {
    RaisePlain(u"Is not an ANSI string.");
}
std::string_view TTdbDataType::GetPAnsiChar(const TTdbDataValue&) const {
    RaisePlain(u"Is not an ANSI string.");
}
void TTdbDataType::SetWideString(TTdbDataValue&, std::u16string_view) const {
    RaisePlain(u"Cannot assign Unicode string.");
}
std::u16string TTdbDataType::GetWideString(const TTdbDataValue&) const {
    RaisePlain(u"Is not a wide string.");
}
void TTdbDataType::SetObject(TTdbDataValue&, void*) const {
    RaisePlain(u"Cannot assign object.");
}
void* TTdbDataType::GetObject(const TTdbDataValue&) const {
    RaisePlain(u"Is not a class.");
}
void TTdbDataType::SetBytes(TTdbDataValue&, std::span<const std::uint8_t>) const {
    RaisePlain(u"Cannot assign bytes.");
}
std::span<const std::uint8_t> TTdbDataType::GetBytes(const TTdbDataValue&) const {
    RaisePlain(u"Is not a binary.");
}

// ---------------------------------------------------------------------------
// Receiver-side defaults of comparison, conversion and operators

bool TTdbDataType::CanCompareTo(const TTdbDataType*) const {
    return false;
}

int TTdbDataType::CompareTo(const TTdbDataValue&, const TTdbDataValue&, const TTdbDataType*,
                            TStrCmpOptions) const {
    RaisePlain(u"Cannot compare these types");
}

bool TTdbDataType::CanConvertTo(const TTdbDataType* to, bool explicitly) const {
    if (to == this || (to->GetColumnType() == FColumnType && FColumnType != ctEnum)) {
        return true;
    }
    return explicitly && to->IsStringType();
}

bool TTdbDataType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    if (from->GetColumnType() == ctNull) {
        return FNullable;
    }
    if (from == this || (from->GetColumnType() == FColumnType && FColumnType != ctEnum)) {
        return true;
    }
    return explicitly && from->IsStringType();
}

void TTdbDataType::ConvertTo(const TTdbDataValue& fromValue, TTdbDataValue& toValue,
                             const TTdbDataType* to, bool) const {
    detail::ConvertValue(fromValue, this, toValue, to);
}

void TTdbDataType::ConvertFrom(const TTdbDataValue& fromValue, TTdbDataValue& toValue,
                               const TTdbDataType* from, bool) const {
    detail::ConvertValue(fromValue, from, toValue, this);
}

std::u16string TTdbDataType::ConvertToString(const TTdbDataValue&) const {
    RaiseEngineError(52, {u"Cannot convert to string"});
}

void TTdbDataType::ConvertFromString(TTdbDataValue& value,
                                     std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        SetNull(value);
        return;
    }
    RaiseEngineError(44, {u"String->" + GetTplName()});
}

const TTdbDataType* TTdbDataType::GetSuperType(const TTdbDataType* other) const {
    if (other == this) {
        return this;
    }
    if (other->GetColumnType() == FColumnType && FColumnType != ctEnum) {
        return FNullable ? this : other;
    }
    return nullptr;
}

const TTdbDataType* TTdbDataType::GetResultDataType(TTdbDataUnaryOperator) const {
    return nullptr;
}

const TTdbDataType* TTdbDataType::GetResultDataTypeWith(TTdbDataBinaryOperator, const TTdbDataType*,
                                                        const TTdbDataType*) const {
    return nullptr;
}

void TTdbDataType::CalculateWith(TTdbDataBinaryOperator, const TTdbDataValue&, const TTdbDataValue&,
                                 TTdbDataValue&, const TTdbDataType*, const TTdbDataType*,
                                 const TTdbDataType*) const {
    RaisePlain(u"Cannot perform this operation on these data types.");
}

void TTdbDataType::CalculateWith(TTdbDataUnaryOperator, const TTdbDataValue&, TTdbDataValue&,
                                 const TTdbDataType*) const {
    RaisePlain(u"Cannot perform the operation on this data type.");
}

// ---------------------------------------------------------------------------
// Two operands

bool TTdbDataType::CanCompare(const TTdbDataType* t1, const TTdbDataType* t2) {
    return t1->CanCompareTo(t2) || t2->CanCompareTo(t1);
}

int TTdbDataType::Compare(const TTdbDataValue& v1, const TTdbDataValue& v2, const TTdbDataType* t1,
                          const TTdbDataType* t2, TStrCmpOptions options) {
    if (t1->CanCompareTo(t2)) {
        return t1->CompareTo(v1, v2, t2, options);
    }
    if (t2->CanCompareTo(t1)) {
        int result = t2->CompareTo(v2, v1, t1, options);
        if (result == kCompareLess) {
            return kCompareGreater;
        }
        if (result == kCompareGreater) {
            return kCompareLess;
        }
        return result;
    }
    RaisePlain(u"Cannot compare these types");
}

bool TTdbDataType::CanConvert(const TTdbDataType* from, const TTdbDataType* to, bool explicitly) {
    return from->CanConvertTo(to, explicitly) || to->CanConvertFrom(from, explicitly);
}

void TTdbDataType::Convert(const TTdbDataValue& fromValue, TTdbDataValue& toValue,
                           const TTdbDataType* from, const TTdbDataType* to, bool explicitly) {
    // Into a scratch cell first, so that a failure leaves the target as it was.
    TTdbDataValue result;
    if (to->CanConvertFrom(from, explicitly)) {
        to->ConvertFrom(fromValue, result, from, explicitly);
    } else if (from->CanConvertTo(to, explicitly)) {
        from->ConvertTo(fromValue, result, to, explicitly);
    } else {
        RaiseTypeMismatch(from, to);
    }
    to->Assign(toValue, result);
}

void TTdbDataType::Convert(TTdbDataValue& value, const TTdbDataType* from, const TTdbDataType* to,
                           bool explicitly) {
    TTdbDataValue result;
    Convert(value, result, from, to, explicitly);
    value = std::move(result);
}

const TTdbDataType* TTdbDataType::GetSuperType(const TTdbDataType* t1, const TTdbDataType* t2) {
    if (t1->GetColumnType() == ctNull) {
        return t2->GetNullableType(true);
    }
    if (t2->GetColumnType() == ctNull) {
        return t1->GetNullableType(true);
    }
    const TTdbDataType* type = t1->GetSuperType(t2);
    return type != nullptr ? type : t2->GetSuperType(t1);
}

const TTdbDataType* TTdbDataType::GetResultDataType(TTdbDataBinaryOperator op,
                                                    const TTdbDataType* t1,
                                                    const TTdbDataType* t2) {
    // A NULL operand yields NULL of what the other operand would give with itself.
    if (t1->GetColumnType() == ctNull && t2->GetColumnType() == ctNull) {
        return nullptr;
    }
    if (t1->GetColumnType() == ctNull) {
        const TTdbDataType* type = GetResultDataType(op, t2, t2);
        return type != nullptr ? type->GetNullableType(true) : nullptr;
    }
    if (t2->GetColumnType() == ctNull) {
        const TTdbDataType* type = GetResultDataType(op, t1, t1);
        return type != nullptr ? type->GetNullableType(true) : nullptr;
    }
    const TTdbDataType* type = t1->GetResultDataTypeWith(op, t1, t2);
    return type != nullptr ? type : t2->GetResultDataTypeWith(op, t1, t2);
}

const TTdbDataType* TTdbDataType::GetResultDataType(TTdbDataUnaryOperator op,
                                                    const TTdbDataType* t) {
    return t->GetResultDataType(op);
}

namespace {

void SetNullResult(TTdbDataValue& result, const TTdbDataType* resultType) {
    if (resultType->GetNullable()) {
        resultType->SetNull(result);
    } else {
        resultType->GetDefault(result);
    }
}

}  // namespace

void TTdbDataType::Calculate(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                             const TTdbDataValue& v2, TTdbDataValue& result, const TTdbDataType* t1,
                             const TTdbDataType* t2, const TTdbDataType* resultType) {
    const TTdbDataType* computer = nullptr;
    if (t1->GetResultDataTypeWith(op, t1, t2) != nullptr) {
        computer = t1;
    } else if (t2->GetResultDataTypeWith(op, t1, t2) != nullptr) {
        computer = t2;
    }
    if (resultType == nullptr) {
        resultType = GetResultDataType(op, t1, t2);
    }
    if (resultType == nullptr) {
        RaisePlain(u"Cannot perform this operation on these data types.");
    }
    TTdbDataValue scratch;
    if (t1->IsNull(v1) || t2->IsNull(v2)) {
        SetNullResult(scratch, resultType);
    } else if (computer == nullptr) {
        RaisePlain(u"Cannot perform this operation on these data types.");
    } else {
        computer->CalculateWith(op, v1, v2, scratch, t1, t2, resultType);
    }
    resultType->Assign(result, scratch);
}

void TTdbDataType::Calculate(TTdbDataUnaryOperator op, const TTdbDataValue& v,
                             TTdbDataValue& result, const TTdbDataType* t,
                             const TTdbDataType* resultType) {
    if (resultType == nullptr) {
        resultType = t->GetResultDataType(op);
    }
    if (resultType == nullptr) {
        RaisePlain(u"Cannot perform the operation on this data type.");
    }
    TTdbDataValue scratch;
    if (t->IsNull(v)) {
        SetNullResult(scratch, resultType);
    } else {
        t->CalculateWith(op, v, scratch, resultType);
    }
    resultType->Assign(result, scratch);
}

}  // namespace tdb
