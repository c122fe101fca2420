// Typed reading and writing of column values inside a record buffer laid out
// by a table's column definitions; a table forwards its column access here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "types/column_def.h"
#include "types/data_type.h"

namespace tdb {

// Column access over one column list. Holds a reference to the list, which
// must outlive it and may grow meanwhile; copies are cheap.
//
// Column numbers are 1-based. Every getter returns whether a value is present
// and clears its out value for NULL; every setter takes Undefined, which
// stores NULL: the indicator byte where the column has one (the value bytes
// stay), else the zero image by which Date, TimeStamp, Enum, Link, record-id
// and block-reference columns mean NULL; any other column refuses NULL
// (ETdbEngine 47) as its type does.
//
// Failures raise and leave the record as it was: a column number outside the
// list, a record buffer shorter than the record or a column whose definition
// does not fit the record raise ETdbEngine 49; a form the column's type
// cannot give or take raises ETdbEngine 44 ("Integer->Guid"); an integer that
// does not fit the form asked for, ETdbEngine 81. Text that does not parse
// and values out of a type's range fail as the types fail. Nothing is read or
// written outside the column's bytes.
//
// Memo, WideMemo and Blob columns hold only a block reference into the
// table's memo or blob file, whose contents this unit cannot see: they are
// reached through GetBlockIdx/SetBlockIdx and the value operations, where
// they read as the block-reference type (GetValueType); other forms raise 44.
// Relation columns have no bytes in the record and raise 44 for every form.
class TTdbRecordAccess {
public:
    // Raises ETdbEngine 49 for a level outside 1..6.
    TTdbRecordAccess(const TTdbColumnDefs& columnDefs, std::int16_t tableLevel);

    // ---- Layout ----

    const TTdbColumnDefs& GetColumnDefs() const noexcept { return *FColumnDefs; }
    std::int16_t GetLevel() const noexcept { return FLevel; }
    int GetColumnCount() const noexcept { return FColumnDefs->GetCount(); }
    std::int32_t GetRecordSize() const noexcept { return FColumnDefs->GetRecordSize(); }
    std::int32_t GetFieldPos(int fieldNo) const;
    std::int32_t GetFieldSize(int fieldNo) const;
    const TTdbDataType* GetDataType(int fieldNo) const;
    bool GetHasNullByte(int fieldNo) const;
    // The type of the values GetValue gives and PutValue references: the
    // column's own, or the block-reference type for Memo, WideMemo and Blob.
    const TTdbDataType* GetValueType(int fieldNo) const;

    // ---- Records ----

    // Zeroes the record's bytes; Date and TimeStamp columns that refuse NULL
    // get 1 January of year 1 (at time 0), the earliest value they can hold.
    void InitRecord(std::span<std::byte> record) const;
    // Column by column: both NULL, or both present with the same stored value
    // (strings by their characters in use, whatever lies after them).
    bool RecordFieldsEqual(std::span<const std::byte> rec1, std::span<const std::byte> rec2) const;
    bool IsNull(std::span<const std::byte> record, int fieldNo) const;
    void SetNull(std::span<std::byte> record, int fieldNo) const;
    // Copies the column's GetFieldSize bytes to Dest, which must hold them
    // (else ETdbEngine 49); the result is the null indicator.
    bool GetRecordField(std::span<const std::byte> record, int fieldNo,
                        std::span<std::byte> dest) const;

    // ---- Values ----

    // An owned copy of the column in Value (of GetValueType); a reference in
    // Value is dropped first, never written through.
    bool GetValue(std::span<const std::byte> record, int fieldNo, TTdbDataValue& value) const;
    // Value is of ValueType; another type than the column's converts as the
    // types convert without being told to (ETdbEngine 44 when they do not). A
    // NULL or never assigned Value stores NULL.
    void SetValue(std::span<std::byte> record, int fieldNo, const TTdbDataValue& value,
                  const TTdbDataType* valueType, bool undefined = false) const;
    // Makes Value a reference to the column's image: reading and writing it
    // reads and writes the record, so it must not outlive the buffer.
    bool PutValue(std::span<std::byte> record, int fieldNo, TTdbDataValue& value) const;

    // ---- Typed forms ----

    // Char, String and WideString columns; ANSI text is in the column's code
    // page. Longer text is cut to the column (a Char takes one character at
    // most and fails with "String too long" beyond).
    bool GetAnsiString(std::span<const std::byte> record, int fieldNo, std::string& value) const;
    void SetAnsiString(std::span<std::byte> record, int fieldNo, std::string_view value,
                       bool undefined = false) const;
    // Fills Value in place: without allocating when its capacity holds the text.
    bool GetWideString(std::span<const std::byte> record, int fieldNo, std::u16string& value) const;
    void SetWideString(std::span<std::byte> record, int fieldNo, std::u16string_view value,
                       bool undefined = false) const;

    // Integer forms read Integer-family and Enum columns directly and other
    // columns through the implicit conversions (Float rounds); a value that
    // does not fit the form raises ETdbEngine 81 rather than being cut.
    // Boolean reads any non-zero value as true.
    bool GetBoolean(std::span<const std::byte> record, int fieldNo, bool& value) const;
    void SetBoolean(std::span<std::byte> record, int fieldNo, bool value,
                    bool undefined = false) const;
    bool GetUInt8(std::span<const std::byte> record, int fieldNo, std::uint8_t& value) const;
    void SetUInt8(std::span<std::byte> record, int fieldNo, std::uint8_t value,
                  bool undefined = false) const;
    bool GetInt16(std::span<const std::byte> record, int fieldNo, std::int16_t& value) const;
    void SetInt16(std::span<std::byte> record, int fieldNo, std::int16_t value,
                  bool undefined = false) const;
    bool GetInt32(std::span<const std::byte> record, int fieldNo, std::int32_t& value) const;
    void SetInt32(std::span<std::byte> record, int fieldNo, std::int32_t value,
                  bool undefined = false) const;
    bool GetInt64(std::span<const std::byte> record, int fieldNo, std::int64_t& value) const;
    void SetInt64(std::span<std::byte> record, int fieldNo, std::int64_t value,
                  bool undefined = false) const;
    // Link and record-id values: 0 to 2147483647, where 0 in a Link or
    // record-id column is NULL.
    bool GetLink(std::span<const std::byte> record, int fieldNo, std::int32_t& value) const;
    void SetLink(std::span<std::byte> record, int fieldNo, std::int32_t value,
                 bool undefined = false) const;
    bool GetRecordId(std::span<const std::byte> record, int fieldNo, std::int32_t& value) const;
    void SetRecordId(std::span<std::byte> record, int fieldNo, std::int32_t value,
                     bool undefined = false) const;

    bool GetDouble(std::span<const std::byte> record, int fieldNo, double& value) const;
    void SetDouble(std::span<std::byte> record, int fieldNo, double value,
                   bool undefined = false) const;
    // Packed dates; a time stamp gives its date, and a date stored in a time
    // stamp column gets time 0.
    bool GetDate(std::span<const std::byte> record, int fieldNo, std::int32_t& value) const;
    void SetDate(std::span<std::byte> record, int fieldNo, std::int32_t value,
                 bool undefined = false) const;
    // Ticks (100 ns) since midnight.
    bool GetTicks(std::span<const std::byte> record, int fieldNo, std::int64_t& value) const;
    void SetTicks(std::span<std::byte> record, int fieldNo, std::int64_t value,
                  bool undefined = false) const;
    bool GetTimeStamp(std::span<const std::byte> record, int fieldNo, TTdbTimeStamp& value) const;
    void SetTimeStamp(std::span<std::byte> record, int fieldNo, const TTdbTimeStamp& value,
                      bool undefined = false) const;
    bool GetGuid(std::span<const std::byte> record, int fieldNo, TTdbGuid& value) const;
    void SetGuid(std::span<std::byte> record, int fieldNo, const TTdbGuid& value,
                 bool undefined = false) const;

    // The block reference of a Memo, WideMemo or Blob column; 0 is NULL.
    bool GetBlockIdx(std::span<const std::byte> record, int fieldNo, std::int32_t& value) const;
    void SetBlockIdx(std::span<std::byte> record, int fieldNo, std::int32_t value,
                     bool undefined = false) const;

    // The text forms of every column with a record image (numbers with ".",
    // dates as dd.mm.yyyy, ...). An empty text stores NULL in a column that is
    // not a string column. ANSI forms of non-string columns use the built-in
    // code page.
    bool GetAsStringA(std::span<const std::byte> record, int fieldNo, std::string& value) const;
    bool GetAsStringW(std::span<const std::byte> record, int fieldNo, std::u16string& value) const;
    void SetAsStringA(std::span<std::byte> record, int fieldNo, std::string_view value,
                      bool undefined = false) const;
    void SetAsStringW(std::span<std::byte> record, int fieldNo, std::u16string_view value,
                      bool undefined = false) const;

private:
    enum class Kind : std::uint8_t {
        None,  // a relation column: nothing in the record
        Block,
        Integer,
        Enum,
        Float,
        Char,
        String,
        Date,
        Time,
        TimeStamp,
        Guid,
    };

    // One column inside one record: where its image lies and how to read it.
    struct Slot {
        const TTdbColumnDef* def;
        const TTdbDataType* type;  // the value type
        std::uint8_t* image;
        Kind kind;
    };

    const TTdbColumnDef& Column(int fieldNo) const;
    Slot Locate(std::size_t bufferSize, const std::byte* record, int fieldNo) const;
    Slot Locate(std::span<const std::byte> record, int fieldNo) const;
    Slot Locate(std::span<std::byte> record, int fieldNo) const;
    void CheckBuffer(std::size_t bufferSize) const;
    // Every column of the record, as Locate checks one.
    void CheckColumns(std::span<const std::byte> record) const;

    bool SlotIsNull(const Slot& s) const;
    void StoreNull(const Slot& s) const;
    // Writes an owned value of the column's type over the column's image.
    static void Store(const Slot& s, const TTdbDataValue& owned);
    // Into Out as a value of Form; false for NULL.
    static bool ReadConverted(const Slot& s, const TTdbDataType* form, TTdbDataValue& out);
    // Value of Form converted into the column.
    static void WriteConverted(const Slot& s, const TTdbDataValue& value, const TTdbDataType* form);
    static bool SlotsEqual(const Slot& a, const Slot& b);

    bool ReadInteger(std::span<const std::byte> record, int fieldNo, TTdbColumnType form,
                     std::int64_t& value) const;
    // ReadInteger into a narrower integer; the form's range check keeps the value in range.
    template <typename T>
    bool ReadNarrow(std::span<const std::byte> record, int fieldNo, TTdbColumnType form,
                    T& value) const {
        std::int64_t wide = 0;
        const bool present = ReadInteger(record, fieldNo, form, wide);
        value = static_cast<T>(wide);
        return present;
    }
    void WriteInteger(std::span<std::byte> record, int fieldNo, TTdbColumnType form,
                      std::int64_t value, bool undefined) const;
    // The nullable type of this table level that a typed form reads and writes.
    const TTdbDataType* FormType(TTdbColumnType form) const;
    // The type to read the column with, having filled Cell: the column's own
    // (Cell references the record) when it is of kind Native, else Form's
    // type after conversion; null for NULL.
    const TTdbDataType* ReadAs(const Slot& s, Kind native, TTdbColumnType form,
                               std::u16string_view formName, TTdbDataValue& cell) const;
    // Put writes a cell with the column's type when it is of kind Native, else
    // with Form's type, converted into the column.
    template <typename Put>
    void WriteAs(const Slot& s, Kind native, TTdbColumnType form, std::u16string_view formName,
                 bool undefined, Put put) const;

    [[noreturn]] static void RaiseMismatch(const Slot& s, std::u16string_view form, bool reading);

    const TTdbColumnDefs* FColumnDefs;
    std::int16_t FLevel;
    const TTdbDataType* FBlockType;
};

}  // namespace tdb
