// Writing records the way accessors do: every check before anything is written, then the index
// entries and the data file, each step taken back when a later one fails, then the
// notifications, the redo log and the move file; and the calculated columns.
#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/services.h"
#include "index/index_entry.h"
#include "index/index_file.h"
#include "storage/data_file.h"
#include "types/data_type.h"

namespace tdb {

namespace {

// Work entries of an index file the searches use; the key upkeep's follow them.
constexpr int kSearchKey = 1;
constexpr int kSearchFound = 2;

bool IsBlobColumn(TTdbColumnType type) {
    return type == ctMemo || type == ctBlob || type == ctWideMemo;
}

}  // namespace

void TTdbBaseTable::NotifyRecordChanged(std::int32_t recNo) {
    for (IRelationListener* listener : FClientAccessors)
        listener->RecordChanged(recNo);
}

// ---- Checks ----

void TTdbBaseTable::CheckUniqueKeys(std::span<const std::byte> record, std::int32_t recNo) {
    for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
        TTdbIndexFile* index = WritingIndex(no, true);
        if (index == nullptr || !index->MustBeUnique())
            continue;
        const TTdbSortDef& def = index->IndexDef();
        std::span<std::byte> key = index->GetWorkInfo(kSearchKey);
        std::span<std::byte> found = index->GetWorkInfo(kSearchFound);
        // Record-number part 0 finds the first entry of the key, whatever record holds it.
        FKeys->CalcIndexInfo(def, record, 0, key);
        std::copy(key.begin(), key.end(), found.begin());
        const int searched = index->Suche_Index(found);
        if (searched < 0) {
            if (index->LastErrorCode() > 0)
                throw ETdbEngine(index->LastErrorCode(), index->LastErrorMessage());
            RaiseEngineError(kTdbErrIndexCorrupt, {index->Name()});
        }
        if (searched == 0 && FKeys->IsSameIndexKey(def, key, found) &&
            GetDateiVerweis(found) != recNo)
            RaiseEngineError(kTdbErrNotUnique,
                             {def.CalcSpecification(FColumnDefs, true, false, 0, false)});
    }
}

void TTdbBaseTable::CheckConstraints(std::span<const std::byte> record) {
    const auto rltnIdx = static_cast<TTdbRltnIdx>(FRltnIdx);
    TTdbRltnIdxSet relations;
    relations.set(static_cast<std::size_t>(rltnIdx));
    for (int i = 0; i < FChecks.GetCount(); ++i) {
        TTdbCondition* condition = FChecks.Get(i)->GetCondition();
        // A check nobody can evaluate refuses the record (the condition raises): skipping it
        // would let records in that the table's definition forbids.
        if (condition == nullptr)
            RaiseEngineError(kTdbErrNotSupported, {FChecks.Get(i)->GetName()});
        condition->Prepare(relations, rltnIdx, 0);
        const TTdbTruthValue truth = condition->Evaluate(rltnIdx, record);
        condition->Unprepare();
        // Unknown passes: only a check that is false forbids the record.
        if (truth == tvFalse)
            RaiseEngineError(kTdbErrConstraintViolated, {condition->GetSource()});
    }
}

void TTdbBaseTable::CheckReferences(std::span<const std::byte> record) {
    if (!OnCheckReferentialIntegrity)
        return;
    for (int i = 0; i < FForeignKeyDefs.GetCount(); ++i)
        if (OnCheckReferentialIntegrity(*this, *FForeignKeyDefs.Get(i), record) < 0)
            RaiseNonCritical();
}

void TTdbBaseTable::RunIntegrityRules(const TExecuteIntegrityRules& rules,
                                      std::span<const std::byte> newRecord, bool before,
                                      std::span<const std::byte> oldRecord) {
    if (rules && rules(*this, newRecord, before, oldRecord) < 0)
        RaiseNonCritical();
}

void TTdbBaseTable::CheckBlobValues(const TTdbBlobDataList& blobs) {
    for (const TTdbBlobData& blob : blobs) {
        if (blob.FieldNo <= 0)
            continue;
        if (blob.FieldNo > ColumnCount())
            RaiseEngineError(kTdbErrInvalidParameter, {u"Blobs"});
        switch (FColumnDefs.GetColumnDef(blob.FieldNo - 1)->GetColumnType()) {
            case ctMemo:
                RaiseEngineError(kTdbErrCannotOpenMemo, {MemoFileName(FileBase(), FLevel)});
            case ctBlob:
            case ctWideMemo:
                RaiseEngineError(kTdbErrCannotOpenBlob, {FFileName});
            default:
                RaiseEngineError(kTdbErrInvalidParameter, {u"Blobs"});
        }
    }
}

void TTdbBaseTable::CheckNoBlobData(std::span<const std::byte> record) {
    if (!FHasMemo && !FHasBlob)
        return;
    for (int i = 0; i < ColumnCount(); ++i) {
        const TTdbColumnDef& column = *FColumnDefs.GetColumnDef(i);
        const TTdbColumnType type = column.GetColumnType();
        if (!IsBlobColumn(type))
            continue;
        const std::span<const std::byte> image =
            record.subspan(static_cast<std::size_t>(column.Position),
                           static_cast<std::size_t>(column.DataType->GetDataSize()));
        if (std::all_of(image.begin(), image.end(), [](std::byte b) { return b == std::byte{0}; }))
            continue;
        if (type == ctMemo)
            RaiseEngineError(kTdbErrCannotOpenMemo, {MemoFileName(FileBase(), FLevel)});
        RaiseEngineError(kTdbErrCannotOpenBlob, {FFileName});
    }
}

// ---- Index upkeep ----

// Where an index's entry differs, the old one (OldRecord under OldNo) goes and the new one
// (Record under NewNo) comes: a changed record keeps its number, a moved one keeps its keys.
// Indexes that were changed already are put back when one fails.
void TTdbBaseTable::ExchangeKeys(std::span<const std::byte> oldRecord, std::int32_t oldNo,
                                 std::span<const std::byte> record, std::int32_t newNo) {
    std::bitset<kTdbMaxIndexNo + 1> changed;
    TTdbIndexNo failedNo = kTdbNoIndex;
    const auto entries = [&](TTdbIndexFile& index) {
        std::span<std::byte> newEntry = index.GetWorkInfo(kAddEntry);
        std::span<std::byte> oldEntry = index.GetWorkInfo(kRemoveEntry);
        FKeys->CalcIndexInfo(index.IndexDef(), record, newNo, newEntry);
        FKeys->CalcIndexInfo(index.IndexDef(), oldRecord, oldNo, oldEntry);
        return std::pair{newEntry, oldEntry};
    };
    try {
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            TTdbIndexFile* index = WritingIndex(no, true);
            if (index == nullptr)
                continue;
            const auto [newEntry, oldEntry] = entries(*index);
            // An unchanged entry leaves the index file as it was.
            if (FKeys->IsSameIndexInfo(index->IndexDef(), newEntry, oldEntry))
                continue;
            if (index->Loesche_Index(oldEntry) != 0)
                RaiseEngineError(kTdbErrIndexDelete, {index->Name()});
            failedNo = no;
            if (index->Add_Index(newEntry) != 0)
                RaiseEngineError(kTdbErrIndexInsert, {index->Name()});
            failedNo = kTdbNoIndex;
            changed.set(static_cast<std::size_t>(no));
        }
    } catch (...) {
        for (TTdbIndexNo no = 0; no <= FLastIndexNo; ++no) {
            const bool half = no == failedNo;
            if (!half && !changed.test(static_cast<std::size_t>(no)))
                continue;
            TTdbIndexFile& index = *GetIndexFile(no);
            const auto [newEntry, oldEntry] = entries(index);
            if (!half)
                index.Loesche_Index(newEntry);
            index.Add_Index(oldEntry);
        }
        throw;
    }
}

// ---- Append ----

std::int32_t TTdbBaseTable::AppendChecked(std::span<std::byte> record, TTdbBlobDataList& blobs) {
    if (!FDataFile->CanAppend())
        RaiseEngineError(kTdbErrCapacity, {FFileName});
    const std::int32_t recNo = FDataFile->GetRecordCount() + 1;
    if (!FRollingBack) {
        CheckUniqueKeys(record, recNo);
        CheckConstraints(record);
        CheckReferences(record);
    }
    CheckEngineResult(BeginWrite(true));
    try {
        CheckBlobValues(blobs);
        // The entries go first and leave again when the data file refuses the record: nothing
        // stays half inserted.
        AddKeys(recNo, record);
        try {
            if (FDataFile->InsertRecord(record) != recNo)
                RaiseEngineError(kTdbErrWriteFile, {FFileName});
        } catch (...) {
            Compensate([&] {
                RemoveKeys(recNo, record);
                if (FDataFile->GetRecordCount() == recNo)
                    FDataFile->DeleteRecord(recNo);
            });
            throw;
        }
        NotifyRelationChanged();
        if (FRedoLog && !FRollingBack) {
            try {
                FRedoLog->LogInsert(recNo);
            } catch (...) {
                // A change the rollback would not know of must not stay.
                Compensate([&] { DeleteRecordRaw(recNo); });
                NotifyRelationChanged();
                throw;
            }
        }
    } catch (...) {
        EndWrite();
        throw;
    }
    EndWrite();
    return recNo;
}

std::int32_t TTdbBaseTable::AppendRecord(std::span<std::byte> recBuffer, TTdbBlobDataList& blobs) {
    if (!GetActive())
        return Fail(kTdbErrInvalidParameter, {FStdName});
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    const std::int16_t upgraded = BeginUpgrade(true);
    if (upgraded < 0)
        return upgraded;
    std::int32_t result;
    try {
        result = AppendChecked(recBuffer.first(static_cast<std::size_t>(GetRecordSize())), blobs);
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndUpgrade();
    return result;
}

// ---- Replace ----

void TTdbBaseTable::ReplaceChecked(std::span<std::byte> record, std::int32_t recNo,
                                   TTdbBlobDataList& blobs) {
    if (recNo < 1 || recNo > FDataFile->GetRecordCount())
        RaiseEngineError(kTdbErrRecordNotFound, {FStdName});
    // The stored record, not the caller's idea of it, is what the indexes hold.
    std::vector<std::byte> old(record.size());
    CheckEngineResult(FDataFile->ReadRecord(recNo, old));
    if (!FRollingBack) {
        CheckUniqueKeys(record, recNo);
        CheckConstraints(record);
        CheckReferences(record);
        RunIntegrityRules(OnExecuteUpdateIntegrityRules, record, true, old);
    }
    CheckEngineResult(BeginWrite(true));
    try {
        CheckBlobValues(blobs);
        if (FDataFile->WriteRecord(recNo, record) < 0)
            RaiseEngineError(kTdbErrWriteFile, {FFileName});
        try {
            ExchangeKeys(old, recNo, record, recNo);
        } catch (...) {
            // The keys are back already; the old image joins them, so the table stays whole.
            Compensate([&] { FDataFile->WriteRecord(recNo, old); });
            throw;
        }
        NotifyRecordChanged(recNo);
        if (FRedoLog && !FRollingBack) {
            try {
                FRedoLog->LogUpdate(recNo, old, {});
            } catch (...) {
                Compensate([&] { ReplaceRecordRaw(recNo, old); });
                NotifyRecordChanged(recNo);
                throw;
            }
        }
        if (!FRollingBack)
            RunIntegrityRules(OnExecuteUpdateIntegrityRules, record, false, old);
    } catch (...) {
        EndWrite();
        throw;
    }
    EndWrite();
}

std::int16_t TTdbBaseTable::ReplaceRecord(std::span<std::byte> recBuffer,
                                          std::span<const std::byte> /*origRecBuffer*/,
                                          std::int32_t recNo, TTdbBlobDataList& blobs) {
    if (!GetActive())
        return Fail(kTdbErrInvalidParameter, {FStdName});
    if ((FRights & kRightEdit) == 0)
        return Fail(kTdbErrNoWriteRight, {FFileName});
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    const std::int16_t upgraded = BeginUpgrade(true);
    if (upgraded < 0)
        return upgraded;
    std::int16_t result = 0;
    try {
        ReplaceChecked(recBuffer.first(static_cast<std::size_t>(GetRecordSize())), recNo, blobs);
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndUpgrade();
    return result;
}

// ---- Delete ----

void TTdbBaseTable::DeleteChecked(std::int32_t recNo) {
    const std::int32_t last = FDataFile->GetRecordCount();
    if (recNo < 1 || recNo > last)
        RaiseEngineError(kTdbErrRecordNotFound, {FStdName});
    // Nobody may be editing it, here or in another session.
    CheckEngineResult(CheckEdit(recNo, nullptr));
    EndEdit(recNo);
    std::vector<std::byte> old(static_cast<std::size_t>(GetRecordSize()));
    CheckEngineResult(FDataFile->ReadRecord(recNo, old));
    if (!FRollingBack)
        RunIntegrityRules(OnExecuteDeleteIntegrityRules, {}, true, old);
    CheckEngineResult(BeginWrite(true));
    const bool moves = recNo != last;
    try {
        CheckNoBlobData(old);
        std::vector<std::byte> moved(moves ? old.size() : 0);
        if (moves)
            CheckEngineResult(FDataFile->ReadRecord(last, moved));
        RemoveKeys(recNo, old);
        bool movedKeys = false;
        bool movedImage = false;
        try {
            // The heap keeps its records dense: the last one moves into the slot.
            if (moves) {
                ExchangeKeys(moved, last, moved, recNo);
                movedKeys = true;
                if (FDataFile->WriteRecord(recNo, moved) < 0)
                    RaiseEngineError(kTdbErrWriteFile, {FFileName});
                movedImage = true;
            }
            if (FDataFile->DeleteRecord(last) < 0)
                RaiseEngineError(kTdbErrWriteFile, {FFileName});
        } catch (...) {
            Compensate([&] {
                if (FDataFile->GetRecordCount() < last)
                    FDataFile->InsertRecord(moves ? moved : old);
                if (movedImage)
                    FDataFile->WriteRecord(recNo, old);
                if (movedKeys)
                    ExchangeKeys(moved, recNo, moved, last);
                AddKeys(recNo, old);
            });
            throw;
        }
        if (FRedoLog && !FRollingBack) {
            try {
                FRedoLog->LogDelete(recNo, old, {});
            } catch (...) {
                // Put back as a rollback would: the moved record returns to the end.
                Compensate([&] {
                    if (moves) {
                        ReplaceRecordRaw(recNo, old);
                        AppendRecordRaw(moved);
                    } else {
                        AppendRecordRaw(old);
                    }
                });
                throw;
            }
        }
        // Whoever holds record numbers hears of the delete before anything else can fail: it
        // has happened, whatever the rules run after it answer.
        NotifyRecordDeleted(recNo, moves ? last : 0);
        if (FLockFile) {
            // Other sessions learn of it from the move file, also when nothing moved.
            if (moves)
                SwitchEdit(last, recNo);
            FLockFile->AddRecordMove(last, recNo);
        }
        if (!FRollingBack)
            RunIntegrityRules(OnExecuteDeleteIntegrityRules, {}, false, old);
    } catch (...) {
        EndWrite();
        throw;
    }
    EndWrite();
}

std::int16_t TTdbBaseTable::DeleteRecord(std::span<const std::byte> /*recBuffer*/,
                                         std::int32_t recNo) {
    if (!GetActive())
        return Fail(kTdbErrInvalidParameter, {FStdName});
    const std::int16_t upgraded = BeginUpgrade(true);
    if (upgraded < 0)
        return upgraded;
    std::int16_t result = 0;
    try {
        DeleteChecked(recNo);
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    EndUpgrade();
    return result;
}

// ---- Calculated columns ----

std::int16_t TTdbBaseTable::BerechneFormeln(std::span<std::byte> recBuffer,
                                            TTdbCalculationPurposes purposes) {
    std::vector<const TTdbColumnDef*> columns;
    for (int i = 0; i < ColumnCount(); ++i) {
        const TTdbColumnDef* column = FColumnDefs.GetColumnDef(i);
        if ((column->GetCalculationPurposes() & purposes).any())
            columns.push_back(column);
    }
    if (columns.empty())
        return 0;
    if (recBuffer.size() < static_cast<std::size_t>(GetRecordSize()))
        return Fail(kTdbErrInvalidParameter, {u"RecBuffer"});
    const auto rltnIdx = static_cast<TTdbRltnIdx>(FRltnIdx);
    bool locked = false;
    std::int16_t result = 0;
    try {
        for (const TTdbColumnDef* column : columns) {
            TTdbCalculation& calculation = *column->GetCalculation();
            calculation.Prepare(rltnIdx, 0);
            const TTdbDataType* resultType = calculation.GetResultType();
            if (resultType == nullptr ||
                !TTdbDataType::CanConvert(resultType, column->DataType, false))
                RaiseEngineError(kTdbErrTypeMismatch,
                                 {(resultType ? resultType->GetSqlName() : u"?") + u"->" +
                                  column->DataType->GetSqlName()});
        }
        // The calculations read this table's records; other tables they read are the caller's
        // to lock.
        CheckEngineResult(BeginRead(true));
        locked = true;
        std::vector<std::byte> before(recBuffer.begin(), recBuffer.end());
        // A column may read another one's value: passes until nothing changes, at most one per
        // column.
        for (int pass = 0; pass < ColumnCount(); ++pass) {
            for (const TTdbColumnDef* column : columns) {
                TTdbCalculation& calculation = *column->GetCalculation();
                TTdbDataValue computed;
                calculation.Calculate(rltnIdx, recBuffer, computed);
                const TTdbDataType* resultType = calculation.GetResultType();
                TTdbDataValue target;
                column->DataType->SetReference(target, recBuffer.data() + column->Position);
                if (resultType->IsNull(computed)) {
                    if (!column->DataType->GetNullable())
                        RaiseEngineError(kTdbErrNullNotAllowed, {column->Name});
                    column->DataType->SetNull(target);
                } else {
                    TTdbDataType::Convert(computed, target, resultType, column->DataType, false);
                }
            }
            if (std::equal(before.begin(), before.end(), recBuffer.begin()))
                break;
            std::copy(recBuffer.begin(), recBuffer.end(), before.begin());
        }
    } catch (const std::exception& e) {
        result = FServices.SetLastError(e);
    }
    if (locked)
        EndRead();
    return result;
}

}  // namespace tdb
