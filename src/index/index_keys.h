// The keys of a table's indexes: how a record becomes an index entry, how entries compare, and
// the search entries built from text or from partial values. The table hosts these operations;
// they need only its columns and its level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "index/index_entry.h"
#include "index/tree_base.h"
#include "types/calculation.h"
#include "types/collation.h"
#include "types/data_type.h"

namespace tdb {

class TTdbColumnDefs;
class TTdbSortDef;

class TTdbIndexKeys {
public:
    // The columns are borrowed and must outlive the keys; RltnIdx is what an expression key is
    // calculated against.
    TTdbIndexKeys(const TTdbColumnDefs& columnDefs, std::int16_t tableLevel,
                  TTdbRltnIdx rltnIdx = 0);

    const TTdbColumnDefs& ColumnDefs() const noexcept { return FColumnDefs; }
    std::int16_t TableLevel() const noexcept { return FTableLevel; }

    // The entry of a record under RecordNo, written into Entry (at least the entry size);
    // answers the bytes the entry uses: the entry size, or less in a variable-size index.
    std::int32_t CalcIndexInfo(const TTdbSortDef& indexDef, std::span<const std::byte> record,
                               std::int32_t recordNo, std::span<std::byte> entry) const;

    // Whether entry X sorts before entry Y: key by key, then by record number. Clears Unique
    // when the keys are equal.
    bool IndexLess(std::span<const std::byte> x, std::span<const std::byte> y, bool& unique,
                   TStrCmpOptions options, const TTdbSortDef& indexDef) const;
    // IndexLess bound to these keys, for a tree; the keys must outlive the tree.
    TTdbTreeLess GetTreeLess() const;

    // -1, 0 or 1. Collation is used by String and WideString only (null: the built-in one).
    // The sizes bound what is read of either value.
    static int CompareFields(const std::byte* value1, const std::byte* value2,
                             TTdbColumnType dataType, std::int32_t dataSize1,
                             std::int32_t dataSize2, std::int32_t fieldSize, bool hasNullByte,
                             std::int16_t tableLevel, const TTdbCollation* collation,
                             TStrCmpOptions options);

    // A search entry from text: the pieces between Separator (a piece may be quoted) become
    // the components in order; missing components get their minimum, or their maximum at the
    // upper end (RecordNo 2147483647 and ascending, or 1 and descending). Answers the size.
    std::int32_t StringToIndex(const TTdbSortDef& indexDef, std::u16string_view str,
                               std::int32_t recordNo, char16_t separator,
                               std::span<std::byte> entry) const;

    // Gives the columns of the components after the first Given ones their minimum (a lower
    // bound) or maximum (Upper) in Record - the other way round for descending components -
    // and builds the entry from the completed record. Answers the entry's size.
    std::int32_t CompleteIndexInfo(const TTdbSortDef& indexDef, int given, bool upper,
                                   std::span<std::byte> record, std::int32_t recordNo,
                                   std::span<std::byte> entry) const;

    // Equal in every component; IsSameIndexInfo also needs a record number other than 0.
    bool IsSameIndexKey(const TTdbSortDef& indexDef, std::span<const std::byte> x,
                        std::span<const std::byte> y) const;
    bool IsSameIndexInfo(const TTdbSortDef& indexDef, std::span<const std::byte> x,
                         std::span<const std::byte> y) const;
    // The 0-based number of the first component in which the keys differ; LevelCount when
    // they are equal.
    int FindSortKeyDiff(const TTdbSortDef& indexDef, std::span<const std::byte> x,
                        std::span<const std::byte> y) const;

private:
    const TTdbColumnDefs& FColumnDefs;
    std::int16_t FTableLevel;
    TTdbRltnIdx FRltnIdx;
};

}  // namespace tdb
