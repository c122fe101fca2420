// Whether an index definition fits its table: its components against the columns, an
// expression key against the expression's result, and the entry size against the level.
#pragma once

#include <cstdint>

#include "types/sort_def.h"

namespace tdb {

class TTdbColumnDefs;

// The component code of a link index: the record id of the linked record, 4 bytes.
inline constexpr std::uint8_t kTdbLinkComponentType = 25;

// Column types an index component may be made of: all but Memo, Blob, Relation and WideMemo.
bool IsIndexableColumnType(std::int16_t columnType) noexcept;
// The largest entry (record number and key) an index of that table level may have.
std::int32_t MaxIndexEntrySize(std::int16_t tableLevel) noexcept;

// Raises the reason a definition cannot serve the table: engine error 98 with the index name
// for an expression key that does not match its (compiled) expression or a definition without
// components, with "Level n" for a component naming no column, with the column name for a
// component of the wrong type, an unindexable column or a wrong size; 117 for variable-size
// keys below level 6; 61 for more components than the level allows; 11 with the readable
// specification for an entry size outside 1..512 (levels 1 to 3) or 1..32767.
void CheckIndexDefinition(const TTdbSortDef& indexDef, const TTdbColumnDefs& columnDefs,
                          std::int16_t tableLevel);

}  // namespace tdb
