// The stored table's share of the lock protocol: nesting counts over the level held in the lock
// file, the lazy release, record locks for editing, and catching up with other sessions' changes.
#include <algorithm>
#include <exception>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/services.h"
#include "engine/table_names.h"
#include "index/index_file.h"
#include "platform/clock.h"
#include "platform/random.h"
#include "platform/text.h"
#include "storage/page_manager.h"

namespace tdb {

namespace {

// The pause after an early release that lets waiting sessions in.
constexpr std::uint32_t kEarlyReleasePauseMs = 5;

// The draw happens at the end of every lock, also of the nested ones a scan takes for each
// record: a generator of the calling thread (xorshift64*, seeded once from the process-wide one)
// keeps it cheaper than the lock itself.
bool EarlyReleaseDrawn() {
    thread_local std::uint64_t state =
        (std::uint64_t{platform::Random(0xFFFFFFFFu)} << 32 | platform::Random(0xFFFFFFFFu)) | 1;
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return (state * 0x2545F4914F6CDD1DULL >> 32) % TTdbBaseTable::kEarlyReleaseOdds == 0;
}

}  // namespace

std::int16_t TTdbBaseTable::LockFailure(const std::exception& e) {
    return FServices.SetLastError(e);
}

// The unlock thread gives back only the locks of an idle table, so the time of the last use
// counts from the end of the last nesting; the ends of inner ones need no clock.
void TTdbBaseTable::NoteUse() noexcept {
    if (FLocks.Read == 0 && FLocks.Upgrade == 0 && FLocks.Write == 0 && FLocks.Exclusive == 0)
        FUnlockTime.store(platform::GetTickCount());
}

void TTdbBaseTable::ArmUnlock() noexcept {
    FUnlockTime.store(platform::GetTickCount());
    FUnlockActive.store(true);
}

void TTdbBaseTable::SetLockWaitAttempts(std::int32_t attempts) {
    std::lock_guard guard(FLockingMutex);
    FLockWaitAttempts = attempts;
    if (FLockFile)
        FLockFile->SetWaitAttempts(attempts);
}

bool TTdbBaseTable::TableChanged() const {
    return FLockFile->SessionChangeCount() != FLockFile->TableChangeCount() ||
           static_cast<std::size_t>(FLockFile->TableIndexCount()) > FLoadedIndexNames;
}

void TTdbBaseTable::UpdateIfChanged() {
    if (FLockFile && TableChanged())
        UpdateTable(FLockFile->TableChangeCount(), 0, FLockFile->TableIndexCount());
}

// ---- Table locks ----

std::int16_t TTdbBaseTable::BeginRead(bool wait) {
    std::lock_guard guard(FLockingMutex);
    bool taken = false;
    if (FLocks.Read == 0 && FLocks.Upgrade == 0 && FLocks.Write == 0 &&
        FUnlockAction.load() == tltNone && FLockFile) {
        try {
            if (!FLockFile->LockTable(tltNone, tltRead, !wait))
                return Fail(kTdbErrTableLocked);
        } catch (const std::exception& e) {
            return LockFailure(e);
        }
        FUnlockAction.store(tltRead);
        taken = true;
    }
    const bool outermost = FLocks.Read == 0 && FLocks.Upgrade == 0 && FLocks.Write == 0;
    ++FLocks.Read;
    if (outermost && FUnlockAction.load() > tltRead && FLockFile) {
        // A write lock kept from an earlier write is given back to a read lock here, not by the
        // unlock thread, which must not flush files this session is reading: a read lock
        // held for long would otherwise keep every other session out.
        try {
            ReleaseUnneededLocks();
        } catch (const std::exception& e) {
            --FLocks.Read;
            return LockFailure(e);
        }
    }
    if (taken) {
        try {
            UpdateIfChanged();
        } catch (const std::exception& e) {
            --FLocks.Read;
            return LockFailure(e);
        }
    }
    return 0;
}

std::int16_t TTdbBaseTable::BeginUpgrade(bool /*wait*/) {
    std::lock_guard guard(FLockingMutex);
    // A read nesting cannot become an upgrade: two sessions doing so would wait for each other.
    if (FLocks.Read > 0 && FLocks.Upgrade == 0 && FLocks.Write == 0)
        return Fail(kTdbErrTableLocked);
    bool waited = false;
    if (FLocks.Upgrade == 0 && FLocks.Write == 0 && FUnlockAction.load() < tltUpgrade && FLockFile) {
        try {
            bool got = FUnlockAction.load() == tltRead &&
                       FLockFile->LockTable(tltRead, tltUpgrade, true);
            if (!got) {
                ReleaseUnneededLocks();
                got = FLockFile->LockTable(FUnlockAction.load(), tltUpgrade, false);
                if (!got)
                    return Fail(kTdbErrTableLocked);
                waited = true;
            }
        } catch (const std::exception& e) {
            return LockFailure(e);
        }
        FUnlockAction.store(tltUpgrade);
    }
    ++FLocks.Upgrade;
    if (waited) {
        try {
            UpdateIfChanged();
        } catch (const std::exception& e) {
            --FLocks.Upgrade;
            return LockFailure(e);
        }
    }
    return 0;
}

std::int16_t TTdbBaseTable::BeginWrite(bool wait) {
    std::lock_guard guard(FLockingMutex);
    if (GetReadOnly())
        return Fail(kTdbErrNoWriteRight, {FStdName});
    if (FWriteError > 0) {
        const std::int16_t code = FWriteError;
        FWriteError = 0;
        return Fail(code, {FFileName});
    }
    if (FLocks.Read > 0 && FLocks.Upgrade == 0 && FLocks.Write == 0)
        return Fail(kTdbErrTableLocked);
    bool waited = false;
    if (FLocks.Write == 0 && FUnlockAction.load() < tltWrite && FLockFile) {
        try {
            bool got = false;
            if (FUnlockAction.load() == tltRead) {
                got = FLockFile->LockTable(tltRead, tltWrite, true);
                if (!got)
                    ReleaseUnneededLocks();
            }
            if (!got) {
                if (!FLockFile->LockTable(FUnlockAction.load(), tltWrite, !wait))
                    return Fail(kTdbErrTableLocked);
                waited = true;
            }
        } catch (const std::exception& e) {
            return LockFailure(e);
        }
        FUnlockAction.store(tltWrite);
    }
    ++FLocks.Write;
    try {
        if (waited)
            UpdateIfChanged();
        if (FHijacked && FUnlockAction.load() == tltWrite) {
            FHijacked = false;
            DiscardLeftLog();
        }
        if (FLocks.Write == 1 && FServices.FIsolationLevel != tilNone && !Temporary && !FRedoLog) {
            auto log = MakeRedoLog();
            log->NewFile();
            FRedoLog = std::move(log);
        }
    } catch (const std::exception& e) {
        --FLocks.Write;
        return LockFailure(e);
    }
    return 0;
}

std::int16_t TTdbBaseTable::BeginExclusive(bool /*wait*/) {
    std::lock_guard guard(FLockingMutex);
    if (FLocks.Exclusive == 0 && FLockFile) {
        try {
            if (!FLockFile->LockExclusive())
                return Fail(kTdbErrTableInUse, {FStdName});
            FUnlockActive.store(false);
            ReleaseUnneededLocks();
        } catch (const std::exception& e) {
            return LockFailure(e);
        }
    }
    ++FLocks.Exclusive;
    return 0;
}

void TTdbBaseTable::EndRead() {
    std::lock_guard guard(FLockingMutex);
    if (FLocks.Read <= 0)
        return;
    // Repeatable reads keep the last read nesting until the transaction ends.
    if (FServices.FIsolationLevel == tilRepeatableRead && FLocks.Read == 1 && FLocks.Write == 0 &&
        FLockFile && FKeptReads == 0)
        FKeptReads = 1;
    else
        --FLocks.Read;
    NoteUse();
    if (FLockFile && EarlyReleaseDrawn())
        ReleaseEarly();
}

void TTdbBaseTable::EndUpgrade() {
    std::lock_guard guard(FLockingMutex);
    if (FLocks.Upgrade <= 0)
        return;
    --FLocks.Upgrade;
    if (FServices.FIsolationLevel == tilRepeatableRead && FLocks.Upgrade == 0 && FLockFile) {
        ++FLocks.Read;
        ++FKeptReads;
    }
    NoteUse();
    if (FLockFile && EarlyReleaseDrawn()) {
        if (FLocks.Upgrade > 0) {
            Flush(false);
        } else {
            ReleaseEarly();
        }
    }
}

void TTdbBaseTable::EndWrite() {
    std::lock_guard guard(FLockingMutex);
    if (FLocks.Write <= 0)
        return;
    const TTdbIsolationLevel isolation = FServices.FIsolationLevel;
    if (FLocks.Write == 1 && isolation != tilNone && !FKeptWrite) {
        // The transaction keeps what it wrote locked until it ends.
        if (isolation == tilDirtyRead) {
            --FLocks.Write;
            ++FLocks.Read;
            ++FKeptReads;
        } else {
            FKeptWrite = true;
        }
    } else {
        --FLocks.Write;
    }
    NoteUse();
    if (FLockFile && EarlyReleaseDrawn()) {
        if (FLocks.Write > 0) {
            Flush(false);
        } else {
            ReleaseEarly();
        }
    }
}

void TTdbBaseTable::EndExclusive() {
    std::lock_guard guard(FLockingMutex);
    if (FLocks.Exclusive <= 0)
        return;
    if (--FLocks.Exclusive > 0 || !FLockFile)
        return;
    Flush(true);
    FLockFile->UnlockExclusive();
    ArmUnlock();
}

// The ends of locks cannot fail; the next lock meets the same trouble and reports it.
void TTdbBaseTable::ReleaseEarly() noexcept {
    try {
        ReleaseUnneededLocks();
    } catch (const std::exception& e) {
        FServices.SetLastError(e);
    }
    // The pause is for the sessions that wait; without any it would only slow this one down.
    if (FLockFile->LockWaiters() > 0)
        platform::Sleep(kEarlyReleasePauseMs);
}

void TTdbBaseTable::ReleaseKeptLocks() {
    std::lock_guard guard(FLockingMutex);
    if (FKeptWrite) {
        FKeptWrite = false;
        EndWrite();
    }
    while (FKeptReads > 0) {
        --FKeptReads;
        EndRead();
    }
}

std::int32_t TTdbBaseTable::CountReadLocks() const {
    std::lock_guard guard(FLockingMutex);
    return FLocks.Read - FKeptReads;
}

std::int32_t TTdbBaseTable::CountWriteLocks() const {
    std::lock_guard guard(FLockingMutex);
    return FLocks.Write;
}

void TTdbBaseTable::ReleaseUnneededLocks() {
    if (!FLockFile)
        return;
    const TTdbTableLockType held = FUnlockAction.load();
    const TTdbTableLockType needed = FLocks.Write > 0     ? tltWrite
                                     : FLocks.Upgrade > 0 ? tltUpgrade
                                     : FLocks.Read > 0    ? tltRead
                                                          : tltNone;
    if (needed >= held)
        return;
    // Whoever takes the table next reads the files, so what this session wrote goes there
    // first. A failed flush is reported on the next write lock; holding the lock forever
    // would help nobody.
    const bool flushed = held != tltWrite || Flush(true) == 0;
    try {
        FLockFile->UnlockTable(held, needed);
    } catch (...) {
        // A release the file refused is tried again later; one that reached the own entry
        // stands, and others learn of it from their next session check.
        FUnlockAction.store(FLockFile->TableLock());
        throw;
    }
    FUnlockAction.store(needed);
    if (held >= tltUpgrade && flushed && FDataFile) {
        // The cache shared by this process's sessions holds the files as this session left them.
        const std::int64_t changeCount = FLockFile->TableChangeCount();
        FDataFile->Storage()->MarkCurrent(changeCount);
        for (auto& index : FIndexFiles)
            if (index && index->IsOpen())
                index->Storage().MarkCurrent(changeCount);
    }
}

void TTdbBaseTable::CheckUnlock(std::uint64_t tickCount) {
    if (!FUnlockActive.load() || FUnlockAction.load() == tltNone)
        return;
    if (static_cast<std::uint32_t>(tickCount) - FUnlockTime.load() < kUnlockDelayMs)
        return;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0)
            platform::Sleep(kEarlyReleasePauseMs);
        std::unique_lock guard(FLockingMutex, std::try_to_lock);
        if (!guard.owns_lock())
            continue;
        // Only an idle table is released here: a session inside an operation still uses the
        // files the release would flush.
        if (FLocks.Read == 0 && FLocks.Upgrade == 0 && FLocks.Write == 0 &&
            FLocks.Exclusive == 0 && FLockFile) {
            try {
                ReleaseUnneededLocks();
            } catch (const std::exception&) {
                // The next use of the table meets the same failure and reports it.
            }
        }
        return;
    }
}

// ---- Record locks ----

std::int16_t TTdbBaseTable::CheckEdit(std::int32_t recNo, const IRelationListener* excluded) {
    std::lock_guard guard(FLockingMutex);
    if (!FUseEditLocks) {
        ++FLocks.Edit;
        return 0;
    }
    for (IRelationListener* listener : FClientAccessors)
        if (listener != excluded && listener->IsEditing(recNo))
            return Fail(kTdbErrRecordBeingEdited);
    if (FLockFile) {
        try {
            if (FLocks.Edit > 0) {
                if (FLockFile->GetLockedRecord() != recNo)
                    return Fail(kTdbErrRecordBeingEdited);
            } else if (!FLockFile->LockRecord(recNo)) {
                return Fail(kTdbErrRecordBeingEdited);
            }
        } catch (const std::exception& e) {
            return LockFailure(e);
        }
    }
    ++FLocks.Edit;
    return 0;
}

void TTdbBaseTable::EndEdit(std::int32_t recNo) {
    std::lock_guard guard(FLockingMutex);
    if (FLocks.Edit <= 0)
        return;
    if (--FLocks.Edit == 0 && FUseEditLocks && FLockFile) {
        try {
            FLockFile->UnlockRecord(recNo);
        } catch (const std::exception& e) {
            FServices.SetLastError(e);
        }
    }
}

void TTdbBaseTable::SwitchEdit(std::int32_t recNoFrom, std::int32_t recNoTo) {
    std::lock_guard guard(FLockingMutex);
    if (!FLockFile)
        return;
    try {
        FLockFile->SwitchRecordLock(recNoFrom, recNoTo);
    } catch (const std::exception& e) {
        FServices.SetLastError(e);
    }
}

// ---- Other sessions' changes ----

std::int16_t TTdbBaseTable::CheckUpdate() {
    if (!FLockFile)
        return 0;
    std::lock_guard guard(FLockingMutex);
    try {
        if (!FLockFile->CheckUpdate() &&
            static_cast<std::size_t>(FLockFile->TableIndexCount()) <= FLoadedIndexNames)
            return 0;
        UpdateTable(FLockFile->TableChangeCount(), 0, FLockFile->TableIndexCount());
        return 1;
    } catch (const std::exception& e) {
        return LockFailure(e);
    }
}

void TTdbBaseTable::UpdateTable(std::int64_t tableChangeCount, std::int32_t /*recordCount*/,
                                std::int32_t indexCount) {
    std::lock_guard guard(FLockingMutex);
    if (!GetActive() || FUpdating)
        return;
    FUpdating = true;
    struct TUpdatingGuard {
        bool& Flag;
        ~TUpdatingGuard() { Flag = false; }
    } updating{FUpdating};
    if (BeginRead(true) < 0)
        return;
    if (FLockFile) {
        // The read lock may have waited for a writer, whose changes came after the counts the
        // caller read; the header as the lock left it is the newest, also where the count
        // wrapped.
        tableChangeCount = FLockFile->TableChangeCount();
        indexCount = FLockFile->TableIndexCount();
    }
    try {
        FDataFile->Invalidate(tableChangeCount);
        if (static_cast<std::size_t>(indexCount) > FLoadedIndexNames) {
            FDataFile->ReadIndexNames();
            // An index that does not open is marked lost by the open and its use says so.
            for (const TTdbIndexNo no : InitStoredIndexes())
                CheckIndexOpen(no, true);
            // Nobody adds an index while this session reads, so a count above the list can
            // only come from a damaged lock file: left, it would send every session of the
            // table through this re-reading on each lock.
            if (FLockFile && static_cast<std::size_t>(indexCount) > FLoadedIndexNames)
                FLockFile->WriteIndexCount(static_cast<std::int16_t>(FLoadedIndexNames));
        }
        for (auto& index : FIndexFiles)
            if (index && index->IsOpen())
                CheckEngineResult(index->Update(tableChangeCount));
        if (FLockFile) {
            FLockFile->SetSessionChangeCount(tableChangeCount);
            std::int32_t fromRecNo = 0;
            std::int32_t toRecNo = 0;
            while (FLockFile->ReadRecordMove(fromRecNo, toRecNo)) {
                if (fromRecNo <= 0 || toRecNo <= 0)
                    RaiseEngineError(kTdbErrUnknown,
                                     {u"record move " + NumberText(fromRecNo) + u" to " +
                                      NumberText(toRecNo) + u" in " + FLockFile->FileName()});
                NotifyRecordDeleted(toRecNo, fromRecNo);
            }
        }
        ++FUpdatesTakenIn;
        NotifyRelationChanged();
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

std::int16_t TTdbBaseTable::TakeInChanges() {
    const std::uint64_t before = FUpdatesTakenIn;
    // Taking the lock waits for the writer and brings in what it left.
    if (BeginRead(true) >= 0)
        EndRead();
    const std::int16_t checked = CheckUpdate();
    if (checked < 0)
        return checked;
    return checked > 0 || FUpdatesTakenIn != before ? 1 : 0;
}

std::int32_t TTdbBaseTable::NetUsers() {
    TTdbTableUsage usage;
    GetUsage(usage);
    return usage.UserCount;
}

void TTdbBaseTable::GetUsage(TTdbTableUsage& usage) {
    std::lock_guard guard(FLockingMutex);
    if (!FLockFile) {
        TTdbRelation::GetUsage(usage);
        return;
    }
    FLockFile->GetLockInfo(usage);
}

// ---- The lock file ----

std::u16string TTdbBaseTable::LockBaseName() const {
    std::u16string name(TableNameFromFileName(FFileName));
    const std::size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos)
        name.resize(dot);
    return PhysicalDirectory() + name;
}

TdwFileSystem& TTdbBaseTable::SharingFileSystem() const {
    return FServices.LockFileSystem() != nullptr ? *FServices.LockFileSystem() : *FFileSystem;
}

std::unique_ptr<TTdbRedoLog> TTdbBaseTable::MakeRedoLog() const {
    return std::make_unique<TTdbRedoLog>(SharingFileSystem(), LockBaseName(), FLevel, IsRelFile,
                                         GetRecordSize());
}

void TTdbBaseTable::LogIntoLockFile() {
    if ((FRights & (kRightExclusive | kRightSharedReadOnly)) != 0)
        return;
    if (FServices.FStation == 0)
        RaiseEngineError(kTdbErrInvalidConnectionId);
    std::u16string stationName = FServices.FIDName;
    if (stationName.empty())
        stationName = u"Conn" + NumberText(static_cast<std::int64_t>(platform::Random(999)) + 1);
    auto lockFile = std::make_unique<TTdbLockFile>(SharingFileSystem());
    lockFile->SetSessionId(FServices.FStation);
    lockFile->SetSessionName(std::move(stationName));
    lockFile->SetWaitAttempts(FLockWaitAttempts);
    // The lock file calls this in the middle of a lock operation; the left log is looked at
    // once this session holds the table for writing.
    lockFile->SetOnHijack([this] { FHijacked = true; });
    lockFile->SetOnFirstLock([this] { RollBackLeftFlush(); });
    // The level follows the data file's extension until the file itself has been read.
    const bool modern = SameAsciiText(FileExtension(FFileName), u".tdbt");
    const bool rel = SameAsciiText(FileExtension(FFileName), u".rel");
    lockFile->LogIn(LockBaseName(), modern ? 6 : 5, rel);
    FLockFile = std::move(lockFile);
}

void TTdbBaseTable::LogOutOfLockFile() noexcept {
    if (!FLockFile)
        return;
    FLockFile->LogOut();
    FLockFile.reset();
    FUnlockAction.store(tltNone);
    FUnlockActive.store(false);
}

// A transaction's changes reach the files only when it commits, so a log left by a session that
// died never describes changes on disk: applying it would undo committed work. It is discarded
// once a write lock proves that its writer is gone, for a live transaction keeps the table
// locked for writing until its log is gone.
void TTdbBaseTable::DiscardLeftLog() {
    if (FRedoLog || GetReadOnly())
        return;
    auto log = MakeRedoLog();
    if (!SharingFileSystem().FileExists(log->FileName()))
        return;
    log->Erase();
    FServices.LogMessage(2, u"Locking",
                         u"Discarded the transaction log " + log->FileName() +
                             u" of a session that ended without finishing it");
}

void TTdbBaseTable::DiscardLeftTransaction() {
    std::lock_guard guard(FLockingMutex);
    if (FRedoLog || GetReadOnly() ||
        !SharingFileSystem().FileExists(TTdbRedoLog::LogFileName(LockBaseName(), FLevel, IsRelFile)))
        return;
    if (FLockFile) {
        const TTdbTableLockType held = FUnlockAction.load();
        if (held != tltWrite) {
            if (FLocks.Read > 0 || FLocks.Upgrade > 0 || FLocks.Write > 0)
                return;
            if (!FLockFile->LockTable(held, tltWrite, true))
                return;
            FUnlockAction.store(tltWrite);
        }
    }
    DiscardLeftLog();
    FHijacked = false;
}

}  // namespace tdb
