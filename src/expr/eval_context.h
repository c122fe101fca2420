// What a condition needs from the table it filters: its columns by name and
// the current record's values. The table accessors implement it; the
// condition binds names once while preparing and reads values per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/data_type.h"

namespace tdb {

class TTdbSortDef;

// An open index of a table that a static filter may scan.
struct TTdbOpenIndex {
    std::int32_t IndexNo = -1;
    const TTdbSortDef* Definition = nullptr;
};

// A bound column: enough for the context to find the value again without a
// name lookup.
struct TTdbColumnHandle {
    const TTdbDataType* DataType = nullptr;  // the column's own type (Memo stays Memo)
    std::int32_t ColumnNo = -1;
    std::int32_t TableNo = 0;  // which of the context's tables
};

class TTdbEvalContext {
public:
    virtual ~TTdbEvalContext() = default;

    // The column named ColumnName (any case), in the table named TableName
    // when that is not empty; false when there is none.
    virtual bool FindColumn(std::u16string_view tableName, std::u16string_view columnName,
                            TTdbColumnHandle& handle) = 0;
    // Makes Value the current record's value of the column, in the column's
    // type, NULL included. Called once per record and column: it should
    // point Value at the record image rather than copy it.
    virtual void ReadColumn(const TTdbColumnHandle& handle, TTdbDataValue& value) = 0;
    // The locale's decimal separator, tried for numbers when local formats
    // are asked for.
    virtual char16_t GetDecimalSeparator() const { return u','; }
    // With local formats, literals met by date, time and time stamp columns
    // are read by the locale's rules first; nothing when the text is not in
    // the locale's form (the engine's own forms are tried next).
    virtual std::optional<std::int32_t> LocalDateFromText(std::u16string_view) const {
        return std::nullopt;
    }
    virtual std::optional<std::int64_t> LocalTimeFromText(std::u16string_view) const {
        return std::nullopt;
    }
    virtual std::optional<TTdbTimeStamp> LocalTimeStampFromText(std::u16string_view) const {
        return std::nullopt;
    }

    // CURRENTRECORDID: a number for the table named TableName (any case) that
    // GetCurrentRecordId takes, or -1 when the context has no such table.
    virtual std::int32_t FindRecordIdTable(std::u16string_view /*tableName*/) { return -1; }
    // The record id of that table's current record; nothing without one.
    virtual std::optional<std::int32_t> GetCurrentRecordId(std::int32_t /*tableNo*/) {
        return std::nullopt;
    }
    // "Now" for CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP: the local
    // wall clock unless a context fixes it.
    virtual TTdbTimeStamp GetLocalTimeStamp() const;
    // The name of weekday Day (1 Monday ... 7 Sunday) in the locale of the
    // process.
    virtual std::u16string GetWeekDayName(int day) const;
    // ---- Indexes a static filter may scan (the defaults: none) ----

    // The open indexes of table TableNo, in index-number order.
    virtual std::vector<TTdbOpenIndex> GetOpenIndexes(std::int32_t /*tableNo*/) { return {}; }
    // Creates a temporary index of table TableNo with Definition when the database allows
    // automatic index creation; its index number, or a negative number when it does not
    // or creating fails.
    virtual std::int32_t CreateTempIndex(std::int32_t /*tableNo*/,
                                         const TTdbSortDef& /*definition*/) {
        return -1;
    }
    // The bound entry of index IndexNo: the first Values.size() components hold those
    // values (each in its component column's type), the others their type's minimum
    // (lower bound) or maximum (Upper), the other way round for descending components;
    // record number 1 for the lower and 2147483647 for the upper bound.
    virtual void BuildBoundEntry(std::int32_t /*tableNo*/, std::int32_t /*indexNo*/,
                                 std::span<const TTdbDataValue> /*values*/, bool /*upper*/,
                                 std::vector<std::byte>& entry) {
        entry.clear();
    }
};

}  // namespace tdb
