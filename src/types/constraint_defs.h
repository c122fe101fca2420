// The constraints of a table definition (checks, candidate keys, foreign
// keys) and its named user types.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "types/calculation.h"
#include "types/named_def.h"
#include "types/sort_def.h"

namespace tdb {

// Splits a comma list of column names. Blanks around an item go; a comma
// inside braces belongs to the name ("${A,B}" is one item).
std::vector<std::u16string> SplitColumnList(std::u16string_view columns);
// A name without a leading "$" and, when wrapped in them, without its braces.
std::u16string BareColumnName(std::u16string_view item);

// A named check constraint.
class TTdbCheckDef : public TTdbNamedDef {
public:
    TTdbCheckDef(std::u16string name, std::unique_ptr<TTdbCondition> condition);
    TTdbCheckDef(const TTdbCheckDef& other);
    TTdbCheckDef& operator=(const TTdbCheckDef&) = delete;
    ~TTdbCheckDef() override;

    std::unique_ptr<TTdbNamedDef> Clone() const override;

    TTdbCondition* GetCondition() const noexcept { return FCondition.get(); }
    void SetCondition(std::unique_ptr<TTdbCondition> condition) {
        FCondition = std::move(condition);
    }
    // Empty without a condition.
    std::u16string GetSource() const;

    std::unique_ptr<TTdbCondition> FCondition;
};

// The key record the engine call interface reports for a candidate key.
struct TTdbKeySpec {
    static constexpr std::size_t kMaxNameLength = 40;
    static constexpr std::size_t kMaxColumnsLength = 255;

    bool IsPrimary = false;
    std::u16string Name;     // at most kMaxNameLength characters
    std::u16string Columns;  // comma list, at most kMaxColumnsLength characters
};

// A primary or other unique key over a list of columns.
class TTdbCandidateKeyDef : public TTdbNamedDef {
public:
    TTdbCandidateKeyDef() = default;
    // Columns is a comma list; each item loses a leading "$" and its braces.
    TTdbCandidateKeyDef(std::u16string name, std::u16string_view columns, bool isPrimary);
    TTdbCandidateKeyDef(const TTdbCandidateKeyDef& other);
    TTdbCandidateKeyDef& operator=(const TTdbCandidateKeyDef&) = delete;
    ~TTdbCandidateKeyDef() override;

    std::unique_ptr<TTdbNamedDef> Clone() const override;

    bool GetIsPrimary() const noexcept { return FIsPrimary; }
    void SetIsPrimary(bool isPrimary) noexcept { FIsPrimary = isPrimary; }
    void AddColumnName(std::u16string name) { FColumnNames.push_back(std::move(name)); }
    int GetColumnCount() const noexcept { return static_cast<int>(FColumnNames.size()); }
    // Raises std::out_of_range outside the list.
    const std::u16string& GetColumnName(int index) const;
    // "A,B": names without a leading "$".
    std::u16string GetColumnNamesStr() const;
    // "${A},${B}".
    std::u16string GetColumnNamesTdb() const;
    TTdbKeySpec GetKeySpec() const;

    bool FIsPrimary = false;
    std::vector<std::u16string> FColumnNames;
    // Resolved when the table is opened.
    std::unique_ptr<TTdbSortDef> IndexDef;
};

enum TTdbForeignKeyAction : std::uint8_t {
    tiaReject = 0,
    tiaSetNull = 1,
    tiaSetDefault = 2,
    tiaCascade = 3
};

// Child columns that must match a candidate key of a parent table.
class TTdbForeignKeyDef : public TTdbNamedDef {
public:
    TTdbForeignKeyDef() = default;
    // Takes the comma lists as they are.
    static std::unique_ptr<TTdbForeignKeyDef> Create(
        std::u16string name, TTdbForeignKeyAction deleteAction, TTdbForeignKeyAction updateAction,
        std::u16string_view parentColumns, std::u16string parentTable, std::u16string_view columns);
    // Marks every column name of both lists with "$".
    static std::unique_ptr<TTdbForeignKeyDef> CreateStr(
        std::u16string name, TTdbForeignKeyAction deleteAction, TTdbForeignKeyAction updateAction,
        std::u16string_view parentColumns, std::u16string parentTable, std::u16string_view columns);

    std::unique_ptr<TTdbNamedDef> Clone() const override;

    const std::vector<std::u16string>& GetColumnNames() const noexcept { return FColumnNames; }
    const std::vector<std::u16string>& GetParentColumnNames() const noexcept {
        return FParentColumnNames;
    }
    const std::u16string& GetParentTableName() const noexcept { return FParentTableName; }
    TTdbForeignKeyAction GetUpdateAction() const noexcept { return FUpdateAction; }
    TTdbForeignKeyAction GetDeleteAction() const noexcept { return FDeleteAction; }

    // Names joined by "," without a leading "$".
    std::u16string GetColumnNamesStr() const;
    std::u16string GetParentColumnNamesStr() const;
    // "${A},${B}".
    std::u16string GetColumnNamesTdb() const;
    std::u16string GetParentColumnNamesTdb() const;
    // From a list in either form; the names are kept marked with "$".
    void SetColumnNamesTdb(std::u16string_view columns);
    void SetParentColumnNamesTdb(std::u16string_view columns);
    void SetParentTableName(std::u16string name) { FParentTableName = std::move(name); }
    void SetUpdateAction(TTdbForeignKeyAction action) noexcept { FUpdateAction = action; }
    void SetDeleteAction(TTdbForeignKeyAction action) noexcept { FDeleteAction = action; }

    std::vector<std::u16string> FColumnNames;
    std::u16string FParentTableName;
    std::vector<std::u16string> FParentColumnNames;
    TTdbForeignKeyAction FUpdateAction = tiaReject;
    TTdbForeignKeyAction FDeleteAction = tiaReject;
};

// A named user type (kept by tables of level 6).
class TTdbTypeDef : public TTdbNamedDef {
public:
    TTdbTypeDef() = default;
    TTdbTypeDef(std::u16string name, std::int16_t typeCode, std::int16_t superTypeCode)
        : TTdbNamedDef(std::move(name)), TypeCode(typeCode), SuperTypeCode(superTypeCode) {}

    std::unique_ptr<TTdbNamedDef> Clone() const override;

    std::int16_t TypeCode = 0;
    std::int16_t SuperTypeCode = 0;
};

using TTdbCheckDefs = TTdbNamedDefList<TTdbCheckDef>;
using TTdbCandidateKeyDefs = TTdbNamedDefList<TTdbCandidateKeyDef>;
using TTdbForeignKeyDefs = TTdbNamedDefList<TTdbForeignKeyDef>;
using TTdbTypeDefs = TTdbNamedDefList<TTdbTypeDef>;

}  // namespace tdb
