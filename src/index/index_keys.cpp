// The keys of a table's indexes: entries built from records, from text and from partial values,
// and the order the trees keep them in. Comparison reads keys that came from files, so it never
// trusts a length it finds there further than the bytes it was handed.
#include "index/index_keys.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/calendar.h"
#include "types/column_def.h"
#include "types/sort_def.h"

namespace tdb {

namespace {

// From this level on a nullable column's indicator byte leads its image and a string index may
// keep only the characters in use; below level 4 keys carry no indicator at all.
constexpr std::int16_t kLevelLeadingIndicator = 6;
constexpr std::int16_t kLevelKeyIndicator = 4;

// The link components of link indexes hold the record id of the linked record.
constexpr TTdbColumnType ctLinkRecordId = 25;

// Strings up to this many UTF-16 units are compared from the stack.
constexpr std::size_t kStackChars = 512;

constexpr char16_t kQuote = u'"';

int Sign(std::int64_t value) noexcept {
    return (value > 0) - (value < 0);
}

template <typename T>
int ThreeWay(T a, T b) noexcept {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// An integer read from at most Avail bytes; missing high bytes read as zero, so a damaged or
// short key never leads past what it holds.
template <typename T>
T LoadClamped(const std::byte* p, std::int32_t avail) noexcept {
    if (avail >= static_cast<std::int32_t>(sizeof(T))) {
        return LoadLE<T>(p);
    }
    std::byte buffer[sizeof(T)] = {};
    if (avail > 0) {
        std::memcpy(buffer, p, static_cast<std::size_t>(avail));
    }
    return LoadLE<T>(buffer);
}

std::uint8_t ByteAt(const std::byte* p, std::int32_t avail, std::int32_t at) noexcept {
    return at >= 0 && at < avail ? static_cast<std::uint8_t>(p[at]) : 0;
}

// What follows At bytes into a field of Avail bytes, and how many bytes remain there.
const std::byte* Skip(const std::byte* p, std::int32_t& avail, std::int32_t at) noexcept {
    if (avail <= at) {
        avail = 0;
        return p;
    }
    avail -= at;
    return p + at;
}

// The column types whose descriptors are string types, each with its collation.
bool IsStringCode(TTdbColumnType code) noexcept {
    return code == ctString || code == ctWideString || code == ctMemo || code == ctWideMemo;
}

bool IsKeyString(TTdbColumnType code) noexcept {
    return code == ctString || code == ctWideString;
}

std::int32_t CharSize(TTdbColumnType code) noexcept {
    return code == ctWideString ? 2 : 1;
}

// The length prefix a String keeps is one byte up to 255 characters; the column size tells.
std::int32_t StringPrefixSize(TTdbColumnType code, std::int32_t fieldSize,
                              bool hasNullByte) noexcept {
    if (code == ctWideString) {
        return 2;
    }
    return fieldSize > (hasNullByte ? 257 : 256) ? 2 : 1;
}

std::int32_t LoadPrefix(const std::byte* p, std::int32_t avail, std::int32_t prefixSize) noexcept {
    return prefixSize == 1 ? ByteAt(p, avail, 0) : LoadClamped<std::uint16_t>(p, avail);
}

void StorePrefix(std::byte* p, std::int32_t prefixSize, std::int32_t length) noexcept {
    if (prefixSize == 1) {
        p[0] = static_cast<std::byte>(length);
    } else {
        StoreLE<std::uint16_t>(p, static_cast<std::uint16_t>(length));
    }
}

double LoadKeyDouble(const std::byte* p, std::int32_t avail) noexcept {
    return std::bit_cast<double>(LoadClamped<std::uint64_t>(p, avail));
}

// NaN answers false to every comparison and would make the order intransitive; like the data
// types, keys take every NaN as one value above +infinity, which is also the open upper bound.
int CompareKeyDoubles(double a, double b) noexcept {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) ? (std::isnan(b) ? 0 : 1) : -1;
    }
    return ThreeWay(a, b);
}

// Room for the longer UTF-16 strings of keys, one per side and thread: only a thread's first
// string of some length allocates, never a comparison after it.
char16_t* SpillBuffer(int side, std::size_t units) {
    thread_local std::u16string spill[2];
    std::u16string& buffer = spill[side];
    if (buffer.size() < units) {
        buffer.resize(units);
    }
    return buffer.data();
}

// UTF-16 units of a key, copied because their place in the key need not be aligned.
class TKeyChars {
public:
    std::u16string_view Read(const std::byte* p, std::int32_t length, int side) {
        const auto n = static_cast<std::size_t>(length);
        char16_t* out = n > kStackChars ? SpillBuffer(side, n) : stack_;
        if constexpr (std::endian::native == std::endian::little) {
            if (n > 0) {
                std::memcpy(out, p, n * 2);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(p + 2 * i));
            }
        }
        return {out, n};
    }

private:
    char16_t stack_[kStackChars];
};

// Strings with their prefix size and character size resolved; N1 and N2 bound what is read.
[[gnu::always_inline]] inline int CompareStringImages(const std::byte* p1, const std::byte* p2,
                                                      std::int32_t n1, std::int32_t n2,
                                                      std::int32_t prefixSize,
                                                      std::int32_t charSize,
                                                      const TTdbCollation& collation,
                                                      TStrCmpOptions options) {
    // A stored length larger than the field is a damaged key: it is read as far as it goes.
    auto chars = [&](const std::byte*& p, std::int32_t n) {
        const std::int32_t stored = LoadPrefix(p, n, prefixSize);
        p = Skip(p, n, prefixSize);
        return std::clamp(stored, 0, n / charSize);
    };
    const std::int32_t length1 = chars(p1, n1);
    const std::int32_t length2 = chars(p2, n2);
    if (charSize == 1) {
        return Sign(collation.Compare(
            std::string_view(reinterpret_cast<const char*>(p1), static_cast<std::size_t>(length1)),
            std::string_view(reinterpret_cast<const char*>(p2), static_cast<std::size_t>(length2)),
            options));
    }
    TKeyChars chars1;
    TKeyChars chars2;
    return Sign(
        collation.Compare(chars1.Read(p1, length1, 0), chars2.Read(p2, length2, 1), options));
}

int CompareStrings(const std::byte* p1, const std::byte* p2, std::int32_t n1, std::int32_t n2,
                   TTdbColumnType code, std::int32_t fieldSize, bool hasNullByte,
                   const TTdbCollation& collation, TStrCmpOptions options) {
    return CompareStringImages(p1, p2, n1, n2, StringPrefixSize(code, fieldSize, hasNullByte),
                               CharSize(code), collation, options);
}

// The values of two fields of N1 and N2 bytes, the indicator bytes left out.
int CompareValues(const std::byte* p1, const std::byte* p2, std::int32_t n1, std::int32_t n2,
                  TTdbColumnType code, std::int32_t fieldSize, bool hasNullByte,
                  const TTdbCollation* collation, TStrCmpOptions options) {
    switch (code) {
        case ctChar:
        case ctByte:
        case ctBoolean:
        case ctEnum:
            return ThreeWay(ByteAt(p1, n1, 0), ByteAt(p2, n2, 0));
        case ctSmallInt:
            return ThreeWay(LoadClamped<std::int16_t>(p1, n1), LoadClamped<std::int16_t>(p2, n2));
        case ctFloat:
            return CompareKeyDoubles(LoadKeyDouble(p1, n1), LoadKeyDouble(p2, n2));
        case ctTime:
            if (fieldSize - (hasNullByte ? 1 : 0) == 2) {
                return ThreeWay(LoadClamped<std::int16_t>(p1, n1),
                                LoadClamped<std::int16_t>(p2, n2));
            }
            return ThreeWay(LoadClamped<std::int32_t>(p1, n1), LoadClamped<std::int32_t>(p2, n2));
        case ctDate:
        case ctAutoInc:
        case ctLink:
        case ctInteger:
        case ctLinkRecordId:
            return ThreeWay(LoadClamped<std::int32_t>(p1, n1), LoadClamped<std::int32_t>(p2, n2));
        case ctTimeStamp: {
            const int date =
                ThreeWay(LoadClamped<std::int32_t>(p1, n1), LoadClamped<std::int32_t>(p2, n2));
            if (date != 0) {
                return date;
            }
            p1 = Skip(p1, n1, 4);
            p2 = Skip(p2, n2, 4);
            return ThreeWay(LoadClamped<std::int32_t>(p1, n1), LoadClamped<std::int32_t>(p2, n2));
        }
        case ctBigInt:
            return ThreeWay(LoadClamped<std::int64_t>(p1, n1), LoadClamped<std::int64_t>(p2, n2));
        case ctGuid: {
            std::byte image1[kGuidImageSize] = {};
            std::byte image2[kGuidImageSize] = {};
            if (n1 > 0) {
                std::memcpy(image1, p1, static_cast<std::size_t>(std::min<std::int32_t>(n1, 16)));
            }
            if (n2 > 0) {
                std::memcpy(image2, p2, static_cast<std::size_t>(std::min<std::int32_t>(n2, 16)));
            }
            TTdbGuid guid1;
            TTdbGuid guid2;
            LoadGuid(image1, guid1);
            LoadGuid(image2, guid2);
            return Sign(CompareGuids(guid1, guid2));
        }
        case ctString:
        case ctWideString:
            return CompareStrings(p1, p2, n1, n2, code, fieldSize, hasNullByte,
                                  collation != nullptr ? *collation : TTdbCollation::BuiltIn(),
                                  options);
        default:
            return 0;
    }
}

// One key component as comparison and layout see it.
struct TKeyPart {
    TTdbColumnType Code = 0;
    std::int32_t Size = 0;       // bytes the component may take in a key
    std::int32_t FieldSize = 0;  // bytes of the value's image in a record
    bool HasNullByte = false;
    bool Descending = false;
    bool Variable = false;  // keeps only the characters in use
    const TTdbCollation* Collation = nullptr;
    TStrCmpOptions Options = 0;
};

// Characters of a string component that fit into its key bytes.
std::int32_t RoomInKey(const TKeyPart& part) noexcept {
    const std::int32_t prefixSize = StringPrefixSize(part.Code, part.FieldSize, part.HasNullByte);
    const std::int32_t room = part.Size - prefixSize - (part.HasNullByte ? 1 : 0);
    return std::max(room, 0) / CharSize(part.Code);
}

// The bytes a component starting at P takes in a key; Avail bounds what is read of it. Inlined,
// like Get below, into the loop that runs for every key a tree search passes.
[[gnu::always_inline]] inline std::int32_t StoredLength(const TKeyPart& part, const std::byte* p,
                                                        std::int32_t avail,
                                                        std::int16_t level) noexcept {
    if (!part.Variable) {
        return part.Size;
    }
    const std::int32_t prefixSize = StringPrefixSize(part.Code, part.FieldSize, part.HasNullByte);
    const std::int32_t room = RoomInKey(part);
    const std::int32_t charSize = CharSize(part.Code);
    if (part.HasNullByte && level >= kLevelLeadingIndicator) {
        if (ByteAt(p, avail, 0) == 0) {
            return 1;
        }
        p = Skip(p, avail, 1);
        return 1 + prefixSize + std::min(LoadPrefix(p, avail, prefixSize), room) * charSize;
    }
    return prefixSize + std::min(LoadPrefix(p, avail, prefixSize), room) * charSize +
           (part.HasNullByte ? 1 : 0);
}

std::int32_t KeyAreaSize(const TTdbSortDef& indexDef) noexcept {
    return std::max(indexDef.GetSize() - kTdbIndexRecordRefSize, 0);
}

[[noreturn]] void RaiseInconsistent(const TTdbSortDef& indexDef) {
    RaiseEngineError(kTdbErrInconsistentIndex, {indexDef.GetName()});
}

void CheckEntryBuffer(const TTdbSortDef& indexDef, std::span<const std::byte> entry) {
    if (indexDef.GetSize() < kTdbIndexRecordRefSize ||
        entry.size() < static_cast<std::size_t>(indexDef.GetSize())) {
        throw std::invalid_argument("The entry buffer is smaller than the index's entries");
    }
}

std::int32_t RecordNoOf(std::span<const std::byte> entry) noexcept {
    const auto avail =
        static_cast<std::int32_t>(std::min<std::size_t>(entry.size(), kTdbIndexRecordRefSize));
    return LoadClamped<std::int32_t>(entry.data(), avail);
}

std::span<const std::byte> KeyOf(std::span<const std::byte> entry) noexcept {
    return entry.subspan(std::min<std::size_t>(entry.size(), kTdbIndexRecordRefSize));
}

void* ImageOf(std::byte* p) noexcept {
    return p;
}

// Gives a column image its type's least or greatest value as an index bound. Where a type's own
// extremes leave values outside (a Float beyond 1e16, the character 255) or it has none (an
// enumeration), the bound is the extreme of the stored form instead. Kinds that keys do not order
// by stay zero.
void SetKeyBound(const TTdbDataType* type, std::byte* image, std::int32_t imageSize, bool maximum,
                 std::int16_t level) {
    const TTdbColumnType code = type->GetColumnType();
    const std::int32_t valueAt = type->GetHasNullByte() && level >= kLevelLeadingIndicator ? 1 : 0;
    TTdbDataValue value;
    switch (code) {
        case ctNull:
        case ctMemo:
        case ctBlob:
        case ctRelation:
        case ctWideMemo:
            std::memset(image, 0, static_cast<std::size_t>(imageSize));
            return;
        case ctEnum:
            image[0] = maximum ? std::byte{0xFF} : std::byte{0};
            return;
        case ctFloat:
            type->SetReference(value, ImageOf(image));
            if (maximum) {
                type->SetDouble(value, std::numeric_limits<double>::quiet_NaN());
            } else if (type->GetNullable() && level >= kLevelKeyIndicator) {
                type->SetNull(value);
            } else {
                type->SetDouble(value, -std::numeric_limits<double>::infinity());
            }
            return;
        case ctChar:
            type->SetReference(value, ImageOf(image));
            if (maximum) {
                type->GetMaximum(value);
                image[valueAt] = std::byte{0xFF};
            } else {
                type->GetMinimum(value);
            }
            return;
        default:
            type->SetReference(value, ImageOf(image));
            if (maximum) {
                type->GetMaximum(value);
            } else {
                type->GetMinimum(value);
            }
            return;
    }
}

// Splits a key text at Separator. A piece that begins with a quote runs to the closing quote
// (a doubled quote inside stands for one), and what follows up to the separator belongs to it,
// as enumeration lists read. An empty text has no pieces.
std::vector<std::u16string> SplitKeyText(std::u16string_view text, char16_t separator) {
    std::vector<std::u16string> pieces;
    if (text.empty()) {
        return pieces;
    }
    const bool quoting = separator != kQuote;
    std::size_t i = 0;
    for (;;) {
        std::u16string piece;
        if (quoting && i < text.size() && text[i] == kQuote) {
            ++i;
            while (i < text.size()) {
                if (text[i] == kQuote) {
                    if (i + 1 < text.size() && text[i + 1] == kQuote) {
                        piece += kQuote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                piece += text[i++];
            }
        }
        while (i < text.size() && text[i] != separator) {
            piece += text[i++];
        }
        pieces.push_back(std::move(piece));
        if (i >= text.size()) {
            return pieces;
        }
        ++i;  // the separator
    }
}

}  // namespace

TTdbIndexKeys::TTdbIndexKeys(const TTdbColumnDefs& columnDefs, std::int16_t tableLevel,
                             TTdbRltnIdx rltnIdx)
    : FColumnDefs(columnDefs), FTableLevel(tableLevel), FRltnIdx(rltnIdx) {}

// ---------------------------------------------------------------------------
// Comparison

int TTdbIndexKeys::CompareFields(const std::byte* value1, const std::byte* value2,
                                 TTdbColumnType dataType, std::int32_t dataSize1,
                                 std::int32_t dataSize2, std::int32_t fieldSize, bool hasNullByte,
                                 std::int16_t tableLevel, const TTdbCollation* collation,
                                 TStrCmpOptions options) {
    std::int32_t n1 = std::max(dataSize1, 0);
    std::int32_t n2 = std::max(dataSize2, 0);
    if (!hasNullByte) {
        return CompareValues(value1, value2, n1, n2, dataType, fieldSize, false, collation,
                             options);
    }
    if (tableLevel >= kLevelLeadingIndicator) {
        const std::uint8_t indicator1 = ByteAt(value1, n1, 0);
        const std::uint8_t indicator2 = ByteAt(value2, n2, 0);
        if (indicator1 == 0 || indicator2 == 0) {
            return Sign(indicator1 - indicator2);
        }
        value1 = Skip(value1, n1, 1);
        value2 = Skip(value2, n2, 1);
        return CompareValues(value1, value2, n1, n2, dataType, fieldSize, true, collation, options);
    }
    // Below level 6 the indicator is the field's last byte.
    const std::uint8_t indicator1 = ByteAt(value1, n1, n1 - 1);
    const std::uint8_t indicator2 = ByteAt(value2, n2, n2 - 1);
    if (tableLevel >= kLevelKeyIndicator && (indicator1 == 0 || indicator2 == 0)) {
        return Sign(indicator1 - indicator2);
    }
    const int result = CompareValues(value1, value2, std::max(n1 - 1, 0), std::max(n2 - 1, 0),
                                     dataType, fieldSize, true, collation, options);
    if (result != 0 || tableLevel >= kLevelKeyIndicator) {
        return result;
    }
    return Sign(indicator1 - indicator2);
}

namespace {

// The parts of a definition, described without allocating: a component index's columns, or the
// one value of an expression index.
class TKeyParts {
public:
    TKeyParts(const TTdbColumnDefs& columnDefs, const TTdbSortDef& indexDef, std::int16_t level)
        : FColumnDefs(columnDefs), FIndexDef(indexDef), FLevel(level) {}

    int Count() const noexcept {
        return FIndexDef.IsCalculated ? 1
                                      : std::clamp<int>(FIndexDef.LevelCount, 0, kTdbMaxSortItems);
    }

    [[gnu::always_inline]] TKeyPart Get(int i, TStrCmpOptions callOptions) const {
        TKeyPart part;
        if (FIndexDef.IsCalculated) {
            // An expression value orders under the built-in collation, as its files were built.
            const TTdbSortItem& item = FIndexDef.Items[0];
            const TTdbCalculation* calculation = FIndexDef.GetCalculation();
            const TTdbDataType* resultType =
                calculation != nullptr ? calculation->GetResultType() : nullptr;
            part.Code = item.ColumnType;
            part.Size = FIndexDef.GetKeySize(FLevel);
            part.FieldSize = item.Size;
            // A result that has no indicator byte (a date) is not read as if it had one.
            part.HasNullByte = FLevel >= kLevelLeadingIndicator &&
                               (resultType == nullptr || resultType->GetHasNullByte());
            part.Descending = item.Descending;
            part.Variable =
                FIndexDef.IsVarSize && FLevel >= kLevelLeadingIndicator && IsKeyString(part.Code);
            part.Collation = &TTdbCollation::BuiltIn();
            part.Options = part.Collation->Options() | callOptions;
            return part;
        }
        const TTdbSortItem& item = FIndexDef.Items[static_cast<std::size_t>(i)];
        const TTdbColumnDef* column = Column(item);
        part.Code = item.ColumnType;
        part.Size = item.Size;
        part.FieldSize = column->Size;
        part.HasNullByte = column->GetHasNullByte();
        part.Descending = item.Descending;
        part.Variable = FIndexDef.IsVarSize && IsKeyString(part.Code);
        part.Options = callOptions;
        if (IsStringCode(column->DataType->GetColumnType())) {
            const auto* stringType = static_cast<const TTdbStringType*>(column->DataType);
            part.Collation = &stringType->GetCollation();
            part.Options |= stringType->GetStrCmpOptions();
        }
        return part;
    }

    const TTdbColumnDef* Column(const TTdbSortItem& item) const {
        if (item.ColumnNo < 1 || item.ColumnNo > FColumnDefs.GetCount()) {
            RaiseInconsistent(FIndexDef);
        }
        return FColumnDefs.GetColumnDef(item.ColumnNo - 1);
    }

private:
    const TTdbColumnDefs& FColumnDefs;
    const TTdbSortDef& FIndexDef;
    std::int16_t FLevel;
};

// Compares two keys component by component; each key advances by its own component lengths.
// Answers the sign of the first difference and, through FirstDiff, where it was (the part
// count when there was none).
int CompareKeys(const TKeyParts& parts, std::span<const std::byte> x, std::span<const std::byte> y,
                TStrCmpOptions options, std::int16_t level, int* firstDiff) {
    std::size_t at1 = 0;
    std::size_t at2 = 0;
    const int count = parts.Count();
    for (int i = 0; i < count; ++i) {
        const TKeyPart part = parts.Get(i, options);
        const std::byte* p1 = x.data() + at1;
        const std::byte* p2 = y.data() + at2;
        const auto avail1 = static_cast<std::int32_t>(
            std::min<std::size_t>(x.size() - at1, std::numeric_limits<std::int32_t>::max()));
        const auto avail2 = static_cast<std::int32_t>(
            std::min<std::size_t>(y.size() - at2, std::numeric_limits<std::int32_t>::max()));
        const std::int32_t length1 = std::min(StoredLength(part, p1, avail1, level), avail1);
        const std::int32_t length2 = std::min(StoredLength(part, p2, avail2, level), avail2);
        int result =
            TTdbIndexKeys::CompareFields(p1, p2, part.Code, length1, length2, part.FieldSize,
                                         part.HasNullByte, level, part.Collation, part.Options);
        if (result != 0) {
            if (firstDiff != nullptr) {
                *firstDiff = i;
            }
            return part.Descending ? -result : result;
        }
        at1 += static_cast<std::size_t>(length1);
        at2 += static_cast<std::size_t>(length2);
    }
    if (firstDiff != nullptr) {
        *firstDiff = count;
    }
    return 0;
}

}  // namespace

bool TTdbIndexKeys::IndexLess(std::span<const std::byte> x, std::span<const std::byte> y,
                              bool& unique, TStrCmpOptions options,
                              const TTdbSortDef& indexDef) const {
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    const int result = CompareKeys(parts, KeyOf(x), KeyOf(y), options, FTableLevel, nullptr);
    if (result != 0) {
        return result < 0;
    }
    unique = false;
    return RecordNoOf(x) < RecordNoOf(y);
}

TTdbTreeLess TTdbIndexKeys::GetTreeLess() const {
    return [this](std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
                  TStrCmpOptions options, const TTdbSortDef* compareParam) {
        if (compareParam == nullptr) {
            throw std::invalid_argument("An index tree compares only with its index definition");
        }
        return IndexLess(a, b, unique, options, *compareParam);
    };
}

bool TTdbIndexKeys::IsSameIndexKey(const TTdbSortDef& indexDef, std::span<const std::byte> x,
                                   std::span<const std::byte> y) const {
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    return CompareKeys(parts, KeyOf(x), KeyOf(y), 0, FTableLevel, nullptr) == 0;
}

bool TTdbIndexKeys::IsSameIndexInfo(const TTdbSortDef& indexDef, std::span<const std::byte> x,
                                    std::span<const std::byte> y) const {
    // Record number 0 is no record: an entry without one is the same as nothing.
    const std::int32_t recordNo = RecordNoOf(x);
    return recordNo != 0 && recordNo == RecordNoOf(y) && IsSameIndexKey(indexDef, x, y);
}

int TTdbIndexKeys::FindSortKeyDiff(const TTdbSortDef& indexDef, std::span<const std::byte> x,
                                   std::span<const std::byte> y) const {
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    int firstDiff = 0;
    CompareKeys(parts, KeyOf(x), KeyOf(y), 0, FTableLevel, &firstDiff);
    return firstDiff;
}

namespace {

// Where component Level of a key area lies: its first byte and the bytes it takes there.
struct TStringComponent {
    TKeyPart Part;
    std::size_t At = 0;
    std::int32_t Length = 0;
};

bool FindStringComponent(const TKeyParts& parts, const TTdbSortDef& indexDef, int level,
                         std::span<const std::byte> key, std::int16_t tableLevel,
                         TStringComponent& found) {
    if (indexDef.IsCalculated || level < 0 || level >= parts.Count()) {
        return false;
    }
    std::size_t at = 0;
    for (int i = 0;; ++i) {
        const TKeyPart part = parts.Get(i, 0);
        const auto avail = static_cast<std::int32_t>(
            std::min<std::size_t>(key.size() - at, std::numeric_limits<std::int32_t>::max()));
        const std::int32_t length = StoredLength(part, key.data() + at, avail, tableLevel);
        if (length > avail) {
            return false;
        }
        if (i == level) {
            found = {part, at, length};
            return IsKeyString(part.Code) && part.Collation != nullptr;
        }
        at += static_cast<std::size_t>(length);
    }
}

}  // namespace

bool TTdbIndexKeys::KeyText(const TTdbSortDef& indexDef, int level,
                            std::span<const std::byte> entry, TTdbKeyText& text) const {
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    const std::span<const std::byte> key = KeyOf(entry);
    TStringComponent component;
    if (!FindStringComponent(parts, indexDef, level, key, FTableLevel, component)) {
        return false;
    }
    const TKeyPart& part = component.Part;
    const std::byte* p = key.data() + component.At;
    const bool leading = part.HasNullByte && FTableLevel >= kLevelLeadingIndicator;
    const bool trailing = part.HasNullByte && !leading;
    const std::int32_t prefixAt = leading ? 1 : 0;
    const std::int32_t prefixSize = StringPrefixSize(part.Code, part.FieldSize, part.HasNullByte);
    text = TTdbKeyText{};
    text.CharSize = CharSize(part.Code);
    text.Room = RoomInKey(part);
    text.Descending = part.Descending;
    text.Collation = part.Collation;
    text.Options = part.Options;
    // Below level 4 the key keeps no indicator: NULL and the empty string are alike there.
    text.IsNull = (leading && ByteAt(p, component.Length, 0) == 0) ||
                  (trailing && FTableLevel >= kLevelKeyIndicator &&
                   ByteAt(p, component.Length, component.Length - 1) == 0);
    if (text.IsNull) {
        return true;
    }
    const std::int32_t charsAt = prefixAt + prefixSize;
    const std::int32_t fits = std::max(component.Length - charsAt - (trailing ? 1 : 0), 0);
    text.Length = std::clamp(LoadPrefix(p + prefixAt, component.Length - prefixAt, prefixSize), 0,
                             std::min(text.Room, fits / text.CharSize));
    text.Chars = key.subspan(component.At + static_cast<std::size_t>(charsAt),
                             static_cast<std::size_t>(text.Length * text.CharSize));
    return true;
}

bool TTdbIndexKeys::PrefixBoundEntry(const TTdbSortDef& indexDef, int level,
                                     std::span<const std::byte> entry, bool upper,
                                     std::span<std::byte> bound) const {
    return BoundEntry(indexDef, level, entry, nullptr, upper, bound);
}

bool TTdbIndexKeys::TextBoundEntry(const TTdbSortDef& indexDef, int level,
                                   std::span<const std::byte> entry, std::u16string_view chars,
                                   bool upper, std::span<std::byte> bound) const {
    return BoundEntry(indexDef, level, entry, &chars, upper, bound);
}

bool TTdbIndexKeys::BoundEntry(const TTdbSortDef& indexDef, int level,
                               std::span<const std::byte> entry,
                               const std::u16string_view* replacement, bool upper,
                               std::span<std::byte> bound) const {
    TTdbKeyText text;
    if (!KeyText(indexDef, level, entry, text) || text.IsNull ||
        bound.size() < static_cast<std::size_t>(indexDef.GetSize()) ||
        entry.size() < kTdbIndexRecordRefSize) {
        return false;
    }
    // The replacing characters as the entry holds them; on the stack for keys of common sizes.
    std::array<std::byte, 512> stack;
    std::vector<std::byte> heap;
    if (replacement != nullptr) {
        if (text.CharSize != 2 || replacement->size() > static_cast<std::size_t>(text.Room)) {
            return false;
        }
        std::span<std::byte> replaced = stack;
        if (replacement->size() * 2 > stack.size()) {
            heap.resize(replacement->size() * 2);
            replaced = heap;
        }
        for (std::size_t i = 0; i < replacement->size(); ++i) {
            StoreLE<std::uint16_t>(replaced.data() + 2 * i,
                                   static_cast<std::uint16_t>((*replacement)[i]));
        }
        text.Chars = replaced.first(replacement->size() * 2);
        text.Length = static_cast<std::int32_t>(replacement->size());
    }
    std::int32_t kept = text.Length;
    std::int32_t length = kept + 1;
    if (!upper) {
        if (text.Room < 2) {
            return false;
        }
        // Nothing left of the text: the empty string lies below every string already.
        kept = std::min(kept, text.Room - 2);
        length = kept == 0 ? 0 : kept + 2;
    } else if (length > text.Room) {
        return false;
    }
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    const std::span<const std::byte> key = KeyOf(entry);
    TStringComponent component;
    FindStringComponent(parts, indexDef, level, key, FTableLevel, component);
    const TKeyPart& part = component.Part;
    const bool leading = part.HasNullByte && FTableLevel >= kLevelLeadingIndicator;
    const bool trailing = part.HasNullByte && !leading;
    const std::int32_t prefixAt = leading ? 1 : 0;
    const std::int32_t prefixSize = StringPrefixSize(part.Code, part.FieldSize, part.HasNullByte);
    const std::int32_t charsAt = prefixAt + prefixSize;
    const std::size_t start = kTdbIndexRecordRefSize + component.At;
    const std::size_t oldEnd = start + static_cast<std::size_t>(component.Length);
    // A fixed component keeps its size; a variable one takes what its characters use.
    const std::size_t newSize =
        part.Variable
            ? static_cast<std::size_t>(charsAt + length * text.CharSize) + (trailing ? 1u : 0u)
            : static_cast<std::size_t>(component.Length);
    std::fill(bound.begin(), bound.end(), std::byte{0});
    std::copy(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(start), bound.begin());
    std::byte* p = bound.data() + start;
    if (part.Variable) {
        std::copy_n(entry.begin() + static_cast<std::ptrdiff_t>(start), charsAt, p);
        std::copy(text.Chars.begin(), text.Chars.begin() + kept * text.CharSize, p + charsAt);
        if (trailing) {
            p[newSize - 1] = entry[oldEnd - 1];
        }
    } else {
        std::copy(entry.begin() + static_cast<std::ptrdiff_t>(start),
                  entry.begin() + static_cast<std::ptrdiff_t>(oldEnd), p);
    }
    StorePrefix(p + prefixAt, prefixSize, length);
    std::fill_n(p + charsAt + kept * text.CharSize, (length - kept) * text.CharSize, std::byte{0});
    // What follows moves with the component's new size, as far as the bound holds it.
    const std::size_t rest = std::min(entry.size() - oldEnd, bound.size() - (start + newSize));
    std::copy_n(entry.begin() + static_cast<std::ptrdiff_t>(oldEnd), rest,
                bound.begin() + static_cast<std::ptrdiff_t>(start + newSize));
    return true;
}

// ---------------------------------------------------------------------------
// Prepared comparison

namespace {

using TPart = TTdbKeyComparator::TPart;
using TValueKind = TTdbKeyComparator::TValueKind;
using TIndicator = TTdbKeyComparator::TIndicator;

// The kind whose direct reading equals CompareValues for a value of ValueSize bytes; a value too
// short for its type is read clamped by the general comparison instead.
TValueKind DirectKind(TTdbColumnType code, std::int32_t fieldSize, bool hasNullByte,
                      std::int32_t valueSize) noexcept {
    TValueKind kind = TValueKind::kGeneral;
    std::int32_t needs = 0;
    switch (code) {
        case ctChar:
        case ctByte:
        case ctBoolean:
        case ctEnum:
            kind = TValueKind::kUInt8;
            needs = 1;
            break;
        case ctSmallInt:
            kind = TValueKind::kInt16;
            needs = 2;
            break;
        case ctFloat:
            kind = TValueKind::kFloat;
            needs = 8;
            break;
        case ctTime:
            if (fieldSize - (hasNullByte ? 1 : 0) == 2) {
                kind = TValueKind::kInt16;
                needs = 2;
            } else {
                kind = TValueKind::kInt32;
                needs = 4;
            }
            break;
        case ctDate:
        case ctAutoInc:
        case ctLink:
        case ctInteger:
        case ctLinkRecordId:
            kind = TValueKind::kInt32;
            needs = 4;
            break;
        case ctTimeStamp:
            kind = TValueKind::kTimeStamp;
            needs = 8;
            break;
        case ctBigInt:
            kind = TValueKind::kInt64;
            needs = 8;
            break;
        default:
            break;
    }
    return valueSize >= needs ? kind : TValueKind::kGeneral;
}

// Values known to hold all the bytes their kind reads.
[[gnu::always_inline]] inline int CompareDirect(TValueKind kind, const std::byte* p1,
                                                const std::byte* p2) noexcept {
    switch (kind) {
        case TValueKind::kUInt8:
            return ThreeWay(static_cast<std::uint8_t>(p1[0]), static_cast<std::uint8_t>(p2[0]));
        case TValueKind::kInt16:
            return ThreeWay(LoadLE<std::int16_t>(p1), LoadLE<std::int16_t>(p2));
        case TValueKind::kInt32:
            return ThreeWay(LoadLE<std::int32_t>(p1), LoadLE<std::int32_t>(p2));
        case TValueKind::kInt64:
            return ThreeWay(LoadLE<std::int64_t>(p1), LoadLE<std::int64_t>(p2));
        case TValueKind::kFloat:
            return CompareKeyDoubles(std::bit_cast<double>(LoadLE<std::uint64_t>(p1)),
                                     std::bit_cast<double>(LoadLE<std::uint64_t>(p2)));
        case TValueKind::kTimeStamp: {
            const int date = ThreeWay(LoadLE<std::int32_t>(p1), LoadLE<std::int32_t>(p2));
            return date != 0 ? date
                             : ThreeWay(LoadLE<std::int32_t>(p1 + 4), LoadLE<std::int32_t>(p2 + 4));
        }
        case TValueKind::kGeneral:
        case TValueKind::kString:
            break;
    }
    return 0;
}

// StoredLength for a prepared component.
[[gnu::always_inline]] inline std::int32_t PreparedLength(const TPart& part, const std::byte* p,
                                                          std::int32_t avail) noexcept {
    if (!part.Variable) {
        return part.Size;
    }
    if (part.Indicator == TIndicator::kLeading) {
        if (ByteAt(p, avail, 0) == 0) {
            return 1;
        }
        p = Skip(p, avail, 1);
        return 1 + part.PrefixSize +
               std::min(LoadPrefix(p, avail, part.PrefixSize), part.Room) * part.CharSize;
    }
    return part.PrefixSize +
           std::min(LoadPrefix(p, avail, part.PrefixSize), part.Room) * part.CharSize +
           (part.HasNullByte ? 1 : 0);
}

// A complete fixed component of an integer-like kind, indicator and value.
[[gnu::always_inline]] inline int CompareComplete(const TPart& part, const std::byte* p1,
                                                  const std::byte* p2) noexcept {
    switch (part.Indicator) {
        case TIndicator::kNone:
            return CompareDirect(part.Kind, p1, p2);
        case TIndicator::kLeading: {
            const auto indicator1 = static_cast<std::uint8_t>(p1[0]);
            const auto indicator2 = static_cast<std::uint8_t>(p2[0]);
            if (indicator1 == 0 || indicator2 == 0) {
                return Sign(indicator1 - indicator2);
            }
            return CompareDirect(part.Kind, p1 + 1, p2 + 1);
        }
        case TIndicator::kTrailingNull: {
            const auto indicator1 = static_cast<std::uint8_t>(p1[part.Size - 1]);
            const auto indicator2 = static_cast<std::uint8_t>(p2[part.Size - 1]);
            if (indicator1 == 0 || indicator2 == 0) {
                return Sign(indicator1 - indicator2);
            }
            return CompareDirect(part.Kind, p1, p2);
        }
        case TIndicator::kTrailingLast: {
            const int result = CompareDirect(part.Kind, p1, p2);
            if (result != 0) {
                return result;
            }
            return Sign(static_cast<std::uint8_t>(p1[part.Size - 1]) -
                        static_cast<std::uint8_t>(p2[part.Size - 1]));
        }
    }
    return 0;
}

// A String or WideString component with a leading indicator or none. Out of line: the
// characters are copied onto its stack, which integer keys need not set up.
[[gnu::noinline]] int ComparePreparedStrings(const TPart& part, const std::byte* p1,
                                             const std::byte* p2, std::int32_t n1, std::int32_t n2,
                                             TStrCmpOptions options) {
    if (part.Indicator == TIndicator::kLeading) {
        const std::uint8_t indicator1 = ByteAt(p1, n1, 0);
        const std::uint8_t indicator2 = ByteAt(p2, n2, 0);
        if (indicator1 == 0 || indicator2 == 0) {
            return Sign(indicator1 - indicator2);
        }
        p1 = Skip(p1, n1, 1);
        p2 = Skip(p2, n2, 1);
    }
    return CompareStringImages(p1, p2, n1, n2, part.PrefixSize, part.CharSize, *part.Collation,
                               part.Options | options);
}

// CompareFields for a prepared component of N1 and N2 bytes: complete fixed values of the
// integer-like kinds are read in place, strings go straight to their collation, and everything
// else (GUIDs, trailing indicators, cut values) goes through the field comparison.
[[gnu::always_inline]] inline int ComparePart(const TPart& part, const std::byte* p1,
                                              const std::byte* p2, std::int32_t n1, std::int32_t n2,
                                              std::int16_t level, TStrCmpOptions options) {
    if (part.Kind == TValueKind::kString) {
        return ComparePreparedStrings(part, p1, p2, n1, n2, options);
    }
    if (part.Kind != TValueKind::kGeneral && n1 == part.Size && n2 == part.Size) {
        return CompareComplete(part, p1, p2);
    }
    return TTdbIndexKeys::CompareFields(p1, p2, part.Code, n1, n2, part.FieldSize, part.HasNullByte,
                                        level, part.Collation, part.Options | options);
}

}  // namespace

TTdbKeyComparator::TTdbKeyComparator(const TTdbIndexKeys& keys, const TTdbSortDef& indexDef)
    : FKeys(&keys) {
    Prepare(indexDef);
}

void TTdbKeyComparator::Prepare(const TTdbSortDef& indexDef) {
    Reset();
    if (indexDef.IsCalculated) {
        return;
    }
    const TTdbColumnDefs& columns = FKeys->ColumnDefs();
    const std::int16_t level = FKeys->TableLevel();
    const TKeyParts parts(columns, indexDef, level);
    const int count = parts.Count();
    for (int i = 0; i < count; ++i) {
        const std::int16_t columnNo = indexDef.Items[static_cast<std::size_t>(i)].ColumnNo;
        if (columnNo < 1 || columnNo > columns.GetCount()) {
            return;
        }
    }
    std::vector<TPart> prepared;
    prepared.reserve(static_cast<std::size_t>(count));
    std::int64_t fixedSize = 0;
    for (int i = 0; i < count; ++i) {
        // Resolved exactly as IndexLess resolves it on every call, without the call's options.
        const TKeyPart key = parts.Get(i, 0);
        TPart part;
        part.Size = key.Size;
        part.FieldSize = key.FieldSize;
        part.CharSize = CharSize(key.Code);
        part.PrefixSize = StringPrefixSize(key.Code, key.FieldSize, key.HasNullByte);
        part.Room = RoomInKey(key);
        part.Collation = key.Collation != nullptr ? key.Collation : &TTdbCollation::BuiltIn();
        part.Code = key.Code;
        part.Options = key.Options;
        part.HasNullByte = key.HasNullByte;
        part.Descending = key.Descending;
        part.Variable = key.Variable;
        if (!key.HasNullByte) {
            part.Indicator = TIndicator::kNone;
        } else if (level >= kLevelLeadingIndicator) {
            part.Indicator = TIndicator::kLeading;
        } else if (level >= kLevelKeyIndicator) {
            part.Indicator = TIndicator::kTrailingNull;
        } else {
            part.Indicator = TIndicator::kTrailingLast;
        }
        if (IsKeyString(key.Code)) {
            if (part.Indicator == TIndicator::kNone || part.Indicator == TIndicator::kLeading) {
                part.Kind = TValueKind::kString;
            }
        } else if (!key.Variable) {
            part.Kind = DirectKind(key.Code, key.FieldSize, key.HasNullByte,
                                   key.Size - (key.HasNullByte ? 1 : 0));
        }
        if (fixedSize >= 0 && !key.Variable) {
            part.Offset = static_cast<std::int32_t>(fixedSize);
            fixedSize += key.Size;
        } else {
            fixedSize = -1;
        }
        prepared.push_back(part);
    }
    FParts = std::move(prepared);
    FFixedSize = fixedSize <= std::numeric_limits<std::int32_t>::max()
                     ? static_cast<std::int32_t>(fixedSize)
                     : -1;
    FAllComplete = FFixedSize >= 0 && std::all_of(FParts.begin(), FParts.end(), [](const TPart& p) {
                       return p.Kind != TValueKind::kGeneral && p.Kind != TValueKind::kString;
                   });
    FLevel = level;
    FIndexDef = &indexDef;
}

void TTdbKeyComparator::Reset() noexcept {
    FIndexDef = nullptr;
    FFixedSize = -1;
    FAllComplete = false;
    FParts.clear();
}

// Keys of fixed layout that hold every component: each at its offset, nothing to bound.
[[gnu::always_inline]] inline int TTdbKeyComparator::CompareFixedKeys(
    const std::byte* x, const std::byte* y, TStrCmpOptions options) const {
    for (const TPart& part : FParts) {
        const int result = ComparePart(part, x + part.Offset, y + part.Offset, part.Size, part.Size,
                                       FLevel, options);
        if (result != 0) {
            return part.Descending ? -result : result;
        }
    }
    return 0;
}

// Variable components, or keys cut short: each key advances by its own component lengths,
// which are read only as far as the key goes.
int TTdbKeyComparator::CompareKeys(std::span<const std::byte> x, std::span<const std::byte> y,
                                   TStrCmpOptions options) const {
    std::size_t at1 = 0;
    std::size_t at2 = 0;
    for (const TPart& part : FParts) {
        const std::byte* p1 = x.data() + at1;
        const std::byte* p2 = y.data() + at2;
        const auto avail1 = static_cast<std::int32_t>(
            std::min<std::size_t>(x.size() - at1, std::numeric_limits<std::int32_t>::max()));
        const auto avail2 = static_cast<std::int32_t>(
            std::min<std::size_t>(y.size() - at2, std::numeric_limits<std::int32_t>::max()));
        const std::int32_t length1 = std::min(PreparedLength(part, p1, avail1), avail1);
        const std::int32_t length2 = std::min(PreparedLength(part, p2, avail2), avail2);
        const int result = ComparePart(part, p1, p2, length1, length2, FLevel, options);
        if (result != 0) {
            return part.Descending ? -result : result;
        }
        at1 += static_cast<std::size_t>(length1);
        at2 += static_cast<std::size_t>(length2);
    }
    return 0;
}

bool TTdbKeyComparator::IndexLess(std::span<const std::byte> x, std::span<const std::byte> y,
                                  bool& unique, TStrCmpOptions options) const {
    const std::size_t completeSize =
        kTdbIndexRecordRefSize + static_cast<std::size_t>(std::max(FFixedSize, 0));
    if (FAllComplete && x.size() >= completeSize && y.size() >= completeSize) {
        // Integer-like components only, each read in place: nothing on this path calls out,
        // so it needs no frame of its own.
        const std::byte* keyX = x.data() + kTdbIndexRecordRefSize;
        const std::byte* keyY = y.data() + kTdbIndexRecordRefSize;
        for (const TPart& part : FParts) {
            const int result = CompareComplete(part, keyX + part.Offset, keyY + part.Offset);
            if (result != 0) {
                return (part.Descending ? -result : result) < 0;
            }
        }
        unique = false;
        return LoadLE<std::int32_t>(x.data()) < LoadLE<std::int32_t>(y.data());
    }
    return IndexLessOtherwise(x, y, unique, options);
}

[[gnu::noinline]] bool TTdbKeyComparator::IndexLessOtherwise(std::span<const std::byte> x,
                                                             std::span<const std::byte> y,
                                                             bool& unique,
                                                             TStrCmpOptions options) const {
    if (FIndexDef == nullptr) {
        throw std::logic_error("A key comparator compares only once it is prepared");
    }
    const std::span<const std::byte> keyX = KeyOf(x);
    const std::span<const std::byte> keyY = KeyOf(y);
    const int result = FFixedSize >= 0 && keyX.size() >= static_cast<std::size_t>(FFixedSize) &&
                               keyY.size() >= static_cast<std::size_t>(FFixedSize)
                           ? CompareFixedKeys(keyX.data(), keyY.data(), options)
                           : CompareKeys(keyX, keyY, options);
    if (result != 0) {
        return result < 0;
    }
    unique = false;
    return RecordNoOf(x) < RecordNoOf(y);
}

bool TTdbKeyComparator::IndexLess(std::span<const std::byte> x, std::span<const std::byte> y,
                                  bool& unique, TStrCmpOptions options,
                                  const TTdbSortDef& indexDef) const {
    if (IsPreparedFor(&indexDef)) {
        return IndexLess(x, y, unique, options);
    }
    return FKeys->IndexLess(x, y, unique, options, indexDef);
}

TTdbTreeLess TTdbIndexKeys::GetTreeLess(std::shared_ptr<const TTdbKeyComparator> comparator) const {
    if (comparator == nullptr || &comparator->Keys() != this) {
        throw std::invalid_argument("A tree compares only through a comparator of its own keys");
    }
    return [comparator = std::move(comparator)](
               std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
               TStrCmpOptions options, const TTdbSortDef* compareParam) {
        if (compareParam == nullptr) {
            throw std::invalid_argument("An index tree compares only with its index definition");
        }
        return comparator->IndexLess(a, b, unique, options, *compareParam);
    };
}

// ---------------------------------------------------------------------------
// Building entries

namespace {

// Writes one component from its column image (FieldSize bytes at Source) to Dest, which has
// room for the component's size, and answers the bytes it takes there.
std::int32_t WriteComponent(const TKeyPart& part, const std::byte* source, std::byte* dest,
                            std::int16_t level) {
    const std::int32_t size = part.Size;
    const bool leading = part.HasNullByte && level >= kLevelLeadingIndicator;
    const bool trailing = part.HasNullByte && !leading;
    const bool shortened = size < part.FieldSize;
    const auto trailingIndicator = [&] {
        return level < kLevelKeyIndicator ? std::byte{0} : source[part.FieldSize - 1];
    };
    if (!part.Variable) {
        std::memcpy(dest, source, static_cast<std::size_t>(size));
        if (IsKeyString(part.Code) && shortened) {
            const std::int32_t prefixSize =
                StringPrefixSize(part.Code, part.FieldSize, part.HasNullByte);
            const std::int32_t prefixAt = leading ? 1 : 0;
            if (size >= prefixAt + prefixSize &&
                LoadPrefix(dest + prefixAt, prefixSize, prefixSize) > RoomInKey(part)) {
                StorePrefix(dest + prefixAt, prefixSize, RoomInKey(part));
            }
        }
        if (trailing && shortened) {
            dest[size - 1] = source[part.FieldSize - 1];
        }
        if (part.HasNullByte && level < kLevelKeyIndicator) {
            dest[size - 1] = std::byte{0};
        }
        return size;
    }
    // A variable string component: indicator, prefix and the characters in use only.
    const std::int32_t prefixSize = StringPrefixSize(part.Code, part.FieldSize, part.HasNullByte);
    const std::int32_t charSize = CharSize(part.Code);
    std::int32_t at = 0;
    if (leading) {
        dest[0] = source[0];
        if (source[0] == std::byte{0}) {
            return 1;
        }
        at = 1;
    }
    const bool isNull = trailing && source[part.FieldSize - 1] == std::byte{0};
    const std::int32_t length =
        isNull ? 0
               : std::clamp(LoadPrefix(source + at, prefixSize, prefixSize), 0, RoomInKey(part));
    StorePrefix(dest + at, prefixSize, length);
    std::memcpy(dest + at + prefixSize, source + at + prefixSize,
                static_cast<std::size_t>(length * charSize));
    at += prefixSize + length * charSize;
    if (trailing) {
        dest[at++] = trailingIndicator();
    }
    return at;
}

void CheckComponents(const TKeyParts& parts, const TTdbSortDef& indexDef) {
    std::int64_t total = 0;
    for (int i = 0; i < parts.Count(); ++i) {
        const TTdbSortItem& item = indexDef.Items[static_cast<std::size_t>(i)];
        const TTdbColumnDef* column = parts.Column(item);
        if (item.Size < 1 || item.Size > column->Size) {
            RaiseInconsistent(indexDef);
        }
        total += item.Size;
    }
    if (total > KeyAreaSize(indexDef)) {
        RaiseInconsistent(indexDef);
    }
}

void CheckRecord(const TTdbColumnDef& column, std::span<const std::byte> record) {
    if (column.Position < 0 ||
        static_cast<std::size_t>(column.Position) + static_cast<std::size_t>(column.Size) >
            record.size()) {
        throw std::invalid_argument("The record buffer is smaller than the table's records");
    }
}

// The type whose column image an expression key is: the compiled expression's result, or,
// without one, the type the stored result code and size describe.
const TTdbDataType* ExpressionKeyType(const TTdbSortDef& indexDef, std::int16_t level,
                                      bool needsCalculation) {
    const TTdbCalculation* calculation = indexDef.GetCalculation();
    const TTdbDataType* type = calculation != nullptr ? calculation->GetResultType() : nullptr;
    const TTdbSortItem& item = indexDef.Items[0];
    if (type == nullptr) {
        if (needsCalculation) {
            RaiseInconsistent(indexDef);
        }
        const TTdbColumnType code = item.ColumnType;
        type = IsKeyString(code) ? TTdbDataType::GetDataType(code, true, item.Size, level)
                                 : TTdbDataType::GetDataType(code, true, level);
    }
    if (type == nullptr || type->GetColumnType() != item.ColumnType ||
        type->GetDataSize() > KeyAreaSize(indexDef) || type->GetDataSize() != item.Size) {
        RaiseInconsistent(indexDef);
    }
    return type;
}

// The bytes an expression key built in Key takes.
std::int32_t ExpressionEntrySize(const TKeyParts& parts, std::span<const std::byte> key,
                                 std::int16_t level) {
    const TKeyPart part = parts.Get(0, 0);
    const auto avail = static_cast<std::int32_t>(key.size());
    return kTdbIndexRecordRefSize + std::min(StoredLength(part, key.data(), avail, level), avail);
}

}  // namespace

std::int32_t TTdbIndexKeys::CalcIndexInfo(const TTdbSortDef& indexDef,
                                          std::span<const std::byte> record, std::int32_t recordNo,
                                          std::span<std::byte> entry) const {
    CheckEntryBuffer(indexDef, entry);
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    const std::int32_t keySize = KeyAreaSize(indexDef);
    if (indexDef.IsCalculated) {
        const TTdbDataType* type = ExpressionKeyType(indexDef, FTableLevel, true);
        // Evaluated aside, so that a failing expression leaves the caller's entry as it was.
        std::vector<std::byte> key(static_cast<std::size_t>(keySize));
        TTdbDataValue result;
        type->SetReference(result, ImageOf(key.data()));
        indexDef.GetCalculation()->Calculate(FRltnIdx, record, result);
        if (!result.IsReference() ||
            result.Image() != reinterpret_cast<std::uint8_t*>(key.data())) {
            // The expression handed back a value of its own rather than writing in place.
            type->CopyTo(result, key.data());
        }
        SetDateiVerweis(entry, recordNo);
        std::copy(key.begin(), key.end(), entry.begin() + kTdbIndexRecordRefSize);
        return indexDef.IsVarSize ? ExpressionEntrySize(parts, key, FTableLevel)
                                  : indexDef.GetSize();
    }
    CheckComponents(parts, indexDef);
    for (int i = 0; i < parts.Count(); ++i) {
        CheckRecord(*parts.Column(indexDef.Items[static_cast<std::size_t>(i)]), record);
    }
    SetDateiVerweis(entry, recordNo);
    std::byte* key = entry.data() + kTdbIndexRecordRefSize;
    std::memset(key, 0, static_cast<std::size_t>(keySize));
    std::int32_t at = 0;
    for (int i = 0; i < parts.Count(); ++i) {
        const TKeyPart part = parts.Get(i, 0);
        const TTdbColumnDef* column = parts.Column(indexDef.Items[static_cast<std::size_t>(i)]);
        at += WriteComponent(part, record.data() + column->Position, key + at, FTableLevel);
    }
    return indexDef.IsVarSize ? kTdbIndexRecordRefSize + at : indexDef.GetSize();
}

std::int32_t TTdbIndexKeys::StringToIndex(const TTdbSortDef& indexDef, std::u16string_view str,
                                          std::int32_t recordNo, char16_t separator,
                                          std::span<std::byte> entry) const {
    CheckEntryBuffer(indexDef, entry);
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    const std::vector<std::u16string> pieces = SplitKeyText(str, separator);
    if (static_cast<int>(pieces.size()) > parts.Count()) {
        RaiseEngineError(kTdbErrColumnCount);
    }
    // The largest record number asks for the upper end; any other for the lower one.
    const bool upper = recordNo == std::numeric_limits<std::int32_t>::max();
    const auto valueOf = [&](const TTdbDataType* type, std::byte* image, std::int32_t imageSize,
                             int i, bool descending) {
        if (static_cast<std::size_t>(i) < pieces.size()) {
            TTdbDataValue value;
            type->SetReference(value, ImageOf(image));
            type->ConvertFromString(value,
                                    std::u16string_view(pieces[static_cast<std::size_t>(i)]));
        } else {
            SetKeyBound(type, image, imageSize, upper != descending, FTableLevel);
        }
    };
    // Built aside: a piece that does not convert leaves the caller's entry as it was.
    std::vector<std::byte> built(static_cast<std::size_t>(indexDef.GetSize()));
    SetDateiVerweis(built, recordNo);
    std::span<std::byte> key = std::span(built).subspan(kTdbIndexRecordRefSize);
    std::int32_t size = indexDef.GetSize();
    if (indexDef.IsCalculated) {
        const TTdbDataType* type = ExpressionKeyType(indexDef, FTableLevel, false);
        valueOf(type, key.data(), type->GetDataSize(), 0, indexDef.Items[0].Descending);
        if (indexDef.IsVarSize) {
            size = ExpressionEntrySize(parts, key, FTableLevel);
        }
    } else {
        CheckComponents(parts, indexDef);
        std::int32_t at = 0;
        std::vector<std::byte> image;
        for (int i = 0; i < parts.Count(); ++i) {
            const TTdbSortItem& item = indexDef.Items[static_cast<std::size_t>(i)];
            const TTdbColumnDef* column = parts.Column(item);
            image.assign(static_cast<std::size_t>(column->Size), std::byte{0});
            valueOf(column->DataType, image.data(), column->Size, i, item.Descending);
            at += WriteComponent(parts.Get(i, 0), image.data(), key.data() + at, FTableLevel);
        }
        if (indexDef.IsVarSize) {
            size = kTdbIndexRecordRefSize + at;
        }
    }
    std::copy(built.begin(), built.end(), entry.begin());
    return size;
}

std::int32_t TTdbIndexKeys::CompleteIndexInfo(const TTdbSortDef& indexDef, int given, bool upper,
                                              std::span<std::byte> record, std::int32_t recordNo,
                                              std::span<std::byte> entry) const {
    if (given < 0) {
        throw std::invalid_argument("A search entry cannot have fewer than no given components");
    }
    CheckEntryBuffer(indexDef, entry);
    const TKeyParts parts(FColumnDefs, indexDef, FTableLevel);
    if (given >= parts.Count()) {
        return CalcIndexInfo(indexDef, record, recordNo, entry);
    }
    if (indexDef.IsCalculated) {
        // Nothing of the expression is given: the bound goes straight into the key.
        const TTdbDataType* type = ExpressionKeyType(indexDef, FTableLevel, false);
        std::vector<std::byte> key(static_cast<std::size_t>(KeyAreaSize(indexDef)));
        SetKeyBound(type, key.data(), type->GetDataSize(), upper != indexDef.Items[0].Descending,
                    FTableLevel);
        SetDateiVerweis(entry, recordNo);
        std::copy(key.begin(), key.end(), entry.begin() + kTdbIndexRecordRefSize);
        return indexDef.IsVarSize ? ExpressionEntrySize(parts, key, FTableLevel)
                                  : indexDef.GetSize();
    }
    CheckComponents(parts, indexDef);
    for (int i = given; i < parts.Count(); ++i) {
        CheckRecord(*parts.Column(indexDef.Items[static_cast<std::size_t>(i)]), record);
    }
    for (int i = given; i < parts.Count(); ++i) {
        const TTdbSortItem& item = indexDef.Items[static_cast<std::size_t>(i)];
        const TTdbColumnDef* column = parts.Column(item);
        SetKeyBound(column->DataType, record.data() + column->Position, column->Size,
                    upper != item.Descending, FTableLevel);
    }
    return CalcIndexInfo(indexDef, record, recordNo, entry);
}

}  // namespace tdb
