// The table dataset: one stored table opened by name through its database component, shown in
// the order of an index or of record numbers, searched by key, restricted to a key range.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "dataset/tdb_database.h"
#include "dataset/tdb_dataset.h"

namespace dataset {

enum class TTdbTableOpenMode { tomDefault, tomForce };
enum class TTdbLockType { tltWriteLock, tltTotalLock };

// Index definition options.
inline constexpr std::uint8_t ixPrimary = 1;
inline constexpr std::uint8_t ixUnique = 2;
inline constexpr std::uint8_t ixExpression = 16;

struct TIndexDef {
    std::u16string Name;
    std::u16string Fields;      // field names separated by ";"
    std::u16string DescFields;  // the descending ones, separated by ";"
    std::u16string Expression;
    std::uint8_t Options = 0;
};

// One value of a search key, given to the key field at its place.
using TKeyValue = std::variant<std::u16string, std::int64_t, double, bool>;

class TTdbTable : public TTdbDataSet {
public:
    explicit TTdbTable(TComponent* owner);
    ~TTdbTable() override;

    const std::u16string& TableName() const noexcept { return FTableName; }
    void SetTableName(const std::u16string& name);
    bool ReadOnly() const noexcept { return FReadOnly; }
    void SetReadOnly(bool value);
    bool Exclusive() const noexcept { return FExclusive; }
    void SetExclusive(bool value);
    const std::u16string& Password() const noexcept { return FPassword; }
    void SetPassword(const std::u16string& key) { FPassword = key; }
    std::int32_t TableLevelProperty() const noexcept { return TableLevel(); }
    // 1 to 6.
    void SetTableLevel(std::int32_t level);
    TTdbTableOpenMode OpenMode() const noexcept { return FOpenMode; }
    void SetOpenMode(TTdbTableOpenMode mode) { FOpenMode = mode; }
    TTdbFlushMode FlushMode() const noexcept { return FFlushMode; }
    void SetFlushMode(TTdbFlushMode mode) { FFlushMode = mode; }
    const std::u16string& Collation() const noexcept { return FCollation; }
    std::int32_t EncryptionMethod() const noexcept { return FEncryptionMethod; }
    std::int32_t Capacity() const noexcept { return FCapacity; }
    const std::u16string& FulltextIndexName() const noexcept { return FFulltextIndexName; }
    void SetFulltextIndexName(const std::u16string& name) { FFulltextIndexName = name; }
    void SetWordFilter(const std::u16string& words) { SetWordFilterValue(words); }

    // True while open; else whether the database has a table of that name.
    bool Exists();
    std::u16string GetTableFileName();
    // The file part of the table name in upper case, without its data file extension.
    std::u16string GetShortName() const;

    // ---- Index selection and key search ----
    const std::u16string& IndexName() const noexcept { return FIndexName; }
    void SetIndexName(const std::u16string& name);
    const std::u16string& IndexFieldNames() const noexcept { return FIndexFieldNames; }
    void SetIndexFieldNames(const std::u16string& names);
    const std::vector<TIndexDef>& IndexDefs() const noexcept { return FIndexDefs; }
    void UpdateIndexDefs();
    std::vector<std::u16string> GetIndexNames();

    bool FindKey(const std::vector<TKeyValue>& values);
    void FindNearest(const std::vector<TKeyValue>& values);
    void SetKey();
    void EditKey();
    bool GotoKey();
    void GotoNearest();
    void SetRangeStart();
    void EditRangeStart();
    void SetRangeEnd();
    void EditRangeEnd();
    void SetRange(const std::vector<TKeyValue>& startValues,
                  const std::vector<TKeyValue>& endValues);
    void ApplyRange();
    void CancelRange();

    // ---- Editing ----
    void AppendCopy();
    void LockTable(TTdbLockType type);
    void UnlockTable(TTdbLockType type);

protected:
    void OpenTdbCursor() override;
    void InstallFilter(const std::u16string& text, const std::u16string& words,
                       std::uint8_t options) override;
    void InternalOpen() override;
    void InternalClose() override;

private:
    // Orders by an index name or by field names, keeping the current record.
    void ChangeOrder(const std::u16string& order, bool byFieldNames);
    void SelectIndex(const std::u16string& name);
    void SelectFieldNames(const std::u16string& names);
    // The current record stays current after the order changed.
    void KeepRecordAfterOrderChange(std::int32_t recNo);
    std::vector<TField*> KeyFields();
    void FillKeyBuffer(TKeyIndex index, const std::vector<TKeyValue>& values, bool clear);
    void BeginSetKey(TKeyIndex index, bool clear);
    std::int32_t LocateWithLookup(std::int16_t itemCount, bool exactAsked, bool& exact,
                                  std::u16string_view context);
    std::u16string SearchIndexName();
    void ApplyRangeWith(std::int16_t startCount, std::int16_t endCount);
    std::int16_t RltnHdl() const noexcept { return FRltnHdl; }

    std::u16string FTableName;
    std::int16_t FRltnHdl = 0;
    bool FReadOnly = false;
    bool FExclusive = false;
    std::u16string FPassword;
    std::u16string FIndexName;
    std::u16string FIndexFieldNames;
    std::vector<TIndexDef> FIndexDefs;
    std::u16string FFulltextIndexName;
    std::u16string FCollation;
    std::int32_t FEncryptionMethod = 0;
    std::int32_t FCapacity = 10000000;
    TTdbFlushMode FFlushMode = TTdbFlushMode::tfmDefault;
    std::int32_t FTableLevelWanted = 6;
    TTdbTableOpenMode FOpenMode = TTdbTableOpenMode::tomDefault;
};

}  // namespace dataset
