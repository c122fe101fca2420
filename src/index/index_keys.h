// The keys of a table's indexes: how a record becomes an index entry, how entries compare, and
// the search entries built from text or from partial values. The table hosts these operations;
// they need only its columns and its level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "index/index_entry.h"
#include "index/tree_base.h"
#include "types/calculation.h"
#include "types/collation.h"
#include "types/data_type.h"

namespace tdb {

class TTdbColumnDefs;
class TTdbKeyComparator;
class TTdbSortDef;

// A String or WideString component of an entry, as the entry holds it.
struct TTdbKeyText {
    std::span<const std::byte> Chars;  // Length characters of CharSize bytes, not aligned
    std::int32_t Length = 0;
    std::int32_t CharSize = 1;
    std::int32_t Room = 0;  // the characters the component can hold
    bool IsNull = false;
    bool Descending = false;
    const TTdbCollation* Collation = nullptr;
    TStrCmpOptions Options = 0;  // the column's own
};

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
    // The comparison of a tree through Comparator, which must be made over these keys and which
    // the tree shares, so that preparing it again reaches the tree: prepared where the tree's
    // definition is the one it was prepared for, through IndexLess with any other.
    TTdbTreeLess GetTreeLess(std::shared_ptr<const TTdbKeyComparator> comparator) const;

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

    // Component Level of Entry when it is a String or WideString column; false for any other
    // component, for an expression index and for an entry too short to hold it.
    bool KeyText(const TTdbSortDef& indexDef, int level, std::span<const std::byte> entry,
                 TTdbKeyText& text) const;
    // Entry copied into Bound with the string of component Level turned into its lower prefix
    // bound (two NULs; characters that leave them no room are dropped from the end) or its
    // upper one (one NUL): the ends of the range that holds every string beginning with it, as
    // a LIKE range has them. False, and Bound undefined, for a component KeyText refuses, a
    // NULL one, and an upper bound that finds no room for its NUL. Bound holds the index's
    // entry size; allocates nothing.
    bool PrefixBoundEntry(const TTdbSortDef& indexDef, int level, std::span<const std::byte> entry,
                          bool upper, std::span<std::byte> bound) const;
    // PrefixBoundEntry with the characters Chars in place of the entry's string at Level, for a
    // WideString component that has room for them; allocates only for texts of hundreds of
    // characters.
    bool TextBoundEntry(const TTdbSortDef& indexDef, int level, std::span<const std::byte> entry,
                        std::u16string_view chars, bool upper, std::span<std::byte> bound) const;

private:
    bool BoundEntry(const TTdbSortDef& indexDef, int level, std::span<const std::byte> entry,
                    const std::u16string_view* replacement, bool upper,
                    std::span<std::byte> bound) const;

    const TTdbColumnDefs& FColumnDefs;
    std::int16_t FTableLevel;
    TTdbRltnIdx FRltnIdx;
};

// IndexLess with everything a definition and its columns decide resolved once: per component
// its comparison kind, sizes, indicator placement, direction and collation. A table edits its
// definitions in place, so the owner prepares again after every change of the definition or of
// its columns; until then comparisons follow the definition as it was. Calculated definitions,
// and definitions naming columns the table lacks, are not prepared: they compare through
// IndexLess, which reads the expression's type and reports a bad definition as it compares.
class TTdbKeyComparator {
public:
    // Unprepared; the keys must outlive the comparator.
    explicit TTdbKeyComparator(const TTdbIndexKeys& keys) noexcept : FKeys(&keys) {}
    TTdbKeyComparator(const TTdbIndexKeys& keys, const TTdbSortDef& indexDef);

    // Resolves IndexDef against the keys' columns. The definition is remembered by address: it
    // must stay in place (or be prepared again) while comparisons name it.
    void Prepare(const TTdbSortDef& indexDef);
    void Reset() noexcept;

    const TTdbIndexKeys& Keys() const noexcept { return *FKeys; }
    bool IsPrepared() const noexcept { return FIndexDef != nullptr; }
    bool IsPreparedFor(const TTdbSortDef* indexDef) const noexcept {
        return indexDef != nullptr && indexDef == FIndexDef;
    }

    // The order and Unique flag of TTdbIndexKeys::IndexLess under the prepared definition;
    // allocates nothing. Must be prepared.
    bool IndexLess(std::span<const std::byte> x, std::span<const std::byte> y, bool& unique,
                   TStrCmpOptions options) const;
    // Prepared for IndexDef: as above; otherwise the keys' IndexLess.
    bool IndexLess(std::span<const std::byte> x, std::span<const std::byte> y, bool& unique,
                   TStrCmpOptions options, const TTdbSortDef& indexDef) const;

    // How a component compares. The integer-like kinds read complete fixed values in place;
    // kString is a String or WideString without a trailing indicator, of any stored length;
    // kGeneral and cut values take the field comparison of CompareFields.
    enum class TValueKind : std::uint8_t {
        kGeneral,
        kString,
        kUInt8,
        kInt16,
        kInt32,
        kInt64,
        kFloat,
        kTimeStamp
    };
    // Where a component's null indicator sits, as the table level puts it.
    enum class TIndicator : std::uint8_t {
        kNone,
        kLeading,       // level 6 on: the first byte, NULL first
        kTrailingNull,  // levels 4 and 5: the last byte, deciding when either is NULL
        kTrailingLast,  // below level 4: the last byte, deciding between equal values
    };

    // One resolved component.
    struct TPart {
        std::int32_t Size = 0;        // bytes of a fixed component in the key
        std::int32_t Offset = 0;      // where it starts in a key of fixed layout
        std::int32_t FieldSize = 0;   // bytes of the column's image in a record
        std::int32_t PrefixSize = 0;  // a variable string's length prefix
        std::int32_t Room = 0;        // characters of a variable string that fit into the key
        std::int32_t CharSize = 1;
        const TTdbCollation* Collation = nullptr;  // the built-in one where the column has none
        TTdbColumnType Code = 0;
        TStrCmpOptions Options = 0;
        TValueKind Kind = TValueKind::kGeneral;
        TIndicator Indicator = TIndicator::kNone;
        bool HasNullByte = false;
        bool Descending = false;
        bool Variable = false;
    };

private:
    // IndexLess of strings, general components and keys cut short.
    bool IndexLessOtherwise(std::span<const std::byte> x, std::span<const std::byte> y,
                            bool& unique, TStrCmpOptions options) const;
    int CompareFixedKeys(const std::byte* x, const std::byte* y, TStrCmpOptions options) const;
    int CompareKeys(std::span<const std::byte> x, std::span<const std::byte> y,
                    TStrCmpOptions options) const;

    const TTdbIndexKeys* FKeys;
    const TTdbSortDef* FIndexDef = nullptr;
    std::int16_t FLevel = 0;
    // The key size when no component is variable, else -1: complete keys then compare each
    // component at its fixed offset.
    std::int32_t FFixedSize = -1;
    // Of fixed layout with integer-like components only: complete entries compare inline.
    bool FAllComplete = false;
    std::vector<TPart> FParts;
};

}  // namespace tdb
