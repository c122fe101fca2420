// The record-buffer dataset: the window of buffers and how navigation, editing and the events
// move it.
#include "dataset/dataset.h"

#include <algorithm>
#include <utility>

#include "dataset/text_case.h"

namespace dataset {

namespace {

bool IsEditState(TDataSetState state) {
    return state == TDataSetState::dsEdit || state == TDataSetState::dsInsert;
}

}  // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() {
    // A concrete dataset closes in its own destructor, while its overrides still exist.
    for (TDataSource* source : FDataSources)
        source->FDataSet = nullptr;
}

// ---- Fields ----

TField* TDataSet::FindField(std::u16string_view name) const {
    for (const auto& field : FFields) {
        if (SameText(field->FieldName(), name))
            return field.get();
    }
    return nullptr;
}

TField& TDataSet::FieldByName(std::u16string_view name) const {
    TField* field = FindField(name);
    if (field == nullptr)
        DatabaseErrorFmt(u"Field '%s' not found", {name});
    return *field;
}

TField& TDataSet::AddField(const std::u16string& name, TFieldKind kind, TFieldType type,
                           std::int32_t size) {
    CheckInactive();
    if (FindField(name) != nullptr)
        DatabaseErrorFmt(u"Duplicate field name '%s'", {name});
    TFieldDef def;
    def.Name = name;
    def.DataType = type;
    def.Size = size;
    FFields.push_back(std::make_unique<TField>(*this, def, kind, true));
    return *FFields.back();
}

void TDataSet::CreateFields() {
    // Persistent data fields take their column's number; the columns without one get a field.
    for (auto& field : FFields) {
        if (field->Calculated())
            continue;
        const TFieldDef* def = FFieldDefs.Find(field->FieldName());
        if (def == nullptr)
            DatabaseErrorFmt(u"Field '%s' not found", {field->FieldName()});
        const bool required = field->Required();
        const bool readOnly = field->ReadOnly();
        std::u16string label = field->DisplayLabel();
        auto bound = std::make_unique<TField>(*this, *def, TFieldKind::fkData, true);
        bound->SetRequired(required || def->Required);
        bound->SetReadOnly(readOnly || def->ReadOnly);
        bound->SetDisplayLabel(std::move(label));
        bound->OnValidate = std::move(field->OnValidate);
        bound->OnChange = std::move(field->OnChange);
        field = std::move(bound);
    }
    for (const TFieldDef& def : FFieldDefs) {
        if (FindField(def.Name) == nullptr)
            FFields.push_back(std::make_unique<TField>(*this, def, TFieldKind::fkData, false));
    }
    FCalcFieldsSize = 0;
    for (auto& field : FFields) {
        if (field->Calculated()) {
            field->SetOffset(FCalcFieldsSize);
            FCalcFieldsSize += field->CalcDataSize();
        }
    }
}

void TDataSet::DestroyDefaultFields() {
    std::erase_if(FFields, [](const auto& field) { return !field->Persistent(); });
}

// ---- Opening and closing ----

void TDataSet::SetActive(bool value) {
    if (value == Active())
        return;
    if (value) {
        Fire(BeforeOpen, *this);
        OpenCursor();
        SetState(TDataSetState::dsBrowse);
        Fire(AfterOpen, *this);
        DoAfterScroll();
    } else {
        Fire(BeforeClose, *this);
        SetState(TDataSetState::dsInactive);
        CloseCursor();
        Fire(AfterClose, *this);
    }
}

void TDataSet::OpenCursor() {
    try {
        InternalOpen();
        AllocateBuffers();
        ClearBuffers();
        FBOF = true;
        GetNextRecords();
        FEOF = FRecordCount == 0;
    } catch (...) {
        CloseCursor();
        throw;
    }
}

void TDataSet::CloseCursor() {
    FBuffers.clear();
    FCalcBuffer.clear();
    FBufferCount = 0;
    ClearBuffers();
    InternalClose();
}

void TDataSet::AllocateBuffers() {
    FBufferCount = 0;
    FBuffers.clear();
    FCalcBuffer.assign(RecordBufferSize(), std::byte{0});
    std::int32_t wanted = 1;
    for (TDataSource* source : FDataSources) {
        for (TDataLink* link : source->FLinks)
            wanted = std::max(wanted, link->FBufferCount);
    }
    FBufferCount = wanted;
    FBuffers.assign(static_cast<std::size_t>(wanted) + 1,
                    std::vector<std::byte>(RecordBufferSize(), std::byte{0}));
}

void TDataSet::CheckActive() const {
    if (!Active())
        DatabaseError(u"Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
    if (Active())
        DatabaseError(u"Cannot perform this operation on an open dataset");
}

// ---- State and events ----

void TDataSet::SetState(TDataSetState value) {
    if (FState == value)
        return;
    FState = value;
    FModified = false;
    DataEvent(TDataEvent::deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
    const TDataSetState old = FState;
    FState = value;
    return old;
}

void TDataSet::RestoreState(TDataSetState value) {
    FState = value;
}

void TDataSet::DataEvent(TDataEvent event, std::intptr_t info) {
    if (event == TDataEvent::deFieldChange) {
        if (IsEditState(FState))
            FModified = true;
    }
    if (FDisableCount > 0) {
        // The controls learn of it all at once when they are enabled again.
        if (event != TDataEvent::deCheckBrowseMode && event != TDataEvent::deUpdateRecord)
            FPendingChange = true;
        if (event != TDataEvent::deUpdateState && event != TDataEvent::deCheckBrowseMode &&
            event != TDataEvent::deUpdateRecord)
            return;
    }
    // A source may detach while it is told; iterate over a copy.
    const std::vector<TDataSource*> sources = FDataSources;
    for (TDataSource* source : sources)
        source->DataEvent(event, info);
}

void TDataSet::DisableControls() {
    ++FDisableCount;
}

void TDataSet::EnableControls() {
    if (FDisableCount == 0)
        return;
    if (--FDisableCount == 0 && FPendingChange) {
        FPendingChange = false;
        DataEvent(TDataEvent::deDataSetChange);
    }
}

void TDataSet::AddDataSource(TDataSource* source) {
    FDataSources.push_back(source);
    UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
    std::erase(FDataSources, source);
    UpdateBufferCount();
}

void TDataSet::DoBeforeScroll() {
    Fire(BeforeScroll, *this);
}

void TDataSet::DoAfterScroll() {
    Fire(AfterScroll, *this);
}

// ---- The buffer window ----

void TDataSet::UpdateBufferCount() {
    if (!Active())
        return;
    std::int32_t wanted = 1;
    for (TDataSource* source : FDataSources) {
        for (TDataLink* link : source->FLinks)
            wanted = std::max(wanted, link->FBufferCount);
    }
    SetBufferCount(wanted);
}

void TDataSet::SetBufferCount(std::int32_t count) {
    if (count == FBufferCount)
        return;
    UpdateCursorPos();
    if (count < FRecordCount) {
        // The active record stays in the window: rows before it go first.
        const std::int32_t drop = std::max(0, FActiveRecord - (count - 1));
        std::rotate(FBuffers.begin(), FBuffers.begin() + drop, FBuffers.begin() + FRecordCount);
        FActiveRecord -= drop;
        FRecordCount = std::min(FRecordCount - drop, count);
        CursorPosChanged();
    }
    // The fetch buffer stays last.
    std::vector<std::byte> spare = std::move(FBuffers.back());
    FBuffers.pop_back();
    FBuffers.resize(static_cast<std::size_t>(count),
                    std::vector<std::byte>(RecordBufferSize(), std::byte{0}));
    FBuffers.push_back(std::move(spare));
    FBufferCount = count;
    if (FRecordCount > 0 && FState == TDataSetState::dsBrowse) {
        GetNextRecords();
        GetPriorRecords();
    }
    DataEvent(TDataEvent::deLayoutChange);
}

void TDataSet::ClearBuffers() {
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = false;
    FEOF = false;
}

void TDataSet::SetCurrentRecord(std::int32_t index) {
    if (FCurrentRecord == index)
        return;
    TRecordBuffer buffer = Buffer(index);
    switch (GetBookmarkFlag(buffer)) {
        case TBookmarkFlag::bfCurrent:
        case TBookmarkFlag::bfInserted:
            InternalSetToRecord(buffer);
            break;
        case TBookmarkFlag::bfBOF:
            InternalFirst();
            break;
        case TBookmarkFlag::bfEOF:
            InternalLast();
            break;
    }
    FCurrentRecord = index;
}

void TDataSet::UpdateCursorPos() {
    if (FRecordCount > 0)
        SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
    if (FRecordCount > 0)
        SetCurrentRecord(FRecordCount - 1);
    TRecordBuffer spare = Buffer(FBufferCount);
    if (GetRecord(spare, TGetMode::gmNext, true) != TGetResult::grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount < FBufferCount) {
        std::swap(FBuffers[static_cast<std::size_t>(FRecordCount)], FBuffers.back());
        ++FRecordCount;
    } else {
        // The window is full: the first row leaves, the new one comes last.
        std::rotate(FBuffers.begin(), FBuffers.begin() + 1, FBuffers.end());
        FActiveRecord = std::max(0, FActiveRecord - 1);
    }
    FCurrentRecord = FRecordCount - 1;
    return true;
}

bool TDataSet::GetPriorRecord() {
    if (FRecordCount > 0)
        SetCurrentRecord(0);
    TRecordBuffer spare = Buffer(FBufferCount);
    if (GetRecord(spare, TGetMode::gmPrior, true) != TGetResult::grOK) {
        CursorPosChanged();
        return false;
    }
    const bool hadRecords = FRecordCount > 0;
    if (FRecordCount == FBufferCount) {
        // The window is full: the fetched row comes first and the last row leaves.
        std::rotate(FBuffers.begin(), FBuffers.end() - 1, FBuffers.end());
    } else {
        std::swap(FBuffers[static_cast<std::size_t>(FRecordCount)], FBuffers.back());
        std::rotate(FBuffers.begin(), FBuffers.begin() + FRecordCount,
                    FBuffers.begin() + FRecordCount + 1);
        ++FRecordCount;
    }
    if (hadRecords)
        FActiveRecord = std::min(FActiveRecord + 1, FRecordCount - 1);
    FCurrentRecord = 0;
    return true;
}

std::int32_t TDataSet::GetNextRecords() {
    std::int32_t count = 0;
    while (FRecordCount < FBufferCount && GetNextRecord())
        ++count;
    return count;
}

std::int32_t TDataSet::GetPriorRecords() {
    std::int32_t count = 0;
    while (FRecordCount < FBufferCount && GetPriorRecord())
        ++count;
    return count;
}

void TDataSet::Resync(bool exact, bool center) {
    TRecordBuffer spare = Buffer(FBufferCount);
    if (exact) {
        CursorPosChanged();
        if (GetRecord(spare, TGetMode::gmCurrent, true) != TGetResult::grOK)
            DatabaseError(u"Record not found or changed by another user");
    } else if (GetRecord(spare, TGetMode::gmCurrent, false) != TGetResult::grOK &&
               GetRecord(spare, TGetMode::gmNext, false) != TGetResult::grOK &&
               GetRecord(spare, TGetMode::gmPrior, false) != TGetResult::grOK) {
        ClearBuffers();
        FBOF = true;
        FEOF = true;
        DataEvent(TDataEvent::deDataSetChange);
        return;
    }
    const std::int32_t place =
        center ? (FBufferCount - 1) / 2 : std::min(FActiveRecord, FBufferCount - 1);
    std::swap(FBuffers.front(), FBuffers.back());
    FRecordCount = 1;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    FBOF = false;
    FEOF = false;
    for (std::int32_t i = 0; i < place && GetPriorRecord(); ++i) {
    }
    GetNextRecords();
    GetPriorRecords();
    DataEvent(TDataEvent::deDataSetChange);
}

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
    if (FCalcFieldsSize == 0 || !OnCalcFields || !AutoCalcFields)
        return;
    // The handler reads and writes fields; in this state they reach the calculation buffer.
    const TDataSetState saved = SetTempState(TDataSetState::dsCalcFields);
    std::copy_n(buffer, RecordBufferSize(), FCalcBuffer.data());
    try {
        ClearCalcFields(FCalcBuffer.data());
        OnCalcFields(*this);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    std::copy_n(FCalcBuffer.data(), RecordBufferSize(), buffer);
    RestoreState(saved);
}

TRecordBuffer TDataSet::ActiveBuffer() {
    switch (FState) {
        case TDataSetState::dsBrowse:
        case TDataSetState::dsEdit:
        case TDataSetState::dsInsert:
        case TDataSetState::dsBlockRead:
        case TDataSetState::dsNewValue:
        case TDataSetState::dsCurValue:
            return ActiveRecordPresent() ? Buffer(FActiveRecord) : nullptr;
        case TDataSetState::dsCalcFields:
            return FCalcBuffer.empty() ? nullptr : FCalcBuffer.data();
        default:
            return nullptr;
    }
}

// ---- Navigation ----

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecords();
    } catch (...) {
        FBOF = true;
        FEOF = FRecordCount == 0;
        DataEvent(TDataEvent::deDataSetChange);
        throw;
    }
    FBOF = true;
    FEOF = FRecordCount == 0;
    DataEvent(TDataEvent::deDataSetChange);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecords();
    } catch (...) {
        FEOF = true;
        FBOF = FRecordCount == 0;
        DataEvent(TDataEvent::deDataSetChange);
        throw;
    }
    FActiveRecord = std::max(0, FRecordCount - 1);
    FEOF = true;
    FBOF = FRecordCount == 0;
    DataEvent(TDataEvent::deDataSetChange);
    DoAfterScroll();
}

std::int32_t TDataSet::MoveBy(std::int32_t distance) {
    CheckBrowseMode();
    std::int32_t moved = 0;
    if ((distance > 0 && FEOF) || (distance < 0 && FBOF) || distance == 0)
        return 0;
    DoBeforeScroll();
    FBOF = false;
    FEOF = false;
    const std::int32_t oldActive = FActiveRecord;
    bool windowMoved = false;
    try {
        while (distance > 0) {
            if (FActiveRecord < FRecordCount - 1) {
                ++FActiveRecord;
            } else {
                const bool full = FRecordCount == FBufferCount;
                if (!GetNextRecord()) {
                    FEOF = true;
                    break;
                }
                windowMoved = windowMoved || full;
                FActiveRecord = FRecordCount - 1;
            }
            --distance;
            ++moved;
        }
        while (distance < 0) {
            if (FActiveRecord > 0) {
                --FActiveRecord;
            } else {
                const bool full = FRecordCount == FBufferCount;
                if (!GetPriorRecord()) {
                    FBOF = true;
                    break;
                }
                windowMoved = windowMoved || full;
                FActiveRecord = 0;
            }
            ++distance;
            --moved;
        }
    } catch (...) {
        DataEvent(TDataEvent::deDataSetChange);
        throw;
    }
    if (windowMoved)
        DataEvent(TDataEvent::deDataSetChange);
    else
        DataEvent(TDataEvent::deDataSetScroll, FActiveRecord - oldActive);
    DoAfterScroll();
    return moved;
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    UpdateCursorPos();
    InternalRefresh();
    Resync(false, false);
}

// ---- Bookmarks ----

TBookmark TDataSet::GetBookmark() {
    TRecordBuffer buffer = ActiveBuffer();
    if (buffer == nullptr || GetBookmarkFlag(buffer) != TBookmarkFlag::bfCurrent)
        return {};
    return GetBookmarkData(buffer);
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
    if (bookmark.empty())
        return;
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(bookmark);
    Resync(true, true);
    DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& bookmark) {
    return !bookmark.empty();
}

std::int32_t TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
    if (a.empty() || b.empty())
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    return a == b ? 0 : (a < b ? -1 : 1);
}

// ---- Editing ----

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(TDataEvent::deCheckBrowseMode);
    switch (FState) {
        case TDataSetState::dsEdit:
        case TDataSetState::dsInsert:
            UpdateRecord();
            if (FModified)
                Post();
            else
                Cancel();
            break;
        case TDataSetState::dsSetKey:
            Post();
            break;
        default:
            break;
    }
}

void TDataSet::UpdateRecord() {
    if (!IsEditState(FState) && FState != TDataSetState::dsSetKey)
        DatabaseError(u"Dataset not in edit or insert mode");
    DataEvent(TDataEvent::deUpdateRecord);
}

void TDataSet::CheckCanModify() {
    if (!CanModify())
        DatabaseError(u"Cannot modify a read-only dataset");
}

void TDataSet::CheckRequiredFields() {
    for (const auto& field : FFields) {
        // An empty text is no value either: a text column holds no NULL of its own.
        if (field->Required() && !field->ReadOnly() && !field->Calculated() &&
            field->AsString().empty()) {
            DatabaseErrorFmt(u"Field '%s' must have a value", {field->DisplayName()});
        }
    }
}

void TDataSet::CheckOperation(const std::function<void()>& op, const TDataSetErrorEvent& handler) {
    for (;;) {
        try {
            op();
            return;
        } catch (EDatabaseError& e) {
            if (!handler)
                throw;
            TDataAction action = TDataAction::daFail;
            handler(*this, e, action);
            if (action == TDataAction::daFail)
                throw;
            if (action == TDataAction::daAbort)
                Abort();
        }
    }
}

void TDataSet::Edit() {
    if (IsEditState(FState))
        return;
    if (FRecordCount == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    Fire(BeforeEdit, *this);
    UpdateCursorPos();
    CheckOperation([this] { InternalEdit(); }, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(TDataSetState::dsEdit);
    DataEvent(TDataEvent::deRecordChange);
    Fire(AfterEdit, *this);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    Fire(BeforeInsert, *this);
    DoBeforeScroll();
    FBookmarkBeforeInsert =
        ActiveRecordPresent() ? GetBookmarkData(Buffer(FActiveRecord)) : TBookmark();
}

void TDataSet::EndInsertAppend() {
    SetState(TDataSetState::dsInsert);
    try {
        if (OnNewRecord)
            OnNewRecord(*this);
    } catch (...) {
        UpdateCursorPos();
        InternalCancel();
        SetState(TDataSetState::dsBrowse);
        Resync(false, false);
        throw;
    }
    FModified = false;
    DataEvent(TDataEvent::deDataSetChange);
    Fire(AfterInsert, *this);
    DoAfterScroll();
}

std::int32_t TDataSet::OpenRowAt(std::int32_t at) {
    // A full window gives up a row: the first when the new row comes at its end, else the last.
    if (FRecordCount == FBufferCount) {
        if (at >= FBufferCount - 1 && FBufferCount > 1) {
            std::rotate(FBuffers.begin(), FBuffers.begin() + 1, FBuffers.begin() + FRecordCount);
            --at;
        }
        --FRecordCount;
    }
    // The first unused buffer of the window moves to the new row's place.
    at = std::clamp(at, 0, FRecordCount);
    std::rotate(FBuffers.begin() + at, FBuffers.begin() + FRecordCount,
                FBuffers.begin() + FRecordCount + 1);
    ++FRecordCount;
    return at;
}

void TDataSet::InitRecord(TRecordBuffer buffer) {
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, TBookmarkFlag::bfInserted);
}

void TDataSet::Insert() {
    BeginInsertAppend();
    UpdateCursorPos();
    const std::int32_t row = OpenRowAt(FRecordCount == 0 ? 0 : FActiveRecord);
    FActiveRecord = row;
    CursorPosChanged();
    try {
        InternalInsert();
        InitRecord(Buffer(row));
    } catch (...) {
        Resync(false, false);
        throw;
    }
    FEOF = false;
    FBOF = false;
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecords();
        const std::int32_t row = OpenRowAt(FRecordCount);
        FActiveRecord = row;
        CursorPosChanged();
        InternalInsert();
        InitRecord(Buffer(row));
        SetBookmarkFlag(Buffer(row), TBookmarkFlag::bfEOF);
    } catch (...) {
        Resync(false, false);
        throw;
    }
    FBOF = false;
    FEOF = true;
    EndInsertAppend();
}

void TDataSet::Post() {
    UpdateRecord();
    switch (FState) {
        case TDataSetState::dsEdit:
        case TDataSetState::dsInsert: {
            DataEvent(TDataEvent::deCheckBrowseMode);
            Fire(BeforePost, *this);
            CheckRequiredFields();
            UpdateCursorPos();
            CheckOperation([this] { InternalPost(); }, OnPostError);
            SetState(TDataSetState::dsBrowse);
            Resync(false, false);
            Fire(AfterPost, *this);
            break;
        }
        case TDataSetState::dsSetKey:
            LeaveSetKey();
            break;
        default:
            break;
    }
}

void TDataSet::LeaveSetKey() {
    // The key buffer keeps what was typed into it, whether the state is left by posting or not.
    SetState(TDataSetState::dsBrowse);
    DataEvent(TDataEvent::deDataSetChange);
}

void TDataSet::Cancel() {
    switch (FState) {
        case TDataSetState::dsEdit:
        case TDataSetState::dsInsert: {
            DataEvent(TDataEvent::deCheckBrowseMode);
            Fire(BeforeCancel, *this);
            UpdateCursorPos();
            InternalCancel();
            SetState(TDataSetState::dsBrowse);
            Resync(false, false);
            Fire(AfterCancel, *this);
            break;
        }
        case TDataSetState::dsSetKey:
            LeaveSetKey();
            break;
        default:
            break;
    }
}

void TDataSet::Delete() {
    CheckActive();
    if (FState == TDataSetState::dsInsert || FState == TDataSetState::dsSetKey) {
        Cancel();
        return;
    }
    if (FRecordCount == 0)
        DatabaseError(u"Cannot perform this operation on an empty dataset");
    DataEvent(TDataEvent::deCheckBrowseMode);
    Fire(BeforeDelete, *this);
    DoBeforeScroll();
    UpdateCursorPos();
    CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    SetState(TDataSetState::dsBrowse);
    Resync(false, false);
    Fire(AfterDelete, *this);
    DoAfterScroll();
}

void TDataSet::FieldChanged(TField& field) {
    DataEvent(TDataEvent::deFieldChange, reinterpret_cast<std::intptr_t>(&field));
}

}  // namespace dataset
