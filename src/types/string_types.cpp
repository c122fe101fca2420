// String, Memo, WideString and WideMemo: length-prefixed images read in
// place, owned buffers that grow on demand, collation order, code pages,
// prefix bounds, wildcard matching, concatenation and case mapping.
#include <algorithm>
#include <bit>
#include <cstring>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "types/code_page.h"
#include "types/data_type.h"
#include "types/data_type_internal.h"

namespace tdb {

using detail::RaisePlain;

namespace {

// Strings up to this many characters are widened on the stack.
constexpr std::size_t kStackChars = 512;
// Unbounded strings get room for at least this many characters at once.
constexpr std::int32_t kMinUnboundedChars = 80;

bool IsSingleByteCodePage(std::uint16_t codePage) {
    return codePage != 932 && codePage != 936 && codePage != 949 && codePage != 950;
}

bool Overlaps(const void* p, std::size_t bytes, const std::uint8_t* buffer, std::size_t capacity) {
    auto* b = static_cast<const std::uint8_t*>(p);
    return buffer != nullptr && b < buffer + capacity && b + bytes > buffer;
}

}  // namespace

// ---------------------------------------------------------------------------
// Common string image

TTdbStringType::TTdbStringType(TTdbColumnType columnType, bool nullable, std::int32_t maxLength,
                               std::u16string collationName, const TTdbCollation& collation,
                               std::int16_t level)
    : TTdbDataType(columnType, nullable, level),
      FMaxLength(maxLength),
      FCollationName(std::move(collationName)),
      FLocaleId(collation.LocaleId()),
      FStrCmpOptions(collation.Options()),
      FCollation(&collation),
      FCharSize(columnType == ctWideString || columnType == ctWideMemo ? 2 : 1) {
    if (maxLength == kUnboundedLength) {
        FPrefixSize = 4;
    } else if (FCharSize == 1 && maxLength < 256) {
        FPrefixSize = 1;
    } else if (maxLength <= 65535) {
        FPrefixSize = 2;
    } else {
        FPrefixSize = 4;
    }
}

std::int32_t TTdbStringType::GetDataSize() const noexcept {
    if (IsUnbounded()) {
        return 4;  // the record keeps a block reference into the memo file
    }
    return FPrefixSize + FMaxLength * FCharSize + (FNullable ? 1 : 0);
}

std::int32_t TTdbStringType::PrefixOffset() const noexcept {
    return FNullable && (FLevel >= 6 || IsUnbounded()) ? 1 : 0;
}

std::int32_t TTdbStringType::IndicatorOffset() const noexcept {
    if (!FNullable) {
        return -1;
    }
    if (FLevel >= 6 || IsUnbounded()) {
        return 0;
    }
    return FPrefixSize + FMaxLength * FCharSize;  // after the full character area
}

std::size_t TTdbStringType::BufferBytes(std::int32_t length) const noexcept {
    if (IsUnbounded()) {
        return static_cast<std::size_t>(PrefixOffset() + FPrefixSize) +
               static_cast<std::size_t>(std::max(length, kMinUnboundedChars)) *
                   static_cast<std::size_t>(FCharSize);
    }
    if (FNullable && FLevel < 6) {
        // The indicator is the last byte of the full image.
        return static_cast<std::size_t>(GetDataSize());
    }
    return static_cast<std::size_t>(PrefixOffset() + FPrefixSize + length * FCharSize);
}

namespace {

std::int32_t LoadPrefix(const std::uint8_t* p, std::int32_t size) noexcept {
    switch (size) {
        case 1:
            return p[0];
        case 2:
            return LoadLE<std::uint16_t>(p);
        default:
            return LoadLE<std::int32_t>(p);
    }
}

void StorePrefix(std::uint8_t* p, std::int32_t size, std::int32_t length) noexcept {
    switch (size) {
        case 1:
            p[0] = static_cast<std::uint8_t>(length);
            break;
        case 2:
            StoreLE<std::uint16_t>(p, static_cast<std::uint16_t>(length));
            break;
        default:
            StoreLE<std::int32_t>(p, length);
            break;
    }
}

}  // namespace

const std::uint8_t* TTdbStringType::ReadChars(const TTdbDataValue& value,
                                              std::int32_t& length) const noexcept {
    length = 0;
    if (!value.IsReference() && !value.HasBuffer()) {
        return nullptr;
    }
    const std::uint8_t* image = value.Image();
    if (FNullable && image[IndicatorOffset()] == 0) {
        return nullptr;
    }
    std::int32_t stored = LoadPrefix(image + PrefixOffset(), FPrefixSize);
    // A damaged prefix must not lead the reader past the image.
    std::int32_t room = FMaxLength;
    if (!value.IsReference()) {
        auto available = static_cast<std::int64_t>(value.Capacity()) - PrefixOffset() - FPrefixSize;
        room = static_cast<std::int32_t>(std::min<std::int64_t>(room, available / FCharSize));
    }
    length = std::clamp(stored, 0, room);
    return image + PrefixOffset() + FPrefixSize;
}

std::uint8_t* TTdbStringType::PrepareChars(TTdbDataValue& value, std::int32_t length) const {
    std::uint8_t* image;
    if (value.IsReference()) {
        if (IsUnbounded()) {
            // Nothing tells how much room the referenced image has.
            RaisePlain(FCharSize == 2 ? u"Cannot assign Unicode string."
                                      : u"Cannot assign ANSI string.");
        }
        image = value.Image();
    } else {
        if (value.IsEmpty() || value.ColumnType() != FColumnType) {
            value.DoneValue();
            value.SetTag(FColumnType);
        }
        value.ReserveBuffer(BufferBytes(length));
        image = value.Image();
    }
    if (FNullable) {
        image[IndicatorOffset()] = 1;
    }
    StorePrefix(image + PrefixOffset(), FPrefixSize, length);
    return image + PrefixOffset() + FPrefixSize;
}

std::u16string_view TTdbStringType::WideView(const TTdbDataValue& value, char16_t* buffer,
                                             std::size_t bufferSize, std::u16string& spill) const {
    std::int32_t length;
    const std::uint8_t* chars = ReadChars(value, length);
    if (chars == nullptr || length == 0) {
        return {};
    }
    auto n = static_cast<std::size_t>(length);
    if (FCharSize == 2) {
        char16_t* out = buffer;
        if (n > bufferSize) {
            spill.resize(n);
            out = spill.data();
        }
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out, chars, n * 2);  // the image is already UTF-16LE
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(chars + 2 * i));
            }
        }
        return {out, n};
    }
    const char16_t* table = static_cast<const TTdbAnsiStringType*>(this)->GetWideTable();
    if (table == nullptr) {
        spill = FCollation->ToWide({reinterpret_cast<const char*>(chars), n});
        return spill;
    }
    char16_t* out = buffer;
    if (n > bufferSize) {
        spill.resize(n);
        out = spill.data();
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = table[chars[i]];
    }
    return {out, n};
}

const TTdbDataType* TTdbStringType::GetNullableType(bool nullable) const {
    return nullable == FNullable
               ? this
               : GetStringType(FColumnType, nullable, FMaxLength, FCollationName, FLevel);
}

const TTdbDataType* TTdbStringType::GetLevelType(std::int16_t level) const {
    return level == FLevel
               ? this
               : GetStringType(FColumnType, FNullable, FMaxLength, FCollationName, level);
}

void TTdbStringType::GetDefault(TTdbDataValue& value) const {
    PrepareChars(value, 0);
}

void TTdbStringType::GetMinimum(TTdbDataValue& value) const {
    if (FNullable && FLevel >= 4) {
        SetNull(value);
        return;
    }
    PrepareChars(value, 0);
}

void TTdbStringType::GetMaximum(TTdbDataValue& value) const {
    // The prefix bound of the empty string: above every string.
    std::uint8_t* chars = PrepareChars(value, 1);
    std::memset(chars, 0, static_cast<std::size_t>(FCharSize));
}

std::int32_t TTdbStringType::GetSize(const TTdbDataValue& value) const {
    if (!IsUnbounded()) {
        return GetDataSize();
    }
    std::int32_t length;
    ReadChars(value, length);
    return PrefixOffset() + FPrefixSize + length * FCharSize;
}

void TTdbStringType::CopyTo(const TTdbDataValue& value, void* dest) const {
    auto* out = static_cast<std::uint8_t*>(dest);
    std::int32_t size = GetSize(value);
    std::int32_t length;
    const std::uint8_t* chars = ReadChars(value, length);
    if (value.IsReference() && value.Image() == out) {
        return;
    }
    // The unused tail is zeroed so that no stale bytes reach a file.
    std::memset(out, 0, static_cast<std::size_t>(size));
    bool isNull = IsNull(value);
    if (FNullable) {
        out[IndicatorOffset()] = isNull ? 0 : 1;
    }
    if (chars != nullptr) {
        StorePrefix(out + PrefixOffset(), FPrefixSize, length);
        std::memmove(out + PrefixOffset() + FPrefixSize, chars,
                     static_cast<std::size_t>(length * FCharSize));
    }
}

void TTdbStringType::Assign(TTdbDataValue& dest, const TTdbDataValue& source) const {
    if (&dest == &source) {
        return;
    }
    if (IsNull(source)) {
        SetNull(dest);
        return;
    }
    std::int32_t length;
    const std::uint8_t* chars = ReadChars(source, length);
    if (dest.IsReference() && source.IsReference() && dest.Image() == source.Image()) {
        return;
    }
    std::uint8_t* to = PrepareChars(dest, length);
    if (chars != nullptr && length > 0) {
        std::memmove(to, chars, static_cast<std::size_t>(length * FCharSize));
    }
}

bool TTdbStringType::IsNull(const TTdbDataValue& value) const {
    if (!FNullable) {
        return false;
    }
    if (!value.IsReference() && !value.HasBuffer()) {
        return true;
    }
    return value.Image()[IndicatorOffset()] == 0;
}

void TTdbStringType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    if (!value.IsReference()) {
        if (value.IsEmpty() || value.ColumnType() != FColumnType) {
            value.DoneValue();
            value.SetTag(FColumnType);
        }
        value.ReserveBuffer(BufferBytes(0));
    }
    value.Image()[IndicatorOffset()] = 0;  // the characters stay as they were
}

void TTdbStringType::SetLength(TTdbDataValue& value, std::int32_t length) const {
    length = std::clamp(length, 0, FMaxLength);
    if (value.IsReference() || (value.HasBuffer() && value.ColumnType() == FColumnType)) {
        if (!value.IsReference()) {
            value.ReserveBuffer(BufferBytes(length));
        }
        std::uint8_t* image = value.Image();
        if (FNullable) {
            image[IndicatorOffset()] = 1;
        }
        StorePrefix(image + PrefixOffset(), FPrefixSize, length);
        return;
    }
    PrepareChars(value, length);
}

std::int32_t TTdbStringType::GetLength(const TTdbDataValue& value) const {
    std::int32_t length;
    ReadChars(value, length);
    return length;
}

std::int32_t TTdbStringType::GetLength(const void* image) const noexcept {
    auto* p = static_cast<const std::uint8_t*>(image);
    if (FNullable && p[IndicatorOffset()] == 0) {
        return 0;
    }
    return std::clamp(LoadPrefix(p + PrefixOffset(), FPrefixSize), 0, FMaxLength);
}

bool TTdbStringType::HasPlausibleLength(const void* image) const noexcept {
    if (IsUnbounded() || FPrefixSize == 0)
        return true;
    auto* p = static_cast<const std::uint8_t*>(image);
    if (FNullable && p[IndicatorOffset()] == 0)
        return true;
    const std::int32_t length = LoadPrefix(p + PrefixOffset(), FPrefixSize);
    return length >= 0 && length <= FMaxLength;
}

void TTdbStringType::GetMaximumFill(TTdbDataValue& value) const {
    if (value.IsEmpty()) {
        std::uint8_t* chars = PrepareChars(value, 1);
        std::memset(chars, 0, static_cast<std::size_t>(FCharSize));
        return;
    }
    // Only the kind that wrote an image knows where its prefix and characters lie.
    if (value.ColumnType() != FColumnType) {
        RaisePlain(FCharSize == 2 ? u"Is not a wide string." : u"Is not an ANSI string.");
    }
    if (IsNull(value)) {
        return;
    }
    std::int32_t length = GetLength(value);
    if (length >= FMaxLength) {
        return;
    }
    if (!value.IsReference()) {
        value.ReserveBuffer(BufferBytes(length + 1));
    }
    std::uint8_t* image = value.Image();
    StorePrefix(image + PrefixOffset(), FPrefixSize, length + 1);
    std::memset(image + PrefixOffset() + FPrefixSize + length * FCharSize, 0,
                static_cast<std::size_t>(FCharSize));
}

void TTdbStringType::GetMinimumFill(TTdbDataValue& value) const {
    if (value.IsEmpty()) {
        PrepareChars(value, 0);
        return;
    }
    if (value.ColumnType() != FColumnType) {
        RaisePlain(FCharSize == 2 ? u"Is not a wide string." : u"Is not an ANSI string.");
    }
    if (IsNull(value)) {
        return;
    }
    // Dropping characters from the end keeps the point below everything the full
    // prefix would cover, so a prefix too long for its two NULs only widens the range.
    const std::int32_t length =
        std::min(GetLength(value), std::max<std::int32_t>(FMaxLength - 2, 0));
    if (length == 0) {
        SetLength(value, 0);
        return;
    }
    if (!value.IsReference()) {
        value.ReserveBuffer(BufferBytes(length + 2));
    }
    std::uint8_t* image = value.Image();
    StorePrefix(image + PrefixOffset(), FPrefixSize, length + 2);
    std::memset(image + PrefixOffset() + FPrefixSize + length * FCharSize, 0,
                static_cast<std::size_t>(2 * FCharSize));
}

bool TTdbStringType::Matches(const TTdbDataValue& value, const TTdbDataValue& pattern,
                             const TTdbDataType* otherType, char16_t multiJoker,
                             char16_t singleJoker, char16_t escape) const {
    if (!otherType->IsStringType() || IsNull(value) || otherType->IsNull(pattern)) {
        return false;
    }
    auto* other = static_cast<const TTdbStringType*>(otherType);
    if (FCharSize == 1 && other->GetCharSize() == 1 && multiJoker <= 0xFF && singleJoker <= 0xFF &&
        escape <= 0xFF) {
        return FCollation->Matches(GetPAnsiChar(value), other->GetPAnsiChar(pattern),
                                   static_cast<char>(multiJoker), static_cast<char>(singleJoker),
                                   static_cast<char>(escape), FStrCmpOptions);
    }
    char16_t valueBuffer[kStackChars];
    char16_t patternBuffer[kStackChars];
    std::u16string valueSpill;
    std::u16string patternSpill;
    std::u16string_view v = WideView(value, valueBuffer, kStackChars, valueSpill);
    std::u16string_view p = other->WideView(pattern, patternBuffer, kStackChars, patternSpill);
    return FCollation->Matches(v, p, multiJoker, singleJoker, escape, FStrCmpOptions);
}

bool TTdbStringType::CanCompareTo(const TTdbDataType* other) const {
    return FCharSize == 2 ? other->IsStringType() : other->IsAnsiStringType();
}

bool TTdbStringType::CanConvertTo(const TTdbDataType* to, bool explicitly) const {
    // Between strings the receiving side decides (same locale, or explicit).
    return to == this || (explicitly && to->IsStringType());
}

bool TTdbStringType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    if (from == this) {
        return true;
    }
    if (from->GetColumnType() == ctNull) {
        return FNullable;
    }
    if (from->IsStringType()) {
        if (explicitly) {
            return true;
        }
        auto* s = static_cast<const TTdbStringType*>(from);
        if (s->GetLocaleId() != FLocaleId) {
            return false;
        }
        return FCharSize == 2 || s->GetCharSize() == 1;
    }
    return explicitly;  // every type has a text form, or fails with 52 saying so
}

std::u16string TTdbStringType::ConvertToString(const TTdbDataValue& value) const {
    return IsNull(value) ? std::u16string() : GetWideString(value);
}

void TTdbStringType::ConvertFromString(TTdbDataValue& value,
                                       std::optional<std::u16string_view> text) const {
    if (!text) {
        if (FNullable) {
            SetNull(value);
        } else {
            PrepareChars(value, 0);
        }
        return;
    }
    SetWideString(value, *text);
}

const TTdbDataType* TTdbStringType::GetSuperType(const TTdbDataType* other) const {
    bool nullable = FNullable || other->GetNullable();
    if (other->GetColumnType() == ctChar) {
        return GetNullableType(nullable);
    }
    if (!other->IsStringType()) {
        return nullptr;
    }
    auto* o = static_cast<const TTdbStringType*>(other);
    const TTdbStringType* wider;
    if (FCharSize != o->GetCharSize()) {
        wider = FCharSize == 2 ? this : o;
    } else {
        wider = o->GetMaxLength() > FMaxLength ? o : this;
    }
    return wider->GetNullableType(nullable);
}

const TTdbDataType* TTdbStringType::GetResultDataType(TTdbDataUnaryOperator op) const {
    if (op == TTdbDataUnaryOperator::UpperCase || op == TTdbDataUnaryOperator::LowerCase) {
        return this;
    }
    return nullptr;
}

const TTdbDataType* TTdbStringType::GetResultDataTypeWith(TTdbDataBinaryOperator op,
                                                          const TTdbDataType* t1,
                                                          const TTdbDataType* t2) const {
    if (op != TTdbDataBinaryOperator::Add || !t1->IsStringType() || !t2->IsStringType()) {
        return nullptr;
    }
    auto* s1 = static_cast<const TTdbStringType*>(t1);
    auto* s2 = static_cast<const TTdbStringType*>(t2);
    bool nullable = t1->GetNullable() || t2->GetNullable();
    bool wide = s1->GetCharSize() == 2 || s2->GetCharSize() == 2;
    bool unbounded = s1->IsUnbounded() || s2->IsUnbounded();
    std::int64_t sum = static_cast<std::int64_t>(s1->GetMaxLength()) + s2->GetMaxLength();
    if (wide) {
        if (unbounded) {
            return GetStringType(ctWideMemo, nullable, kUnboundedLength, s1->GetCollationName(),
                                 t1->GetLevel());
        }
        return GetStringType(
            ctWideString, nullable,
            static_cast<std::int32_t>(std::min<std::int64_t>(sum, kMaxWideStringLength)),
            s1->GetCollationName(), t1->GetLevel());
    }
    if (unbounded) {
        return GetStringType(ctMemo, nullable, kUnboundedLength, s1->GetCollationName(),
                             t1->GetLevel());
    }
    return GetStringType(ctString, nullable,
                         static_cast<std::int32_t>(std::min<std::int64_t>(sum, kMaxStringLength)),
                         s1->GetCollationName(), t1->GetLevel());
}

void TTdbStringType::CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                                   const TTdbDataValue& v2, TTdbDataValue& result,
                                   const TTdbDataType* t1, const TTdbDataType* t2,
                                   const TTdbDataType* resultType) const {
    if (GetResultDataTypeWith(op, t1, t2) == nullptr || !resultType->IsStringType()) {
        TTdbDataType::CalculateWith(op, v1, v2, result, t1, t2, resultType);
    }
    auto* s1 = static_cast<const TTdbStringType*>(t1);
    auto* s2 = static_cast<const TTdbStringType*>(t2);
    auto* r = static_cast<const TTdbStringType*>(resultType);
    std::uint16_t page = r->GetCollation().AnsiCodePage();
    if (r->GetCharSize() == 1 && s1->GetCollation().AnsiCodePage() == page &&
        s2->GetCollation().AnsiCodePage() == page) {
        std::string text(t1->GetPAnsiChar(v1));
        text += t2->GetPAnsiChar(v2);
        resultType->SetAnsiString(result, text);  // cut to the maximum length
        return;
    }
    resultType->SetWideString(result, t1->GetWideString(v1) + t2->GetWideString(v2));
}

void TTdbStringType::CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v,
                                   TTdbDataValue& result, const TTdbDataType* resultType) const {
    bool upper = op == TTdbDataUnaryOperator::UpperCase;
    if (!upper && op != TTdbDataUnaryOperator::LowerCase) {
        TTdbDataType::CalculateWith(op, v, result, resultType);
    }
    if (FCharSize == 1) {
        std::string_view text = GetPAnsiChar(v);
        resultType->SetAnsiString(result,
                                  upper ? FCollation->ToUpper(text) : FCollation->ToLower(text));
        return;
    }
    std::u16string text = GetWideString(v);
    resultType->SetWideString(result,
                              upper ? FCollation->ToUpper(text) : FCollation->ToLower(text));
}

// ---------------------------------------------------------------------------
// ANSI strings

TTdbAnsiStringType::TTdbAnsiStringType(TTdbColumnType columnType, bool nullable,
                                       std::int32_t maxLength, std::u16string collationName,
                                       const TTdbCollation& collation, std::int16_t level)
    : TTdbStringType(columnType, nullable, maxLength, std::move(collationName), collation, level) {
    // One lookup per byte lets wide comparisons widen ANSI operands without allocating.
    if (IsSingleByteCodePage(collation.AnsiCodePage())) {
        std::string all(256, '\0');
        for (int b = 0; b < 256; ++b) {
            all[static_cast<std::size_t>(b)] = static_cast<char>(b);
        }
        std::u16string wide = collation.ToWide(all);
        if (wide.size() == 256) {
            std::copy(wide.begin(), wide.end(), FWideTable);
            FHasWideTable = true;
        }
    }
}

std::u16string TTdbAnsiStringType::GetSqlName() const {
    if (FColumnType == ctMemo) {
        return u"LONGVARCHAR";
    }
    std::string text = "VARCHAR(" + std::to_string(FMaxLength) + ")";
    std::u16string name(text.begin(), text.end());
    if (!FCollationName.empty()) {
        name += u" COLLATE " + FCollationName;
    }
    return name;
}

void TTdbAnsiStringType::SetAnsiString(TTdbDataValue& value, std::string_view v) const {
    if (v.size() > static_cast<std::size_t>(FMaxLength)) {
        // Cut silently, but in a double-byte code page never inside a character.
        const auto limit = static_cast<std::size_t>(FMaxLength);
        v = v.substr(
            0, FHasWideTable ? limit : CharacterPrefixLength(FCollation->AnsiCodePage(), v, limit));
    }
    std::string copy;
    if (!value.IsReference() && Overlaps(v.data(), v.size(), value.Image(), value.Capacity())) {
        copy.assign(v);
        v = copy;
    }
    std::uint8_t* chars = PrepareChars(value, static_cast<std::int32_t>(v.size()));
    if (!v.empty()) {
        std::memmove(chars, v.data(), v.size());
    }
}

void TTdbAnsiStringType::SetAnsiStringRef(TTdbDataValue& value, void* image) const {
    SetReference(value, image);
}

std::string TTdbAnsiStringType::GetAnsiString(const TTdbDataValue& value) const {
    return std::string(GetPAnsiChar(value));
}

std::string_view TTdbAnsiStringType::GetPAnsiChar(const TTdbDataValue& value) const {
    std::int32_t length;
    const std::uint8_t* chars = ReadChars(value, length);
    if (chars == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char*>(chars), static_cast<std::size_t>(length)};
}

void TTdbAnsiStringType::SetWideString(TTdbDataValue& value, std::u16string_view v) const {
    SetAnsiString(value, FCollation->ToAnsi(v));
}

std::u16string TTdbAnsiStringType::GetWideString(const TTdbDataValue& value) const {
    std::string_view chars = GetPAnsiChar(value);
    if (FHasWideTable) {
        std::u16string wide(chars.size(), u'\0');
        for (std::size_t i = 0; i < chars.size(); ++i) {
            wide[i] = FWideTable[static_cast<std::uint8_t>(chars[i])];
        }
        return wide;
    }
    return FCollation->ToWide(chars);
}

int TTdbAnsiStringType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                                  const TTdbDataType* t2, TStrCmpOptions options) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    return detail::FromSign(
        FCollation->Compare(GetPAnsiChar(v1), t2->GetPAnsiChar(v2), FStrCmpOptions | options));
}

// ---------------------------------------------------------------------------
// UTF-16 strings

TTdbWideStringType::TTdbWideStringType(TTdbColumnType columnType, bool nullable,
                                       std::int32_t maxLength, std::u16string collationName,
                                       const TTdbCollation& collation, std::int16_t level)
    : TTdbStringType(columnType, nullable, maxLength, std::move(collationName), collation, level) {}

std::u16string TTdbWideStringType::GetSqlName() const {
    if (FColumnType == ctWideMemo) {
        return u"LONGVARWCHAR";
    }
    std::string text = "VARWCHAR(" + std::to_string(FMaxLength) + ")";
    return std::u16string(text.begin(), text.end());
}

void TTdbWideStringType::SetAnsiString(TTdbDataValue& value, std::string_view v) const {
    SetWideString(value, FCollation->ToWide(v));
}

std::string TTdbWideStringType::GetAnsiString(const TTdbDataValue& value) const {
    return FCollation->ToAnsi(GetWideString(value));
}

void TTdbWideStringType::SetWideString(TTdbDataValue& value, std::u16string_view v) const {
    if (v.size() > static_cast<std::size_t>(FMaxLength)) {
        v = v.substr(0, static_cast<std::size_t>(FMaxLength));  // cut silently
        // ... but never between the halves of a surrogate pair.
        if (!v.empty() && v.back() >= 0xD800 && v.back() <= 0xDBFF) {
            v.remove_suffix(1);
        }
    }
    std::u16string copy;
    if (!value.IsReference() && Overlaps(v.data(), v.size() * 2, value.Image(), value.Capacity())) {
        copy.assign(v);
        v = copy;
    }
    std::uint8_t* chars = PrepareChars(value, static_cast<std::int32_t>(v.size()));
    for (std::size_t i = 0; i < v.size(); ++i) {
        StoreLE<std::uint16_t>(chars + 2 * i, static_cast<std::uint16_t>(v[i]));
    }
}

std::u16string TTdbWideStringType::GetWideString(const TTdbDataValue& value) const {
    std::int32_t length;
    const std::uint8_t* chars = ReadChars(value, length);
    std::u16string text(static_cast<std::size_t>(length), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(chars + 2 * i));
    }
    return text;
}

int TTdbWideStringType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                                  const TTdbDataType* t2, TStrCmpOptions options) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    char16_t buffer1[kStackChars];
    char16_t buffer2[kStackChars];
    std::u16string spill1;
    std::u16string spill2;
    std::u16string_view a = WideView(v1, buffer1, kStackChars, spill1);
    std::u16string_view b =
        static_cast<const TTdbStringType*>(t2)->WideView(v2, buffer2, kStackChars, spill2);
    return detail::FromSign(FCollation->Compare(a, b, FStrCmpOptions | options));
}

}  // namespace tdb
