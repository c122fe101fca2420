// The database component over the engine's call interface.
#include "dataset/tdb_database.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "dataset/dataset_error.h"
#include "dataset/text_case.h"

namespace dataset {

using namespace tdb::api;
using tdb::kTdbCannotOpenTable;
using tdb::kTdbDatabaseNotFound;
using tdb::kTdbOk;
using tdb::kTdbOutOfMemory;
using tdb::kTdbWrongPassword;

namespace {

// Column types whose values name another table.
constexpr std::int16_t kLinkColumn = 10;
constexpr std::int16_t kRelationColumn = 12;

struct TDatabaseRegistry {
    std::mutex Lock;
    std::vector<TTdbDatabase*> Databases;
    // Declared last so that they go first, while the list they leave still exists.
    std::vector<std::unique_ptr<TTdbDatabase>> Automatic;
};

TDatabaseRegistry& Registry() {
    static TDatabaseRegistry registry;
    return registry;
}

// The directory part of a table name, with its separator.
std::u16string DirectoryPart(const std::u16string& tableName) {
    const std::size_t separator = tableName.find_last_of(u"/\\");
    return separator == std::u16string::npos ? std::u16string()
                                             : tableName.substr(0, separator + 1);
}

class TTemporaryCursor {
public:
    TTemporaryCursor(std::int16_t rltnHdl, const char16_t* name)
        : FHandle(TdbTableCreate(rltnHdl, name)) {}
    ~TTemporaryCursor() {
        if (FHandle > 0)
            TdbTableDelete(FHandle);
    }
    TTemporaryCursor(const TTemporaryCursor&) = delete;
    TTemporaryCursor& operator=(const TTemporaryCursor&) = delete;
    std::int16_t Handle() const noexcept { return FHandle; }

private:
    std::int16_t FHandle;
};

}  // namespace

// ---- Table settings ----

TTdbBaseTableDef::TTdbBaseTableDef(TTdbDatabase& database, std::u16string name)
    : FDatabase(database), FName(std::move(name)) {}

void TTdbBaseTableDef::SetUseEditLocks(bool value) {
    FUseEditLocks = value;
    FDatabase.ApplyEditLocks(*this);
}

TTdbBaseTableDef& TTdbBaseTableDefs::AddTableDef(const std::u16string& name) {
    if (TTdbBaseTableDef* existing = Find(name))
        return *existing;
    FItems.push_back(std::make_unique<TTdbBaseTableDef>(FDatabase, name));
    return *FItems.back();
}

int TTdbBaseTableDefs::IndexOf(const std::u16string& name) const {
    for (std::size_t i = 0; i < FItems.size(); ++i) {
        if (SameText(FItems[i]->Name(), name))
            return static_cast<int>(i);
    }
    return -1;
}

TTdbBaseTableDef* TTdbBaseTableDefs::Find(const std::u16string& name) const {
    const int index = IndexOf(name);
    return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)].get();
}

void TTdbBaseTableDefs::Delete(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= FItems.size())
        DatabaseErrorFmt(u"List index out of bounds (%d)", {index});
    FItems.erase(FItems.begin() + index);
}

// ---- Creation and the registry ----

TTdbDatabase::TTdbDatabase(TComponent* owner) : TComponent(owner) {
    if (owner != nullptr) {
        for (TComponent* sibling : owner->Components()) {
            const auto* database = dynamic_cast<const TTdbDatabase*>(sibling);
            if (database != nullptr && database != this && database->FAutoDatabaseName) {
                DatabaseErrorFmt(
                    u"Cannot add a session to the form or data-module while session "
                    u"'%s' has AutoSessionName enabled",
                    {database->Name()});
            }
        }
    }
    TDatabaseRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    registry.Databases.push_back(this);
}

TTdbDatabase::~TTdbDatabase() {
    if (Connected()) {
        // A destructor cannot report: whatever the engine says while closing is dropped, and the
        // session goes in any case.
        try {
            TTdbDatabase::DoDisconnect();
        } catch (...) {
        }
    }
    TDatabaseRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    std::erase(registry.Databases, this);
}

TTdbDatabase* TTdbDatabase::FindDatabase(const std::u16string& name) {
    TDatabaseRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    TTdbDatabase* found = nullptr;
    for (TTdbDatabase* database : registry.Databases) {
        if (!SameText(database->FDatabaseName, name))
            continue;
        if (found != nullptr)
            DatabaseErrorFmt(u"Database name \"%s\" is not unique", {name});
        found = database;
    }
    return found;
}

TTdbDatabase& TTdbDatabase::CreateAutomatic(const std::u16string& name) {
    auto database = std::make_unique<TTdbDatabase>(nullptr);
    database->SetDatabaseName(name);
    database->SetLocation(name);
    return AdoptAutomatic(std::move(database));
}

TTdbDatabase& TTdbDatabase::AdoptAutomatic(std::unique_ptr<TTdbDatabase> database) {
    TTdbDatabase& adopted = *database;
    adopted.FAutomatic = true;
    TDatabaseRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    registry.Automatic.push_back(std::move(database));
    return adopted;
}

void TTdbDatabase::TableChanged(std::int16_t sessHdl, std::int16_t tableHdl,
                                std::int32_t deletedRecNo, std::int32_t movedRecNo) noexcept {
    TTdbDatabaseClient* target = nullptr;
    {
        TDatabaseRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        for (const TTdbDatabase* database : registry.Databases) {
            if (database->FSessionHdl != sessHdl)
                continue;
            for (TTdbDatabaseClient* client : database->FClients) {
                if (client->TableHdl() == tableHdl)
                    target = client;
            }
        }
    }
    if (target == nullptr)
        return;
    // Called from inside the engine's delete, which has happened and cannot be undone: a
    // failure to follow it in the buffers must not unwind through the engine.
    try {
        target->RecordMoved(deletedRecNo, movedRecNo);
    } catch (...) {
    }
}

bool TTdbDatabase::EnginePasswordCallback(std::int16_t sessHdl, const char16_t* tableName,
                                          char16_t* key, std::int16_t maxKeyLen) noexcept {
    TTdbDatabase* database = nullptr;
    {
        TDatabaseRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        for (TTdbDatabase* candidate : registry.Databases) {
            if (candidate->FSessionHdl == sessHdl)
                database = candidate;
        }
    }
    // The handler runs outside the registry lock: it may well look databases up itself.
    if (database == nullptr || !database->OnPassword)
        return false;
    database->FPasswordAsked = true;
    try {
        std::u16string newKey;
        bool retry = false;
        database->OnPassword(nullptr, std::u16string(InText(tableName)), newKey, retry);
        if (!retry)
            return false;
        CopyOut(key, std::min<int>(maxKeyLen, kTdbMaxKeyLen), newKey);
        return true;
    } catch (...) {
        // The engine cannot carry the handler's exception; it is raised once the call is back.
        database->FPasswordFailure = std::current_exception();
        return false;
    }
}

// ---- Connecting ----

void TTdbDatabase::SetConnected(bool value) {
    if (Loading()) {
        FStreamedConnected = value;
        return;
    }
    if (value == Connected())
        return;
    if (value) {
        if (BeforeConnect)
            BeforeConnect(*this);
        DoConnect();
        if (AfterConnect)
            AfterConnect(*this);
    } else {
        if (BeforeDisconnect)
            BeforeDisconnect(*this);
        DoDisconnect();
        if (AfterDisconnect)
            AfterDisconnect(*this);
    }
}

void TTdbDatabase::DoConnect() {
    {
        TDatabaseRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        for (const TTdbDatabase* other : registry.Databases) {
            if (other != this && other->FDatabaseName == FDatabaseName && other->Connected())
                DatabaseErrorFmt(u"Duplicate database name: \"%s\"", {Name()});
        }
    }
    const std::u16string connecting = FormatText(u"Connecting to database \"%s\"", {FLocation});
    const std::int16_t sessHdl = TdbCreateSession(FLocation.c_str());
    if (sessHdl <= 0)
        RaiseTdbError(connecting, sessHdl, 0);
    SetSessionHdl(sessHdl);
    // A connect that fails half way leaves no session behind: the component stays disconnected.
    try {
        TTdbNetParams params{};
        TdbCheck(TdbSessGetDefaultNetParams(sessHdl, params), sessHdl, connecting);
        SetFixedText(params.NetDirs, u"");
        SetFixedText(params.PrivateDir, FPrivateDir);
        SetFixedText(params.StationName, FConnectionName);
        FConnectionId = params.StationNo;
        if (FServerTimeout != 0)
            params.ServerTimeout = FServerTimeout;
        else
            FServerTimeout = params.ServerTimeout;
        TdbCheck(TdbSessSetNetParams(sessHdl, params), sessHdl, connecting);
        TdbCheck(TdbSessSetPasswordCallback(sessHdl, EnginePasswordCallback), sessHdl, connecting);
        TdbCheck(TdbSessSetSystemSettings(sessHdl, FIndexPageSize, FBlobBlockSize), sessHdl,
                 connecting);

        std::uint16_t attributes = 0;
        if (FReadOnly)
            attributes |= kTdbDbReadOnly;
        if (FExclusive)
            attributes |= kTdbDbExclusive;
        if (FFlushMode == tfmSecure)
            attributes |= kTdbDbDeepFlush;
        if (FSharedReadOnly)
            attributes |= kTdbDbSharedReadOnly;
        FPasswordFailure = nullptr;
        std::int16_t result = OpenDatabaseFiles(attributes);
        // A medium that cannot be written may still be read by one user alone.
        if (result == kTdbDatabaseNotFound && !FReadOnly && !FExclusive) {
            result = OpenDatabaseFiles(attributes | kTdbDbReadOnly | kTdbDbExclusive);
            if (result == kTdbOk) {
                FReadOnly = true;
                FExclusive = true;
            }
        }
        if (FPasswordFailure)
            std::rethrow_exception(std::exchange(FPasswordFailure, nullptr));
        if (result != kTdbOk)
            RaiseTdbError(FormatText(u"Opening database \"%s\"", {FLocation}), result, sessHdl);

        TTdbDatabaseInfo info{};
        TdbCheck(TdbSessGetDbInfo(sessHdl, info), sessHdl, connecting);
        FManagementLevel = info.ManagementLevel;
        FEncryptionMethod = info.EncryptionMethod;
        SendSettings();
        TdbCheck(TdbSessSetLogLevel(sessHdl, static_cast<std::int16_t>(FLogLevel & 0xFFFF)),
                 sessHdl, connecting);
        const std::int16_t singleFile = TdbSessIsSingleFile(sessHdl);
        TdbCheck(singleFile, sessHdl, connecting);
        FDatabaseType = singleFile == 1 ? dbtSingleFile : dbtDirectory;

        for (int i = 0; i < FTableDefs.Count(); ++i) {
            const TTdbBaseTableDef& tableDef = FTableDefs.Items(i);
            const std::int16_t rltnHdl = OpenRelation(
                tableDef.Name(), {}, RightsWord(TTdbAccessRights::All(), false, tfmDefault), false);
            if (rltnHdl <= 0) {
                RaiseTdbError(FormatText(u"Opening table \"%s\"", {tableDef.Name()}),
                              rltnHdl < 0 ? rltnHdl : kTdbCannotOpenTable, sessHdl);
            }
            TdbCheck(TdbRltnActivateEditLocks(rltnHdl, tableDef.UseEditLocks()), sessHdl,
                     u"Setting table properties");
        }
    } catch (...) {
        TdbSessDelete(sessHdl);
        SetSessionHdl(0);
        throw;
    }
}

std::int16_t TTdbDatabase::OpenDatabaseFiles(std::uint16_t attributes) {
    return TdbSessOpenDb(FSessionHdl, FLocation.c_str(), FUserName.c_str(), FPassword.c_str(),
                         FCacheSize, attributes);
}

void TTdbDatabase::DoDisconnect() {
    ++FClosingClients;
    try {
        // Last registered first; a client that unregisters while it closes shortens the list.
        for (std::size_t i = FClients.size(); i > 0; --i) {
            if (i <= FClients.size())
                FClients[i - 1]->CloseDataSet();
        }
    } catch (...) {
        --FClosingClients;
        throw;
    }
    --FClosingClients;
    const std::int16_t sessHdl = FSessionHdl;
    const std::int16_t closed = TdbSessCloseDb(sessHdl);
    // The message needs the session, which goes in any case.
    std::exception_ptr failure;
    if (closed < 0) {
        try {
            RaiseTdbError(FormatText(u"Closing database \"%s\"", {FLocation}), closed, sessHdl);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    TdbSessDelete(sessHdl);
    SetSessionHdl(0);
    if (failure)
        std::rethrow_exception(failure);
}

void TTdbDatabase::RegisterClient(TTdbDatabaseClient* client) {
    if (client != nullptr && std::ranges::find(FClients, client) == FClients.end())
        FClients.push_back(client);
}

void TTdbDatabase::UnRegisterClient(TTdbDatabaseClient* client) {
    std::erase(FClients, client);
    if (!FAutomatic || !FClients.empty() || FClosingClients > 0)
        return;
    std::unique_ptr<TTdbDatabase> self;
    {
        TDatabaseRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        const auto owned = std::ranges::find_if(
            registry.Automatic, [this](const auto& database) { return database.get() == this; });
        if (owned == registry.Automatic.end())
            return;
        self = std::move(*owned);
        registry.Automatic.erase(owned);
    }
    // Destroys this database: nothing of it may be touched after.
    self.reset();
}

TTdbDatabaseClient* TTdbDatabase::GetDataSet(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= FClients.size())
        DatabaseErrorFmt(u"List index out of bounds (%d)", {index});
    return FClients[static_cast<std::size_t>(index)];
}

// ---- Tables ----

std::uint16_t TTdbDatabase::RightsWord(TTdbAccessRights accessRights, bool exclusive,
                                       TTdbFlushMode flushMode) const noexcept {
    std::uint16_t word = accessRights.Contains(tarAppend) ? 0xF8F1 : 0xF8F0;
    if (accessRights.Contains(tarEdit))
        word += 2;
    if (accessRights.Contains(tarDelete))
        word += 4;
    if (accessRights.Contains(tarIndex))
        word += 8;
    if (exclusive || FExclusive)
        word += 0x100;
    if (flushMode == tfmSecure || (flushMode == tfmDefault && FFlushMode == tfmSecure))
        word += 0x200;
    return word;
}

std::int16_t TTdbDatabase::OpenRelation(const std::u16string& tableName, std::u16string key,
                                        std::uint16_t rights, bool force) {
    CheckConnected();
    const std::int16_t open = TdbSessFindRltnHdl(FSessionHdl, tableName.c_str());
    if (open > 0)
        return open;
    const auto tryOpen = [&] {
        FPasswordFailure = nullptr;
        FPasswordAsked = false;
        const std::int16_t result =
            TdbSessOpenTable(FSessionHdl, tableName.c_str(), key.c_str(), rights, true, force);
        if (FPasswordFailure)
            std::rethrow_exception(std::exchange(FPasswordFailure, nullptr));
        return result;
    };
    std::int16_t result = 0;
    for (;;) {
        result = tryOpen();
        if (result == kTdbOutOfMemory) {
            CloseCachedTables();
            result = tryOpen();
            break;
        }
        // The engine asks the handler itself when a key does not fit; asking again after it
        // gave up would only repeat the question.
        if (result != kTdbWrongPassword || !OnPassword || FPasswordAsked)
            break;
        key.clear();
        bool retry = false;
        OnPassword(this, tableName, key, retry);
        if (!retry)
            break;
    }
    if (result <= 0)
        return result;
    OpenRelationLinks(result, tableName, key, rights, force);
    return result;
}

void TTdbDatabase::OpenRelationLinks(std::int16_t rltnHdl, const std::u16string& tableName,
                                     const std::u16string& key, std::uint16_t rights, bool force) {
    // The linked tables are a convenience for reading the link columns later; the table itself
    // is open, so a linked table that cannot be opened now is left to fail where it is read.
    const TTemporaryCursor cursor(rltnHdl, u"CheckRelationOpen_Temp");
    if (cursor.Handle() <= 0)
        return;
    const std::u16string directory = DirectoryPart(tableName);
    const std::int16_t fieldCount = TdbTableGetNumFields(cursor.Handle());
    for (std::int16_t fieldNo = 1; fieldNo <= fieldCount; ++fieldNo) {
        TTdbFieldSpec spec{};
        if (TdbTableGetFieldSpec(cursor.Handle(), fieldNo, spec) < 0)
            continue;
        const std::int16_t type = static_cast<std::int16_t>(spec.FldType & 0xFF);
        if (type != kLinkColumn && type != kRelationColumn)
            continue;
        const std::u16string linked = directory + std::u16string(FixedText(spec.SelectOrLink));
        if (TdbSessFindRltnHdl(FSessionHdl, linked.c_str()) <= 0)
            OpenRelation(linked, key, rights, force);
    }
}

std::int16_t TTdbDatabase::OpenTable(const std::u16string& tableName, const std::u16string& key,
                                     bool exclusive, TTdbAccessRights accessRights,
                                     TTdbFlushMode flushMode) {
    CheckConnected();
    const std::int16_t rltnHdl =
        OpenRelation(tableName, key, RightsWord(accessRights, exclusive, flushMode), false);
    if (rltnHdl <= 0) {
        RaiseTdbError(FormatText(u"Opening table \"%s\"", {tableName}),
                      rltnHdl < 0 ? rltnHdl : kTdbCannotOpenTable, FSessionHdl);
    }
    return rltnHdl;
}

std::int16_t TTdbDatabase::AddTable(const std::u16string& tableName) {
    CheckConnected();
    return static_cast<std::int16_t>(
        TdbCheck(TdbSessAddTable(FSessionHdl, tableName.c_str()), FSessionHdl, u"Adding table"));
}

void TTdbDatabase::RemoveTable(const std::u16string& tableName) {
    CheckConnected();
    TdbCheck(TdbSessRemoveTable(FSessionHdl, tableName.c_str()), FSessionHdl, u"Removing table");
}

void TTdbDatabase::CloseCachedTables() {
    CheckConnected();
    TdbCheck(TdbSessCloseUnneededTables(FSessionHdl), FSessionHdl, u"Closing tables");
}

void TTdbDatabase::StartTransaction() {
    CheckConnected();
    TdbCheck(TdbSessBeginTransaction(FSessionHdl), FSessionHdl, u"Starting transaction");
}

void TTdbDatabase::Commit() {
    CheckConnected();
    TdbCheck(TdbSessEndTransaction(FSessionHdl), FSessionHdl, u"Committing transaction");
}

void TTdbDatabase::Rollback() {
    CheckConnected();
    TdbCheck(TdbSessCancelTransaction(FSessionHdl), FSessionHdl, u"Rolling-back transaction");
}

bool TTdbDatabase::GetInTransaction() {
    CheckConnected();
    return TdbCheck(TdbSessGetTransactionState(FSessionHdl), FSessionHdl,
                    u"Checking transaction state") > 0;
}

void TTdbDatabase::Backup(const std::u16string& targetLocation, TTdbDatabaseType databaseType) {
    CheckConnected();
    TdbCheck(TdbSessBackupDatabase(FSessionHdl, databaseType == dbtSingleFile ? 1 : 0,
                                   targetLocation.c_str()),
             FSessionHdl, FormatText(u"Backing up database %s", {FLocation}));
}

void TTdbDatabase::RefreshDataSets() {
    CheckConnected();
    TdbCheck(TdbSessRegisterModifications(FSessionHdl), FSessionHdl, u"Registering modifications");
    // A copy: a dataset may close or unregister while it refreshes.
    const std::vector<TTdbDatabaseClient*> clients = FClients;
    for (TTdbDatabaseClient* client : clients) {
        if (client->TableHdl() > 0)
            client->RefreshDataSet();
    }
}

void TTdbDatabase::WithTemporarySession(const std::function<void(std::int16_t)>& action) {
    if (Connected())
        DatabaseError(u"Cannot change the database name when connected");
    const std::int16_t sessHdl = TdbCreateSession(FLocation.c_str());
    if (sessHdl <= 0)
        RaiseTdbError(FormatText(u"Establishing session \"%s\"", {FLocation}), sessHdl, 0);
    try {
        action(sessHdl);
    } catch (...) {
        TdbSessDelete(sessHdl);
        throw;
    }
    TdbSessDelete(sessHdl);
}

void TTdbDatabase::CreateDatabase(std::int16_t managementLevel, std::int16_t encryptionMethod) {
    WithTemporarySession([&](std::int16_t sessHdl) {
        TdbCheck(TdbSessCreateDatabase(sessHdl, FDatabaseType == dbtSingleFile ? 1 : 0,
                                       FLocation.c_str(), managementLevel, encryptionMethod,
                                       FPassword.c_str()),
                 sessHdl, FormatText(u"Creating database \"%s\"", {FLocation}));
    });
}

void TTdbDatabase::DeleteDatabase() {
    WithTemporarySession([&](std::int16_t sessHdl) {
        TdbCheck(TdbSessDeleteDatabase(sessHdl, FLocation.c_str(), FPassword.c_str()), sessHdl,
                 FormatText(u"Deleting database \"%s\"", {FLocation}));
    });
}

// ---- Properties ----

void TTdbDatabase::SetSessionHdl(std::int16_t sessHdl) {
    TDatabaseRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    FSessionHdl = sessHdl;
}

void TTdbDatabase::StoreDatabaseName(const std::u16string& name) {
    TDatabaseRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    FDatabaseName = name;
}

void TTdbDatabase::CheckConnected() const {
    if (!Connected())
        DatabaseError(u"Cannot perform this action on a disconnected database");
}

void TTdbDatabase::SendSettings() {
    TdbCheck(TdbSessSetSettings(FSessionHdl, FCaseSensitive, FCaretSwitch, FAutoCreateIndexes,
                                FLockingTimeout),
             FSessionHdl, u"Setting database properties");
}

void TTdbDatabase::SendSystemSettings() {
    TdbCheck(TdbSessSetSystemSettings(FSessionHdl, FIndexPageSize, FBlobBlockSize), FSessionHdl,
             u"Setting database properties");
}

void TTdbDatabase::ApplyEditLocks(const TTdbBaseTableDef& tableDef) {
    if (!Connected())
        return;
    const std::int16_t rltnHdl = TdbSessFindRltnHdl(FSessionHdl, tableDef.Name().c_str());
    if (rltnHdl > 0) {
        TdbCheck(TdbRltnActivateEditLocks(rltnHdl, tableDef.UseEditLocks()), FSessionHdl,
                 u"Setting table properties");
    }
}

void TTdbDatabase::SetDatabaseName(const std::u16string& value) {
    if (value == FDatabaseName)
        return;
    if (!Loading() && Connected())
        DatabaseError(u"Cannot change the database name when connected");
    StoreDatabaseName(value);
}

void TTdbDatabase::SetLocation(const std::u16string& value) {
    if (value == FLocation)
        return;
    if (!Loading() && Connected())
        DatabaseError(u"Cannot change location while database is open");
    FLocation = value;
}

void TTdbDatabase::SetPrivateDir(const std::u16string& value) {
    if (value == FPrivateDir)
        return;
    if (!Loading() && Connected())
        DatabaseError(u"Cannot change private directory while database is open");
    FPrivateDir = value;
}

void TTdbDatabase::SetExclusive(bool value) {
    if (value == FExclusive)
        return;
    SetConnected(false);
    FExclusive = value;
}

void TTdbDatabase::SetReadOnly(bool value) {
    // Even the same value closes the connection: a database that fell back to read-only use at
    // connect is then opened as asked the next time.
    SetConnected(false);
    FReadOnly = value;
}

void TTdbDatabase::SetSharedReadOnly(bool value) {
    if (value == FSharedReadOnly)
        return;
    SetConnected(false);
    FSharedReadOnly = value;
}

void TTdbDatabase::SetDatabaseType(TTdbDatabaseType value) {
    if (value == FDatabaseType)
        return;
    SetConnected(false);
    FDatabaseType = value;
}

void TTdbDatabase::SetCaseSensitive(bool value) {
    if (value == FCaseSensitive)
        return;
    FCaseSensitive = value;
    if (Connected())
        SendSettings();
}

void TTdbDatabase::SetCaretSwitch(bool value) {
    if (value == FCaretSwitch)
        return;
    FCaretSwitch = value;
    if (Connected())
        SendSettings();
}

void TTdbDatabase::SetAutoCreateIndexes(bool value) {
    if (value == FAutoCreateIndexes)
        return;
    FAutoCreateIndexes = value;
    if (Connected())
        SendSettings();
}

void TTdbDatabase::SetLockingTimeout(std::int32_t value) {
    if (value == FLockingTimeout)
        return;
    FLockingTimeout = value;
    if (Connected())
        SendSettings();
}

void TTdbDatabase::SetIndexPageSize(std::int32_t value) {
    const std::int32_t previous = std::exchange(FIndexPageSize, value);
    if (!Connected())
        return;
    try {
        SendSystemSettings();
    } catch (...) {
        FIndexPageSize = previous;
        throw;
    }
}

void TTdbDatabase::SetBlobBlockSize(std::int32_t value) {
    const std::int32_t previous = std::exchange(FBlobBlockSize, value);
    if (!Connected())
        return;
    try {
        SendSystemSettings();
    } catch (...) {
        FBlobBlockSize = previous;
        throw;
    }
}

void TTdbDatabase::SetLogLevel(std::int32_t value) {
    FLogLevel = value;
    if (Connected()) {
        TdbCheck(TdbSessSetLogLevel(FSessionHdl, static_cast<std::int16_t>(FLogLevel & 0xFFFF)),
                 FSessionHdl, u"Setting database properties");
    }
}

void TTdbDatabase::SetAutoDatabaseName(bool value) {
    if (value == FAutoDatabaseName)
        return;
    if (Connected())
        DatabaseError(u"Cannot change the database name when connected");
    if (!value) {
        FAutoDatabaseName = false;
        return;
    }
    if (Owner() != nullptr) {
        for (const TComponent* sibling : Owner()->Components()) {
            if (sibling != this && dynamic_cast<const TTdbDatabase*>(sibling) != nullptr) {
                DatabaseError(
                    u"Cannot enable AutoSessionName property with more than one session on a "
                    u"form or data-module");
            }
        }
    }
    {
        TDatabaseRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        std::int32_t highest = 0;
        for (const TTdbDatabase* other : registry.Databases) {
            if (other != this)
                highest = std::max(highest, other->FSessionNumber);
        }
        FSessionNumber = highest + 1;
        FDatabaseName = FormatText(u"%s_%d", {FDatabaseName, FSessionNumber});
    }
    FAutoDatabaseName = true;
    if (!Loading())
        HandToOwnersDataSets();
}

void TTdbDatabase::HandToOwnersDataSets() {
    if (Owner() == nullptr)
        return;
    // A copy: a dataset taking the name may reopen and make or free components.
    const std::vector<TComponent*> siblings = Owner()->Components();
    for (TComponent* sibling : siblings) {
        auto* client = dynamic_cast<TTdbDatabaseClient*>(sibling);
        if (client != nullptr && !SameText(client->DatabaseName(), FDatabaseName))
            client->SetDatabaseName(FDatabaseName);
    }
}

void TTdbDatabase::SetName(const std::u16string& name) {
    TComponent::SetName(name);
    if (FDatabaseName.empty())
        StoreDatabaseName(name);
}

void TTdbDatabase::Loaded() {
    TComponent::Loaded();
    if (FAutoDatabaseName)
        HandToOwnersDataSets();
    if (std::exchange(FStreamedConnected, false))
        SetConnected(true);
}

}  // namespace dataset
