// Records below the checks: the data file and every index kept in step, the redo log inside a
// transaction, the move file for other sessions; and rolling a transaction back with them.
#include <algorithm>
#include <bitset>
#include <exception>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/services.h"
#include "index/index_file.h"
#include "platform/text.h"

namespace tdb {

// The index as writing meets it: null for none and for a lost user index, which stays lost until
// it is deleted and which writing passes by; an index that will not open raises what it met.
TTdbIndexFile* TTdbBaseTable::WritingIndex(TTdbIndexNo indexNo, bool checkSize) {
    TTdbIndexFile* index = GetIndexFile(indexNo);
    if (index == nullptr || (!index->IsOpen() && index->IsLost() && !index->IsAutomatic()))
        return nullptr;
    if (!CheckIndexOpen(indexNo, checkSize))
        RaiseNonCritical();
    return index;
}

// Builds the record's entry for every index that takes entries and hands it over. All or
// nothing: when one index refuses, the indexes already changed get their entries back.
template <typename Change, typename Revert>
void TTdbBaseTable::ForEachEntry(std::int32_t recNo, std::span<const std::byte> record,
                                 int workInfo, std::int16_t failure, Change change, Revert revert) {
    std::bitset<kTdbMaxIndexNo + 1> changed;
    try {
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            TTdbIndexFile* index = WritingIndex(no, false);
            if (index == nullptr)
                continue;
            std::span<std::byte> entry = index->GetWorkInfo(workInfo);
            FKeys->CalcIndexInfo(index->IndexDef(), record, recNo, entry);
            if (change(*index, entry) != 0)
                RaiseEngineError(failure, {index->Name()});
            changed.set(static_cast<std::size_t>(no));
        }
    } catch (...) {
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            if (!changed.test(static_cast<std::size_t>(no)))
                continue;
            TTdbIndexFile& index = *GetIndexFile(no);
            std::span<std::byte> entry = index.GetWorkInfo(workInfo);
            FKeys->CalcIndexInfo(index.IndexDef(), record, recNo, entry);
            revert(index, entry);
        }
        throw;
    }
}

void TTdbBaseTable::AddKeys(std::int32_t recNo, std::span<const std::byte> record) {
    ForEachEntry(
        recNo, record, kAddEntry, kTdbErrIndexInsert,
        [](TTdbIndexFile& index, std::span<std::byte> entry) { return index.Add_Index(entry); },
        [](TTdbIndexFile& index, std::span<std::byte> entry) { index.Loesche_Index(entry); });
}

void TTdbBaseTable::RemoveKeys(std::int32_t recNo, std::span<const std::byte> record) {
    ForEachEntry(
        recNo, record, kRemoveEntry, kTdbErrIndexDelete,
        [](TTdbIndexFile& index, std::span<std::byte> entry) { return index.Loesche_Index(entry); },
        [](TTdbIndexFile& index, std::span<std::byte> entry) { index.Add_Index(entry); });
}

// Each change is logged once it is done: a rollback must not take back what never happened.
// A change the log could not take leaves again, or the rollback would not know of it.

std::int32_t TTdbBaseTable::AppendRecordRaw(std::span<const std::byte> record) {
    const std::int32_t recNo = FDataFile->GetRecordCount() + 1;
    // The entries go first: a refused entry leaves the data file untouched.
    AddKeys(recNo, record);
    std::int32_t inserted = 0;
    try {
        inserted = FDataFile->InsertRecord(record);
    } catch (...) {
        Compensate([&] { RemoveKeys(recNo, record); });
        throw;
    }
    if (inserted != recNo) {
        RemoveKeys(recNo, record);
        RaiseEngineError(kTdbErrWriteFile, {FFileName});
    }
    if (FRedoLog && !FRollingBack) {
        try {
            FRedoLog->LogInsert(recNo);
        } catch (...) {
            Compensate([&] { DeleteRecordRaw(recNo); });
            throw;
        }
    }
    return recNo;
}

void TTdbBaseTable::ReplaceRecordRaw(std::int32_t recNo, std::span<const std::byte> record) {
    std::vector<std::byte> old(static_cast<std::size_t>(GetRecordSize()));
    CheckEngineResult(FDataFile->ReadRecord(recNo, old));
    RemoveKeys(recNo, old);
    try {
        AddKeys(recNo, record);
    } catch (...) {
        Compensate([&] { AddKeys(recNo, old); });
        throw;
    }
    if (FDataFile->WriteRecord(recNo, record) < 0) {
        Compensate([&] {
            RemoveKeys(recNo, record);
            AddKeys(recNo, old);
        });
        RaiseEngineError(kTdbErrWriteFile, {FFileName});
    }
    if (FRedoLog && !FRollingBack) {
        try {
            FRedoLog->LogUpdate(recNo, old, {});
        } catch (...) {
            Compensate([&] { ReplaceRecordRaw(recNo, old); });
            throw;
        }
    }
}

void TTdbBaseTable::DeleteRecordRaw(std::int32_t recNo) {
    const std::int32_t last = FDataFile->GetRecordCount();
    std::vector<std::byte> old(static_cast<std::size_t>(GetRecordSize()));
    CheckEngineResult(FDataFile->ReadRecord(recNo, old));
    RemoveKeys(recNo, old);
    std::vector<std::byte> moved(recNo != last ? old.size() : 0);
    if (recNo != last) {
        // The heap keeps its records dense: the last one moves into the slot.
        CheckEngineResult(FDataFile->ReadRecord(last, moved));
        RemoveKeys(last, moved);
        AddKeys(recNo, moved);
        if (FDataFile->WriteRecord(recNo, moved) < 0)
            RaiseEngineError(kTdbErrWriteFile, {FFileName});
    }
    if (FDataFile->DeleteRecord(last) < 0)
        RaiseEngineError(kTdbErrWriteFile, {FFileName});
    if (FRedoLog && !FRollingBack) {
        try {
            FRedoLog->LogDelete(recNo, old, {});
        } catch (...) {
            // Put back as a rollback would: the moved record returns to the end.
            Compensate([&] {
                if (recNo != last) {
                    ReplaceRecordRaw(recNo, old);
                    AppendRecordRaw(moved);
                } else {
                    AppendRecordRaw(old);
                }
            });
            throw;
        }
    }
    if (recNo != last) {
        if (FLockFile) {
            FLockFile->AddRecordMove(last, recNo);
            FLockFile->SwitchRecordLock(last, recNo);
        }
        NotifyRecordDeleted(recNo, last);
    }
}

// Runs one change under a write lock: its result, or the negated engine error it raised.
template <typename Work>
std::int32_t TTdbBaseTable::UnderWriteLock(Work work) {
    const std::int16_t locked = BeginWrite(true);
    if (locked < 0)
        return locked;
    std::int32_t result;
    try {
        result = work();
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndWrite();
    return result;
}

std::int32_t TTdbBaseTable::AppendRecordDirect(std::span<const std::byte> recBuffer) {
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    return UnderWriteLock(
        [&] { return AppendRecordRaw(recBuffer.first(static_cast<std::size_t>(GetRecordSize()))); });
}

std::int16_t TTdbBaseTable::ReplaceRecordDirect(std::int32_t recNo,
                                                std::span<const std::byte> recBuffer) {
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    return static_cast<std::int16_t>(UnderWriteLock([&]() -> std::int32_t {
        if (recNo < 1 || recNo > FDataFile->GetRecordCount())
            return Fail(kTdbErrRecordNotFound);
        ReplaceRecordRaw(recNo, recBuffer.first(static_cast<std::size_t>(GetRecordSize())));
        return 0;
    }));
}

std::int16_t TTdbBaseTable::DeleteRecordDirect(std::int32_t recNo) {
    return static_cast<std::int16_t>(UnderWriteLock([&]() -> std::int32_t {
        if (recNo < 1 || recNo > FDataFile->GetRecordCount())
            return Fail(kTdbErrRecordNotFound);
        DeleteRecordRaw(recNo);
        return 0;
    }));
}

// ---- Transactions ----

void TTdbBaseTable::UndoOneAction() {
    const std::int32_t recNo = FRedoLog->LastActionRecordNo();
    const std::int32_t count = FDataFile->GetRecordCount();
    const auto image = FRedoLog->LastActionRecBuffer();
    switch (FRedoLog->LastActionKind()) {
    case takInsert:
        if (recNo < 1 || recNo > count)
            RaiseEngineError(kTdbErrRecordNotFound);
        DeleteRecordRaw(recNo);
        break;
    case takUpdate:
        if (recNo < 1 || recNo > count)
            RaiseEngineError(kTdbErrRecordNotFound);
        ReplaceRecordRaw(recNo, image);
        break;
    case takDelete:
        if (recNo < 1)
            RaiseEngineError(kTdbErrRecordNotFound);
        if (count < recNo) {
            AppendRecordRaw(image);
        } else {
            // The record that moved into the slot goes back to the end, where it came from.
            std::vector<std::byte> displaced(image.size());
            CheckEngineResult(FDataFile->ReadRecord(recNo, displaced));
            ReplaceRecordRaw(recNo, image);
            const std::int32_t back = AppendRecordRaw(displaced);
            // Everybody who followed it into the slot must follow it back out: other sessions
            // read the delete's move from the move file.
            if (FLockFile)
                FLockFile->AddRecordMove(recNo, back);
            NotifyRecordDeleted(back, recNo);
        }
        break;
    default:
        RaiseEngineError(kTdbErrUnknown, {FRedoLog->FileName()});
    }
}

std::int16_t TTdbBaseTable::UndoModifications() {
    std::lock_guard guard(FLockingMutex);
    if (!FRedoLog)
        return 0;
    const std::int16_t locked = BeginWrite(true);
    if (locked < 0)
        return locked;
    std::int16_t result = 0;
    FRollingBack = true;
    try {
        while (FRedoLog->ReadPriorAction())
            UndoOneAction();
        NotifyRelationChanged();
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
        // The transaction's changes never left the cache, so throwing the cache away takes
        // back what the log could not.
        try {
            CheckEngineResult(Undo());
            FDataFile->Invalidate();
            for (auto& index : FIndexFiles)
                if (index && index->IsOpen())
                    CheckEngineResult(index->Update());
        } catch (const std::exception&) {
        }
    }
    FRollingBack = false;
    FRedoLog->Erase();
    FRedoLog.reset();
    EndWrite();
    return result;
}

std::int16_t TTdbBaseTable::CommitModifications() {
    std::lock_guard guard(FLockingMutex);
    if (!FRedoLog)
        return 0;
    // The changes reach the files before the log goes: a crash in between leaves a log that
    // the next session discards, and the committed changes with it in place.
    FCommitting = true;
    const std::int16_t flushed = Flush(true);
    FCommitting = false;
    if (flushed < 0) {
        // The caller hears of the failure now; the next write lock need not report it again.
        FWriteError = 0;
        return flushed;
    }
    FRedoLog->Erase();
    FRedoLog.reset();
    return 0;
}

std::int16_t TTdbBaseTable::Undo() {
    std::lock_guard guard(FLockingMutex);
    if (!GetActive())
        return 0;
    try {
        FDataFile->Undo();
        for (auto& index : FIndexFiles)
            if (index && index->IsOpen())
                CheckEngineResult(index->Undo());
        return 0;
    } catch (const std::exception& e) {
        return FServices.SetLastError(e);
    }
}

}  // namespace tdb
