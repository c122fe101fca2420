// The generic part of every relation: columns, names, index lookup and the accessors that
// listen to it.
#include "engine/relation.h"

#include <algorithm>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/lock_file.h"
#include "engine/services.h"
#include "engine/table_names.h"
#include "index/index_entry.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "storage/data_file.h"
#include "types/data_type.h"

namespace tdb {

TTdbRelation::TTdbRelation(TTdbServices& services) : FServices(services) {}

TTdbRelation::~TTdbRelation() = default;

std::int16_t TTdbRelation::Open(bool force) {
    std::int16_t result = OpenFiles(force);
    if (result != 0) {
        Close();
        return result;
    }
    FStdName = TableNameFromFileName(GetFullName());
    return 0;
}

std::int16_t TTdbRelation::Setup(bool /*force*/) {
    // Check constraints are compiled when the record writer needs them; without a compiler a
    // failure here must not keep the table closed.
    return 0;
}

std::int16_t TTdbRelation::Close() {
    std::int16_t result = CloseFiles();
    if (result != 0)
        return result;
    ClearDefinitions();
    FRecBuffer.clear();
    FRecBuffer.shrink_to_fit();
    return 0;
}

void TTdbRelation::ClearDefinitions() {
    FKeys.reset();
    FColumnDefs.Clear();
    FRecordIdFieldNo = 0;
    FHasMemo = false;
    FHasBlob = false;
    FInrIndexNo = FIdIndexNo = FPrimIndexNo = kTdbNoIndexNo8;
    FLastIndexNo = -1;
    FNativeSortDef.Clear();
}

void TTdbRelation::AnalyzeColumns() {
    FRecordIdFieldNo = 0;
    FHasMemo = false;
    FHasBlob = false;
    for (int i = 0; i < FColumnDefs.GetCount(); ++i) {
        switch (FColumnDefs.GetColumnDef(i)->GetColumnType()) {
        case ctAutoInc:
            if (FRecordIdFieldNo == 0)
                FRecordIdFieldNo = static_cast<std::int16_t>(i + 1);
            break;
        case ctMemo:
            FHasMemo = true;
            break;
        case ctBlob:
        case ctWideMemo:
            FHasBlob = true;
            break;
        default:
            break;
        }
    }
}

void TTdbRelation::MakeKeys() {
    FKeys = std::make_unique<TTdbIndexKeys>(FColumnDefs, GetLevel());
}

std::int16_t TTdbRelation::InitRecord(std::span<std::byte> recBuffer, bool /*preset*/) {
    try {
        Access().InitRecord(recBuffer);
        return 0;
    } catch (const ETdbEngine& e) {
        return FServices.SetLastError(e);
    }
}

std::int32_t TTdbRelation::LocateRecord(std::span<const std::byte> recBuffer,
                                        TTdbIndexNo indexNo) {
    if (!CheckIndexOpen(indexNo, false))
        return -FServices.LastError().LastErrorCode();
    TTdbIndexFile& index = *GetIndexFile(indexNo);
    std::span<std::byte> key = index.GetWorkInfo(1);
    std::span<std::byte> found = index.GetWorkInfo(2);
    if (BeginRead(true) < 0)
        return -FServices.LastError().LastErrorCode();
    std::int32_t result = 0;
    try {
        FKeys->CalcIndexInfo(index.IndexDef(), recBuffer, 0, key);
        std::copy(key.begin(), key.end(), found.begin());
        const int searched = index.Suche_Index(found);
        if (searched < 0)
            result = searched;
        else if (searched == 0 && FKeys->IsSameIndexKey(index.IndexDef(), key, found))
            result = GetDateiVerweis(found);
    } catch (const ETdbEngine& e) {
        result = FServices.SetLastError(e);
    }
    EndRead();
    return result;
}

TTdbIndexNo TTdbRelation::FindIndexByName(std::u16string_view name) const {
    for (TTdbIndexNo no = GetFirstIndexNo(); no <= GetLastIndexNo(); ++no) {
        const TTdbIndexFile* index = GetIndexFile(no);
        if (index != nullptr && SameTableText(index->Name(), name))
            return no;
    }
    return kTdbNoIndex;
}

TTdbIndexNo TTdbRelation::FindIndex(const TTdbSortDef& def, std::uint8_t options,
                                    bool& reverse) {
    reverse = false;
    const bool allowReverse = (options & tifoNoReverse) == 0;
    if ((options & tifoIncludeSpecial) != 0 && FNativeSortDef.LevelCount > 0 &&
        FNativeSortDef.Covers(def, allowReverse, reverse))
        return kTdbNoIndex;
    for (TTdbIndexNo no = GetFirstIndexNo(); no <= GetLastIndexNo(); ++no) {
        TTdbIndexFile* index = GetIndexFile(no);
        if (index == nullptr)
            continue;
        if (!index->IsOpen() && ((options & tifoNoOpen) != 0 || !CheckIndexOpen(no, true)))
            continue;
        bool indexReverse = false;
        const bool match = (options & tifoExact) != 0
                               ? index->IndexDef().Equals(def, allowReverse, indexReverse)
                               : index->IndexDef().Covers(def, allowReverse, indexReverse);
        if (match) {
            reverse = indexReverse;
            return no;
        }
    }
    return kTdbNoIndex;
}

std::u16string TTdbRelation::GetRealIndexName(TTdbIndexNo indexNo) const {
    const TTdbIndexFile* index = GetIndexFile(indexNo);
    return index == nullptr ? std::u16string{} : index->Name();
}

int TTdbRelation::FindColumn(std::u16string_view name, bool caseSensitive) const {
    if (!caseSensitive)
        return FColumnDefs.Find(name) + 1;
    for (int i = 0; i < FColumnDefs.GetCount(); ++i)
        if (FColumnDefs.GetColumnDef(i)->Name == name)
            return i + 1;
    return 0;
}

std::u16string TTdbRelation::GetFieldName(int fieldNo) const {
    if (fieldNo < 1 || fieldNo > FColumnDefs.GetCount())
        return {};
    return FColumnDefs.GetColumnDef(fieldNo - 1)->Name;
}

TTdbFieldSpec TTdbRelation::GetFieldSpec(int fieldNo) const {
    if (fieldNo < 1 || fieldNo > FColumnDefs.GetCount())
        RaiseEngineError(kTdbErrFieldNotFound, {NumberText(fieldNo)});
    const TTdbColumnDef& column = *FColumnDefs.GetColumnDef(fieldNo - 1);
    TTdbFieldSpec spec;
    spec.No = static_cast<std::int16_t>(fieldNo);
    spec.Name = column.Name;
    spec.Options = static_cast<std::uint8_t>(column.Options & 0xFF & ~cdoValueRange);
    if (const TTdbCalculation* calculation = column.GetCalculation())
        spec.RangeOrFormula = StoredExpressionSource(*calculation, GetLevel());
    spec.FldType = column.GetColumnType();
    if (const auto* text = dynamic_cast<const TTdbTextColumnDef*>(&column)) {
        spec.Param = text->GetMaxLen() == kUnboundedLength ? 0 : text->GetMaxLen();
    } else if (const auto* number = dynamic_cast<const TTdbFloatType*>(column.DataType)) {
        spec.Param = number->GetScale();
    } else if (const auto* time = dynamic_cast<const TTdbTimeColumnDef*>(&column)) {
        spec.Param = time->FPrecision;
    }
    if (const auto* enumColumn = dynamic_cast<const TTdbEnumColumnDef*>(&column))
        spec.SelectOrLink = enumColumn->CalcEnumValueList(u',');
    else if (const auto* recordId = dynamic_cast<const TTdbRecordIdColumnDef*>(&column))
        spec.SelectOrLink = recordId->IndexSpec;
    else if (const auto* link = dynamic_cast<const TTdbAdlColumnDef*>(&column))
        spec.SelectOrLink = link->LinkedTable;
    spec.InternalPosition = static_cast<std::int16_t>(column.Position);
    spec.InternalSize = column.Size;
    return spec;
}

bool TTdbRelation::IsSameTableName(std::u16string_view name) const {
    if (!SameTableText(TableNameFromFileName(name), FStdName))
        return false;
    const std::u16string full = GetFullName();
    const std::size_t nameStart = FileNameStart(name);
    if (nameStart > 0 &&
        !SameTableText(name.substr(0, nameStart),
                       std::u16string_view(full).substr(0, FileNameStart(full))))
        return false;
    const std::u16string_view extension = FileExtension(name);
    return extension.empty() || SameTableText(extension, FileExtension(full));
}

void TTdbRelation::AddAccessor(IRelationListener* listener) {
    FClientAccessors.push_back(listener);
}

void TTdbRelation::RemoveAccessor(IRelationListener* listener) {
    std::erase(FClientAccessors, listener);
}

void TTdbRelation::EnableNotifications(bool enable) {
    if (!enable) {
        ++FNotificationDisableCount;
        return;
    }
    if (FNotificationDisableCount == 1) {
        FNotificationDisableCount = 0;
        NotifyRelationChanged();
        return;
    }
    if (FNotificationDisableCount > 0)
        --FNotificationDisableCount;
}

void TTdbRelation::NotifyRelationChanged() {
    if (FNotificationDisableCount > 0)
        return;
    for (IRelationListener* listener : FClientAccessors)
        listener->RelationChanged();
}

std::int16_t TTdbRelation::CheckEditWaiting(std::int32_t recNo, const IRelationListener* excluded) {
    const std::uint32_t start = platform::GetTickCount();
    for (;;) {
        const std::int16_t result = CheckEdit(recNo, excluded);
        if (result != -kTdbErrRecordBeingEdited)
            return result;
        const std::uint32_t waited = platform::GetTickCount() - start;
        if (FServices.FLockingTimeout <= 0 ||
            waited >= static_cast<std::uint32_t>(FServices.FLockingTimeout))
            return result;
        platform::Sleep(kEditRetryMs);
    }
}

void TTdbRelation::NotifyRecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) {
    for (IRelationListener* listener : FClientAccessors)
        listener->RecordDeleted(deletedRecNo, movedRecNo);
}

void TTdbRelation::GetUsage(TTdbTableUsage& usage) {
    usage = {};
    usage.UserCount = 1;
}

void TTdbRelation::NotifyRelationEmptied() {
    for (IRelationListener* listener : FClientAccessors)
        listener->RelationEmptied();
}

void TTdbRelation::NotifyIndexRemoved(TTdbIndexNo indexNo) {
    for (IRelationListener* listener : FClientAccessors)
        listener->IndexRemoved(indexNo);
}

bool TTdbRelation::CanRemoveIndex(TTdbIndexNo indexNo) const {
    return std::all_of(FClientAccessors.begin(), FClientAccessors.end(),
                       [indexNo](IRelationListener* l) { return l->CanRemoveIndex(indexNo); });
}

std::int32_t TTdbRelation::AppendRecord(std::span<std::byte>, TTdbBlobDataList&) {
    return FServices.SetLastError(kTdbErrNotSupported, {u"writing records of " + GetName()});
}

std::int16_t TTdbRelation::ReplaceRecord(std::span<std::byte>, std::span<const std::byte>,
                                         std::int32_t, TTdbBlobDataList&) {
    return FServices.SetLastError(kTdbErrNotSupported, {u"writing records of " + GetName()});
}

std::int16_t TTdbRelation::DeleteRecord(std::span<const std::byte>, std::int32_t) {
    return FServices.SetLastError(kTdbErrNotSupported, {u"writing records of " + GetName()});
}

std::int16_t TTdbRelation::BerechneFormeln(std::span<std::byte>, TTdbCalculationPurposes) {
    return 0;
}

}  // namespace tdb
