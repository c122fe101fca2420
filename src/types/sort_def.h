// Index definitions ("sort definitions"): the key components or the key
// expression of an index, its specification text and the packed 50-byte form
// that old index files and table headers keep.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "types/calculation.h"
#include "types/named_def.h"

namespace tdb {

class TTdbColumnDefs;

// One key component.
struct TTdbSortItem {
    std::uint8_t ColumnType = 0;  // column type code of the component
    std::int16_t ColumnNo = 0;    // 1-based; 0 for the key of an expression
    std::int16_t Size = 0;        // bytes of the component in the key
    bool Descending = false;

    bool operator==(const TTdbSortItem&) const = default;
};

inline constexpr int kTdbMaxSortItems = 256;
// Components that the packed form and tables below level 4 can hold.
inline constexpr int kTdbMaxVectorItems = 10;
inline constexpr std::size_t kTdbSortVectorSize = 50;
// Characters of an expression that fit into the packed form.
inline constexpr std::size_t kTdbMaxVectorSourceLength = 44;
// Bytes of the record number in front of every index key.
inline constexpr std::int32_t kTdbIndexRecordRefSize = 4;

using TTdbSortVector = std::array<std::byte, kTdbSortVectorSize>;

// How many key components a table of that level allows.
int MaxSortLevels(std::int16_t tableLevel) noexcept;
// Raises engine error 61 when a definition has more components than the
// table level allows; the table layer calls it before it accepts an index.
void CheckSortLevelCount(int levelCount, std::int16_t tableLevel);

class TTdbSortDef : public TTdbNamedDef {
public:
    // Empty: no components, entry size 4.
    explicit TTdbSortDef(std::u16string name = {});
    // From a specification text that the table layer resolves into components.
    TTdbSortDef(std::u16string name, std::u16string source, bool unique, bool calculated);
    // An expression index; its key size and type come from the calculation's
    // result type once that is known.
    TTdbSortDef(std::u16string name, std::unique_ptr<TTdbCalculation> calculation, bool unique);
    TTdbSortDef(const TTdbSortDef& other);
    TTdbSortDef& operator=(const TTdbSortDef& other);
    TTdbSortDef(TTdbSortDef&&) noexcept = default;
    TTdbSortDef& operator=(TTdbSortDef&&) noexcept = default;
    ~TTdbSortDef() override;

    std::unique_ptr<TTdbNamedDef> Clone() const override;

    // Not calculated, no components, no calculation.
    void Clear();
    // The calculation's source when there is one, else the specification text.
    std::u16string GetSource() const;

    // Appends a component. Raises engine error 61 beyond the 256 any table
    // allows; the stricter limit of old levels is CheckSortLevelCount's.
    void AddItem(std::int16_t columnNo, std::uint8_t columnType, std::int16_t size,
                 bool descending = false);

    TTdbCalculation* GetCalculation() const noexcept { return FCalculation.get(); }
    // Makes the definition calculated with this expression (the old one is freed).
    void SetCalculation(std::unique_ptr<TTdbCalculation> calculation);

    // Sum of the component sizes; an expression key has its stored size from
    // level 6 on and 256 bytes below.
    std::int32_t GetKeySize(std::int16_t tableLevel) const;
    // Entry size: the record number and the key.
    std::int32_t GetSize() const noexcept { return FSize; }
    void SetSize(std::int32_t size) noexcept { FSize = size; }
    void UpdateSize(std::int16_t tableLevel) {
        FSize = kTdbIndexRecordRefSize + GetKeySize(tableLevel);
    }

    // The specification text. WithSize 0 writes no lengths, 1 those that
    // shorten their column, 2 all of them. The table level that decides the
    // "@" of a procedural expression is that of the columns.
    std::u16string CalcSpecification(const TTdbColumnDefs& columnDefs, bool readable,
                                     bool fieldNumbers, int withSize, bool reverse) const;

    // Whether this index can deliver the order that indexDef asks for;
    // reverse tells that it has to be read backwards.
    bool Covers(const TTdbSortDef& indexDef, bool allowReverse, bool& reverse) const;
    bool Equals(const TTdbSortDef& indexDef, bool allowReverse, bool& reverse) const;

    // The packed form. Raises engine error 61 for more than 10 components and
    // 11 for an expression whose text does not fit, rather than cut either.
    void GetVectorData(std::span<std::byte, kTdbSortVectorSize> vectorData) const;
    // Replaces the definition by the packed one; the factory (may be null:
    // then only the text is kept) builds the expression. Raises engine error
    // 28 for a packed form no writer produces.
    void SetVectorData(std::span<const std::byte, kTdbSortVectorSize> vectorData,
                       TTdbExpressionFactory* createIndexCalculation, std::int16_t tableLevel);

    // Raises engine error 28 unless every component names one of the columns
    // and fits into its image; keys are built by copying those bytes.
    void CheckColumns(const TTdbColumnDefs& columnDefs) const;

    std::u16string FSource;
    bool IsUnique = false;
    bool IsVarSize = false;
    bool IsCalculated = false;
    std::int16_t LevelCount = 0;
    std::array<TTdbSortItem, kTdbMaxSortItems> Items{};
    std::unique_ptr<TTdbCalculation> FCalculation;
    std::int32_t FSize = kTdbIndexRecordRefSize;
};

using TTdbSortDefs = TTdbNamedDefList<TTdbSortDef>;

}  // namespace tdb
