// Column definitions of a table and the ordered list of them that fixes the
// byte layout of its records.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "types/calculation.h"
#include "types/data_type.h"

namespace tdb {

class TdwStream;

// Option bits of a column. Only the low 16 bits are used; the low byte is
// what the engine call interface reports.
using TTdbColumnOptions = std::uint32_t;
// The calculation is a formula evaluated when records are written; clear: a
// default value applied when a record is initialised.
inline constexpr TTdbColumnOptions cdoFormula = 0x01;
// The column has a value range (stored by table levels 1 to 4).
inline constexpr TTdbColumnOptions cdoValueRange = 0x02;
// With cdoFormula: evaluated only when a record is appended.
inline constexpr TTdbColumnOptions cdoAppendOnly = 0x04;
// The column image carries a null indicator byte.
inline constexpr TTdbColumnOptions cdoNullByte = 0x08;
inline constexpr TTdbColumnOptions cdoNullable = 0x20;
// Record-id columns: the record-id index is unique.
inline constexpr TTdbColumnOptions cdoUniqueId = 0x40;

// Moments at which a column's calculation runs.
enum TTdbCalculationPurpose : std::uint8_t {
    clpInitialization = 0,
    clpAppending = 1,
    clpUpdating = 2
};
using TTdbCalculationPurposes = std::bitset<3>;

inline constexpr int kTdbMaxColumnNameLength = 40;
inline constexpr int kTdbMaxColumns = 1000;
// Records must stay below this many bytes.
inline constexpr std::int32_t kTdbRecordSizeLimit = 32768;

class TTdbColumnDef {
public:
    TTdbColumnDef(std::u16string name, const TTdbDataType* dataType, TTdbColumnOptions options);
    // Copies every field and clones the calculation.
    TTdbColumnDef(const TTdbColumnDef& other);
    TTdbColumnDef& operator=(const TTdbColumnDef&) = delete;
    virtual ~TTdbColumnDef();

    // The definition for every column type but a String or WideString that
    // gets a collation of its own: bit 0x08 follows the type's null byte (never
    // for Memo, Blob, WideMemo); the null type becomes a nullable Byte. Null
    // for codes that have no definition (14, 15, above 21).
    static std::unique_ptr<TTdbColumnDef> CreateColumnDef(std::u16string name,
                                                          const TTdbDataType* dataType,
                                                          TTdbColumnOptions options);
    static std::unique_ptr<TTdbColumnDef> CreateStringColumnDef(std::u16string name,
                                                                const TTdbDataType* dataType,
                                                                TTdbColumnOptions options,
                                                                std::u16string collationName);
    static bool MayBeNullable(TTdbColumnType columnType, std::int16_t tableLevel) noexcept {
        return TTdbDataType::MayBeNullable(columnType, tableLevel);
    }
    // The bytes a column of that type occupies in a record.
    static std::int16_t ColumnSize(const TTdbDataType* dataType);

    virtual std::unique_ptr<TTdbColumnDef> Clone() const;
    // Moves the column to the type of another table level.
    virtual void SetTableLevel(std::int16_t level);
    // The transfer form: type reference (not restored), name, options, size,
    // then what the subclass adds.
    virtual void SaveToStream(TdwStream& s) const;
    // Raises EdwStreamError for a stream that ends early or holds lengths no
    // writer produces; the definition is unchanged then.
    virtual void LoadFromStream(TdwStream& s);

    // A column that may not be nullable at TableLevel stays not nullable.
    void SetNullable(bool value, std::int16_t tableLevel);

    TTdbColumnType GetColumnType() const noexcept { return DataType->GetColumnType(); }
    bool GetNullable() const noexcept { return (Options & cdoNullable) != 0; }
    bool GetHasNullByte() const noexcept { return (Options & cdoNullByte) != 0; }
    // From a string type; empty or 0 otherwise.
    std::u16string GetCollation() const;
    std::uint32_t GetLocaleId() const noexcept;
    TStrCmpOptions GetStrCmpOptions() const noexcept;

    TTdbCalculation* GetCalculation() const noexcept { return FCalculation.get(); }
    // Empty without a calculation.
    std::u16string GetCalculationSource() const;
    void SetCalculation(std::unique_ptr<TTdbCalculation> calculation);
    TTdbCalculationPurposes GetCalculationPurposes() const;

    std::unique_ptr<TTdbCalculation> FCalculation;
    std::u16string Name;
    const TTdbDataType* DataType;
    std::int16_t Size = 0;
    TTdbColumnOptions Options;
    std::int32_t Position = 0;
    TTdbRltnIdx BaseRltnIdx = 0;
    std::int16_t BaseFieldNo = 0;

protected:
    // Swaps in another type and recomputes Size.
    void SetDataType(const TTdbDataType* dataType);

    // Each class's part of the transfer form; loading reads into a copy that
    // replaces the definition only when everything was read.
    virtual void SaveExtra(TdwStream& s) const;
    virtual void LoadExtra(TdwStream& s);
};

// Char, String, Memo, WideString, WideMemo.
class TTdbTextColumnDef : public TTdbColumnDef {
public:
    TTdbTextColumnDef(std::u16string name, const TTdbDataType* dataType, TTdbColumnOptions options,
                      std::u16string collationName);

    std::unique_ptr<TTdbColumnDef> Clone() const override;
    // The maximum length in characters; kUnboundedLength for Memo and WideMemo.
    std::int32_t GetMaxLen() const noexcept;

    std::u16string FCollationName;
};

// Float.
class TTdbNumberColumnDef : public TTdbColumnDef {
public:
    TTdbNumberColumnDef(std::u16string name, const TTdbDataType* dataType,
                        TTdbColumnOptions options);

    std::unique_ptr<TTdbColumnDef> Clone() const override;
    void SetTableLevel(std::int16_t level) override;
    // Swaps in the float type with that scale.
    void SetScale(std::int16_t scale);

    std::int32_t FPrecision = 0;
    std::int32_t FScale = 0;

protected:
    void SaveExtra(TdwStream& s) const override;
    void LoadExtra(TdwStream& s) override;

private:
    void ReadType();
};

// Time.
class TTdbTimeColumnDef : public TTdbColumnDef {
public:
    TTdbTimeColumnDef(std::u16string name, const TTdbDataType* dataType, TTdbColumnOptions options);

    std::unique_ptr<TTdbColumnDef> Clone() const override;

    std::int16_t FPrecision = 0;

protected:
    void SaveExtra(TdwStream& s) const override;
    void LoadExtra(TdwStream& s) override;
};

// Enum.
class TTdbEnumColumnDef : public TTdbColumnDef {
public:
    TTdbEnumColumnDef(std::u16string name, const TTdbDataType* dataType, TTdbColumnOptions options);
    // Builds the enum type from the names separated by ","; nullable when the
    // options say so.
    TTdbEnumColumnDef(std::u16string name, std::u16string_view enumNames, TTdbColumnOptions options,
                      std::int16_t tableLevel);

    std::unique_ptr<TTdbColumnDef> Clone() const override;
    void SetTableLevel(std::int16_t level) override;

    // The names joined by Separator.
    std::u16string CalcEnumValueList(char16_t separator) const;
    // A one-character text whose code is 1 to 15 is that value; anything else
    // is looked up by name. -1 for a name the enumeration lacks.
    int GetEnumValue(std::u16string_view enumText) const;

    std::vector<std::u16string> FEnumNames;

protected:
    void SaveExtra(TdwStream& s) const override;
    void LoadExtra(TdwStream& s) override;

private:
    void ReadType();
};

// AutoInc: the column that holds the record id.
class TTdbRecordIdColumnDef : public TTdbColumnDef {
public:
    TTdbRecordIdColumnDef(std::u16string name, const TTdbDataType* dataType,
                          TTdbColumnOptions options, std::u16string indexSpec = {});

    std::unique_ptr<TTdbColumnDef> Clone() const override;

    bool GetUniqueIdInfo() const noexcept { return (Options & cdoUniqueId) != 0; }
    void SetUniqueIdInfo(bool unique) noexcept;
    void SetIndexSpec(std::u16string indexSpec) { IndexSpec = std::move(indexSpec); }

    std::u16string IndexSpec;
    // The first record id a new table hands out; ids start at 1 because 0 is NULL.
    std::int32_t StartValue = 1;

protected:
    void SaveExtra(TdwStream& s) const override;
    void LoadExtra(TdwStream& s) override;
};

// Link and Relation: columns that refer to another table.
class TTdbAdlColumnDef : public TTdbColumnDef {
public:
    TTdbAdlColumnDef(std::u16string name, const TTdbDataType* dataType, TTdbColumnOptions options,
                     std::u16string linkedTable = {});

    std::unique_ptr<TTdbColumnDef> Clone() const override;
    std::int32_t GetStartValue() const noexcept { return 1; }

    std::u16string LinkedTable;
    // Filled when the table is opened; never stored.
    TTdbRltnIdx LinkedRltnIdx = 0;
    TTdbRltnIdx RelatedRltnIdx = 0;
    TTdbIndexNo LinkIndexNo = 0;
    std::int16_t LinkColumnNo = 0;

protected:
    void SaveExtra(TdwStream& s) const override;
    void LoadExtra(TdwStream& s) override;
};

// The columns of a table in order; column numbers elsewhere are 1-based
// positions in this list. Adding refuses a column beyond 1000 or one that
// would take the record to 32768 bytes or more (engine error 59), so no
// table can be built with a layout its files cannot hold.
class TTdbColumnDefs {
public:
    TTdbColumnDefs() = default;
    TTdbColumnDefs(const TTdbColumnDefs& other);
    TTdbColumnDefs& operator=(const TTdbColumnDefs& other);
    TTdbColumnDefs(TTdbColumnDefs&&) noexcept = default;
    TTdbColumnDefs& operator=(TTdbColumnDefs&&) noexcept = default;
    ~TTdbColumnDefs();

    // Appends, lays out the new column and returns its 0-based index.
    int Add(std::unique_ptr<TTdbColumnDef> columnDef);
    // Through CreateColumnDef; raises std::invalid_argument for a type that
    // has no column definition.
    int Add(std::u16string name, const TTdbDataType* dataType, TTdbColumnOptions options);
    // Frees the old definition and lays out the columns from Index on.
    void Replace(int index, std::unique_ptr<TTdbColumnDef> columnDef);
    // Lays out all columns again.
    void ColumnDefChanged();
    // Leaves the positions as they are; callers follow with ColumnDefChanged.
    void Delete(int index);
    void Clear() noexcept { FColumns.clear(); }

    // 0-based index of the column of that name, or -1.
    int Find(std::u16string_view name) const;
    TTdbColumnDef* FindFirst(TTdbColumnType columnType) const;
    // 0-based; raises std::out_of_range outside the list.
    TTdbColumnDef* GetColumnDef(int index) const;
    int GetCount() const noexcept { return static_cast<int>(FColumns.size()); }
    std::int32_t GetRecordSize() const noexcept;
    // The level of the table the columns' types belong to; that of new tables
    // while there are none.
    std::int16_t GetTableLevel() const noexcept;

    // Raises engine error 59 unless a table may have that many columns and
    // records of that size.
    static void CheckLimits(std::int64_t columnCount, std::int64_t recordSize);

private:
    void LayOutFrom(int index) noexcept;
    std::int64_t SizeSum() const noexcept;

    std::vector<std::unique_ptr<TTdbColumnDef>> FColumns;
};

}  // namespace tdb
