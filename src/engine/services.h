// The per-session services object: the settings of one client, its last error, its log and
// the file systems of the open database. Every engine object the session opens is handed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/log.h"
#include "engine/last_error.h"
#include "index/sorter.h"
#include "types/calculation.h"

namespace tdb {

class TdwFileSystem;
class TTdbPageManager;
class TTdbSessionLogFile;

enum TTdbDatabaseType : std::int16_t { dbtDbDirectory = 0, dbtSingleFile = 1 };

enum TTdbIsolationLevel : std::uint8_t {
    tilNone,
    tilDirtyRead,
    tilReadCommited,
    tilRepeatableRead
};

// Asks the application for the password of a table; false when the user gives up.
using TTdbPasswordCallback = std::function<bool(std::u16string_view tableName, std::u16string& key)>;

class TTdbServices : public TTdbLog, public TTdbExpressionFactory {
public:
    static constexpr std::int32_t kDefBlobBlockSize = 512;
    static constexpr std::int32_t kDefIndPageSize = 4096;
    static constexpr int kMaxLogLevel = 4;

    TTdbServices(std::int16_t sessionHdl, TTdbPageManager& pageManager);
    ~TTdbServices() override;
    TTdbServices(const TTdbServices&) = delete;
    TTdbServices& operator=(const TTdbServices&) = delete;

    // ---- Last error: each answers the negated engine error number ----
    TTdbLastError& LastError() noexcept { return FLastError; }
    std::int16_t SetLastError(std::int16_t code, const TdbFormatArgs& args = {}) {
        return FLastError.SetLastError(code, args);
    }
    std::int16_t SetLastError(const std::exception& e) { return FLastError.SetLastError(e); }
    std::int16_t SetLastErrorFromCurrentException() {
        return FLastError.SetLastErrorFromCurrentException();
    }
    void ClearLastError() noexcept { FLastError.ClearLastError(); }

    // ---- Log ----
    // 1 to 4 opens the log in the private directory (rotating the older generations), 0
    // closes it; values outside are clamped.
    void SetLogLevel(int level);
    int LogLevel() const noexcept { return FLogLevel.load(std::memory_order_relaxed); }
    void LogMessage(int level, std::u16string_view subSystem,
                    std::u16string_view msgText) override;
    // The log file of the current generation ("TdbLog<station>_01.txt"); empty while closed.
    std::u16string LogFileName() const;
    // The name of one generation (1 to 5) of this station's log in the private directory.
    std::u16string LogGenerationName(int generation) const;
    static constexpr int kLogGenerations = 5;

    // ---- Directories and file systems ----
    // Empty means the system's temporary directory; the stored value ends with "/".
    void SetPrivateDir(std::u16string_view dir);
    const std::u16string& PrivateDir() const noexcept { return FPrivateDir; }
    // The file system that holds the files of Directory: the database directory's own for a
    // non-empty directory, the data file system for an empty one.
    TdwFileSystem* DetermineFileSystem(std::u16string_view directory) const;
    void SetDatabaseType(TTdbDatabaseType type) noexcept { FDataBaseType = type; }
    // The data and OS file systems are registered with the page manager and released there.
    void SetDataFileSystem(TdwFileSystem* fileSystem) noexcept { FDataFileSystem = fileSystem; }
    void SetLockFileSystem(std::unique_ptr<TdwFileSystem> fileSystem);
    void SetOSFileSystem(TdwFileSystem* fileSystem) noexcept { FOSFileSystem = fileSystem; }
    TdwFileSystem* DataFileSystem() const noexcept { return FDataFileSystem; }
    TdwFileSystem* LockFileSystem() const noexcept { return FLockFileSystem.get(); }
    TdwFileSystem* OSFileSystem() const noexcept { return FOSFileSystem; }
    TTdbDatabaseType DatabaseType() const noexcept { return FDataBaseType; }
    TTdbPageManager& PageManager() const noexcept { return FPageManager; }
    // The session's sorter: bookmark lists and other orders, one nested inside another.
    TTdbSorter& Sorter() noexcept { return FSorter; }

    // ---- Expressions ----
    // Until a session binds a compiler, calculations and conditions keep their source and
    // refuse to be evaluated (error 187).
    std::unique_ptr<TTdbCalculation> CreateCalculation(std::u16string_view source,
                                                       TTdbExpressionSyntax kind,
                                                       std::int16_t tableLevel) override;
    std::unique_ptr<TTdbCondition> CreateCondition(std::u16string_view source,
                                                   TTdbExpressionSyntax kind,
                                                   std::int16_t tableLevel) override;
    void SetExpressionFactory(TTdbExpressionFactory* factory) noexcept { FFactory = factory; }

    // ---- Settings (fields keep their names) ----
    const std::int16_t FSessionHdl;
    bool FCaseSensitive = false;
    char16_t FDecimalChar = u',';
    bool FAutoCreateIndexes = true;
    std::uint32_t FStation = 0;
    std::u16string FIDName;
    std::u16string FGetCD;   // read-only directories
    std::u16string FNetDrv;  // net directories
    TTdbIsolationLevel FIsolationLevel = tilNone;
    bool FDoRead = true;
    std::int32_t FLockingTimeout = 0;
    std::int32_t DefBlobBlockSize = kDefBlobBlockSize;
    std::int32_t DefIndPageSize = kDefIndPageSize;
    TTdbPasswordCallback FPasswordCallback;

private:
    TTdbPageManager& FPageManager;
    TTdbLastError FLastError;
    std::u16string FPrivateDir;
    TTdbDatabaseType FDataBaseType = dbtDbDirectory;
    TdwFileSystem* FDataFileSystem = nullptr;
    std::unique_ptr<TdwFileSystem> FLockFileSystem;
    TdwFileSystem* FOSFileSystem = nullptr;
    // The catalog's unlock thread may report while the session's thread changes the level.
    mutable std::recursive_mutex FLogSync;
    std::unique_ptr<TTdbSessionLogFile> FLogFile;
    std::atomic<int> FLogLevel{0};
    TTdbExpressionFactory* FFactory = nullptr;
    TTdbSorter FSorter{true};
};

}  // namespace tdb
