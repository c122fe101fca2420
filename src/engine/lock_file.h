// The lock file through which every session of every process that shares a table coordinates:
// table-lock counts, one entry per session with its vital-sign byte, the record each session
// edits, the change counter, and beside it the move file of relocated records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/relation.h"

namespace tdb {

class TdwFileSystem;

// The header at offset 0 of the lock file.
struct TTdbTableLockData {
    static constexpr std::size_t kSize = 30;
    static constexpr std::uint32_t kTag = 0x834BCF55u;
    static constexpr std::uint16_t kVersion = 7;

    std::uint32_t Tag = kTag;
    std::uint16_t Version = kVersion;
    std::int64_t ChangeCount = 0;
    std::uint16_t IndexCount = 0;
    std::uint16_t ReadLocks = 0;
    std::uint16_t UpgradeLocks = 0;
    std::uint16_t WriteLocks = 0;
    std::uint16_t LockWaiters = 0;
    std::uint16_t WriteWaiters = 0;
    std::uint16_t ItemCount = 0;
    std::uint16_t SessionCount = 0;

    void Load(std::span<const std::byte, kSize> image);
    void Store(std::span<std::byte, kSize> image) const;
};

// One session's entry; entry i lies at 30 + 56 * i.
struct TTdbSessionLockData {
    static constexpr std::size_t kSize = 56;
    static constexpr std::size_t kVitalSignOffset = 55;
    static constexpr std::size_t kMaxName = 40;

    std::uint64_t Id = 0;  // the station number; 0 marks a free entry
    std::string Name;      // ANSI, at most 40 characters
    std::uint8_t TableLock = tltNone;
    std::uint8_t DesiredLock = tltNone;
    std::int32_t EditRecNo = 0;
    std::uint8_t VitalSign = 0;

    void Load(std::span<const std::byte, kSize> image);
    void Store(std::span<std::byte, kSize> image) const;
};

// Who uses a table and how; a table without lock file reports one user and nothing else.
struct TTdbTableUsage {
    struct TEntry {
        std::u16string StationName;
        std::uint64_t StationNo = 0;
        bool InUse = false;
        std::int8_t Lock = 0;  // 0 none, 1 read, 2 upgrade, -1 write
        std::int32_t RecNo = 0;
    };
    std::int32_t ItemCount = 0;
    std::int32_t UserCount = 0;
    std::int32_t ReadCount = 0;
    std::int32_t UpgradeCount = 0;
    std::int32_t WriteCount = 0;
    std::int32_t WaitCount = 0;
    std::int32_t WaitWriteCount = 0;
    std::uint32_t UpdateCount = 0;  // low 32 bits of the change count
    std::vector<TEntry> Entries;
};

// One session's view of one table's lock file. Not thread-safe: the table's locking mutex
// guards it. Failures raise engine errors (106, 109, 115, 185); refusals answer false.
class TTdbLockFile {
public:
    // Waits poll: a random 2 to 6 ms between attempts.
    static constexpr std::int32_t kBaseSleepMs = 5;
    // 20 seconds' worth of attempts for a table lock, and for entering the lock-file mutex:
    // nothing waits forever.
    static constexpr std::int32_t kDefaultWaitAttempts = 20000 / kBaseSleepMs;
    // A waiting session checks for dead sessions every so many attempts (about half a second).
    static constexpr std::int32_t kDeadCheckAttempts = 100;

    explicit TTdbLockFile(TdwFileSystem& fileSystem);
    // Logs out when still logged in; never raises.
    ~TTdbLockFile();
    TTdbLockFile(const TTdbLockFile&) = delete;
    TTdbLockFile& operator=(const TTdbLockFile&) = delete;

    // Set before LogIn.
    void SetSessionId(std::uint64_t id) noexcept { FSessionId = id; }
    void SetSessionName(std::u16string name) { FSessionName = std::move(name); }
    std::uint64_t SessionId() const noexcept { return FSessionId; }
    const std::u16string& SessionName() const noexcept { return FSessionName; }
    // How many attempts a table-lock wait and a mutex entry make before giving up.
    void SetWaitAttempts(std::int32_t attempts) noexcept { FWaitAttempts = attempts; }

    // The lock file's and the move file's names for a table's base name (directory and table
    // name, no extension).
    static std::u16string LockFileName(std::u16string_view baseFileName, std::int16_t tableLevel,
                                       bool isRelTable);
    static std::u16string MoveFileName(std::u16string_view baseFileName, std::int16_t tableLevel,
                                       bool isRelTable);

    // Creates the files when missing; raises 115 when the lock file cannot be created, 106 when
    // it cannot be opened or read, 185 for another tag or version, 109 for contradictory
    // entries.
    void LogIn(std::u16string_view baseFileName, std::int16_t tableLevel, bool isRelTable);
    // Gives up the entry; the last session deletes the lock and the move file. Never raises:
    // when the file cannot be entered, closing the handle leaves an entry that the next
    // session check clears as dead.
    void LogOut() noexcept;
    bool LoggedIn() const noexcept { return FSessionDataPos >= 0; }

    // The transition rules between table-lock levels; false when refused (at once when
    // immediate, else after the wait).
    bool LockTable(TTdbTableLockType fromLock, TTdbTableLockType toLock, bool immediate);
    void UnlockTable(TTdbTableLockType fromLock, TTdbTableLockType toLock);
    // True when this is the only session; the mutex then stays held until UnlockExclusive.
    bool LockExclusive();
    void UnlockExclusive();

    bool LockRecord(std::int32_t recNo);
    void UnlockRecord(std::int32_t recNo);
    // Every entry editing From edits To afterwards (the record moved there).
    void SwitchRecordLock(std::int32_t fromRecNo, std::int32_t toRecNo);
    std::int32_t GetLockedRecord() const noexcept { return FSessionLockData.EditRecNo; }

    // True when another session changed the table since this one last saw it.
    bool CheckUpdate();
    void AddRecordMove(std::int32_t fromRecNo, std::int32_t toRecNo);
    // The next pair appended by another session; false when none is left.
    bool ReadRecordMove(std::int32_t& fromRecNo, std::int32_t& toRecNo);
    void WriteIndexCount(std::int16_t indexCount);
    void GetLockInfo(TTdbTableUsage& usage);

    // ---- Properties (as of the last time the file was read) ----
    std::int64_t SessionChangeCount() const noexcept { return FChangeCount; }
    void SetSessionChangeCount(std::int64_t count) noexcept { FChangeCount = count; }
    std::int64_t TableChangeCount() const noexcept { return FTableLockData.ChangeCount; }
    std::int32_t TableRecordCount() const noexcept { return 0; }
    std::int32_t TableIndexCount() const noexcept { return FTableLockData.IndexCount; }
    TTdbTableLockType TableLock() const noexcept { return FTableLock; }
    std::int32_t SessionCount() const noexcept { return FTableLockData.SessionCount; }
    std::int32_t LockWaiters() const noexcept { return FTableLockData.LockWaiters; }
    const std::u16string& FileName() const noexcept { return FFileName; }

    // Called when a session check found dead sessions, with the lock-file mutex held, so that
    // the table can roll back what they left unfinished.
    void SetOnHijack(std::function<void()> handler) { FOnHijack = std::move(handler); }
    void SetOnCheckRollback(std::function<void()> handler) { FOnCheckRollback = std::move(handler); }
    // Called with the lock-file mutex held when this session is about to take a table lock
    // while holding none, or the exclusive lock: nobody writes the table then. What it raises
    // refuses the lock.
    void SetOnFirstLock(std::function<void()> handler) { FOnFirstLock = std::move(handler); }

private:
    class TEnteredScope;

    // Takes the mutex bytes, without reading anything.
    void LockMutex();
    void Enter();
    void Leave() noexcept;
    void ReadHeader();
    void WriteHeader();
    void ReadEntry(std::int32_t index, TTdbSessionLockData& entry);
    void WriteEntry(std::int32_t index, const TTdbSessionLockData& entry, bool withVitalSign);
    void WriteOwnEntry();
    // The entry without its vital-sign byte; false when the file ends before it.
    bool ReadEntryImage(std::int32_t index,
                        std::array<std::byte, TTdbSessionLockData::kSize>& image);
    bool IsEntryAlive(std::int32_t index);
    // Clears dead entries and corrects the counts; true when either was needed, so that a
    // refused lock is worth trying again.
    bool CheckSessions();
    bool TryLockTable(TTdbTableLockType fromLock, TTdbTableLockType toLock);
    bool TryLockRecord(std::int32_t recNo);
    void SleepRandom() const;
    void SetWaiting(TTdbTableLockType toLock, bool waiting);
    void BeforeFirstLock(TTdbTableLockType fromLock);
    // Counts the release of an upgrade or write lock as a change of the table.
    void CountChange();
    // What a change of the own table lock alters here, to be put back when the file refuses it.
    struct TLevelState;
    TLevelState SaveLevel() const;
    void RestoreLevel(const TLevelState& state);
    // Writes the own entry, then the header, after the own table lock changed.
    void WriteLevel(const TLevelState& before, bool releasing);
    std::int32_t OpenOrCreateLockFile();
    std::int32_t OpenOrCreateMoveFile();
    void CloseFiles() noexcept;

    TdwFileSystem& FFileSystem;
    std::uint64_t FSessionId = 0;
    std::u16string FSessionName;
    std::int32_t FNetFile = -1;
    std::int32_t FMovFile = -1;
    std::int64_t FChangeCount = 0;
    TTdbTableLockData FTableLockData;
    TTdbTableLockType FTableLock = tltNone;
    std::int32_t FSessionDataPos = -1;
    TTdbSessionLockData FSessionLockData;
    std::int64_t FMovePos = 0;
    std::int32_t FEntered = 0;
    std::function<void()> FOnCheckRollback;
    std::function<void()> FOnHijack;
    std::function<void()> FOnFirstLock;
    std::int32_t FWaitAttempts = kDefaultWaitAttempts;
    std::u16string FFileName;
    std::u16string FMoveFileName;
    bool FExclusiveHeld = false;
    // Where this session appended pairs while pairs of others before them were still unread.
    std::vector<std::int64_t> FOwnMoves;
};

}  // namespace tdb
