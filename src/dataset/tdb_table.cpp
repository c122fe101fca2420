// The table dataset: opening a stored table, its index definitions, searching by key and key
// ranges.
#include "dataset/tdb_table.h"

#include <algorithm>
#include <array>

#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "dataset/tdb_database.h"
#include "dataset/text_case.h"

namespace dataset {

namespace {

using namespace tdb::api;

constexpr std::int16_t kMaxIndexText = 1023;
constexpr std::int16_t kAllItems = 256;

std::u16string WithoutIndexExtension(std::u16string name) {
    for (std::u16string_view ext : {std::u16string_view(u".ind"), std::u16string_view(u".tdbi")}) {
        if (EndsWithText(name, ext)) {
            name.resize(name.size() - ext.size());
            break;
        }
    }
    return name;
}

std::u16string Trimmed(std::u16string_view text) {
    const auto first = text.find_first_not_of(u' ');
    if (first == std::u16string_view::npos)
        return {};
    const auto last = text.find_last_not_of(u' ');
    return std::u16string(text.substr(first, last - first + 1));
}

// Splits at Separator; items enclosed in "{" "}" are taken whole, without the braces.
std::vector<std::u16string> SplitItems(std::u16string_view text, char16_t separator) {
    std::vector<std::u16string> items;
    std::u16string item;
    int depth = 0;
    for (char16_t c : text) {
        if (c == u'{') {
            ++depth;
            continue;
        }
        if (c == u'}') {
            depth = std::max(0, depth - 1);
            continue;
        }
        if (c == separator && depth == 0) {
            items.push_back(Trimmed(item));
            item.clear();
        } else {
            item += c;
        }
    }
    if (!Trimmed(item).empty() || !items.empty())
        items.push_back(Trimmed(item));
    return items;
}

// Field names separated by ";", double-quoted names taken whole.
std::vector<std::u16string> SplitFieldList(std::u16string_view text) {
    std::vector<std::u16string> names;
    std::u16string name;
    bool quoted = false;
    for (char16_t c : text) {
        if (c == u'"') {
            quoted = !quoted;
        } else if (c == u';' && !quoted) {
            names.push_back(Trimmed(name));
            name.clear();
        } else {
            name += c;
        }
    }
    if (!Trimmed(name).empty())
        names.push_back(Trimmed(name));
    return names;
}

// A column of an index description without the length that shortens it ("TELEP:10").
std::u16string ColumnOf(std::u16string_view item) {
    const auto colon = item.rfind(u':');
    if (colon != std::u16string_view::npos &&
        item.find_first_not_of(u"0123456789", colon + 1) == std::u16string_view::npos)
        item = item.substr(0, colon);
    return Trimmed(item);
}

std::u16string Joined(const std::vector<std::u16string>& items, std::u16string_view separator) {
    std::u16string out;
    for (const std::u16string& item : items) {
        if (!out.empty())
            out += separator;
        out += item;
    }
    return out;
}

}  // namespace

TTdbTable::TTdbTable(TComponent* owner) : TTdbDataSet(owner) {}

TTdbTable::~TTdbTable() {
    // Closing needs this class's overrides; the framework's destructor runs without them.
    try {
        Close();
    } catch (...) {
    }
}

void TTdbTable::SetTableName(const std::u16string& name) {
    if (Loading()) {
        FTableName = name;
        return;
    }
    if (name == FTableName)
        return;
    CheckInactive();
    FTableName = name;
    DataEvent(TDataEvent::deLayoutChange);
}

void TTdbTable::SetReadOnly(bool value) {
    CheckInactive();
    FReadOnly = value;
}

void TTdbTable::SetExclusive(bool value) {
    CheckInactive();
    FExclusive = value;
}

void TTdbTable::SetTableLevel(std::int32_t level) {
    if (level < 1 || level > 6)
        DatabaseErrorFmt(u"Invalid table level %d", {level});
    FTableLevelWanted = level;
}

bool TTdbTable::Exists() {
    if (Active())
        return true;
    TTdbDatabase* database = TTdbDatabase::FindDatabase(DatabaseName());
    if (database == nullptr || !database->Connected())
        return false;
    return TdbSessExistsTable(database->SessionHdl(), FTableName.c_str()) == 1;
}

std::u16string TTdbTable::GetTableFileName() {
    if (!Active())
        return FTableName;
    TTdbTableInfo info{};
    Check(TdbRltnGetTableInfo(FRltnHdl, info), u"Retrieving table info");
    return std::u16string(FixedText(info.FileName));
}

std::u16string TTdbTable::GetShortName() const {
    std::u16string name = FTableName;
    const auto slash = name.find_last_of(u"/\\");
    if (slash != std::u16string::npos)
        name.erase(0, slash + 1);
    for (std::u16string_view ext : {std::u16string_view(u".dat"), std::u16string_view(u".tdbt")}) {
        if (EndsWithText(name, ext)) {
            name.resize(name.size() - ext.size());
            break;
        }
    }
    std::transform(name.begin(), name.end(), name.begin(), FoldCase);
    return name;
}

// ---- Opening ----

void TTdbTable::OpenTdbCursor() {
    if (FDatabase == nullptr) {
        FDatabase = TTdbDatabase::FindDatabase(DatabaseName());
        if (FDatabase == nullptr)
            FDatabase = &TTdbDatabase::CreateAutomatic(DatabaseName());
    }
    if (!FDatabase->Connected())
        FDatabase->SetConnected(true);
    if (FTableName.empty())
        DatabaseErrorFmt(u"No table name defined for \"%s\".", {Name()});

    const bool force = FOpenMode == TTdbTableOpenMode::tomForce;
    std::int16_t rltn = FDatabase->OpenRelation(
        FTableName, FPassword,
        FDatabase->RightsWord(TTdbAccessRights::All(), FExclusive, FFlushMode), force);
    if (rltn == tdb::kTdbCannotOpenTable && !FReadOnly && !FDatabase->ReadOnly()) {
        // A table whose files cannot be written opens for reading.
        rltn = FDatabase->OpenRelation(FTableName, FPassword,
                                       FDatabase->RightsWord({}, FExclusive, FFlushMode), force);
    }
    if (rltn < 1)
        TdbCheck(rltn < 0 ? rltn : tdb::kTdbCannotOpenTable, FDatabase->SessionHdl(),
                 FormatText(u"Opening table \"%s\"", {FTableName}));
    FRltnHdl = rltn;

    const std::u16string cursorName =
        Name().empty() ? std::u16string(u"VCLTable_") : u"VCLTable_For_" + FTableName;
    const std::int16_t hdl = TdbTableCreate(rltn, cursorName.c_str());
    if (hdl <= 0)
        TdbCheck(hdl < 0 ? hdl : tdb::kTdbEngineError, FDatabase->SessionHdl(),
                 FormatText(u"Opening TableDB table %s", {FTableName}));
    FTableHdl = hdl;
    FCanModify = TdbTableCanModify(hdl) > 0;
    TdbTableSetChangeCallback(hdl, &TTdbDatabase::TableChanged);
    FDatabase->RegisterClient(this);
}

void TTdbTable::InternalOpen() {
    TTdbDataSet::InternalOpen();
    TTdbTableInfo info{};
    if (TdbRltnGetTableInfo(FRltnHdl, info) >= 0) {
        FCollation = std::u16string(FixedText(info.Language));
        FEncryptionMethod = info.EncryptionMethod;
        FCapacity = info.Capacity;
    }
    FCanModify = FCanModify && !FReadOnly;
    UpdateIndexDefs();
    if (!FIndexFieldNames.empty())
        SelectFieldNames(FIndexFieldNames);
    else if (!FIndexName.empty())
        SelectIndex(FIndexName);
    InternalFirst();
}

void TTdbTable::InternalClose() {
    TTdbDataSet::InternalClose();
    FRltnHdl = 0;
}

void TTdbTable::InstallFilter(const std::u16string& text, const std::u16string& words,
                              std::uint8_t options) {
    TTdbDataSet::InstallFilter(text, words, options);
    if (words.empty())
        return;
    // Older tables keep their words in a keyword table of their own, which this dataset does
    // not open.
    if (TableLevel() < 4)
        DatabaseError(u"Keyword table must be defined and active for keyword filtering");
    Check(TdbTableSetWordFilter(FTableHdl, FFulltextIndexName.c_str(), words.c_str(),
                                text.empty() ? 1 : 6),
          u"Setting word filter");
    FFilterUpdated = true;
}

// ---- Index definitions ----

void TTdbTable::UpdateIndexDefs() {
    FIndexDefs.clear();
    std::array<char16_t, kMaxIndexText + 1> names{};
    Check(TdbRltnGetIndexNames(FRltnHdl, names.data(), kMaxIndexText), u"Retrieving index names");
    for (const std::u16string& name : SplitItems(names.data(), u',')) {
        if (name.empty())
            continue;
        TIndexDef def;
        def.Name = name;
        std::array<char16_t, kMaxIndexText + 1> desc{};
        const std::int16_t kind =
            TdbRltnGetIndexDesc(FRltnHdl, name.c_str(), desc.data(), kMaxIndexText, true, 1);
        const std::u16string text = desc.data();
        if (kind < 0) {
            def.Expression = u"CORRUPT: DELETE AND RECREATE";
        } else if (!text.empty() && text.front() == u'(') {
            def.Expression = text.size() >= 2 ? text.substr(1, text.size() - 2) : std::u16string();
            def.Options |= ixExpression;
        } else if (!text.empty()) {
            std::vector<std::u16string> fields;
            std::vector<std::u16string> descending;
            for (std::u16string item : SplitItems(text, u',')) {
                const bool desc = !item.empty() && item.front() == u'-';
                if (desc)
                    item.erase(0, 1);
                item = ColumnOf(item);
                if (desc)
                    descending.push_back(item);
                fields.push_back(item);
            }
            def.Fields = Joined(fields, u";");
            def.DescFields = Joined(descending, u";");
        }
        if (kind == 2)
            def.Options |= ixPrimary | ixUnique;
        else if (kind == 1)
            def.Options |= ixUnique;
        FIndexDefs.push_back(std::move(def));
    }
}

std::vector<std::u16string> TTdbTable::GetIndexNames() {
    if (Active())
        UpdateIndexDefs();
    std::vector<std::u16string> names;
    for (const TIndexDef& def : FIndexDefs)
        names.push_back(def.Name);
    return names;
}

// ---- Index selection ----

void TTdbTable::SetIndexName(const std::u16string& name) {
    ChangeOrder(name, false);
}

void TTdbTable::SetIndexFieldNames(const std::u16string& names) {
    ChangeOrder(names, true);
}

void TTdbTable::ChangeOrder(const std::u16string& order, bool byFieldNames) {
    std::u16string& chosen = byFieldNames ? FIndexFieldNames : FIndexName;
    std::u16string& other = byFieldNames ? FIndexName : FIndexFieldNames;
    if (order == chosen && other.empty())
        return;
    if (Active()) {
        CheckBrowseMode();
        const std::int32_t recNo = ActiveRecordNo();
        if (byFieldNames)
            SelectFieldNames(order);
        else
            SelectIndex(order);
        chosen = order;
        other.clear();
        KeepRecordAfterOrderChange(recNo);
        return;
    }
    chosen = order;
    other.clear();
}

void TTdbTable::SelectIndex(const std::u16string& name) {
    const std::u16string bare = WithoutIndexExtension(name);
    const std::int16_t result = TdbTableSetIndex(FTableHdl, bare.c_str(), false);
    if (result == tdb::kTdbIndexDoesNotExist)
        DatabaseErrorFmt(u"The index %s does not exist", {name});
    if (result != 0)
        Check(result < 0 ? result : tdb::kTdbEngineError,
              FormatText(u"The index %s does not exist", {name}));
}

void TTdbTable::SelectFieldNames(const std::u16string& names) {
    std::u16string order = names;
    std::replace(order.begin(), order.end(), u';', u',');
    if (order.empty()) {
        Check(TdbTableSetIndex(FTableHdl, u"", false), u"Setting index field names");
        return;
    }
    Check(TdbTableSetSortOrder(FTableHdl, order.c_str()), u"Setting index field names");
}

void TTdbTable::KeepRecordAfterOrderChange(std::int32_t recNo) {
    if (recNo > 0 && TdbTableSetRecNo(FTableHdl, recNo) == recNo) {
        FOutOfTableState = TOutOfTableState::ootNone;
        CursorPosChanged();
        Resync(false, false);
        return;
    }
    First();
}

// ---- Key fields and key buffers ----

std::vector<TField*> TTdbTable::KeyFields() {
    std::vector<std::u16string> names;
    if (FIndexName.empty() && FIndexFieldNames.empty())
        DatabaseError(u"This operation requires an active index.");
    if (!FIndexName.empty()) {
        const std::u16string bare = WithoutIndexExtension(FIndexName);
        auto find = [&](std::u16string_view wanted) -> const TIndexDef* {
            for (const TIndexDef& def : FIndexDefs) {
                if (SameText(def.Name, wanted))
                    return &def;
            }
            return nullptr;
        };
        const TIndexDef* def = find(bare);
        if (def == nullptr) {
            std::array<char16_t, 45> real{};
            if (TdbRltnGetRealIndexName(FRltnHdl, bare.c_str(), real.data(), 44) >= 0)
                def = find(WithoutIndexExtension(real.data()));
        }
        if (def == nullptr)
            DatabaseErrorFmt(u"The index %s does not exist", {FIndexName});
        names = SplitFieldList(def->Fields);
    } else {
        std::array<char16_t, 41> access{};
        Check(TdbTableGetAccess(FTableHdl, access.data(), 40), u"Retrieven active index name");
        std::array<char16_t, kMaxIndexText + 1> desc{};
        Check(TdbRltnGetIndexDesc(FRltnHdl, access.data(), desc.data(), kMaxIndexText, false, 0),
              u"Retrieven active index name");
        std::u16string text = desc.data();
        std::replace(text.begin(), text.end(), u'$', u' ');
        for (const std::u16string& item : SplitItems(text, u','))
            names.push_back(ColumnOf(item.starts_with(u"-") ? item.substr(1) : item));
    }
    std::vector<TField*> fields;
    for (const std::u16string& name : names)
        fields.push_back(&FieldByName(name));
    return fields;
}

void TTdbTable::FillKeyBuffer(TKeyIndex index, const std::vector<TKeyValue>& values, bool clear) {
    const std::vector<TField*> fields = KeyFields();
    if (values.size() > fields.size())
        DatabaseErrorFmt(u"Active index has only %d fields", {static_cast<int>(fields.size())});
    if (clear)
        ClearKeyBuffer(index);
    const TKeyIndex savedIndex = CurrentKeyIndex();
    SetCurrentKeyIndex(index);
    const TDataSetState saved = SetTempState(TDataSetState::dsSetKey);
    try {
        for (std::size_t i = 0; i < values.size(); ++i) {
            TField& field = *fields[i];
            std::visit(
                [&](const auto& value) {
                    using T = std::decay_t<decltype(value)>;
                    if constexpr (std::is_same_v<T, std::u16string>)
                        field.SetAsString(value);
                    else if constexpr (std::is_same_v<T, std::int64_t>)
                        field.SetAsInteger(value);
                    else if constexpr (std::is_same_v<T, double>)
                        field.SetAsFloat(value);
                    else
                        field.SetAsBoolean(value);
                },
                values[i]);
        }
    } catch (...) {
        RestoreState(saved);
        SetCurrentKeyIndex(savedIndex);
        throw;
    }
    RestoreState(saved);
    SetCurrentKeyIndex(savedIndex);
}

void TTdbTable::BeginSetKey(TKeyIndex index, bool clear) {
    CheckBrowseMode();
    SetCurrentKeyIndex(index);
    if (clear)
        ClearKeyBuffer(index);
    SetState(TDataSetState::dsSetKey);
    DataEvent(TDataEvent::deDataSetChange);
}

void TTdbTable::SetKey() {
    BeginSetKey(TKeyIndex::kiLookup, true);
}

void TTdbTable::EditKey() {
    BeginSetKey(TKeyIndex::kiLookup, false);
}

void TTdbTable::SetRangeStart() {
    BeginSetKey(TKeyIndex::kiRangeStart, true);
}

void TTdbTable::EditRangeStart() {
    BeginSetKey(TKeyIndex::kiRangeStart, false);
}

void TTdbTable::SetRangeEnd() {
    BeginSetKey(TKeyIndex::kiRangeEnd, true);
}

void TTdbTable::EditRangeEnd() {
    BeginSetKey(TKeyIndex::kiRangeEnd, false);
}

// ---- Searching ----

std::u16string TTdbTable::SearchIndexName() {
    if (!FIndexName.empty())
        return WithoutIndexExtension(FIndexName);
    // An order by field names searches the index that gives it.
    std::array<char16_t, 41> access{};
    if (TdbTableGetAccess(FTableHdl, access.data(), 40) < 0)
        return {};
    return access.data();
}

std::int32_t TTdbTable::LocateWithLookup(std::int16_t itemCount, bool exactAsked, bool& exact,
                                         std::u16string_view context) {
    const std::u16string index = SearchIndexName();
    exact = exactAsked;
    const std::int32_t found = TdbTableLocateRec2(
        FTableHdl, index.c_str(), KeyBuffer(TKeyIndex::kiLookup), RecordSize(), itemCount, exact);
    Check(found, context);
    return found;
}

void TTdbTable::GotoNearest() {
    CheckBrowseMode();
    CursorPosChanged();
    bool exact = false;
    if (LocateWithLookup(kAllItems, false, exact, u"Searching nearest record") == 0) {
        Last();
        return;
    }
    FOutOfTableState = TOutOfTableState::ootNone;
    DoBeforeScroll();
    Resync(true, true);
    DoAfterScroll();
}

void TTdbTable::FindNearest(const std::vector<TKeyValue>& values) {
    CheckBrowseMode();
    FillKeyBuffer(TKeyIndex::kiLookup, values, false);
    GotoNearest();
}

bool TTdbTable::FindKey(const std::vector<TKeyValue>& values) {
    CheckBrowseMode();
    if (FIndexName.empty() && FIndexFieldNames.empty())
        DatabaseError(u"GotoKey needs an active index");
    FillKeyBuffer(TKeyIndex::kiLookup, values, true);
    bool exact = true;
    if (LocateWithLookup(static_cast<std::int16_t>(values.size()), true, exact,
                         u"Searching record by key") == 0) {
        // The engine kept its position, and the window stays as it was.
        return false;
    }
    FOutOfTableState = TOutOfTableState::ootNone;
    DoBeforeScroll();
    Resync(true, true);
    DoAfterScroll();
    return true;
}

bool TTdbTable::GotoKey() {
    CheckBrowseMode();
    if (FIndexName.empty() && FIndexFieldNames.empty())
        DatabaseError(u"GotoKey needs an active index");
    CursorPosChanged();
    bool exact = true;
    if (LocateWithLookup(kAllItems, true, exact, u"Searching record by key") == 0)
        return false;
    FOutOfTableState = TOutOfTableState::ootNone;
    DoBeforeScroll();
    Resync(true, true);
    DoAfterScroll();
    return true;
}

// ---- Ranges ----

void TTdbTable::SetRange(const std::vector<TKeyValue>& startValues,
                         const std::vector<TKeyValue>& endValues) {
    CheckBrowseMode();
    FillKeyBuffer(TKeyIndex::kiRangeStart, startValues, true);
    FillKeyBuffer(TKeyIndex::kiRangeEnd, endValues, true);
    ApplyRangeWith(static_cast<std::int16_t>(startValues.size()),
                   static_cast<std::int16_t>(endValues.size()));
}

void TTdbTable::ApplyRange() {
    CheckBrowseMode();
    ApplyRangeWith(0, 0);
}

void TTdbTable::ApplyRangeWith(std::int16_t startCount, std::int16_t endCount) {
    const std::int16_t result =
        TdbTableSetRange(FTableHdl, KeyBuffer(TKeyIndex::kiRangeStart),
                         KeyBuffer(TKeyIndex::kiRangeEnd), RecordSize(), startCount, endCount);
    Check(result, u"Setting range");
    if (result == 0)
        First();
}

void TTdbTable::CancelRange() {
    CheckBrowseMode();
    UpdateCursorPos();
    const std::int32_t recNo = ActiveRecordNo();
    Check(TdbTableClearRange(FTableHdl), u"Clearing range");
    KeepRecordAfterOrderChange(recNo);
}

// ---- Editing ----

void TTdbTable::AppendCopy() {
    CheckActive();
    FCopyBaseRecordNo = ActiveRecordNo();
    try {
        Append();
    } catch (...) {
        FCopyBaseRecordNo = 0;
        throw;
    }
    FCopyBaseRecordNo = 0;
}

void TTdbTable::LockTable(TTdbLockType type) {
    CheckActive();
    Check(TdbTableLock(FTableHdl, type == TTdbLockType::tltTotalLock ? 2 : 1, 100),
          FormatText(u"Locking table %s", {FTableName}));
}

void TTdbTable::UnlockTable(TTdbLockType type) {
    CheckActive();
    Check(TdbTableUnlock(FTableHdl, type == TTdbLockType::tltTotalLock ? 2 : 1),
          FormatText(u"Unlocking table %s", {FTableName}));
}

}  // namespace dataset
