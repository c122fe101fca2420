// Sessions: one client's connection to the engine with its settings, its last error and at most
// one open database. The local session works on the files itself through its catalog.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/catalog.h"
#include "engine/record_context.h"
#include "engine/services.h"

namespace tdb {

class TTdbPageManager;

class TTdbSession {
public:
    virtual ~TTdbSession() = default;

    // The station number the session logs into lock files with; -1 until initialised.
    std::int32_t ConnectionId() const noexcept { return FConnectionId; }

    virtual bool GetIsOpen() const = 0;
    bool IsOpen() const { return GetIsOpen(); }
    // Called once, right after the session list took the session, with its handle; a negative
    // result is an engine error code.
    virtual std::int16_t Initialize(std::int16_t handle) = 0;
    // Closes the database and frees everything the session owns; called when the list deletes
    // the session.
    virtual void Uninitialize() = 0;

protected:
    TTdbSession() = default;
    TTdbSession(const TTdbSession&) = delete;
    TTdbSession& operator=(const TTdbSession&) = delete;

    std::int32_t FConnectionId = -1;
};

// The client identity a caller hands over, decoded from the call interface's record.
struct TTdbNetParams {
    static constexpr std::size_t kMaxStationName = 41;
    static constexpr std::int32_t kDefaultServerTimeout = 20000;

    std::u16string NetDirs = u"AUTO";
    std::u16string PrivateDir;
    std::uint32_t StationNo = 0;
    std::u16string StationName = u"Undefined";
    std::u16string ReadOnlyDirs;
    std::int32_t ServerTimeout = kDefaultServerTimeout;
};

// Asked every so many records by a long operation; non-zero asks it to stop.
using TTdbProgressCallback = std::function<int()>;

class TTdbLocalSession : public TTdbSession {
public:
    // Station numbers are drawn below this bound.
    static constexpr std::uint32_t kStationNoRange = 2147483647u;
    static constexpr std::u16string_view kSingleFileExtension = u".tdbd";
    static constexpr std::u16string_view kControlFileText =
        u"TableDB database control file for directory-based database";

    // The page manager is the process's cache unless a test hands over its own.
    explicit TTdbLocalSession(TTdbPageManager* pageManager = nullptr);
    ~TTdbLocalSession() override;

    bool GetIsOpen() const override;
    std::int16_t Initialize(std::int16_t handle) override;
    void Uninitialize() override;

    // ---- Client identity ----
    // The defaults a caller starts from, with a freshly drawn station number.
    static TTdbNetParams DefaultNetParams();
    // Station number (also the connection id), station name (cut to 41 characters), read-only
    // and net directories, and the private directory, which is then created on disk; a
    // private directory that cannot be created is no error here.
    void SetNetParams(const TTdbNetParams& params);

    // ---- Database ----
    // Opens the database whose location, key and open mode were put into the catalog: 0, or
    // the negated engine error with the last error set and every file system released. A
    // database still open is closed first.
    std::int16_t OpenDb();
    std::int16_t CloseDb();
    // Releases the data and OS file systems from the page manager and frees the lock one.
    void CloseServices();
    // 0 or a negated engine error. Raises when the session has a database open.
    std::int16_t CreateDatabase(TTdbDatabaseType databaseType, std::u16string_view databaseName,
                                TTdbManagementLevel managementLevel, std::int16_t encryptionMethod,
                                std::u16string_view key);
    // Deletes every table through the catalog, then every file of the database: 0 or a negated
    // engine error.
    std::int16_t DeleteDatabase(std::u16string_view databasePath, std::u16string_view key);

    // ---- User break ----
    bool UserBreak() const noexcept { return CtrlU.load(std::memory_order_relaxed); }
    // A long operation clears the flag when it starts ...
    void ClearUserBreak() noexcept { CtrlU.store(false, std::memory_order_relaxed); }
    // ... asks its caller's progress function every so many records, which sets the flag by
    // answering non-zero, and stops when this answers true ...
    bool ReportProgress(const TTdbProgressCallback& progress);
    // ... and then records "Operation canceled", clears the flag and returns the negated code.
    std::int16_t CancelOperation();

    std::int16_t Handle() const noexcept { return FHandle; }
    // Both exist from Initialize to Uninitialize.
    TTdbServices& Services() const { return *FServices; }
    TTdbCatalog& Catalog() const { return *FCatalog; }

    bool StopPrg = false;
    bool MustBreak = true;

private:
    // CloseDb for operations that answer with a result: a failure becomes the last error.
    std::int16_t CloseDbReporting();

    TTdbPageManager& FPageManager;
    std::int16_t FHandle = 0;
    std::unique_ptr<TTdbServices> FServices;
    std::unique_ptr<TTdbCatalog> FCatalog;
    // Compiles the conditions of the session's tables (checks, filters) over the catalog's
    // relations.
    std::unique_ptr<TTdbRecordConditionFactory> FExpressions;
    std::atomic<bool> CtrlU{false};
};

}  // namespace tdb
