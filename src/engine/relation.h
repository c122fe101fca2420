// Relations: anything the engine reads records from and writes records to. The base class owns
// the column definitions, the index numbering and the typed access to values in record buffers;
// stored tables and views derive from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/services.h"
#include "index/index_file.h"
#include "index/index_keys.h"
#include "types/column_def.h"
#include "types/data_value.h"
#include "types/sort_def.h"

namespace tdb {

using TTdbIndexNo = std::int16_t;
inline constexpr TTdbIndexNo kTdbNoIndex = -1;
inline constexpr TTdbIndexNo kTdbMaxIndexNo = 50;
inline constexpr std::uint8_t kTdbNoIndexNo8 = 255;

// Rights word of an open relation.
inline constexpr std::uint16_t kRightAppend = 0x0001;
inline constexpr std::uint16_t kRightIndex = 0x0008;
inline constexpr std::uint16_t kRightsWrite = 0x000F;
inline constexpr std::uint16_t kRightExclusive = 0x0100;
inline constexpr std::uint16_t kRightDeepFlush = 0x0200;
inline constexpr std::uint16_t kRightSharedReadOnly = 0x0400;

// Options of FindIndex.
inline constexpr std::uint8_t tifoExact = 0x01;
inline constexpr std::uint8_t tifoNoOpen = 0x02;
inline constexpr std::uint8_t tifoCreate = 0x04;
inline constexpr std::uint8_t tifoNoReverse = 0x08;
inline constexpr std::uint8_t tifoIncludeSpecial = 0x10;

// What a relation tells the accessors open on it.
class IRelationListener {
public:
    virtual ~IRelationListener() = default;
    virtual std::u16string GetTag() const = 0;
    // Record D was deleted and the record formerly at M now stands at D.
    virtual void RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) = 0;
    virtual void RecordChanged(std::int32_t recNo) = 0;
    virtual void RelationChanged() = 0;
    virtual void RelationEmptied() = 0;
    // False vetoes giving up the index while the accessor orders by it.
    virtual bool CanRemoveIndex(TTdbIndexNo indexNo) = 0;
    virtual void IndexRemoved(TTdbIndexNo indexNo) = 0;
    virtual bool IsEditing(std::int32_t recNo) = 0;
};
