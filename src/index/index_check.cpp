// Checking index definitions against the table's columns and level.
#include "index/index_check.h"

#include <string>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/column_def.h"
#include "types/data_type.h"

namespace tdb {

namespace {

constexpr std::int16_t kFirstLevelWithVarSize = 6;
constexpr std::int16_t kFirstLevelWithLongEntries = 4;
constexpr std::int32_t kOldMaxEntrySize = 512;
constexpr std::int32_t kMaxEntrySize = 32767;
constexpr std::int16_t kLinkComponentSize = 4;

[[noreturn]] void RaiseInvalid(const std::u16string& argument) {
    RaiseEngineError(kTdbErrInvalidIndexSpec, {argument});
}

std::u16string LevelText(int componentNo) {
    const std::string digits = std::to_string(componentNo);
    return u"Level " + std::u16string(digits.begin(), digits.end());
}

void CheckExpressionKey(const TTdbSortDef& indexDef) {
    const TTdbCalculation* calculation = indexDef.GetCalculation();
    const TTdbDataType* resultType = calculation ? calculation->GetResultType() : nullptr;
    const TTdbSortItem& item = indexDef.Items[0];
    // Without a compiled expression nothing tells what the key holds.
    if (resultType == nullptr || indexDef.LevelCount != 1 || item.ColumnNo != 0 ||
        item.ColumnType != resultType->GetColumnType() || item.Size != resultType->GetDataSize()) {
        RaiseInvalid(indexDef.GetName());
    }
}

void CheckComponent(const TTdbSortItem& item, int componentNo, const TTdbColumnDefs& columnDefs) {
    if (item.ColumnNo < 1 || item.ColumnNo > columnDefs.GetCount()) {
        RaiseInvalid(LevelText(componentNo));
    }
    const TTdbColumnDef& column = *columnDefs.GetColumnDef(item.ColumnNo - 1);
    const TTdbColumnType columnType = column.GetColumnType();
    const bool link = item.ColumnType == kTdbLinkComponentType;
    bool fits = (item.ColumnType == columnType || link) && IsIndexableColumnType(columnType);
    if (fits) {
        if (link) {
            fits = item.Size == kLinkComponentSize;
        } else if (columnType == ctString || columnType == ctWideString) {
            // A string component may be shorter than its column, but it must hold something.
            fits = item.Size >= 1 && item.Size <= column.Size;
        } else {
            fits = item.Size == column.Size;
        }
    }
    if (!fits) {
        RaiseInvalid(column.Name);
    }
}

}  // namespace

bool IsIndexableColumnType(std::int16_t columnType) noexcept {
    return columnType != ctMemo && columnType != ctBlob && columnType != ctRelation &&
           columnType != ctWideMemo;
}

std::int32_t MaxIndexEntrySize(std::int16_t tableLevel) noexcept {
    return tableLevel >= kFirstLevelWithLongEntries ? kMaxEntrySize : kOldMaxEntrySize;
}

void CheckIndexDefinition(const TTdbSortDef& indexDef, const TTdbColumnDefs& columnDefs,
                          std::int16_t tableLevel) {
    if (indexDef.IsCalculated) {
        CheckExpressionKey(indexDef);
    } else {
        if (indexDef.IsVarSize && tableLevel < kFirstLevelWithVarSize) {
            RaiseEngineError(kTdbErrUnsupportedFeature,
                             {indexDef.GetName(), std::u16string(u"Variable size")});
        }
        // Read before the components, which only that many fit.
        CheckSortLevelCount(indexDef.LevelCount, tableLevel);
        if (indexDef.LevelCount < 1) {
            RaiseInvalid(indexDef.GetName());
        }
        for (int i = 0; i < indexDef.LevelCount; ++i) {
            CheckComponent(indexDef.Items[static_cast<std::size_t>(i)], i + 1, columnDefs);
        }
    }
    const std::int64_t entrySize =
        std::int64_t{kTdbIndexRecordRefSize} + indexDef.GetKeySize(tableLevel);
    if (entrySize < 1 || entrySize > MaxIndexEntrySize(tableLevel)) {
        RaiseEngineError(kTdbErrIndexDataTooLarge,
                         {indexDef.CalcSpecification(columnDefs, true, false, 1, false)});
    }
}

}  // namespace tdb
