// The catalog of a session: relation slots, table names and paths, opening, creating, deleting
// and renaming tables, and the unlock thread.
#include "engine/catalog.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/relation.h"
#include "engine/table_names.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "storage/data_file.h"
#include "storage/file_system.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "storage/table_flush.h"
#include "types/collation.h"
#include "types/data_type.h"

namespace tdb {

namespace {

constexpr std::u16string_view kSysPrefix = u"sys_";
constexpr std::u16string_view kSysUserTables = u"sys_UserTables";
constexpr std::u16string_view kSysUserColumns = u"sys_UserColumns";
constexpr auto kUnlockPeriod = std::chrono::milliseconds(5);

bool IsSystemName(std::u16string_view name) {
    return StartsWithTableText(TableNameFromFileName(name), kSysPrefix);
}

bool IsTableExtension(std::u16string_view extension) {
    return SameAsciiText(extension, u".dat") || SameAsciiText(extension, u".tdbt") ||
           SameAsciiText(extension, u".rel");
}

std::u16string DirectoryOf(std::u16string_view path) {
    return std::u16string(path.substr(0, FileNameStart(path)));
}

// The rights a user's open gets from the open mode of the database.
std::uint16_t DeriveRights(std::uint16_t rights, const TTdbCatalog& catalog) {
    if (catalog.ReadOnly())
        rights &= static_cast<std::uint16_t>(~kRightsWrite);
    if (catalog.Exclusive())
        rights |= kRightExclusive;
    if (catalog.SharedReadOnly() && (rights & kRightsWrite) == 0)
        rights |= kRightSharedReadOnly;
    else
        rights &= static_cast<std::uint16_t>(~kRightSharedReadOnly);
    if (catalog.DeepFlush())
        rights |= kRightDeepFlush;
    return rights;
}

std::uint32_t RandomNumber() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::uint32_t>(0, 2147483646u)(generator);
}

}  // namespace

TTdbCatalog::TTdbCatalog(TTdbServices& services) : FServices(services) {}

TTdbCatalog::~TTdbCatalog() {
    try {
        Close();
    } catch (...) {
        // Closing reports through the last error; nothing is left to tell here.
    }
}

// ---- Life cycle ----

void TTdbCatalog::Open() {
    FManagementLevel = tmlUnmanaged;
    TdwFileSystem* fileSystem = FServices.DataFileSystem();
    if (fileSystem == nullptr)
        RaiseEngineError(kTdbErrFileNotFound, {FLocation});
    for (std::u16string_view extension : {u".tdbt", u".dat"}) {
        if (fileSystem->FileExists(std::u16string(kSysUserTables) + std::u16string(extension)) &&
            fileSystem->FileExists(std::u16string(kSysUserColumns) + std::u16string(extension)))
            FManagementLevel = tmlManaged;
    }
    FOpen = true;
    try {
        if (FManagementLevel == tmlManaged) {
            for (std::u16string_view name : {kSysUserTables, kSysUserColumns}) {
                if (TryOpenTable(name, {}, kAllWriteRights, false, false) <= 0)
                    RaiseNonCritical();
            }
            OpenAllTables();
        }
        FServices.PageManager().RegisterClient(FServices.FSessionHdl, FCacheSize);
        FClientRegistered = true;
        StartUnlockThread();
    } catch (...) {
        Close();
        throw;
    }
}

void TTdbCatalog::Close() {
    StopUnlockThread();
    {
        std::lock_guard guard(FRelationListSync);
        // Views first: they read through the tables they show.
        for (const bool views : {true, false}) {
            for (int rltnIdx = kMaxRelations; rltnIdx >= 1; --rltnIdx) {
                const auto& relation = FRelations[static_cast<std::size_t>(rltnIdx - 1)];
                if (relation && relation->IsStoredTable() != views)
                    CloseRelation(rltnIdx);
            }
        }
    }
    // The tables rolled back what a transaction still running had changed.
    FServices.FIsolationLevel = tilNone;
    if (FClientRegistered) {
        FServices.PageManager().UnregisterClient(FServices.FSessionHdl, FCacheSize);
        FClientRegistered = false;
    }
    FOpen = false;
}

void TTdbCatalog::StartUnlockThread() {
    {
        std::lock_guard guard(FUnlockMutex);
        FUnlockStop = false;
    }
    FUnlockThread = std::thread([this] { UnlockThreadRun(); });
}

void TTdbCatalog::StopUnlockThread() {
    if (!FUnlockThread.joinable())
        return;
    {
        std::lock_guard guard(FUnlockMutex);
        FUnlockStop = true;
    }
    FUnlockWake.notify_all();
    FUnlockThread.join();
}

// ---- Transactions ----

std::int16_t TTdbCatalog::BeginTransaction() {
    if (FServices.FIsolationLevel != tilNone)
        return FServices.SetLastError(kTdbErrTransactionRunning);
    FServices.FIsolationLevel = tilReadCommited;
    return 0;
}

std::int16_t TTdbCatalog::EndTransaction(bool commit) {
    if (FServices.FIsolationLevel == tilNone)
        return 0;
    std::lock_guard guard(FRelationListSync);
    for (auto& relation : FRelations) {
        if (relation && relation->GetActive() &&
            (relation->CountReadLocks() > 0 || relation->CountWriteLocks() > 1))
            return FServices.SetLastError(kTdbErrLocksOnTable, {relation->GetName()});
    }
    const TTdbIsolationLevel isolation = FServices.FIsolationLevel;
    FServices.FIsolationLevel = tilNone;
    std::int16_t result = 0;
    for (auto& relation : FRelations) {
        auto* table = dynamic_cast<TTdbBaseTable*>(relation.get());
        if (table == nullptr || !table->GetActive())
            continue;
        result = commit ? table->CommitModifications() : table->UndoModifications();
        if (result < 0)
            break;
    }
    if (result < 0 && commit) {
        // A commit that could not write keeps the transaction running, its logs and locks
        // with it: ended here, a table would keep a log that defers every later flush, and
        // its lock would go back with changes nobody else can read. The caller commits again
        // or rolls back.
        FServices.FIsolationLevel = isolation;
        return result;
    }
    for (auto& relation : FRelations)
        if (auto* table = dynamic_cast<TTdbBaseTable*>(relation.get()))
            table->ReleaseKeptLocks();
    return result;
}

std::int16_t TTdbCatalog::AcquireLocks(std::span<const std::int16_t> rltnIdxs, bool write) {
    std::vector<TTdbRelation*> taken;
    const std::size_t count = std::min<std::size_t>(rltnIdxs.size(), kMaxRelations);
    for (std::size_t i = 0; i < count && rltnIdxs[i] >= 0; ++i) {
        if (rltnIdxs[i] == 0)
            continue;
        TTdbRelation* relation = GetRelation(rltnIdxs[i]);
        if (relation == nullptr) {
            ReleaseLocks(taken, write);
            return FServices.SetLastError(kTdbErrInvalidParameter, {u"RltnIdx"});
        }
        const std::int16_t result = write ? relation->BeginWrite(true) : relation->BeginRead(true);
        if (result < 0) {
            ReleaseLocks(taken, write);
            return result;
        }
        taken.push_back(relation);
    }
    return 0;
}

std::int16_t TTdbCatalog::AcquireReadLocks(std::span<const std::int16_t> rltnIdxs) {
    return AcquireLocks(rltnIdxs, false);
}

std::int16_t TTdbCatalog::AcquireWriteLocks(std::span<const std::int16_t> rltnIdxs) {
    return AcquireLocks(rltnIdxs, true);
}

void TTdbCatalog::ReleaseLocks(const std::vector<TTdbRelation*>& taken, bool write) {
    for (auto it = taken.rbegin(); it != taken.rend(); ++it)
        write ? (*it)->EndWrite() : (*it)->EndRead();
}

void TTdbCatalog::UnlockThreadRun() {
    std::unique_lock lock(FUnlockMutex);
    while (!FUnlockWake.wait_for(lock, kUnlockPeriod, [this] { return FUnlockStop; })) {
        lock.unlock();
        {
            std::lock_guard guard(FRelationListSync);
            const std::uint64_t tickCount = platform::GetTickCount();
            for (auto& relation : FRelations) {
                if (auto* table = dynamic_cast<TTdbBaseTable*>(relation.get())) {
                    try {
                        table->CheckUnlock(tickCount);
                    } catch (...) {
                        // One table's failure must not stop the others' unlocking.
                    }
                }
            }
        }
        lock.lock();
    }
}

// ---- Relation slots ----

int TTdbCatalog::GetFreeRltnIdx() const {
    for (int i = 0; i < kMaxRelations; ++i)
        if (!FRelations[static_cast<std::size_t>(i)])
            return i + 1;
    return 0;
}

bool TTdbCatalog::IsValidRltnIdx(int rltnIdx) const {
    return rltnIdx >= 1 && rltnIdx <= kMaxRelations &&
           FRelations[static_cast<std::size_t>(rltnIdx - 1)] != nullptr;
}

bool TTdbCatalog::IsActiveRltnIdx(int rltnIdx) const {
    return IsValidRltnIdx(rltnIdx) && FRelations[static_cast<std::size_t>(rltnIdx - 1)]->GetActive();
}

TTdbRelation* TTdbCatalog::GetRelation(int rltnIdx) const {
    return IsValidRltnIdx(rltnIdx) ? FRelations[static_cast<std::size_t>(rltnIdx - 1)].get()
                                   : nullptr;
}

int TTdbCatalog::FindRltnIdx(std::u16string_view name) const {
    for (int i = 0; i < kMaxRelations; ++i) {
        const auto& relation = FRelations[static_cast<std::size_t>(i)];
        if (relation && relation->IsSameTableName(name))
            return i + 1;
    }
    return 0;
}

TTdbRelation* TTdbCatalog::FindRelation(std::u16string_view name) const {
    return GetRelation(FindRltnIdx(name));
}

int TTdbCatalog::RelationCount() const {
    return static_cast<int>(
        std::count_if(FRelations.begin(), FRelations.end(), [](const auto& r) { return r != nullptr; }));
}

int TTdbCatalog::MaxRltnIdx() const {
    for (int i = kMaxRelations; i >= 1; --i)
        if (FRelations[static_cast<std::size_t>(i - 1)])
            return i;
    return 0;
}

int TTdbCatalog::AddRelation(std::unique_ptr<TTdbRelation> relation) {
    int rltnIdx = GetFreeRltnIdx();
    if (rltnIdx == 0) {
        CloseUnneededTables(true, false);
        rltnIdx = GetFreeRltnIdx();
    }
    if (rltnIdx == 0) {
        CloseUnneededTables(false, false);
        rltnIdx = GetFreeRltnIdx();
    }
    if (rltnIdx == 0)
        return FServices.SetLastError(kTdbErrTooManyTables);
    std::lock_guard guard(FRelationListSync);
    relation->SetRltnIdx(rltnIdx);
    FRelations[static_cast<std::size_t>(rltnIdx - 1)] = std::move(relation);
    return rltnIdx;
}

void TTdbCatalog::FreeRelation(int rltnIdx) {
    if (rltnIdx < 1 || rltnIdx > kMaxRelations)
        return;
    std::unique_ptr<TTdbRelation> relation;
    {
        std::lock_guard guard(FRelationListSync);
        relation = std::move(FRelations[static_cast<std::size_t>(rltnIdx - 1)]);
    }
}

std::int16_t TTdbCatalog::TryCloseRelation(int rltnIdx, bool /*withRelFields*/, bool remove) {
    TTdbRelation* relation = GetRelation(rltnIdx);
    if (relation == nullptr)
        return 0;
    std::int16_t result;
    {
        std::lock_guard guard(FRelationListSync);
        result = relation->GetActive() ? relation->Close() : 0;
    }
    const bool temporary = relation->Temporary;
    const std::u16string fileName = relation->GetFullName();
    if (result == 0 && remove)
        FreeRelation(rltnIdx);
    // A temporary table lives only while it is open.
    if (result == 0 && temporary) {
        if (TdwFileSystem* fileSystem = FServices.DetermineFileSystem(DirectoryOf(fileName)))
            fileSystem->DeleteFile(fileName);
    }
    return result;
}

void TTdbCatalog::CloseRelation(int rltnIdx, bool withRelFields, bool remove) {
    const std::int16_t result = TryCloseRelation(rltnIdx, withRelFields, remove);
    if (result < 0 && remove)
        FreeRelation(rltnIdx);
}

std::int16_t TTdbCatalog::CloseKeepingLastError(int rltnIdx) {
    const std::int16_t code = FServices.LastError().LastErrorCode();
    const std::u16string message = FServices.LastError().LastErrorMsg();
    CloseRelation(rltnIdx);
    FServices.LastError().SetLastErrorMsg(code, message);
    return static_cast<std::int16_t>(-code);
}

void TTdbCatalog::CloseUnneededTables(bool temporaryOnly, bool includeSystem) {
    bool closed = true;
    while (closed) {
        closed = false;
        for (int rltnIdx = 1; rltnIdx <= kMaxRelations; ++rltnIdx) {
            TTdbRelation* relation = GetRelation(rltnIdx);
            if (relation == nullptr || relation->InUse())
                continue;
            if (temporaryOnly && !relation->Temporary)
                continue;
            if (!includeSystem && StartsWithTableText(relation->StdName(), kSysPrefix))
                continue;
            if (TryCloseRelation(rltnIdx, false, true) == 0)
                closed = true;
        }
    }
}

// ---- Table names and paths ----

std::u16string TTdbCatalog::TablePath(std::u16string_view name, std::int16_t level,
                                      bool relFile) const {
    std::u16string path(name);
    if (FileExtension(path).empty())
        path += relFile ? u".rel" : (level >= 6 ? u".tdbt" : u".dat");
    return path;
}

// The path of an existing table file: the name as given, then, without an extension, with
// ".dat" and ".tdbt" in the asked order; each the exact name first, then a name of the
// directory that differs only in case. Empty when there is none.
std::u16string TTdbCatalog::FindExistingTablePath(std::u16string_view name,
                                                  bool tdbtFirst) const {
    TdwFileSystem* fileSystem = FServices.DetermineFileSystem(DirectoryOf(name));
    if (fileSystem == nullptr)
        return {};
    std::vector<std::u16string> candidates;
    if (!FileExtension(name).empty()) {
        candidates.emplace_back(name);
    } else if (tdbtFirst) {
        candidates = {std::u16string(name) + u".tdbt", std::u16string(name) + u".dat"};
    } else {
        candidates = {std::u16string(name) + u".dat", std::u16string(name) + u".tdbt"};
    }
    for (const std::u16string& candidate : candidates) {
        if (fileSystem->FileExists(candidate))
            return candidate;
        const std::u16string directory = DirectoryOf(candidate);
        const std::u16string_view wanted = std::u16string_view(candidate).substr(directory.size());
        TdwFindFileRec rec;
        std::u16string found;
        if (fileSystem->FindFirstFile(directory + u"*.*", 0, rec)) {
            do {
                if ((rec.Attr & kAttrDirectory) == 0 && SameTableText(rec.Name, wanted)) {
                    found = directory + rec.Name;
                    break;
                }
            } while (fileSystem->FindNextFile(rec));
            fileSystem->FindFileClose(rec);
        }
        if (!found.empty())
            return found;
    }
    return {};
}

bool TTdbCatalog::ExistsTable(std::u16string_view tablePath) {
    return !FindExistingTablePath(tablePath, true).empty();
}

std::vector<std::u16string> TTdbCatalog::GetTableNames() {
    std::vector<std::u16string> names;
    if (FManagementLevel == tmlManaged) {
        TTdbRelation* tables = FindRelation(kSysUserTables);
        if (tables == nullptr)
            return names;
        std::vector<std::byte> record(static_cast<std::size_t>(tables->GetRecordSize()));
        const int nameNo = tables->FindColumn(u"Name", false);
        const TTdbColumnDef* column =
            nameNo > 0 ? tables->ColumnDefs().GetColumnDef(nameNo - 1) : nullptr;
        for (std::int32_t recNo = tables->GetFirstRecordNo(); column != nullptr && recNo > 0;
             recNo = tables->GetNextRecordNo(recNo)) {
            if (tables->ReadRecord(recNo, record) < 0)
                break;
            TTdbDataValue value;
            column->DataType->SetReference(value, record.data() + column->Position);
            if (!column->DataType->IsNull(value))
                names.push_back(column->DataType->GetWideString(value));
        }
        return names;
    }
    TdwFileSystem* fileSystem = FServices.DataFileSystem();
    if (fileSystem == nullptr)
        return names;
    TdwFindFileRec rec;
    if (fileSystem->FindFirstFile(u"*.*", 0, rec)) {
        do {
            if ((rec.Attr & kAttrDirectory) == 0 && IsTableExtension(FileExtension(rec.Name)) &&
                !StartsWithTableText(rec.Name, kSysPrefix))
                names.push_back(TableNameFromFileName(rec.Name));
        } while (fileSystem->FindNextFile(rec));
        fileSystem->FindFileClose(rec);
    }
    return names;
}

// ---- Opening tables ----

int TTdbCatalog::OpenTable(std::u16string_view storagePath, std::u16string_view key,
                           std::uint16_t rights, bool /*withRelTables*/, bool force,
                           bool internal) {
    if (GetFreeRltnIdx() == 0)
        CloseUnneededTables(false, false);
    if (GetFreeRltnIdx() == 0)
        return FServices.SetLastError(kTdbErrTooManyTables);
    const std::u16string standardName = TableNameFromFileName(storagePath);
    for (const auto& relation : FRelations) {
        if (relation && SameTableText(relation->StdName(), standardName))
            return FServices.SetLastError(kTdbErrTableAlreadyOpen, {standardName});
    }
    const std::u16string path = FindExistingTablePath(storagePath, false);
    if (path.empty()) {
        if (FManagementLevel == tmlManaged || !IsSystemName(storagePath))
            return FServices.SetLastError(kTdbErrFileNotFound, {TablePath(storagePath, 6, false)});
        return OpenSystemView(standardName);
    }
    if (!internal)
        rights = DeriveRights(rights, *this);
    auto table = std::make_unique<TTdbBaseTable>(FServices);
    TTdbBaseTable& opened = *table;
    opened.SetParentResolver([this](std::u16string_view name,
                                    std::uint16_t parentRights) -> TTdbRelation* {
        if (TTdbRelation* open = FindRelation(name))
            return open;
        const int parent = OpenTable(name, {}, parentRights, false, false, true);
        return parent > 0 ? GetRelation(parent) : nullptr;
    });
    opened.SetRights(rights);
    opened.SetFileName(path);
    opened.SetKey(key.empty() ? FKey : std::u16string(key));
    const int rltnIdx = AddRelation(std::move(table));
    if (rltnIdx <= 0)
        return rltnIdx;
    std::int16_t result = opened.Open(force);
    if (result == -kTdbErrNoWriteAccess && (rights & kRightsWrite) != 0) {
        opened.SetRights(static_cast<std::uint16_t>(rights & ~kRightsWrite));
        result = opened.Open(force);
    }
    if (result == 0)
        result = opened.Setup(force);
    if (result < 0) {
        CloseKeepingLastError(rltnIdx);
        return result;
    }
    return rltnIdx;
}

int TTdbCatalog::TryOpenTable(std::u16string_view tableName, std::u16string_view key,
                              std::uint16_t rights, bool withRelTables, bool mustBeWritable,
                              bool force) {
    std::u16string currentKey(key);
    int result = OpenTable(tableName, currentKey, rights, withRelTables, force, false);
    if (result == -kTdbErrFileNotFound && !mustBeWritable && (rights & kRightsWrite) != 0 &&
        !FindExistingTablePath(tableName, false).empty()) {
        result =
            OpenTable(tableName, currentKey, static_cast<std::uint16_t>(rights & ~kRightsWrite),
                      withRelTables, force, false);
    }
    while (result == -kTdbErrInvalidCredentials && FServices.FPasswordCallback) {
        if (!FServices.FPasswordCallback(tableName, currentKey))
            break;
        result = OpenTable(tableName, currentKey, rights, withRelTables, force, false);
    }
    return result;
}

int TTdbCatalog::AddTable(std::u16string_view tableFileName, std::u16string_view key,
                          std::uint16_t rights, bool force) {
    const int rltnIdx = OpenTable(tableFileName, key, rights, false, force, false);
    if (rltnIdx <= 0 || FManagementLevel != tmlManaged || IsSystemName(tableFileName))
        return rltnIdx;
    const std::int16_t registered = RegisterTable(rltnIdx, key);
    return registered < 0 ? registered : rltnIdx;
}

int TTdbCatalog::OpenVirtualRelation(std::u16string_view name, int baseRltnIdx) {
    TTdbRelation* base = GetRelation(baseRltnIdx);
    if (base == nullptr || !base->GetActive())
        return FServices.SetLastError(kTdbErrTableNotFound, {NumberText(baseRltnIdx)});
    if (FindRltnIdx(name) != 0)
        return FServices.SetLastError(kTdbErrTableAlreadyOpen, {std::u16string(name)});
    auto view = std::make_unique<TTdbVirtualRelation>(FServices, std::u16string(name), *base);
    TTdbRelation& opened = *view;
    const int rltnIdx = AddRelation(std::move(view));
    if (rltnIdx <= 0)
        return rltnIdx;
    const std::int16_t result = opened.Open(false);
    if (result < 0) {
        FreeRelation(rltnIdx);
        return result;
    }
    return rltnIdx;
}

void TTdbCatalog::OpenAllTables() {
    for (const std::u16string& name : GetTableNames()) {
        if (FindRltnIdx(name) == 0)
            OpenTable(name, {}, kAllWriteRights, false, false, false);
    }
}

// ---- Rows of the catalog's own tables ----

namespace {

// One value of a row the catalog writes: null, a number or a text.
struct TCell {
    bool Null = true;
    std::int64_t Number = 0;
    std::u16string Text;

    static TCell Of(std::int64_t number) { return {false, number, {}}; }
    static TCell Of(std::u16string text) { return {false, 0, std::move(text)}; }
    static TCell None() { return {}; }
};

// A column of a table the catalog makes: WideString of the given length at level 6, or a
// number, Boolean or enumeration.
struct TSysColumn {
    std::u16string_view Name;
    TTdbColumnType Type = ctWideString;
    std::int32_t Length = 40;
    bool Nullable = false;
    std::u16string_view EnumNames = {};
    TTdbColumnOptions Options = 0;
};

void AddSysColumns(TTdbColumnDefs& columns, std::span<const TSysColumn> specs) {
    for (const TSysColumn& spec : specs) {
        std::unique_ptr<TTdbColumnDef> column;
        if (spec.Type == ctWideString) {
            column = TTdbColumnDef::CreateStringColumnDef(
                std::u16string(spec.Name),
                TTdbDataType::GetStringType(ctWideString, spec.Nullable, spec.Length, u""),
                spec.Options, u"");
        } else if (spec.Type == ctEnum) {
            column = TTdbColumnDef::CreateColumnDef(
                std::u16string(spec.Name),
                TTdbDataType::GetEnumType(spec.Name, spec.EnumNames, u',', 0, spec.Nullable),
                spec.Options);
        } else {
            column = TTdbColumnDef::CreateColumnDef(
                std::u16string(spec.Name), TTdbDataType::GetDataType(spec.Type, spec.Nullable),
                spec.Options);
        }
        if (spec.Nullable)
            column->SetNullable(true, kCurrentTableLevel);
        columns.Add(std::move(column));
    }
}

void WriteRow(const TTdbColumnDefs& columns, std::span<std::byte> record,
              std::span<const TCell> cells) {
    std::fill(record.begin(), record.end(), std::byte{0});
    for (int i = 0; i < columns.GetCount() && i < static_cast<int>(cells.size()); ++i) {
        const TTdbColumnDef& column = *columns.GetColumnDef(i);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data() + column.Position);
        const TCell& cell = cells[static_cast<std::size_t>(i)];
        if (cell.Null) {
            // A column that takes no null keeps the zero image it was cleared to.
            if (column.GetNullable())
                column.DataType->SetNull(value);
        } else if (column.DataType->IsStringType())
            column.DataType->SetWideString(value, cell.Text);
        else
            column.DataType->SetInteger(value, cell.Number);
    }
}

}  // namespace

std::int16_t TTdbCatalog::RegisterTable(int rltnIdx, std::u16string_view key) {
    try {
        return DoRegisterTable(rltnIdx, key);
    } catch (const std::exception& e) {
        return FServices.SetLastError(e);
    }
}

std::int16_t TTdbCatalog::DoRegisterTable(int rltnIdx, std::u16string_view key) {
    auto* table = dynamic_cast<TTdbBaseTable*>(GetRelation(rltnIdx));
    auto* tables = dynamic_cast<TTdbBaseTable*>(FindRelation(kSysUserTables));
    auto* columns = dynamic_cast<TTdbBaseTable*>(FindRelation(kSysUserColumns));
    if (table == nullptr || tables == nullptr || columns == nullptr)
        return FServices.SetLastError(kTdbErrTableNotFound, {std::u16string(kSysUserTables)});
    const std::u16string name = table->StdName();
    for (const std::u16string& listed : GetTableNames())
        if (SameTableText(listed, name))
            return 0;
    std::vector<std::byte> record(static_cast<std::size_t>(tables->GetRecordSize()));
    const TCell tableRow[] = {TCell::Of(name), TCell::Of(table->FileName()),
                              TCell::Of(std::u16string(key))};
    WriteRow(tables->ColumnDefs(), record, tableRow);
    std::int32_t result = tables->AppendRecordDirect(record);
    record.assign(static_cast<std::size_t>(columns->GetRecordSize()), std::byte{0});
    for (int i = 0; result >= 0 && i < table->ColumnCount(); ++i) {
        const TTdbColumnDef& column = *table->ColumnDefs().GetColumnDef(i);
        const auto* text = dynamic_cast<const TTdbTextColumnDef*>(&column);
        const auto* link = dynamic_cast<const TTdbAdlColumnDef*>(&column);
        const TCell columnRow[] = {
            TCell::Of(name),
            TCell::Of(column.Name),
            TCell::Of(column.GetColumnType()),
            TCell::Of(text != nullptr ? text->GetMaxLen() : column.Size),
            link != nullptr ? TCell::Of(link->LinkedTable) : TCell::None(),
            column.GetCalculation() != nullptr && (column.Options & cdoFormula) != 0
                ? TCell::Of(column.GetCalculationSource())
                : TCell::None(),
            column.GetCalculation() != nullptr && (column.Options & cdoFormula) == 0
                ? TCell::Of(column.GetCalculationSource())
                : TCell::None()};
        WriteRow(columns->ColumnDefs(), record, columnRow);
        result = columns->AppendRecordDirect(record);
    }
    if (result >= 0)
        result = std::min(tables->Flush(false), columns->Flush(false));
    return static_cast<std::int16_t>(std::min<std::int32_t>(result, 0));
}

std::int16_t TTdbCatalog::UnregisterTable(std::u16string_view standardName) {
    try {
        return DoUnregisterTable(standardName);
    } catch (const std::exception& e) {
        return FServices.SetLastError(e);
    }
}

std::int16_t TTdbCatalog::DoUnregisterTable(std::u16string_view standardName) {
    for (std::u16string_view systemName : {kSysUserTables, kSysUserColumns}) {
        auto* table = dynamic_cast<TTdbBaseTable*>(FindRelation(systemName));
        if (table == nullptr)
            continue;
        const int nameNo = table->FindColumn(systemName == kSysUserTables ? u"Name" : u"Table", false);
        const TTdbColumnDef& column = *table->ColumnDefs().GetColumnDef(nameNo - 1);
        std::vector<std::byte> record(static_cast<std::size_t>(table->GetRecordSize()));
        // Deleting moves the last record into the slot: walk from the end.
        for (std::int32_t recNo = table->GetRecordCount(); recNo >= 1; --recNo) {
            if (table->ReadRecord(recNo, record) < 0)
                return -FServices.LastError().LastErrorCode();
            TTdbDataValue value;
            column.DataType->SetReference(value, record.data() + column.Position);
            if (!column.DataType->IsNull(value) &&
                SameTableText(column.DataType->GetWideString(value), standardName)) {
                const std::int16_t result = table->DeleteRecordDirect(recNo);
                if (result < 0)
                    return result;
            }
        }
        const std::int16_t flushed = table->Flush(false);
        if (flushed < 0)
            return flushed;
    }
    return 0;
}

// ---- Views of the schema (unmanaged databases) ----

namespace {

using TRows = std::vector<std::vector<TCell>>;

struct TViewDef {
    std::u16string_view Name;
    std::vector<TSysColumn> Columns;
};

const std::vector<TViewDef>& ViewDefs() {
    static const std::vector<TViewDef> views = {
        {u"sys_UserTables",
         {{u"TableName"}, {u"FileName", ctWideString, 255}, {u"Key", ctWideString, 40, false, {}, 16}}},
        {u"sys_UserColumns",
         {{u"TableName"},
          {u"ColumnName"},
          {u"Ordinal", ctSmallInt},
          {u"DataType", ctByte},
          {u"Nullable", ctBoolean},
          {u"Precision", ctSmallInt, 0, true},
          {u"ExpressionType", ctByte},
          {u"Expression", ctWideString, 255, true},
          {u"Specification", ctWideString, 255, true}}},
        {u"sys_UserTableConstraints",
         {{u"ConstraintName"},
          {u"TableName"},
          {u"ConstraintType", ctEnum, 0, false, u"PrimaryKey,Unique,ForeignKey,Check"}}},
        {u"sys_UserKeyColumns",
         {{u"TableName"}, {u"IndexName"}, {u"ColumnName"}, {u"Ordinal", ctSmallInt}}},
        {u"sys_UserCheckConstraints",
         {{u"TableName"}, {u"ConstraintName"}, {u"CheckClause", ctWideString, 1000}}},
        {u"sys_UserReferentialConstraints",
         {{u"TableName"},
          {u"ConstraintName"},
          {u"ReferencedTableName"},
          {u"UniqueConstraintName"},
          {u"UpdateRule", ctEnum, 0, false, u"NoAction,Cascade"},
          {u"DeleteRule", ctEnum, 0, false, u"NoAction,Cascade"}}},
        {u"sys_UserIndexes",
         {{u"TableName"},
          {u"IndexName"},
          {u"IndexKind", ctEnum, 0, false, u"Hierarchical,Calculated"},
          {u"IsUnique", ctBoolean}}},
        {u"sys_UserIndexColumns",
         {{u"TableName"},
          {u"IndexName"},
          {u"ColumnName"},
          {u"Ordinal", ctSmallInt},
          {u"SortDirection", ctEnum, 0, false, u"Ascending,Descending"}}},
    };
    return views;
}

// Enumeration values count from 1.
constexpr std::int64_t kFirstItem = 1;

std::int64_t ForeignKeyRule(TTdbForeignKeyAction action) {
    return action == tiaCascade ? kFirstItem + 1 : kFirstItem;
}

void AddViewRows(std::u16string_view view, TTdbBaseTable& table, TRows& rows) {
    const std::u16string name = table.StdName();
    const TTdbColumnDefs& columns = table.ColumnDefs();
    if (view == u"sys_UserTables") {
        rows.push_back({TCell::Of(name), TCell::Of(table.FileName()), TCell::Of(table.Key())});
    } else if (view == u"sys_UserColumns") {
        for (int i = 0; i < columns.GetCount(); ++i) {
            const TTdbColumnDef& column = *columns.GetColumnDef(i);
            const auto* text = dynamic_cast<const TTdbTextColumnDef*>(&column);
            const auto* enumColumn = dynamic_cast<const TTdbEnumColumnDef*>(&column);
            const auto* link = dynamic_cast<const TTdbAdlColumnDef*>(&column);
            const bool hasExpression = column.GetCalculation() != nullptr;
            TCell specification = TCell::None();
            if (enumColumn != nullptr)
                specification = TCell::Of(enumColumn->CalcEnumValueList(u','));
            else if (link != nullptr)
                specification = TCell::Of(link->LinkedTable);
            rows.push_back({TCell::Of(name), TCell::Of(column.Name), TCell::Of(i + 1),
                            TCell::Of(column.GetColumnType()), TCell::Of(column.GetNullable()),
                            text != nullptr ? TCell::Of(text->GetMaxLen()) : TCell::None(),
                            TCell::Of(!hasExpression ? 0 : (column.Options & cdoFormula) != 0 ? 2 : 1),
                            hasExpression ? TCell::Of(column.GetCalculationSource()) : TCell::None(),
                            std::move(specification)});
        }
    } else if (view == u"sys_UserTableConstraints") {
        for (int i = 0; i < table.KeyDefs().GetCount(); ++i) {
            const TTdbCandidateKeyDef& key = *table.KeyDefs().Get(i);
            rows.push_back({TCell::Of(key.GetName()), TCell::Of(name),
                            TCell::Of(kFirstItem + (key.GetIsPrimary() ? 0 : 1))});
        }
        for (int i = 0; i < table.ForeignKeyDefs().GetCount(); ++i)
            rows.push_back({TCell::Of(table.ForeignKeyDefs().Get(i)->GetName()), TCell::Of(name),
                            TCell::Of(kFirstItem + 2)});
        for (int i = 0; i < table.CheckDefs().GetCount(); ++i)
            rows.push_back({TCell::Of(table.CheckDefs().Get(i)->GetName()), TCell::Of(name),
                            TCell::Of(kFirstItem + 3)});
    } else if (view == u"sys_UserKeyColumns") {
        for (int i = 0; i < table.KeyDefs().GetCount(); ++i) {
            const TTdbCandidateKeyDef& key = *table.KeyDefs().Get(i);
            const std::u16string indexName = key.IndexDef ? key.IndexDef->GetName() : key.GetName();
            for (int c = 0; c < key.GetColumnCount(); ++c)
                rows.push_back({TCell::Of(name), TCell::Of(indexName),
                                TCell::Of(key.GetColumnName(c)), TCell::Of(c + 1)});
        }
    } else if (view == u"sys_UserCheckConstraints") {
        for (int i = 0; i < table.CheckDefs().GetCount(); ++i) {
            const TTdbCheckDef& check = *table.CheckDefs().Get(i);
            rows.push_back({TCell::Of(name), TCell::Of(check.GetName()),
                            TCell::Of(check.GetCondition() != nullptr
                                          ? check.GetCondition()->GetSource()
                                          : std::u16string{})});
        }
    } else if (view == u"sys_UserReferentialConstraints") {
        for (int i = 0; i < table.ForeignKeyDefs().GetCount(); ++i) {
            const TTdbForeignKeyDef& rule = *table.ForeignKeyDefs().Get(i);
            rows.push_back({TCell::Of(name), TCell::Of(rule.GetName()),
                            TCell::Of(rule.GetParentTableName()), TCell::None(),
                            TCell::Of(ForeignKeyRule(rule.GetUpdateAction())),
                            TCell::Of(ForeignKeyRule(rule.GetDeleteAction()))});
        }
    } else {
        const bool indexColumns = view == u"sys_UserIndexColumns";
        for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
            TTdbIndexFile* index = table.GetIndexFile(no);
            if (index == nullptr || !table.CheckIndexOpen(no, false))
                continue;
            const TTdbSortDef& def = index->IndexDef();
            if (!indexColumns) {
                rows.push_back({TCell::Of(name), TCell::Of(index->Name()),
                                TCell::Of(kFirstItem + (def.IsCalculated ? 1 : 0)),
                                TCell::Of(index->MustBeUnique())});
                continue;
            }
            for (int c = 0; !def.IsCalculated && c < def.LevelCount; ++c) {
                const TTdbSortItem& item = def.Items[static_cast<std::size_t>(c)];
                rows.push_back({TCell::Of(name), TCell::Of(index->Name()),
                                TCell::Of(table.GetFieldName(item.ColumnNo)), TCell::Of(c + 1),
                                TCell::Of(kFirstItem + (item.Descending ? 1 : 0))});
            }
        }
    }
}

}  // namespace

int TTdbCatalog::OpenSystemView(std::u16string_view name) {
    const auto& views = ViewDefs();
    const auto view = std::find_if(views.begin(), views.end(),
                                   [name](const TViewDef& v) { return SameTableText(v.Name, name); });
    if (view == views.end())
        return FServices.SetLastError(kTdbErrFileNotFound, {TablePath(name, 6, false)});
    TRows rows;
    for (const auto& relation : FRelations) {
        auto* table = dynamic_cast<TTdbBaseTable*>(relation.get());
        if (table != nullptr && table->GetActive() && !table->Temporary)
            AddViewRows(view->Name, *table, rows);
    }
    TTdbColumnDefs columns;
    AddSysColumns(columns, view->Columns);
    const int rltnIdx = CreateAndOpenTempTable(view->Name, columns);
    if (rltnIdx <= 0)
        return rltnIdx;
    auto& table = static_cast<TTdbBaseTable&>(*GetRelation(rltnIdx));
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    for (const auto& row : rows) {
        WriteRow(table.ColumnDefs(), record, row);
        if (table.AppendRecordDirect(record) < 0) {
            return CloseKeepingLastError(rltnIdx);
        }
    }
    const std::int16_t flushed = table.Flush(false);
    if (flushed < 0) {
        CloseRelation(rltnIdx);
        return flushed;
    }
    return rltnIdx;
}

std::u16string TTdbCatalog::CalcTemporaryTableName(std::u16string_view baseName) const {
    std::u16string name(baseName);
    while (FindRltnIdx(name) != 0)
        name = std::u16string(baseName) + NumberText(RandomNumber());
    return name;
}

int TTdbCatalog::CreateAndOpenTempTable(std::u16string_view tableName,
                                        const TTdbColumnDefs& columnDefs) {
    constexpr int kAttempts = 100;
    static thread_local std::mt19937 letters{std::random_device{}()};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::u16string name = FServices.PrivateDir() + std::u16string(tableName) + u"_";
        for (int i = 0; i < 8; ++i)
            name += static_cast<char16_t>(u'a' + std::uniform_int_distribution<int>(0, 25)(letters));
        TTdbCreateTableArgs args;
        args.StoragePath = name;
        args.Capacity = 1000000;
        args.ColumnDefs = columnDefs;
        const std::int16_t created = CreateTable(args);
        if (created == -kTdbErrFileExists || created == -kTdbErrTableAlreadyOpen ||
            created == -kTdbErrWriteFile)
            continue;
        if (created < 0)
            return created;
        const int rltnIdx = OpenTable(name, {}, kRightAppend | kRightIndex | kRightExclusive, false,
                                      false, true);
        if (rltnIdx <= 0)
            return FServices.SetLastError(kTdbErrExpressionTooLong);
        GetRelation(rltnIdx)->Temporary = true;
        return rltnIdx;
    }
    return FServices.SetLastError(kTdbErrFileExists, {std::u16string(tableName)});
}

// ---- Creating, deleting, renaming ----

namespace {

// Levels 1 to 3 keep names that are identifiers: a letter or "_", then letters, digits and "_".
bool IsOldLevelIdentifier(std::u16string_view name) {
    if (name.empty() || name.size() > 40)
        return false;
    const auto letter = [](char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
    };
    if (!letter(name.front()))
        return false;
    return std::all_of(name.begin(), name.end(),
                       [&](char16_t c) { return letter(c) || (c >= u'0' && c <= u'9'); });
}

// The index files named after a table whose data file is gone: what a process left that died
// while it created, renamed or deleted that table. Nothing opens them any more, but they would
// stand in the way of every later table of that name. Index files of other tables whose names
// merely start alike ("A!B" for "A") are kept.
void DeleteIndexLeftovers(TdwFileSystem& fileSystem, const std::u16string& directory,
                          std::u16string_view tableName) {
    const std::u16string prefix = std::u16string(tableName) + u"!";
    std::vector<std::u16string> leftovers;
    TdwFindFileRec rec;
    if (fileSystem.FindFirstFile(directory + u"*.*", 0, rec)) {
        do {
            const std::u16string_view name = rec.Name;
            const std::u16string_view extension = FileExtension(name);
            if ((rec.Attr & kAttrDirectory) == 0 && name.size() > prefix.size() &&
                SameTableText(name.substr(0, prefix.size()), prefix) &&
                name.substr(prefix.size()).find(u'!') == std::u16string_view::npos &&
                (SameAsciiText(extension, u".tdbi") || SameAsciiText(extension, u".ind")))
                leftovers.push_back(directory + rec.Name);
        } while (fileSystem.FindNextFile(rec));
        fileSystem.FindFileClose(rec);
    }
    for (const std::u16string& file : leftovers)
        fileSystem.DeleteFile(file);
}

}  // namespace

std::int16_t TTdbCatalog::CreateTable(TTdbCreateTableArgs& args) {
    const std::int16_t level = args.Level < 1 || args.Level > 6 ? std::int16_t{6} : args.Level;
    if (args.ColumnDefs.GetCount() == 0)
        return FServices.SetLastError(kTdbErrUnsupportedFeature, {args.StoragePath, u"No columns"});
    const std::u16string_view extension = FileExtension(args.StoragePath);
    const bool relFile = SameAsciiText(extension, u".rel");
    if (!extension.empty() &&
        !(level >= 6 ? SameAsciiText(extension, u".tdbt")
                     : SameAsciiText(extension, u".dat") || relFile))
        return FServices.SetLastError(kTdbErrInvalidTableName, {args.StoragePath});
    const std::u16string standardName = TableNameFromFileName(args.StoragePath);
    const std::u16string_view bareName =
        relFile ? std::u16string_view(standardName).substr(0, standardName.size() - 4)
                : std::u16string_view(standardName);
    if (bareName.empty() ||
        (level <= 3 && !IsOldLevelIdentifier(bareName) && bareName.front() != u'~'))
        return FServices.SetLastError(kTdbErrInvalidIdentifier, {standardName});
    if (FindRltnIdx(standardName) != 0)
        return FServices.SetLastError(kTdbErrTableAlreadyOpen, {standardName});
    const std::u16string path = TablePath(args.StoragePath, level, relFile);
    // A table whose name differs from an existing one only in case would share its files on a
    // file system that ignores case, and confuse every name lookup here: it is the same table.
    const std::u16string existing = FindExistingTablePath(FileNameBase(path) + std::u16string(
                                                              FileExtension(path)), false);
    if (!existing.empty())
        return FServices.SetLastError(kTdbErrFileExists, {existing});
    try {
        TTdbCollation::Get(args.Collation);
    } catch (const ETdbEngine&) {
        return FServices.SetLastError(kTdbErrCollationNotFound, {args.Collation});
    }

    TTdbBaseTable::TNewTable table;
    table.Level = level;
    // A table made without a capacity gets one that sizes its index pages sensibly.
    table.Capacity = args.Capacity < 1 ? kDefaultCapacity : args.Capacity;
    table.Collation = args.Collation;
    table.Key = args.Key.empty() ? FKey : args.Key;
    table.EncryptionMethod =
        ToCryptorMethod(static_cast<TTdbEncryptionMethod>(
                            args.EncryptionMethod != 0 ? args.EncryptionMethod : FEncryptionMethod),
                        level);
    try {
        int relationColumns = 0;
        bool hasRecordId = false;
        for (int i = 0; i < args.ColumnDefs.GetCount(); ++i) {
            std::unique_ptr<TTdbColumnDef> column = args.ColumnDefs.GetColumnDef(i)->Clone();
            column->SetTableLevel(level);
            // The options the header stores must agree with the type, or the file would read
            // back with other column sizes and never open again.
            column->SetNullable(column->DataType == column->DataType->GetNullableType(true), level);
            relationColumns += column->GetColumnType() == ctRelation ? 1 : 0;
            hasRecordId = hasRecordId || column->GetColumnType() == ctAutoInc;
            table.Columns.Add(std::move(column));
        }
        if (relationColumns > 10)
            return FServices.SetLastError(kTdbErrTooManyLinkColumns);
        if (relationColumns > 0 && !hasRecordId)
            return FServices.SetLastError(kTdbErrNoRecordIdColumn, {standardName});
        for (int i = 0; i < args.KeyDefs.GetCount(); ++i) {
            const TTdbCandidateKeyDef& key = *args.KeyDefs.Get(i);
            for (int j = 0; j < i; ++j)
                if (!key.GetName().empty() && SameTableText(args.KeyDefs.Get(j)->GetName(), key.GetName()))
                    return FServices.SetLastError(kTdbErrDuplicateIdentifier, {key.GetName()});
            for (int c = 0; c < key.GetColumnCount(); ++c) {
                const int columnIndex = table.Columns.Find(key.GetColumnName(c));
                if (columnIndex < 0)
                    return FServices.SetLastError(kTdbErrNoSuitableIndex, {key.GetColumnNamesStr()});
                if (key.GetIsPrimary() && level >= 6) {
                    table.Columns.GetColumnDef(columnIndex)->SetNullable(false, level);
                }
            }
            table.Keys.Add(std::make_unique<TTdbCandidateKeyDef>(key));
        }
        table.Columns.ColumnDefChanged();
        for (int i = 0; i < args.CheckDefs.GetCount(); ++i) {
            auto check = std::unique_ptr<TTdbCheckDef>(
                static_cast<TTdbCheckDef*>(args.CheckDefs.Get(i)->Clone().release()));
            if (check->GetName().empty())
                check->SetName(u"Check" + NumberText(i + 1));
            if (table.Checks.FindByName(check->GetName()) >= 0)
                return FServices.SetLastError(kTdbErrDuplicateIdentifier, {check->GetName()});
            table.Checks.Add(std::move(check));
        }
        for (int i = 0; i < args.ForeignKeyDefs.GetCount(); ++i) {
            auto rule = std::unique_ptr<TTdbForeignKeyDef>(
                static_cast<TTdbForeignKeyDef*>(args.ForeignKeyDefs.Get(i)->Clone().release()));
            if (rule->GetName().empty())
                rule->SetName(u"FK" + NumberText(i + 1));
            if (table.ForeignKeys.FindByName(rule->GetName()) >= 0)
                return FServices.SetLastError(kTdbErrDuplicateIdentifier, {rule->GetName()});
            if (FindRltnIdx(rule->GetParentTableName()) == 0)
                return FServices.SetLastError(kTdbErrTableNotFound, {rule->GetParentTableName()});
            table.ForeignKeys.Add(std::move(rule));
        }
    } catch (const std::exception& e) {
        return FServices.SetLastError(e);
    }

    // From level 4 on the index files carry the table's name: the table is made under a name no
    // listing shows and moved into place with its data file last, so that a process that dies
    // on the way leaves either the whole table or none.
    const std::u16string directory = DirectoryOf(path);
    TdwFileSystem* fileSystem = FServices.DetermineFileSystem(directory);
    const bool staged = level >= 4 && fileSystem != nullptr;
    const std::u16string makingPath = staged ? path + u".new" : path;
    // A journal under the new table's name belongs to a table that is gone; rolled back into
    // the new one's files it would tear them.
    if (fileSystem != nullptr) {
        fileSystem->DeleteFile(FlushJournalFileName(path));
        fileSystem->DeleteFile(FlushJournalFileName(makingPath));
    }
    if (staged) {
        DeleteIndexLeftovers(*fileSystem, directory, standardName);
        DeleteIndexLeftovers(*fileSystem, directory, TableNameFromFileName(makingPath));
        if (fileSystem->FileExists(makingPath))
            fileSystem->DeleteFile(makingPath);
    }
    auto created = std::make_unique<TTdbBaseTable>(FServices);
    created->SetFileName(makingPath);
    created->IsRelFile = relFile;
    TTdbBaseTable& newTable = *created;
    const int rltnIdx = AddRelation(std::move(created));
    if (rltnIdx <= 0)
        return static_cast<std::int16_t>(rltnIdx);
    std::int16_t result = newTable.NewFile(table, args.IndexDefs);
    const std::vector<std::u16string> files = newTable.GetFileNames();
    // Where each file goes; the data file moves last, and with it the table appears.
    std::vector<std::pair<std::u16string, std::u16string>> moves;
    if (staged && result >= 0) {
        for (TTdbIndexNo no = 0; no <= newTable.GetLastIndexNo(); ++no)
            if (const TTdbIndexFile* index = newTable.GetIndexFile(no))
                moves.emplace_back(
                    index->FileName(),
                    tdb::CalcIndexFileName(directory, standardName, index->Name(), level));
        if (newTable.HasMemo())
            moves.emplace_back(MemoFileName(FileNameBase(makingPath), level),
                               MemoFileName(FileNameBase(path), level));
        if (newTable.HasBlob())
            moves.emplace_back(BlobFileName(FileNameBase(makingPath), level),
                               BlobFileName(FileNameBase(path), level));
        moves.emplace_back(makingPath, path);
    }
    std::int16_t code = FServices.LastError().LastErrorCode();
    std::u16string message = FServices.LastError().LastErrorMsg();
    CloseRelation(rltnIdx);
    if (result >= 0) {
        for (std::size_t done = 0; done < moves.size(); ++done) {
            const auto& [from, to] = moves[done];
            if (!fileSystem->FileExists(from) || fileSystem->RenameFile(from, to))
                continue;
            for (std::size_t i = done; i-- > 0;)
                fileSystem->RenameFile(moves[i].second, moves[i].first);
            result = FServices.SetLastError(kTdbErrWriteFile, {to});
            code = FServices.LastError().LastErrorCode();
            message = FServices.LastError().LastErrorMsg();
            break;
        }
    }
    if (result < 0) {
        // A table that could not be made whole leaves nothing behind.
        if (fileSystem != nullptr)
            for (const std::u16string& file : files)
                if (fileSystem->FileExists(file))
                    fileSystem->DeleteFile(file);
        FServices.LastError().SetLastErrorMsg(code, message);
        return result;
    }
    if (FManagementLevel == tmlManaged && !IsSystemName(path)) {
        const int opened = OpenTable(path, table.Key, kAllWriteRights | kRightExclusive, false,
                                     false, true);
        if (opened > 0) {
            result = RegisterTable(opened, args.Key);
            CloseRelation(opened);
        }
    }
    return result;
}

std::int16_t TTdbCatalog::DeleteTable(std::u16string_view tableName, std::u16string_view key,
                                      TTdbRelFieldsMode relFieldsMode,
                                      const std::vector<std::u16string>& relFieldsToSave) {
    int rltnIdx = FindRltnIdx(tableName);
    if (rltnIdx == 0) {
        rltnIdx = OpenTable(tableName, key, kAllWriteRights | kRightExclusive, false, true, true);
        if (rltnIdx <= 0)
            return static_cast<std::int16_t>(rltnIdx);
    }
    return DeleteTable(rltnIdx, relFieldsMode, relFieldsToSave, true);
}

std::int16_t TTdbCatalog::DeleteTable(int rltnIdx, TTdbRelFieldsMode /*relFieldsMode*/,
                                      const std::vector<std::u16string>& /*relFieldsToSave*/,
                                      bool remove) {
    auto* table = dynamic_cast<TTdbBaseTable*>(GetRelation(rltnIdx));
    if (table == nullptr)
        return FServices.SetLastError(kTdbErrCannotDelete,
                                      {GetRelation(rltnIdx) ? GetRelation(rltnIdx)->GetName() : u""});
    if (table->InUse())
        return FServices.SetLastError(kTdbErrTableStillAccessed, {table->StdName()});
    const bool exclusive = table->GetExclusive();
    if (!exclusive && table->BeginExclusive(false) < 0)
        return FServices.SetLastError(kTdbErrTableInUse, {table->StdName()});
    if (!exclusive)
        table->EndExclusive();
    const std::vector<std::u16string> files = table->GetFileNames();
    const std::u16string standardName = table->StdName();
    TdwFileSystem* fileSystem = table->FileSystem();
    if (FManagementLevel == tmlManaged && !IsSystemName(standardName)) {
        const std::int16_t unregistered = UnregisterTable(standardName);
        if (unregistered < 0)
            return unregistered;
    }
    const std::int16_t closed = TryCloseRelation(rltnIdx, false, remove);
    if (closed < 0)
        return closed;
    for (const std::u16string& file : files) {
        if (fileSystem != nullptr && fileSystem->FileExists(file) && !fileSystem->DeleteFile(file))
            return FServices.SetLastError(kTdbErrCannotDelete, {file});
    }
    return 0;
}

std::int16_t TTdbCatalog::RenameTable(std::u16string_view oldName, std::u16string_view newName,
                                      std::u16string_view key) {
    const int other = FindRltnIdx(newName);
    if (other != 0 && other != FindRltnIdx(oldName) && IsActiveRltnIdx(other))
        return FServices.SetLastError(kTdbErrTableAlreadyOpen, {std::u16string(newName)});
    int rltnIdx = FindRltnIdx(oldName);
    std::uint16_t formerRights = 0;
    std::u16string formerKey(key);
    if (rltnIdx != 0) {
        auto* open = dynamic_cast<TTdbBaseTable*>(GetRelation(rltnIdx));
        if (open == nullptr)
            return FServices.SetLastError(kTdbErrCannotDelete, {std::u16string(oldName)});
        if (open->InUse())
            return FServices.SetLastError(kTdbErrTableStillAccessed, {open->StdName()});
        formerRights = open->Rights();
        formerKey = open->Key();
        const std::int16_t closed = TryCloseRelation(rltnIdx, false, true);
        if (closed < 0)
            return closed;
    }
    // A rename that is refused or fails leaves the table as it was: open again if it was open.
    const auto refuse = [&](int result) {
        if (formerRights != 0 && FindRltnIdx(oldName) == 0) {
            const std::int16_t code = FServices.LastError().LastErrorCode();
            const std::u16string message = FServices.LastError().LastErrorMsg();
            OpenTable(oldName, formerKey, formerRights, false, false, true);
            FServices.LastError().SetLastErrorMsg(code, message);
        }
        return static_cast<std::int16_t>(result);
    };
    rltnIdx = OpenTable(oldName, formerKey, kAllWriteRights | kRightExclusive, false, true, true);
    if (rltnIdx <= 0)
        return refuse(rltnIdx);
    auto& table = static_cast<TTdbBaseTable&>(*GetRelation(rltnIdx));
    const std::int16_t level = table.GetLevel();
    const std::u16string oldStandard = table.StdName();
    const std::u16string newStandard = TableNameFromFileName(newName);
    const std::u16string directory = DirectoryOf(table.FileName());
    const std::u16string newPath = directory + TableNameFromFileName(TablePath(
                                                   newStandard, level, table.IsRelFile)) +
                                   std::u16string(FileExtension(table.FileName()));
    if (!FindExistingTablePath(directory + newStandard, false).empty()) {
        CloseRelation(rltnIdx);
        return refuse(FServices.SetLastError(kTdbErrFileExists, {newPath}));
    }
    if (level >= 4)
        DeleteIndexLeftovers(*table.FileSystem(), directory, newStandard);
    table.FileSystem()->DeleteFile(FlushJournalFileName(newPath));
    // Every file keeps its kind; index files carry the table's name from level 4 on.
    std::vector<std::pair<std::u16string, std::u16string>> renames;
    renames.emplace_back(table.FileName(), newPath);
    for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
        if (const TTdbIndexFile* index = table.GetIndexFile(no)) {
            const std::u16string target = tdb::CalcIndexFileName(directory, newStandard,
                                                                  index->Name(), level);
            if (target != index->FileName())
                renames.emplace_back(index->FileName(), target);
        }
    }
    if (table.HasMemo())
        renames.emplace_back(MemoFileName(FileNameBase(table.FileName()), level),
                             MemoFileName(FileNameBase(newPath), level));
    if (table.HasBlob())
        renames.emplace_back(BlobFileName(FileNameBase(table.FileName()), level),
                             BlobFileName(FileNameBase(newPath), level));
    TdwFileSystem* fileSystem = table.FileSystem();
    std::int16_t result = table.Flush(false);
    if (result == 0)
        result = TryCloseRelation(rltnIdx, false, true);
    else
        CloseRelation(rltnIdx);
    if (result < 0)
        return refuse(result);
    std::size_t done = 0;
    for (; done < renames.size(); ++done) {
        const auto& [from, to] = renames[done];
        if (fileSystem->FileExists(from) && !fileSystem->RenameFile(from, to))
            break;
    }
    if (done < renames.size()) {
        // Put back what was renamed, so the table stays whole under its old name.
        for (std::size_t i = done; i-- > 0;)
            fileSystem->RenameFile(renames[i].second, renames[i].first);
        return refuse(FServices.SetLastError(kTdbErrWriteFile, {renames[done].first}));
    }
    if (FManagementLevel == tmlManaged) {
        result = UnregisterTable(oldStandard);
        if (result == 0) {
            const int reopened = OpenTable(newPath, formerKey, kAllWriteRights | kRightExclusive,
                                           false, true, true);
            if (reopened <= 0)
                return static_cast<std::int16_t>(reopened);
            result = RegisterTable(reopened, formerKey);
            CloseRelation(reopened);
        }
        if (result < 0)
            return result;
    }
    if (formerRights != 0) {
        const int reopened = OpenTable(newPath, formerKey, formerRights, false, false, true);
        if (reopened <= 0)
            return static_cast<std::int16_t>(reopened);
    }
    return 0;
}

std::int16_t TTdbCatalog::BackupDatabase(TTdbDatabaseType databaseType,
                                         std::u16string_view fileName) {
    if (databaseType != dbtDbDirectory)
        return FServices.SetLastError(kTdbErrNotSupported, {u"single-file databases"});
    if (FManagementLevel == tmlUnmanaged)
        OpenAllTables();
    std::vector<TTdbRelation*> locked;
    for (const auto& relation : FRelations) {
        if (!relation)
            continue;
        if (relation->BeginRead(true) < 0) {
            for (TTdbRelation* r : locked)
                r->EndRead();
            RaiseNonCritical();
        }
        locked.push_back(relation.get());
    }
    std::int16_t result = 0;
    try {
        TdwOSFileSystem machine;
        if (machine.FileExists(fileName) || machine.DirectoryExists(fileName))
            RaiseEngineError(kTdbErrFileExists, {std::u16string(fileName)});
        if (!machine.ForcePath(fileName))
            RaiseEngineError(kTdbErrWriteFile, {std::u16string(fileName)});
        TdwOSFileSystem target(fileName);
        target.Open();
        for (const auto& relation : FRelations) {
            auto* table = dynamic_cast<TTdbBaseTable*>(relation.get());
            if (table == nullptr || table->Temporary)
                continue;
            table->BackupFilesTo(target);
        }
        target.Close();
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    for (TTdbRelation* r : locked)
        r->EndRead();
    return result;
}

}  // namespace tdb
