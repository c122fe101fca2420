// The call interface's table operations: cursors behind table handles, created in the slot
// table and driven through it.
#include <algorithm>
#include <span>
#include <string>

#include "api/call_interface.h"
#include "api/cursor_slots.h"
#include "api/dispatch.h"
#include "api/table_records.h"
#include "api/text_buffers.h"
#include "base/engine_error.h"
#include "engine/catalog.h"
#include "platform/text.h"
#include "types/data_type.h"

namespace tdb::api {

namespace {

// Body(TTdbCursor&) → result, contained in the cursor's session. Handles of remote sessions
// (256 and above) have no server to go to.
template <typename Body>
auto WithCursor(std::int16_t tableHdl, std::int16_t failureCode, Body&& body) noexcept
    -> std::invoke_result_t<Body, TTdbCursor&> {
    using TResult = std::invoke_result_t<Body, TTdbCursor&>;
    TTdbCursor* cursor = TCursorSlots::Instance().Get(tableHdl);
    if (cursor == nullptr) {
        return static_cast<TResult>(kTdbInvalidTableHandle);
    }
    return Contain(cursor->Session().Services(), failureCode, TTdbCatch::EngineErrors,
                   [&] { return body(*cursor); });
}

std::span<std::byte> Bytes(void* buffer, std::int32_t size) {
    return {static_cast<std::byte*>(buffer), static_cast<std::size_t>(std::max(size, 0))};
}

}  // namespace

std::int16_t TdbTableCreate(std::int16_t rltnHdl, const char16_t* name) noexcept {
    return WithRelation(
        rltnHdl, kTdbEngineError, TTdbCatch::EngineErrors,
        [&](const TTdbRelationRef& ref) -> std::int16_t {
            std::unique_ptr<TTdbCursor> made;
            const std::int16_t hdl = TCursorSlots::Instance().Register([&](std::int16_t slot) {
                auto cursor = std::make_unique<TTdbCursor>(slot, *ref.Local, ref.RltnIdx,
                                                           std::u16string(InText(name)));
                cursor->Open();
                return cursor;
            });
            if (hdl == 0) {
                ref.Local->Services().SetLastError(kTdbErrTooManyTables);
                return kTdbOutOfMemory;
            }
            return hdl;
        });
}

std::int16_t TdbTableDelete(std::int16_t tableHdl) noexcept {
    TTdbCursor* cursor = TCursorSlots::Instance().Get(tableHdl);
    if (cursor == nullptr) {
        return kTdbInvalidTableHandle;
    }
    TTdbLocalSession& session = cursor->Session();
    return Contain(
        session.Services(), kTdbEngineError, TTdbCatch::EngineErrors, [&]() -> std::int16_t {
            std::unique_ptr<TTdbCursor> released = TCursorSlots::Instance().Release(tableHdl);
            const bool temporary = released->Relation().Temporary;
            released->Close();
            released.reset();
            if (temporary) {
                session.Catalog().CloseUnneededTables(false, false);
            }
            return kTdbOk;
        });
}

std::int16_t TdbTableGetNumFields(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor& cursor) -> std::int16_t {
        return static_cast<std::int16_t>(cursor.Relation().ColumnCount());
    });
}

std::int16_t TdbTableGetFieldSpec(std::int16_t tableHdl, std::int16_t index,
                                  TTdbFieldSpec& spec) noexcept {
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int16_t {
        FillFieldSpec(cursor.Relation().GetFieldSpec(index), spec);
        return kTdbOk;
    });
}

std::int16_t TdbTableGetFieldNo(std::int16_t tableHdl, const char16_t* fieldName) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        const std::u16string_view name = InText(fieldName);
        if (name.find(u'.') != std::u16string_view::npos) {
            return 0;
        }
        return static_cast<std::int16_t>(cursor.Relation().FindColumn(name, false));
    });
}

std::int16_t TdbTableGetRltnHdl(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor& cursor) -> std::int16_t {
        return MakeRltnHdl(cursor.Session().Handle(), cursor.RltnIdx());
    });
}

std::int16_t TdbTableSetIndex(std::int16_t tableHdl, const char16_t* indexName,
                              bool reverse) noexcept {
    return WithCursor(tableHdl, kTdbIndexDoesNotExist, [&](TTdbCursor& cursor) {
        return cursor.SetIndex(InText(indexName), reverse);
    });
}

std::int16_t TdbTableSetSortOrder(std::int16_t tableHdl, const char16_t* sortOrder) noexcept {
    return WithCursor(tableHdl, kTdbInvalidIndexDefinition,
                      [&](TTdbCursor& cursor) { return cursor.SetSortOrder(InText(sortOrder)); });
}

std::int16_t TdbTableGetAccess(std::int16_t tableHdl, char16_t* accessName,
                               std::int16_t textLen) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        CopyOut(accessName, textLen, cursor.GetAccessName());
        return kTdbOk;
    });
}

std::int16_t TdbTableFirst(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbReadError, [](TTdbCursor& cursor) { return cursor.First(); });
}

std::int16_t TdbTableLast(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbReadError, [](TTdbCursor& cursor) { return cursor.Last(); });
}

std::int16_t TdbTableMoveBy(std::int16_t tableHdl, std::int32_t delta) noexcept {
    return WithCursor(tableHdl, kTdbReadError,
                      [&](TTdbCursor& cursor) { return cursor.MoveBy(delta); });
}

std::int32_t TdbTableGetRecNo(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbReadError,
                      [](TTdbCursor& cursor) { return cursor.GetRecordNo(); });
}

std::int32_t TdbTableSetRecNo(std::int16_t tableHdl, std::int32_t recNo) noexcept {
    return WithCursor(tableHdl, kTdbRecordDoesNotExist,
                      [&](TTdbCursor& cursor) { return cursor.SetRecordNo(recNo); });
}

std::int32_t TdbTableGetRowCount(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbReadError,
                      [](TTdbCursor& cursor) { return cursor.GetRecordCount(); });
}

std::int16_t TdbTableGetRecordSize(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor& cursor) -> std::int16_t {
        return static_cast<std::int16_t>(cursor.RecordSize());
    });
}

std::int16_t TdbTableGetRecord(std::int16_t tableHdl, void* buffer,
                               std::int32_t recBufSize) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        if (recBufSize < cursor.RecordSize()) {
            return kTdbBufferTooSmall;
        }
        cursor.GetRecord(Bytes(buffer, cursor.RecordSize()));
        return kTdbOk;
    });
}

std::int16_t TdbTableSetRecord(std::int16_t tableHdl, const void* buffer,
                               std::int32_t recBufSize) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        if (recBufSize < cursor.RecordSize()) {
            return kTdbBufferTooSmall;
        }
        cursor.SetRecord(Bytes(const_cast<void*>(buffer), cursor.RecordSize()));
        return kTdbOk;
    });
}

std::int32_t TdbTableGetFieldAsString(std::int16_t tableHdl, std::int16_t fieldNo, char16_t* text,
                                      std::int32_t maxLen) noexcept {
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int32_t {
        std::u16string value;
        cursor.GetFieldAsString(fieldNo, value);
        CopyOut(text, maxLen, value);
        return static_cast<std::int32_t>(value.size());
    });
}

std::int16_t TdbTableSetFieldAsString(std::int16_t tableHdl, std::int16_t fieldNo,
                                      const char16_t* text) noexcept {
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int16_t {
        cursor.SetFieldAsString(fieldNo, InText(text));
        return kTdbOk;
    });
}

std::int16_t TdbTableInitRecord(std::int16_t tableHdl, void* buffer,
                                std::int32_t recBufSize) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        if (buffer == nullptr || recBufSize < cursor.RecordSize()) {
            return kTdbBufferTooSmall;
        }
        return cursor.Relation().InitRecord(Bytes(buffer, cursor.RecordSize()), false) < 0
                   ? kTdbEngineError
                   : kTdbOk;
    });
}

std::int32_t TdbTableGetFieldFromRecord(std::int16_t tableHdl, const void* buffer,
                                        std::int32_t recBufSize, std::int16_t fieldNo,
                                        char16_t* text, std::int32_t maxLen,
                                        bool& isNull) noexcept {
    isNull = true;
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int32_t {
        if (buffer == nullptr || recBufSize < cursor.RecordSize()) {
            return kTdbBufferTooSmall;
        }
        std::u16string value;
        isNull = !cursor.GetFieldFromRecord(
            {static_cast<const std::byte*>(buffer), static_cast<std::size_t>(cursor.RecordSize())},
            fieldNo, value);
        CopyOut(text, maxLen, value);
        return static_cast<std::int32_t>(value.size());
    });
}

std::int16_t TdbTableSetFieldInRecord(std::int16_t tableHdl, void* buffer, std::int32_t recBufSize,
                                      std::int16_t fieldNo, const char16_t* text) noexcept {
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int16_t {
        if (buffer == nullptr || recBufSize < cursor.RecordSize()) {
            return kTdbBufferTooSmall;
        }
        cursor.SetFieldInRecord(Bytes(buffer, cursor.RecordSize()), fieldNo, InText(text));
        return kTdbOk;
    });
}

std::int16_t TdbTableSetChangeCallback(std::int16_t tableHdl,
                                       TTdbTableChangeFunc callback) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        if (callback == nullptr) {
            cursor.OnChangeProc = nullptr;
            return kTdbOk;
        }
        const std::int16_t sessHdl = cursor.Session().Handle();
        cursor.OnChangeProc = [callback, sessHdl](std::int16_t hdl, std::int32_t deletedRecNo,
                                                  std::int32_t movedRecNo) {
            callback(sessHdl, hdl, deletedRecNo, movedRecNo);
        };
        return kTdbOk;
    });
}

std::int16_t TdbTableAppend(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotWriteRecord,
                      [](TTdbCursor& cursor) { return cursor.Append(); });
}

std::int16_t TdbTableAppendConfirm(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotWriteRecord,
                      [](TTdbCursor& cursor) { return cursor.AppendConfirm(); });
}

std::int16_t TdbTableAppendCancel(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError,
                      [](TTdbCursor& cursor) { return cursor.AppendCancel(); });
}

std::int16_t TdbTableEdit(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbAccessNotPossible,
                      [](TTdbCursor& cursor) { return cursor.Edit(); });
}

std::int16_t TdbTableEditConfirm(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotWriteRecord,
                      [](TTdbCursor& cursor) { return cursor.EditConfirm(); });
}

std::int16_t TdbTableEditCancel(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError,
                      [](TTdbCursor& cursor) { return cursor.EditCancel(); });
}

std::int16_t TdbTableDeleteRec(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotDeleteRecord,
                      [](TTdbCursor& cursor) { return cursor.DeleteRecord(); });
}

std::int16_t TdbTableCanModify(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor& cursor) -> std::int16_t {
        return cursor.CanModify() ? 1 : 0;
    });
}

std::int16_t TdbTableRefresh(std::int16_t tableHdl, bool checkNet) noexcept {
    return WithCursor(tableHdl, kTdbReadError,
                      [&](TTdbCursor& cursor) { return cursor.Refresh(checkNet); });
}

std::int16_t TdbTableSetSQLFilter(std::int16_t tableHdl, const char16_t* sqlFilter,
                                  std::uint32_t mode, bool background) noexcept {
    return WithCursor(tableHdl, kTdbInvalidSearchCondition, [&](TTdbCursor& cursor) {
        return cursor.SetUserSqlFilter(InText(sqlFilter), tesTableSQL, mode, background);
    });
}

std::int16_t TdbTableActivateFilter(std::int16_t tableHdl, bool active) noexcept {
    return WithCursor(tableHdl, kTdbInvalidSearchCondition,
                      [&](TTdbCursor& cursor) -> std::int16_t {
                          if (active) {
                              cursor.ActivateFilter();
                          } else {
                              cursor.DeactivateFilter();
                          }
                          return kTdbOk;
                      });
}

std::int16_t TdbTableCompareBookmarks(std::int16_t tableHdl, const char16_t* indexName,
                                      std::int32_t bookmark1, std::int32_t bookmark2) noexcept {
    return WithCursor(tableHdl, kTdbIndexDoesNotExist, [&](TTdbCursor& cursor) {
        return cursor.CompareBookmarks(InText(indexName), bookmark1, bookmark2);
    });
}

std::int16_t TdbTableGetDataType(std::int16_t tableHdl, std::int16_t fieldNo) noexcept {
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int16_t {
        return static_cast<std::int16_t>(cursor.Relation().GetFieldSpec(fieldNo).FldType);
    });
}

std::int16_t TdbTableGetEnumValue(std::int16_t tableHdl, std::int16_t fieldNo,
                                  const char16_t* text) noexcept {
    return WithCursor(tableHdl, kTdbUnknownColumn, [&](TTdbCursor& cursor) -> std::int16_t {
        const TTdbRelation& relation = cursor.Relation();
        if (fieldNo < 1 || fieldNo > relation.ColumnCount()) {
            RaiseEngineError(kTdbErrFieldNotFound, {NumberText(fieldNo)});
        }
        const auto* type = dynamic_cast<const TTdbEnumType*>(
            relation.ColumnDefs().GetColumnDef(fieldNo - 1)->DataType);
        const TTdbEnumItem* item = type != nullptr ? type->FindItem(InText(text)) : nullptr;
        if (item == nullptr) {
            RaiseEngineError(kTdbErrInvalidParameter, {std::u16string(InText(text))});
        }
        return item->Value;
    });
}

std::int16_t TdbTableGetRltnVersion(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError,
                      [](TTdbCursor& cursor) { return cursor.Relation().GetLevel(); });
}

std::int16_t TdbTableSetRange(std::int16_t tableHdl, const void* lower, const void* upper,
                              std::int32_t recBufSize, std::int16_t fieldCountStart,
                              std::int16_t fieldCountEnd) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        if (recBufSize < cursor.RecordSize() || lower == nullptr || upper == nullptr) {
            return kTdbBufferTooSmall;
        }
        const auto size = static_cast<std::size_t>(cursor.RecordSize());
        return cursor.SetUserRange({static_cast<const std::byte*>(lower), size},
                                   {static_cast<const std::byte*>(upper), size}, fieldCountStart,
                                   fieldCountEnd);
    });
}

std::int16_t TdbTableClearRange(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor& cursor) -> std::int16_t {
        cursor.ClearUserRange();
        if (cursor.Accessor().First() != 0) {
            cursor.Accessor().ToBoT();
        }
        return kTdbOk;
    });
}

std::int32_t TdbTableGetSequenceNo(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbReadError,
                      [](TTdbCursor& cursor) { return cursor.GetSequenceNo(); });
}

std::int32_t TdbTableSetSequenceNo(std::int16_t tableHdl, std::int32_t sequenceNo) noexcept {
    return WithCursor(tableHdl, kTdbRecordDoesNotExist,
                      [&](TTdbCursor& cursor) { return cursor.SetSequenceNo(sequenceNo); });
}

std::int16_t TdbTableIsSequenced(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor&) -> std::int16_t {
        return TTdbCursor::IsSequenced() ? 1 : 0;
    });
}

std::int32_t TdbTableLocateRec2(std::int16_t tableHdl, const char16_t* indexName,
                                const void* recordBuffer, std::int32_t recBufSize,
                                std::int16_t indexItemCount, bool& exactMatch) noexcept {
    return WithCursor(tableHdl, kTdbReadError, [&](TTdbCursor& cursor) -> std::int32_t {
        if (recBufSize < cursor.RecordSize() || recordBuffer == nullptr) {
            return kTdbBufferTooSmall;
        }
        return cursor.LocateRecord2(
            InText(indexName),
            {static_cast<const std::byte*>(recordBuffer), static_cast<std::size_t>(recBufSize)},
            indexItemCount, exactMatch);
    });
}

std::int16_t TdbTableLocateRec3(std::int16_t tableHdl, const char16_t* searchCondition,
                                std::uint32_t mode) noexcept {
    return WithCursor(tableHdl, kTdbInvalidSearchCondition, [&](TTdbCursor& cursor) {
        return cursor.Locate(InText(searchCondition), tesTableSQL, mode);
    });
}

std::int16_t TdbTableSetWordFilter(std::int16_t tableHdl, const char16_t* /*fulltextIndexName*/,
                                   const char16_t* /*words*/, std::uint32_t /*mode*/) noexcept {
    return WithCursor(tableHdl, kTdbInvalidSearchCondition, [](TTdbCursor&) -> std::int16_t {
        RaiseEngineError(kTdbErrNotSupported, {u"full-text filters"});
    });
}

std::int16_t TdbTableAppendDuplicate(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotWriteRecord,
                      [](TTdbCursor& cursor) { return cursor.AppendDuplicate(); });
}

std::int32_t TdbTableGetAutoNo(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError,
                      [](TTdbCursor& cursor) { return cursor.GetAutoNo(); });
}

std::int16_t TdbTableSetAutoNo(std::int16_t tableHdl, std::int32_t autoNo) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        cursor.SetAutoNo(autoNo);
        return kTdbOk;
    });
}

std::int16_t TdbTableLock(std::int16_t tableHdl, std::int16_t lockType,
                          std::int32_t timeOut) noexcept {
    return WithCursor(tableHdl, kTdbTableLocked, [&](TTdbCursor& cursor) -> std::int16_t {
        TTdbRelation& relation = cursor.Relation();
        const bool wait = timeOut != 0;
        const std::int16_t result =
            lockType == 1 ? relation.BeginRead(wait) : relation.BeginWrite(wait);
        return result < 0 ? kTdbTableLocked : kTdbOk;
    });
}

std::int16_t TdbTableUnlock(std::int16_t tableHdl, std::int16_t lockType) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        TTdbRelation& relation = cursor.Relation();
        if (lockType == 1) {
            if (relation.CountReadLocks() > 0) {
                relation.EndRead();
            }
        } else if (relation.CountWriteLocks() > 0) {
            relation.EndWrite();
        }
        return kTdbOk;
    });
}

std::int16_t TdbTableEmpty(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotDeleteRecord,
                      [](TTdbCursor& cursor) { return cursor.EmptyTable(); });
}

std::int16_t TdbTableAddMark(std::int16_t tableHdl, std::int32_t recNo) noexcept {
    return WithCursor(tableHdl, kTdbRecordDoesNotExist, [&](TTdbCursor& cursor) -> std::int16_t {
        cursor.AddMark(recNo);
        return kTdbOk;
    });
}

std::int16_t TdbTableRemoveMark(std::int16_t tableHdl, std::int32_t recNo) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        cursor.RemoveMark(recNo);
        return kTdbOk;
    });
}

std::int16_t TdbTableIsMarked(std::int16_t tableHdl, std::int32_t recNo) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [&](TTdbCursor& cursor) -> std::int16_t {
        return cursor.IsMarked(recNo) ? 1 : 0;
    });
}

std::int16_t TdbTableUnmark(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbEngineError, [](TTdbCursor& cursor) -> std::int16_t {
        cursor.Unmark();
        return kTdbOk;
    });
}

std::int16_t TdbTableGotoMark(std::int16_t tableHdl, std::int32_t delta, bool restart) noexcept {
    return WithCursor(tableHdl, kTdbReadError,
                      [&](TTdbCursor& cursor) { return cursor.GotoMark(delta, restart); });
}

std::int32_t TdbTableDeleteMarkedRecs(std::int16_t tableHdl) noexcept {
    return WithCursor(tableHdl, kTdbCannotDeleteRecord,
                      [](TTdbCursor& cursor) { return cursor.DeleteMarkedRecords(); });
}

}  // namespace tdb::api
