// The database component: one engine session for a named database, the settings it hands that
// session, the tables it opens for its datasets, and the process-wide registry datasets find
// their database in by name.
//
// Lifetime. A database made by a program (on a window, with an owner) belongs to whoever made
// it and leaves the registry when it is destroyed. An automatic database - made because a
// dataset found no database by the name it was given - belongs to the registry:
// CreateAutomatic makes one and answers a borrowed reference. It destroys itself when its last
// client unregisters, so a dataset must not touch it after UnRegisterClient. Clients that
// unregister while the database itself is closing them (a disconnect) leave it alive and
// disconnected; the next dataset of that name finds it again, and the registry frees what is
// left when the process ends. Programs close their datasets before they end.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/component.h"
#include "dataset/database_client.h"

namespace dataset {

class TTdbDatabase;

enum TTdbFlushMode : std::uint8_t { tfmDefault, tfmSecure, tfmFast };
enum TTdbDatabaseType : std::uint8_t { dbtDirectory, dbtSingleFile };
enum TTdbTransIsolation : std::uint8_t { ttiDirtyRead, ttiReadCommitted, ttiRepeatableRead };

// What a dataset may do to the records of a table it opens.
enum TTdbAccessRight : std::uint8_t {
    tarAppend = 0x01,
    tarEdit = 0x02,
    tarDelete = 0x04,
    tarIndex = 0x08,
};

class TTdbAccessRights {
public:
    constexpr TTdbAccessRights() noexcept = default;
    constexpr TTdbAccessRights(TTdbAccessRight right) noexcept : FBits(right) {}
    static constexpr TTdbAccessRights All() noexcept {
        return TTdbAccessRights(tarAppend) | tarEdit | tarDelete | tarIndex;
    }
    constexpr bool Contains(TTdbAccessRight right) const noexcept { return (FBits & right) != 0; }
    friend constexpr TTdbAccessRights operator|(TTdbAccessRights a, TTdbAccessRights b) noexcept {
        TTdbAccessRights both;
        both.FBits = static_cast<std::uint8_t>(a.FBits | b.FBits);
        return both;
    }
    friend constexpr bool operator==(TTdbAccessRights, TTdbAccessRights) noexcept = default;

private:
    std::uint8_t FBits = 0;
};

constexpr TTdbAccessRights operator|(TTdbAccessRight a, TTdbAccessRight b) noexcept {
    return TTdbAccessRights(a) | b;
}

using TTdbDatabaseEvent = std::function<void(TTdbDatabase& database)>;
// Asked for the key of a table: a handler that sets Retry hands Key over. Sender is the database
// when its own open failed with a wrong key, null when the engine asks in the middle of a call.
using TTdbPasswordEvent = std::function<void(TComponent* sender, const std::u16string& tableName,
                                             std::u16string& key, bool& retry)>;

// Settings of one table that the database applies whenever it connects.
class TTdbBaseTableDef {
public:
    TTdbBaseTableDef(TTdbDatabase& database, std::u16string name);

    const std::u16string& Name() const noexcept { return FName; }
    void SetName(const std::u16string& name) { FName = name; }
    // Whether editing a record locks it against other users' edits; taken over by the open table
    // at once when the database is connected.
    bool UseEditLocks() const noexcept { return FUseEditLocks; }
    void SetUseEditLocks(bool value);

private:
    TTdbDatabase& FDatabase;
    std::u16string FName;
    bool FUseEditLocks = true;
};

class TTdbBaseTableDefs {
public:
    explicit TTdbBaseTableDefs(TTdbDatabase& database) : FDatabase(database) {}

    int Count() const noexcept { return static_cast<int>(FItems.size()); }
    TTdbBaseTableDef& Items(int index) const { return *FItems.at(static_cast<std::size_t>(index)); }
    // A table named twice would only be opened once: the item already there is answered.
    TTdbBaseTableDef& AddTableDef(const std::u16string& name);
    // By table name without case; -1 when there is none.
    int IndexOf(const std::u16string& name) const;
    TTdbBaseTableDef* Find(const std::u16string& name) const;
    void Delete(int index);
    void Clear() noexcept { FItems.clear(); }

private:
    TTdbDatabase& FDatabase;
    std::vector<std::unique_ptr<TTdbBaseTableDef>> FItems;
};

class TTdbDatabase : public TComponent {
public:
    explicit TTdbDatabase(TComponent* owner);
    ~TTdbDatabase() override;

    // ---- The registry ----

    // The database datasets know by that name (without case); null when there is none, an error
    // when more than one has it.
    static TTdbDatabase* FindDatabase(const std::u16string& name);
    // A database for a dataset that found none by its name: the name is taken as its directory.
    // Owned by the registry (see the top of this file).
    static TTdbDatabase& CreateAutomatic(const std::u16string& name);
    // Hands a database over to the registry as an automatic one.
    static TTdbDatabase& AdoptAutomatic(std::unique_ptr<TTdbDatabase> database);

    // The engine's change notification of a cursor: finds the database of the session and its
    // client with that cursor, which learns that DeletedRecNo went and MovedRecNo took its number.
    static void TableChanged(std::int16_t sessHdl, std::int16_t tableHdl, std::int32_t deletedRecNo,
                             std::int32_t movedRecNo) noexcept;

    // ---- Connection ----

    std::int16_t SessionHdl() const noexcept { return FSessionHdl; }
    bool Connected() const { return GetConnected(); }
    // Runs the before-event, connects or disconnects, runs the after-event. While the component
    // is read from its window the value is kept until it is loaded.
    virtual void SetConnected(bool value);

    virtual void RegisterClient(TTdbDatabaseClient* client);
    // May destroy an automatic database (see the top of this file).
    virtual void UnRegisterClient(TTdbDatabaseClient* client);
    virtual int GetDataSetCount() const noexcept { return static_cast<int>(FClients.size()); }
    int DataSetCount() const noexcept { return GetDataSetCount(); }
    virtual TTdbDatabaseClient* GetDataSet(int index) const;

    // ---- Tables ----

    // The relation handle of the table, opened unless the session has it open already, with the
    // tables its link and relation columns name. A failed open answers the negative result code
    // for the caller to raise with its own context.
    std::int16_t OpenRelation(const std::u16string& tableName, std::u16string key,
                              std::uint16_t rights, bool force);
    // As OpenRelation; a failure raises.
    std::int16_t OpenTable(const std::u16string& tableName, const std::u16string& key,
                           bool exclusive, TTdbAccessRights accessRights, TTdbFlushMode flushMode);
    // The rights word of a relation opened with these rights, exclusive use and flush request,
    // together with the database's own exclusive use and flush mode.
    std::uint16_t RightsWord(TTdbAccessRights accessRights, bool exclusive,
                             TTdbFlushMode flushMode) const noexcept;

    std::int16_t AddTable(const std::u16string& tableName);
    void RemoveTable(const std::u16string& tableName);
    void CloseCachedTables();
    void StartTransaction();
    void Commit();
    void Rollback();
    bool GetInTransaction();
    bool InTransaction() { return GetInTransaction(); }
    // Copies every open table into a new database at TargetLocation.
    void Backup(const std::u16string& targetLocation, TTdbDatabaseType databaseType);
    // Takes in other users' changes and refreshes every open dataset.
    void RefreshDataSets();
    // Make and delete the database at Location; only while disconnected. The password is the
    // key of the new database's tables.
    void CreateDatabase(std::int16_t managementLevel = 0, std::int16_t encryptionMethod = 0);
    void DeleteDatabase();

    // ---- Properties ----

    bool Automatic() const noexcept { return FAutomatic; }
    void SetAutomatic(bool value) noexcept { FAutomatic = value; }
    const std::u16string& DatabaseName() const noexcept { return FDatabaseName; }
    void SetDatabaseName(const std::u16string& value);
    const std::u16string& Location() const noexcept { return FLocation; }
    void SetLocation(const std::u16string& value);
    const std::u16string& PrivateDir() const noexcept { return FPrivateDir; }
    void SetPrivateDir(const std::u16string& value);
    const std::u16string& ConnectionName() const noexcept { return FConnectionName; }
    void SetConnectionName(const std::u16string& value) { FConnectionName = value; }
    // The station number the session drew at connect.
    std::uint32_t ConnectionId() const noexcept { return FConnectionId; }
    bool Exclusive() const noexcept { return FExclusive; }
    void SetExclusive(bool value);
    bool ReadOnly() const noexcept { return FReadOnly; }
    void SetReadOnly(bool value);
    bool SharedReadOnly() const noexcept { return FSharedReadOnly; }
    void SetSharedReadOnly(bool value);
    TTdbDatabaseType DatabaseType() const noexcept { return FDatabaseType; }
    void SetDatabaseType(TTdbDatabaseType value);
    TTdbFlushMode FlushMode() const noexcept { return FFlushMode; }
    void SetFlushMode(TTdbFlushMode value) noexcept { FFlushMode = value; }
    bool CaseSensitive() const noexcept { return FCaseSensitive; }
    void SetCaseSensitive(bool value);
    bool CaretSwitch() const noexcept { return FCaretSwitch; }
    void SetCaretSwitch(bool value);
    bool AutoCreateIndexes() const noexcept { return FAutoCreateIndexes; }
    void SetAutoCreateIndexes(bool value);
    std::int32_t LockingTimeout() const noexcept { return FLockingTimeout; }
    void SetLockingTimeout(std::int32_t value);
    std::int32_t IndexPageSize() const noexcept { return FIndexPageSize; }
    void SetIndexPageSize(std::int32_t value);
    std::int32_t BlobBlockSize() const noexcept { return FBlobBlockSize; }
    void SetBlobBlockSize(std::int32_t value);
    std::int32_t LogLevel() const noexcept { return FLogLevel; }
    void SetLogLevel(std::int32_t value);
    std::int32_t CacheSize() const noexcept { return FCacheSize; }
    void SetCacheSize(std::int32_t value) noexcept { FCacheSize = value; }
    std::int32_t ServerTimeout() const noexcept { return FServerTimeout; }
    void SetServerTimeout(std::int32_t value) noexcept { FServerTimeout = value; }
    TTdbTransIsolation TransIsolation() const noexcept { return FTransIsolation; }
    void SetTransIsolation(TTdbTransIsolation value) noexcept { FTransIsolation = value; }
    const std::u16string& UserName() const noexcept { return FUserName; }
    void SetUserName(const std::u16string& value) { FUserName = value; }
    const std::u16string& Password() const noexcept { return FPassword; }
    void SetPassword(const std::u16string& value) { FPassword = value; }
    std::int16_t ManagementLevel() const noexcept { return FManagementLevel; }
    std::int16_t EncryptionMethod() const noexcept { return FEncryptionMethod; }
    std::int32_t SessionNumber() const noexcept { return FSessionNumber; }
    bool AutoDatabaseName() const noexcept { return FAutoDatabaseName; }
    // True gives the database a name no other database has ("Name_2") and hands it to the
    // datasets on the same owner.
    void SetAutoDatabaseName(bool value);
    TTdbBaseTableDefs& TableDefs() noexcept { return FTableDefs; }

    void SetName(const std::u16string& name) override;

    TTdbDatabaseEvent BeforeConnect;
    TTdbDatabaseEvent AfterConnect;
    TTdbDatabaseEvent BeforeDisconnect;
    TTdbDatabaseEvent AfterDisconnect;
    TTdbPasswordEvent OnPassword;

protected:
    virtual void DoConnect();
    virtual void DoDisconnect();
    virtual bool GetConnected() const { return FSessionHdl > 0; }
    void Loaded() override;
    // The open of the database files, kept apart so that a test can stand in for a medium the
    // engine refuses to write on.
    virtual std::int16_t OpenDatabaseFiles(std::uint16_t attributes);

private:
    friend class TTdbBaseTableDef;

    // The session's password callback: asks the OnPassword handler of the session's database.
    static bool EnginePasswordCallback(std::int16_t sessHdl, const char16_t* tableName,
                                       char16_t* key, std::int16_t maxKeyLen) noexcept;

    void CheckConnected() const;
    void SetSessionHdl(std::int16_t sessHdl);
    void StoreDatabaseName(const std::u16string& name);
    void SendSettings();
    void SendSystemSettings();
    void ApplyEditLocks(const TTdbBaseTableDef& tableDef);
    void OpenRelationLinks(std::int16_t rltnHdl, const std::u16string& tableName,
                           const std::u16string& key, std::uint16_t rights, bool force);
    void HandToOwnersDataSets();
    // Runs a temporary session on Location for creating or deleting the database.
    void WithTemporarySession(const std::function<void(std::int16_t sessHdl)>& action);

    // FSessionHdl, FDatabaseName and FSessionNumber change under the registry lock: other
    // threads read them while they walk it.
    std::int16_t FSessionHdl = 0;
    bool FAutomatic = false;
    std::u16string FConnectionName;
    std::uint32_t FConnectionId = 0;
    std::u16string FPrivateDir;
    std::u16string FDatabaseName;
    std::int32_t FSessionNumber = 0;
    std::u16string FLocation;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FCaseSensitive = false;
    bool FCaretSwitch = false;
    bool FAutoCreateIndexes = true;
    TTdbFlushMode FFlushMode = tfmDefault;
    bool FSharedReadOnly = false;
    TTdbDatabaseType FDatabaseType = dbtDirectory;
    std::int16_t FManagementLevel = 0;
    std::int16_t FEncryptionMethod = 0;
    std::u16string FUserName;
    std::u16string FPassword;
    bool FAutoDatabaseName = false;
    std::int32_t FBlobBlockSize = 512;
    std::int32_t FIndexPageSize = 4096;
    TTdbTransIsolation FTransIsolation = ttiDirtyRead;
    std::int32_t FLogLevel = 0;
    std::int32_t FCacheSize = 40960;
    std::int32_t FLockingTimeout = 20000;
    std::int32_t FServerTimeout = 0;
    TTdbBaseTableDefs FTableDefs{*this};

    std::vector<TTdbDatabaseClient*> FClients;
    // Above 0 while the database closes its own clients: they unregister then without freeing
    // an automatic database under its feet.
    int FClosingClients = 0;
    bool FStreamedConnected = false;
    // What an OnPassword handler raised while the engine asked for a key, raised again once the
    // engine call is back.
    std::exception_ptr FPasswordFailure;
    // Whether the engine asked OnPassword during the last table open.
    bool FPasswordAsked = false;
};

}  // namespace dataset
