// Index definitions: components, specification text, coverage and the packed
// 50-byte form.
#include "types/sort_def.h"

#include <cstring>
#include <string_view>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/collation.h"
#include "types/column_def.h"

namespace tdb {

namespace {


constexpr std::int16_t kFirstLevelWithManyItems = 4;
constexpr std::int16_t kFirstLevelWithSizedExpression = 6;
constexpr std::int16_t kFirstLevelWithSql = 5;
constexpr std::int32_t kOldExpressionKeySize = 256;

constexpr std::size_t kVectorEntrySize = 5;
constexpr std::uint16_t kDescendingBit = 0x8000;
constexpr std::uint16_t kExpressionMarker = 0xFFFF;
constexpr std::uint8_t kUniqueMark = 0xFF;
constexpr std::size_t kVectorSourceOffset = 5;

std::u16string Decimal(std::int64_t value) {
    std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// The length a specification writes after ":", in characters of the component.
std::int32_t ComponentLength(const TTdbSortItem& item) {
    switch (item.ColumnType) {
        case 1:  // String: the length byte
            return item.Size - 1;
        case 18:  // WideString: the length word, two bytes a character
            return item.Size / 2 - 1;
        default:
            return item.Size;
    }
}

[[noreturn]] void RaiseInconsistent(const std::u16string& name) {
    RaiseEngineError(kTdbErrInconsistentIndex, {name});
}

}  // namespace

int MaxSortLevels(std::int16_t tableLevel) noexcept {
    return tableLevel < kFirstLevelWithManyItems ? kTdbMaxVectorItems : kTdbMaxSortItems;
}

void CheckSortLevelCount(int levelCount, std::int16_t tableLevel) {
    if (levelCount > MaxSortLevels(tableLevel)) {
        RaiseEngineError(kTdbErrTooManyLevels);
    }
}

TTdbSortDef::TTdbSortDef(std::u16string name) : TTdbNamedDef(std::move(name)) {}

TTdbSortDef::TTdbSortDef(std::u16string name, std::u16string source, bool unique, bool calculated)
    : TTdbNamedDef(std::move(name)),
      FSource(std::move(source)),
      IsUnique(unique),
      IsCalculated(calculated),
      LevelCount(calculated ? 1 : 0) {}

TTdbSortDef::TTdbSortDef(std::u16string name, std::unique_ptr<TTdbCalculation> calculation,
                         bool unique)
    : TTdbNamedDef(std::move(name)), IsUnique(unique) {
    SetCalculation(std::move(calculation));
}

TTdbSortDef::TTdbSortDef(const TTdbSortDef& other)
    : TTdbNamedDef(other),
      FSource(other.FSource),
      IsUnique(other.IsUnique),
      IsVarSize(other.IsVarSize),
      IsCalculated(other.IsCalculated),
      LevelCount(other.LevelCount),
      Items(other.Items),
      FCalculation(other.FCalculation ? other.FCalculation->Clone() : nullptr),
      FSize(other.FSize) {}

TTdbSortDef& TTdbSortDef::operator=(const TTdbSortDef& other) {
    if (this != &other) {
        TTdbSortDef copy(other);
        TTdbNamedDef::operator=(copy);
        FSource = std::move(copy.FSource);
        IsUnique = copy.IsUnique;
        IsVarSize = copy.IsVarSize;
        IsCalculated = copy.IsCalculated;
        LevelCount = copy.LevelCount;
        Items = copy.Items;
        FCalculation = std::move(copy.FCalculation);
        FSize = copy.FSize;
    }
    return *this;
}

TTdbSortDef::~TTdbSortDef() = default;

std::unique_ptr<TTdbNamedDef> TTdbSortDef::Clone() const {
    return std::make_unique<TTdbSortDef>(*this);
}

void TTdbSortDef::Clear() {
    IsCalculated = false;
    LevelCount = 0;
    Items = {};
    FCalculation.reset();
}

std::u16string TTdbSortDef::GetSource() const {
    return FCalculation ? FCalculation->GetSource() : FSource;
}

void TTdbSortDef::AddItem(std::int16_t columnNo, std::uint8_t columnType, std::int16_t size,
                          bool descending) {
    if (LevelCount >= kTdbMaxSortItems) {
        RaiseEngineError(kTdbErrTooManyLevels);
    }
    Items[static_cast<std::size_t>(LevelCount)] = {columnType, columnNo, size, descending};
    ++LevelCount;
}

void TTdbSortDef::SetCalculation(std::unique_ptr<TTdbCalculation> calculation) {
    Clear();
    IsCalculated = true;
    LevelCount = 1;
    if (calculation && calculation->GetResultType()) {
        const TTdbDataType* resultType = calculation->GetResultType();
        Items[0].ColumnType = static_cast<std::uint8_t>(resultType->GetColumnType());
        Items[0].Size = static_cast<std::int16_t>(resultType->GetDataSize());
        FSize = kTdbIndexRecordRefSize + Items[0].Size;
    }
    FCalculation = std::move(calculation);
}

std::int32_t TTdbSortDef::GetKeySize(std::int16_t tableLevel) const {
    if (IsCalculated) {
        return tableLevel >= kFirstLevelWithSizedExpression ? Items[0].Size : kOldExpressionKeySize;
    }
    std::int32_t size = 0;
    for (int i = 0; i < LevelCount; ++i) {
        size += Items[static_cast<std::size_t>(i)].Size;
    }
    return size;
}

std::u16string TTdbSortDef::CalcSpecification(const TTdbColumnDefs& columnDefs, bool readable,
                                              bool fieldNumbers, int withSize, bool reverse) const {
    std::u16string spec;
    if (IsCalculated) {
        spec.push_back(u'(');
        if (FCalculation) {
            if (FCalculation->GetKind() == tesTablePL &&
                columnDefs.GetTableLevel() >= kFirstLevelWithSql) {
                spec += u'@';
            }
            spec += FCalculation->GetSource();
        } else {
            spec += FSource;
        }
        spec += u')';
        return spec;
    }
    for (int i = 0; i < LevelCount; ++i) {
        const TTdbSortItem& item = Items[static_cast<std::size_t>(i)];
        if (i > 0) {
            spec += u", ";
        }
        if (item.Descending != reverse) {
            spec += u'-';
        }
        const TTdbColumnDef* column = nullptr;
        if (item.ColumnNo >= 1 && item.ColumnNo <= columnDefs.GetCount()) {
            column = columnDefs.GetColumnDef(item.ColumnNo - 1);
        }
        if (fieldNumbers) {
            if (!readable) {
                spec += u'$';
            }
            spec += Decimal(item.ColumnNo);
        } else if (!column) {
            spec += u'?';
        } else if (readable) {
            spec += column->Name;
        } else {
            spec += u"${" + column->Name + u"}";
        }
        // Without its column a component's size cannot be told to be the
        // column's own, so it is written.
        if (withSize == 2 || (withSize == 1 && (!column || item.Size != column->Size))) {
            spec += u':';
            spec += Decimal(ComponentLength(item));
        }
    }
    return spec;
}

bool TTdbSortDef::Covers(const TTdbSortDef& indexDef, bool allowReverse, bool& reverse) const {
    reverse = false;
    if (IsCalculated || indexDef.IsCalculated) {
        if (!IsCalculated || !indexDef.IsCalculated) {
            return false;
        }
        if (FCalculation && indexDef.FCalculation) {
            return indexDef.FCalculation->IsSame(*FCalculation);
        }
        return GetSource() == indexDef.GetSource();
    }
    if (LevelCount < 1 || indexDef.LevelCount < 1 || indexDef.LevelCount > LevelCount) {
        return false;
    }
    const TTdbSortItem& first = Items[0];
    const TTdbSortItem& wantedFirst = indexDef.Items[0];
    if (first.ColumnNo != wantedFirst.ColumnNo) {
        return false;
    }
    bool backwards = first.Descending != wantedFirst.Descending;
    if (backwards && !allowReverse) {
        return false;
    }
    for (int i = 1; i < indexDef.LevelCount; ++i) {
        const TTdbSortItem& own = Items[static_cast<std::size_t>(i)];
        const TTdbSortItem& wanted = indexDef.Items[static_cast<std::size_t>(i)];
        if (own.ColumnNo != wanted.ColumnNo || wanted.Descending != (own.Descending != backwards)) {
            return false;
        }
    }
    reverse = backwards;
    return true;
}

bool TTdbSortDef::Equals(const TTdbSortDef& indexDef, bool /*allowReverse*/, bool& reverse) const {
    reverse = false;
    if (IsVarSize != indexDef.IsVarSize || IsCalculated != indexDef.IsCalculated ||
        IsUnique != indexDef.IsUnique || LevelCount != indexDef.LevelCount) {
        return false;
    }
    if (IsCalculated) {
        return GetSource() == indexDef.GetSource();
    }
    for (int i = 0; i < LevelCount; ++i) {
        if (!(Items[static_cast<std::size_t>(i)] == indexDef.Items[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return true;
}

void TTdbSortDef::GetVectorData(std::span<std::byte, kTdbSortVectorSize> vectorData) const {
    std::array<std::byte, kTdbSortVectorSize> image{};
    std::byte* p = image.data();
    if (IsCalculated) {
        std::u16string source = GetSource();
        std::string ansi = TTdbCollation::BuiltIn().ToAnsi(source);
        if (ansi.size() > kTdbMaxVectorSourceLength) {
            // A cut expression would come back as a different index.
            RaiseEngineError(kTdbErrIndexDataTooLarge, {source});
        }
        StoreLE<std::uint16_t>(p, kExpressionMarker);
        StoreLE<std::int16_t>(p + 2, Items[0].Size);
        StoreLE<std::uint8_t>(p + 4, Items[0].ColumnType);
        StoreLE<std::uint8_t>(p + kVectorSourceOffset, static_cast<std::uint8_t>(ansi.size()));
        std::memcpy(p + kVectorSourceOffset + 1, ansi.data(), ansi.size());
    } else {
        if (LevelCount > kTdbMaxVectorItems) {
            RaiseEngineError(kTdbErrTooManyLevels);
        }
        for (int i = 0; i < LevelCount; ++i) {
            const TTdbSortItem& item = Items[static_cast<std::size_t>(i)];
            // Column 0 would read back as the end of the list.
            if (item.ColumnNo <= 0) {
                RaiseInconsistent(FName);
            }
            std::byte* entry = p + static_cast<std::size_t>(i) * kVectorEntrySize;
            auto columnNo = static_cast<std::uint16_t>(item.ColumnNo);
            if (item.Descending) {
                columnNo |= kDescendingBit;
            }
            StoreLE<std::uint16_t>(entry, columnNo);
            StoreLE<std::int16_t>(entry + 2, item.Size);
            StoreLE<std::uint8_t>(entry + 4, item.ColumnType);
        }
        if (LevelCount < kTdbMaxVectorItems) {
            std::byte* terminator = p + static_cast<std::size_t>(LevelCount) * kVectorEntrySize;
            StoreLE<std::uint8_t>(terminator + 4, IsUnique ? kUniqueMark : 0);
        }
    }
    std::memcpy(vectorData.data(), image.data(), image.size());
}

void TTdbSortDef::SetVectorData(std::span<const std::byte, kTdbSortVectorSize> vectorData,
                                TTdbExpressionFactory* createIndexCalculation,
                                std::int16_t tableLevel) {
    // Everything is read into a scratch definition first, so that a packed
    // form that is refused leaves this one as it was.
    TTdbSortDef read(FName);
    read.IsUnique = IsUnique;
    read.IsVarSize = IsVarSize;
    const std::byte* p = vectorData.data();
    if (LoadLE<std::uint16_t>(p) == kExpressionMarker) {
        auto size = LoadLE<std::int16_t>(p + 2);
        auto resultType = LoadLE<std::uint8_t>(p + 4);
        auto length = LoadLE<std::uint8_t>(p + kVectorSourceOffset);
        if (size <= 0 || length > kTdbMaxVectorSourceLength) {
            RaiseInconsistent(FName);
        }
        std::string_view ansi(reinterpret_cast<const char*>(p + kVectorSourceOffset + 1), length);
        read.FSource = TTdbCollation::BuiltIn().ToWide(ansi);
        read.IsCalculated = true;
        read.LevelCount = 1;
        read.Items[0] = {resultType, 0, size, false};
        if (createIndexCalculation) {
            read.FCalculation =
                CreateStoredCalculation(*createIndexCalculation, read.FSource, tableLevel);
        }
    } else {
        for (std::size_t i = 0; i < static_cast<std::size_t>(kTdbMaxVectorItems); ++i) {
            const std::byte* entry = p + i * kVectorEntrySize;
            auto rawColumnNo = LoadLE<std::uint16_t>(entry);
            auto columnNo = static_cast<std::int16_t>(rawColumnNo & ~kDescendingBit);
            auto columnType = LoadLE<std::uint8_t>(entry + 4);
            if (columnNo == 0) {
                read.IsUnique = columnType == kUniqueMark;
                break;
            }
            auto size = LoadLE<std::int16_t>(entry + 2);
            if (size <= 0) {
                RaiseInconsistent(FName);
            }
            read.AddItem(columnNo, columnType, size, (rawColumnNo & kDescendingBit) != 0);
        }
    }
    read.UpdateSize(tableLevel);
    *this = std::move(read);
}

void TTdbSortDef::CheckColumns(const TTdbColumnDefs& columnDefs) const {
    if (IsCalculated) {
        return;
    }
    for (int i = 0; i < LevelCount; ++i) {
        const TTdbSortItem& item = Items[static_cast<std::size_t>(i)];
        if (item.ColumnNo < 1 || item.ColumnNo > columnDefs.GetCount()) {
            RaiseInconsistent(FName);
        }
        const TTdbColumnDef* column = columnDefs.GetColumnDef(item.ColumnNo - 1);
        if (item.Size < 1 || item.Size > column->Size) {
            RaiseInconsistent(FName);
        }
    }
}

}  // namespace tdb
