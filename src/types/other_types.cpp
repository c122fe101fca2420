// The smaller kinds: the NULL type, enumerations, GUIDs, single characters,
// blobs and relation handles.
#include <algorithm>
#include <cstring>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "types/data_type.h"
#include "types/data_type_internal.h"
#include "types/text_forms.h"
#include "types/type_errors.h"

namespace tdb {

using detail::RaisePlain;
using detail::ThreeWay;

// ---------------------------------------------------------------------------
// NULL type

void TTdbNullType::SetNull(TTdbDataValue& value) const {
    value.DoneValue();
    value.SetTag(-1);
}

void TTdbNullType::Assign(TTdbDataValue& dest, const TTdbDataValue&) const {
    SetNull(dest);
}

bool TTdbNullType::CanConvertTo(const TTdbDataType* to, bool) const {
    return to->GetNullable();
}

void TTdbNullType::ConvertFromString(TTdbDataValue& value,
                                     std::optional<std::u16string_view>) const {
    SetNull(value);
}

const TTdbDataType* TTdbNullType::GetSuperType(const TTdbDataType* other) const {
    return other->GetNullableType(true);
}

// ---------------------------------------------------------------------------
// Enumerations

namespace {

std::u16string AsText(std::int64_t v) {
    std::string text = std::to_string(v);
    return std::u16string(text.begin(), text.end());
}

}  // namespace

TTdbEnumType::TTdbEnumType(std::u16string name, std::vector<TTdbEnumItem> items, bool nullable,
                           std::int16_t level)
    : TTdbDataType(ctEnum, nullable, level), FName(std::move(name)), FEnumItems(std::move(items)) {}

const TTdbEnumItem* TTdbEnumType::FindItem(std::u16string_view name) const {
    for (const TTdbEnumItem& item : FEnumItems) {
        if (CompareNames(item.Name, name) == 0) {
            return &item;
        }
    }
    return nullptr;
}

const TTdbEnumItem* TTdbEnumType::FindItem(std::int64_t value) const {
    for (const TTdbEnumItem& item : FEnumItems) {
        if (item.Value == value) {
            return &item;
        }
    }
    return nullptr;
}

const TTdbDataType* TTdbEnumType::GetNullableType(bool nullable) const {
    return nullable == FNullable ? this : GetEnumType(FName, FEnumItems, nullable, FLevel);
}

const TTdbDataType* TTdbEnumType::GetLevelType(std::int16_t level) const {
    return level == FLevel ? this : GetEnumType(FName, FEnumItems, FNullable, level);
}

void TTdbEnumType::GetDefault(TTdbDataValue& value) const {
    const TTdbEnumItem* item = FindItem(std::int64_t{0});
    if (item == nullptr && !FEnumItems.empty()) {
        item = &FEnumItems.front();
    }
    if (item == nullptr || item->Value == 0) {
        // Value 0 is how an enumeration stores NULL.
        PrepareFixed(value);
        value.Image()[0] = 0;
        return;
    }
    SetInteger(value, item->Value);
}

bool TTdbEnumType::IsNull(const TTdbDataValue& value) const {
    return value.Image()[0] == 0;
}

void TTdbEnumType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    PrepareFixed(value);
    value.Image()[0] = 0;
}

void TTdbEnumType::SetInteger(TTdbDataValue& value, std::int64_t v) const {
    if (v == 0) {
        SetNull(value);
        return;
    }
    if (FindItem(v) == nullptr) {
        throw EOverflowError(std::u16string(u"Enum overflow"));
    }
    PrepareFixed(value);
    value.Image()[0] = static_cast<std::uint8_t>(v);
}

std::int64_t TTdbEnumType::GetInteger(const TTdbDataValue& value) const {
    // Read unsigned so that the order matches the item values up to 255.
    return value.Image()[0];
}

bool TTdbEnumType::CanCompareTo(const TTdbDataType* other) const {
    return other == this || other->IsIntegerFamily();
}

int TTdbEnumType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                            const TTdbDataType* t2, TStrCmpOptions) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    return ThreeWay(GetInteger(v1), t2->GetInteger(v2));
}

bool TTdbEnumType::CanConvertTo(const TTdbDataType* to, bool explicitly) const {
    return TTdbDataType::CanConvertTo(to, explicitly) || (explicitly && to->IsIntegerFamily());
}

bool TTdbEnumType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    if (TTdbDataType::CanConvertFrom(from, explicitly) || from->IsIntegerFamily()) {
        return true;
    }
    if (from->GetColumnType() != ctEnum) {
        return false;
    }
    // Another enumeration whose names all exist here.
    auto* other = static_cast<const TTdbEnumType*>(from);
    return std::all_of(other->GetEnumItems().begin(), other->GetEnumItems().end(),
                       [this](const TTdbEnumItem& item) { return FindItem(item.Name) != nullptr; });
}

std::u16string TTdbEnumType::ConvertToString(const TTdbDataValue& value) const {
    if (IsNull(value)) {
        return {};
    }
    const TTdbEnumItem* item = FindItem(GetInteger(value));
    return item != nullptr ? item->Name : AsText(GetInteger(value));
}

void TTdbEnumType::ConvertFromString(TTdbDataValue& value,
                                     std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        SetNull(value);
        return;
    }
    if (const TTdbEnumItem* item = FindItem(*text)) {
        SetInteger(value, item->Value);
        return;
    }
    if (std::optional<std::int64_t> n = TryIntegerFromText(*text)) {
        if (*n != 0 && FindItem(*n) != nullptr) {
            SetInteger(value, *n);
            return;
        }
        throw EConvertError(u"\"" + AsText(*n) + u"\" is not a valid enumeration value for " +
                            FName + u".");
    }
    throw EConvertError(u"\"" + std::u16string(*text) +
                        u"\" is not a valid enumeration value for " + FName + u".");
}

// ---------------------------------------------------------------------------
// GUID

void TTdbGuidType::GetDefault(TTdbDataValue& value) const {
    SetGuid(value, TTdbGuid{});
}

void TTdbGuidType::GetMaximum(TTdbDataValue& value) const {
    std::uint8_t image[kGuidImageSize];
    std::memset(image, 0xFF, sizeof image);
    TTdbGuid guid;
    LoadGuid(image, guid);
    SetGuid(value, guid);
}

void TTdbGuidType::GetMinimum(TTdbDataValue& value) const {
    if (FNullable && FLevel >= 4) {
        SetNull(value);
        return;
    }
    GetDefault(value);
}

bool TTdbGuidType::IsNull(const TTdbDataValue& value) const {
    return TTdbDataType::IsNull(value);
}

void TTdbGuidType::SetNull(TTdbDataValue& value) const {
    TTdbDataType::SetNull(value);
}

void TTdbGuidType::SetGuid(TTdbDataValue& value, const TTdbGuid& v) const {
    StoreGuid(WriteImage(value) + ValueOffset(), v);
}

TTdbGuid TTdbGuidType::GetGuid(const TTdbDataValue& value) const {
    TTdbGuid guid;
    LoadGuid(value.Image() + ValueOffset(), guid);
    return guid;
}

bool TTdbGuidType::CanCompareTo(const TTdbDataType* other) const {
    return other->GetColumnType() == ctGuid;
}

int TTdbGuidType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                            const TTdbDataType* t2, TStrCmpOptions) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    return detail::FromSign(CompareGuids(GetGuid(v1), t2->GetGuid(v2)));
}

bool TTdbGuidType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    return TTdbDataType::CanConvertFrom(from, explicitly);
}

std::u16string TTdbGuidType::ConvertToString(const TTdbDataValue& value) const {
    return IsNull(value) ? std::u16string() : GuidToText(GetGuid(value));
}

void TTdbGuidType::ConvertFromString(TTdbDataValue& value,
                                     std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        SetNull(value);
        return;
    }
    SetGuid(value, GuidFromText(*text));
}

const TTdbDataType* TTdbGuidType::GetSuperType(const TTdbDataType* other) const {
    return TTdbDataType::GetSuperType(other);
}

// ---------------------------------------------------------------------------
// Char

std::u16string TTdbCharType::GetSqlName() const {
    return FNullable ? u"CHAR(1)" : u"CHAR(1) NOT NULL";
}

void TTdbCharType::GetDefault(TTdbDataValue& value) const {
    if (FNullable) {
        SetNull(value);
        return;
    }
    WriteImage(value)[ValueOffset()] = 0;
}

void TTdbCharType::GetMinimum(TTdbDataValue& value) const {
    GetDefault(value);
}

void TTdbCharType::GetMaximum(TTdbDataValue& value) const {
    WriteImage(value)[ValueOffset()] = 254;
}

bool TTdbCharType::IsNull(const TTdbDataValue& value) const {
    return TTdbDataType::IsNull(value);
}

void TTdbCharType::SetNull(TTdbDataValue& value) const {
    TTdbDataType::SetNull(value);
}

void TTdbCharType::SetAnsiString(TTdbDataValue& value, std::string_view v) const {
    if (v.size() > 1) {
        throw EConvertError(std::u16string(u"String too long"));
    }
    WriteImage(value)[ValueOffset()] = v.empty() ? 0 : static_cast<std::uint8_t>(v[0]);
}

std::string TTdbCharType::GetAnsiString(const TTdbDataValue& value) const {
    return std::string(GetPAnsiChar(value));
}

std::string_view TTdbCharType::GetPAnsiChar(const TTdbDataValue& value) const {
    if (IsNull(value)) {
        return {};
    }
    const std::uint8_t* c = value.Image() + ValueOffset();
    // Character 0 is the empty text.
    return *c == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(c), 1);
}

void TTdbCharType::SetWideString(TTdbDataValue& value, std::u16string_view v) const {
    if (v.size() > 1) {
        throw EConvertError(std::u16string(u"String too long"));
    }
    SetAnsiString(value, TTdbCollation::BuiltIn().ToAnsi(v));
}

std::u16string TTdbCharType::GetWideString(const TTdbDataValue& value) const {
    return TTdbCollation::BuiltIn().ToWide(GetPAnsiChar(value));
}

bool TTdbCharType::CanCompareTo(const TTdbDataType* other) const {
    return other->GetColumnType() == ctChar;
}

int TTdbCharType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                            const TTdbDataType* t2, TStrCmpOptions) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    auto code = [](const TTdbDataType* t, const TTdbDataValue& v) -> unsigned {
        std::string_view c = t->GetPAnsiChar(v);
        return c.empty() ? 0U : static_cast<unsigned char>(c[0]);
    };
    return ThreeWay(code(this, v1), code(t2, v2));
}

bool TTdbCharType::CanConvertTo(const TTdbDataType* to, bool explicitly) const {
    return TTdbDataType::CanConvertTo(to, explicitly) || to->IsAnsiStringType();
}

bool TTdbCharType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    return TTdbDataType::CanConvertFrom(from, explicitly) || from->GetColumnType() == ctString;
}

std::u16string TTdbCharType::ConvertToString(const TTdbDataValue& value) const {
    return GetWideString(value);
}

void TTdbCharType::ConvertFromString(TTdbDataValue& value,
                                     std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        if (FNullable) {
            SetNull(value);
        } else {
            SetAnsiString(value, {});
        }
        return;
    }
    SetWideString(value, *text);
}

const TTdbDataType* TTdbCharType::GetSuperType(const TTdbDataType* other) const {
    if (other->IsStringType()) {
        return other->GetNullableType(FNullable || other->GetNullable());
    }
    return TTdbDataType::GetSuperType(other);
}

// ---------------------------------------------------------------------------
// Blob

const TTdbDataType* TTdbBinaryType::GetNullableType(bool nullable) const {
    return nullable == FNullable ? this : GetBinaryType(nullable, FMaxSize, FLevel);
}

const TTdbDataType* TTdbBinaryType::GetLevelType(std::int16_t level) const {
    return level == FLevel ? this : GetBinaryType(FNullable, FMaxSize, level);
}

void TTdbBinaryType::GetDefault(TTdbDataValue& value) const {
    SetBytes(value, {});
}

std::int32_t TTdbBinaryType::GetSize(const TTdbDataValue& value) const {
    return static_cast<std::int32_t>(GetBytes(value).size());
}

void TTdbBinaryType::CopyTo(const TTdbDataValue& value, void* dest) const {
    std::span<const std::uint8_t> bytes = GetBytes(value);
    if (!bytes.empty()) {
        std::memmove(dest, bytes.data(), bytes.size());
    }
}

void TTdbBinaryType::SetReference(TTdbDataValue&, void*) const {
    // A record holds only the block reference; the bytes live in the blob file.
    RaisePlain(u"Cannot assign bytes.");
}

void TTdbBinaryType::SetReference(TTdbDataValue& value, TTdbDataValue& other) const {
    Assign(value, other);
}

void TTdbBinaryType::Assign(TTdbDataValue& dest, const TTdbDataValue& source) const {
    if (&dest == &source) {
        return;
    }
    std::span<const std::uint8_t> bytes = GetBytes(source);
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    SetBytes(dest, copy);
}

bool TTdbBinaryType::IsNull(const TTdbDataValue& value) const {
    return FNullable && GetBytes(value).empty();
}

void TTdbBinaryType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    SetBytes(value, {});
}

void TTdbBinaryType::SetBytes(TTdbDataValue& value, std::span<const std::uint8_t> bytes) const {
    if (bytes.size() > static_cast<std::size_t>(FMaxSize)) {
        throw EOverflowError(std::u16string(u"Blob too large"));
    }
    if (value.IsReference() || value.IsEmpty() || value.ColumnType() != ctBlob) {
        value.DoneValue();
        value.SetTag(ctBlob);
    }
    if (!bytes.empty()) {
        value.ReserveBuffer(bytes.size());
        std::memmove(value.Image(), bytes.data(), bytes.size());
    }
    value.SetBytesInUse(bytes.size());
}

std::span<const std::uint8_t> TTdbBinaryType::GetBytes(const TTdbDataValue& value) const {
    if (value.IsReference() || !value.HasBuffer()) {
        return {};
    }
    return {value.Image(), value.BytesInUse()};
}

const TTdbDataType* TTdbBinaryType::GetSuperType(const TTdbDataType* other) const {
    if (other->GetColumnType() != ctBlob || other->IsIntegerFamily()) {
        return nullptr;
    }
    auto* o = static_cast<const TTdbBinaryType*>(other);
    const TTdbBinaryType* larger = o->GetMaxSize() > FMaxSize ? o : this;
    return larger->GetNullableType(FNullable || o->GetNullable());
}

// ---------------------------------------------------------------------------
// Relation

void TTdbRelationType::SetReference(TTdbDataValue&, void*) const {
    RaisePlain(u"Cannot assign object.");
}

void TTdbRelationType::SetReference(TTdbDataValue& value, TTdbDataValue& other) const {
    Assign(value, other);
}

void TTdbRelationType::Assign(TTdbDataValue& dest, const TTdbDataValue& source) const {
    SetObject(dest, GetObject(source));
}

bool TTdbRelationType::IsNull(const TTdbDataValue& value) const {
    return value.Object() == nullptr;
}

void TTdbRelationType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    SetObject(value, nullptr);
}

void TTdbRelationType::SetObject(TTdbDataValue& value, void* object) const {
    PrepareFixed(value);
    value.SetObject(object);
}

void* TTdbRelationType::GetObject(const TTdbDataValue& value) const {
    return value.Object();
}

void TTdbRelationType::GetDefault(TTdbDataValue& value) const {
    SetObject(value, nullptr);
}

std::u16string TTdbRelationType::ConvertToString(const TTdbDataValue& value) const {
    return TTdbDataType::ConvertToString(value);
}

}  // namespace tdb
