// The dataset over one engine cursor.
#include "dataset/tdb_dataset.h"

#include <algorithm>
#include <cstring>

#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "dataset/tdb_database.h"

namespace dataset {

namespace {

using namespace tdb::api;

// Record information behind the engine record, the calculated area and the two cache indexes.
constexpr std::uint16_t kRecInfoSize = 16;
constexpr std::int32_t kSequenceNo = 0;
constexpr std::int32_t kBookmarkFlag = 4;
constexpr std::int32_t kRecordNo = 5;
constexpr std::int32_t kDeleted = 9;
constexpr std::int32_t kFirstTextLength = 512;

TTdbDataType DataTypeOf(std::int16_t fldType) {
    switch (fldType & 0xFF) {
        case 1:
            return TTdbDataType::dtString;
        case 2:
            return TTdbDataType::dtSmallInt;
        case 3:
            return TTdbDataType::dtFloat;
        case 4:
            return TTdbDataType::dtByte;
        case 5:
            return TTdbDataType::dtBoolean;
        case 7:
            return TTdbDataType::dtMemo;
        case 8:
            return TTdbDataType::dtEnum;
        case 9:
            return TTdbDataType::dtAutoInc;
        case 10:
            return TTdbDataType::dtLink;
        case 11:
            return TTdbDataType::dtBlob;
        case 12:
            return TTdbDataType::dtRelation;
        case 13:
            return TTdbDataType::dtTime;
        case 16:
            return TTdbDataType::dtInteger;
        case 17:
            return TTdbDataType::dtDateTime;
        case 18:
            return TTdbDataType::dtWideString;
        case 19:
            return TTdbDataType::dtWideMemo;
        case 20:
            return TTdbDataType::dtLargeInt;
        case 21:
            return TTdbDataType::dtGuid;
        default:
            return TTdbDataType::dtDate;
    }
}

TFieldType FieldTypeOf(TTdbDataType type) {
    switch (type) {
        case TTdbDataType::dtString:
        case TTdbDataType::dtEnum:
        case TTdbDataType::dtLink:
            return TFieldType::ftString;
        case TTdbDataType::dtWideString:
            return TFieldType::ftWideString;
        case TTdbDataType::dtInteger:
            return TFieldType::ftInteger;
        case TTdbDataType::dtSmallInt:
            return TFieldType::ftSmallint;
        case TTdbDataType::dtByte:
            return TFieldType::ftWord;
        case TTdbDataType::dtFloat:
            return TFieldType::ftFloat;
        case TTdbDataType::dtBoolean:
            return TFieldType::ftBoolean;
        case TTdbDataType::dtDate:
            return TFieldType::ftDate;
        case TTdbDataType::dtTime:
            return TFieldType::ftTime;
        case TTdbDataType::dtDateTime:
            return TFieldType::ftDateTime;
        case TTdbDataType::dtAutoInc:
            return TFieldType::ftAutoInc;
        case TTdbDataType::dtLargeInt:
            return TFieldType::ftLargeint;
        case TTdbDataType::dtGuid:
            return TFieldType::ftGuid;
        case TTdbDataType::dtMemo:
            return TFieldType::ftMemo;
        case TTdbDataType::dtWideMemo:
            return TFieldType::ftWideMemo;
        case TTdbDataType::dtBlob:
        case TTdbDataType::dtRelation:
            return TFieldType::ftBlob;
        default:
            return TFieldType::ftUnknown;
    }
}

bool IsBlockType(TTdbDataType type) {
    return type == TTdbDataType::dtMemo || type == TTdbDataType::dtWideMemo ||
           type == TTdbDataType::dtBlob || type == TTdbDataType::dtRelation;
}

// The comma-separated items of a text, double-quoted items taken whole, joined with ";".
std::u16string SemicolonList(std::u16string_view text) {
    std::u16string out;
    std::u16string item;
    bool quoted = false;
    auto flush = [&] {
        const auto first = item.find_first_not_of(u' ');
        const auto last = item.find_last_not_of(u' ');
        if (!out.empty())
            out += u';';
        if (first != std::u16string::npos)
            out += item.substr(first, last - first + 1);
        item.clear();
    };
    for (char16_t c : text) {
        if (c == u'"')
            quoted = !quoted;
        else if (c == u',' && !quoted)
            flush();
        else
            item += c;
    }
    if (!item.empty() || !out.empty())
        flush();
    return out;
}

}  // namespace

TTdbDataSet::TTdbDataSet(TComponent* owner) : TDataSet(owner) {}

TTdbDataSet::~TTdbDataSet() = default;

std::int32_t TTdbDataSet::ReadInt(const std::byte* at) {
    std::int32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void TTdbDataSet::WriteInt(std::byte* at, std::int32_t value) {
    std::memcpy(at, &value, sizeof value);
}

std::int16_t TTdbDataSet::SessionHdl() const noexcept {
    return FDatabase != nullptr ? FDatabase->SessionHdl() : 0;
}

std::u16string TTdbDataSet::Version() const {
    constexpr int kBuild = 8102;
    return FormatText(u"%d.%d.%d/%d.%d.%d",
                      {6, 1, 8, kBuild / 1000, (kBuild / 100) % 10, kBuild % 10});
}

void TTdbDataSet::SetDatabaseName(const std::u16string& name) {
    std::u16string value = name;
    if (!value.empty() && (value.back() == u'\\' || value.back() == u'/'))
        value.pop_back();
    if (value == FDatabaseName)
        return;
    if (Loading()) {
        FDatabaseName = value;
        return;
    }
    const bool wasActive = Active();
    Close();
    FDatabase = nullptr;
    FDatabaseName = value;
    if (wasActive)
        Open();
}

// ---- Opening and closing ----

void TTdbDataSet::InternalOpen() {
    OpenTdbCursor();
    InternalInitFieldDefs();
    CreateFields();
    FTableLevel = TdbTableGetRltnVersion(FTableHdl);
    FRecordSize = static_cast<std::uint16_t>(
        Check(TdbTableGetRecordSize(FTableHdl), u"Retrieving record size"));
    ComputeOffsets();
    for (auto& key : FKeyBuffers) {
        key.assign(FRecBufSize, std::byte{0});
        EmptyBuffer(key.data());
    }
    FFilterUpdated = false;
    FFilteredRecordCount = -1;
    FOutOfTableState = TOutOfTableState::ootNone;
    if (Filtered())
        InstallFilter(Filter(), FWordFilter, FilterOptions());
}

void TTdbDataSet::ComputeOffsets() {
    FBlobCacheOfs = static_cast<std::uint16_t>(FRecordSize + CalcFieldsSize());
    FRelationsOfs = static_cast<std::uint16_t>(FBlobCacheOfs + 4);
    FRecInfoOfs = static_cast<std::uint16_t>(FBlobCacheOfs + 8);
    FRecBufSize = static_cast<std::uint16_t>(FRecInfoOfs + kRecInfoSize);
}

void TTdbDataSet::InternalClose() {
    for (auto& key : FKeyBuffers)
        key.clear();
    DestroyDefaultFields();
    // The cursor goes before the database is let go: an automatic database leaves with its last
    // dataset and takes its session's cursors along.
    if (FTableHdl > 0) {
        TdbTableSetChangeCallback(FTableHdl, nullptr);
        TdbTableDelete(FTableHdl);
    }
    FTableHdl = 0;
    if (FDatabase != nullptr)
        FDatabase->UnRegisterClient(this);
    FDatabase = nullptr;
    FOutOfTableState = TOutOfTableState::ootNone;
}

void TTdbDataSet::InternalInitFieldDefs() {
    FFieldDefsTdb.clear();
    FieldDefs().Clear();
    const std::int16_t count = static_cast<std::int16_t>(
        Check(TdbTableGetNumFields(FTableHdl), u"Retrieving field definitions"));
    TTdbFieldSpec spec{};
    for (std::int16_t no = 1; no <= count; ++no) {
        Check(TdbTableGetFieldSpec(FTableHdl, no, spec), u"Retrieving field definitions");
        TTdbFieldDef def;
        def.Name = std::u16string(FixedText(spec.Name));
        def.InitialFieldNo = no;
        def.DataTypeTdb = DataTypeOf(spec.FldType);
        def.FldTypeHigh = static_cast<std::int16_t>(spec.FldType & 0xFF00);
        def.Calculated = (spec.Options & 0x01) != 0;
        def.ReadOnly = def.Calculated;
        def.Required = def.DataTypeTdb == TTdbDataType::dtAutoInc ? (spec.Options & 0x40) != 0
                                                                  : (spec.Options & 0x20) == 0;
        def.BufPosition = spec.InternalPosition;
        def.BufSize = spec.InternalSize;
        def.Options = spec.Options;
        def.CalcExpression = std::u16string(FixedText(spec.RangeOrFormula));
        const std::u16string select(FixedText(spec.SelectOrLink));
        switch (def.DataTypeTdb) {
            case TTdbDataType::dtString:
            case TTdbDataType::dtWideString:
                def.Size = spec.Param;
                def.Spec = select;
                break;
            case TTdbDataType::dtFloat:
            case TTdbDataType::dtTime:
                def.Precision = spec.Param;
                break;
            case TTdbDataType::dtEnum:
                def.Spec = select;
                def.Size = 40;
                break;
            case TTdbDataType::dtAutoInc:
                def.Spec = SemicolonList(select);
                def.ReadOnly = true;
                break;
            case TTdbDataType::dtLink:
                def.Size = 255;
                def.Spec = select;
                break;
            case TTdbDataType::dtRelation:
                def.Size = 8192;
                def.Spec = select;
                break;
            case TTdbDataType::dtGuid:
                def.Size = 38;
                break;
            default:
                break;
        }
        TFieldDef framework;
        framework.Name = def.Name;
        framework.DataType = FieldTypeOf(def.DataTypeTdb);
        framework.Size = def.Size;
        framework.Precision = def.Precision;
        framework.FieldNo = no;
        framework.Required = def.Required;
        framework.ReadOnly = def.ReadOnly;
        FieldDefs().Add(std::move(framework));
        FFieldDefsTdb.push_back(std::move(def));
    }
}

// ---- Buffers and fetching ----

void TTdbDataSet::EmptyBuffer(TRecordBuffer buffer) {
    std::fill_n(buffer, FRecBufSize, std::byte{0});
    WriteInt(buffer + FBlobCacheOfs, -1);
    WriteInt(buffer + FRelationsOfs, -1);
    WriteInt(buffer + FRecInfoOfs + kSequenceNo, -1);
    buffer[FRecInfoOfs + kBookmarkFlag] = static_cast<std::byte>(TBookmarkFlag::bfEOF);
    WriteInt(buffer + FRecInfoOfs + kRecordNo, -1);
}

void TTdbDataSet::ClearCalcFields(TRecordBuffer buffer) {
    std::fill_n(buffer + FRecordSize, CalcFieldsSize(), std::byte{0});
}

void TTdbDataSet::FetchInto(TRecordBuffer buffer) {
    WriteInt(buffer + FBlobCacheOfs, -1);
    WriteInt(buffer + FRelationsOfs, -1);
    Check(TdbTableGetRecord(FTableHdl, buffer, FRecordSize), u"Fetching records");
    const std::int32_t recNo = TdbTableGetRecNo(FTableHdl);
    std::fill_n(buffer + FRecInfoOfs, kRecInfoSize, std::byte{0});
    TBookmarkFlag flag = TBookmarkFlag::bfCurrent;
    if (FOutOfTableState == TOutOfTableState::ootBOT)
        flag = TBookmarkFlag::bfBOF;
    else if (FOutOfTableState == TOutOfTableState::ootEOT)
        flag = TBookmarkFlag::bfEOF;
    else if (recNo == 0)
        flag = TBookmarkFlag::bfInserted;
    buffer[FRecInfoOfs + kBookmarkFlag] = static_cast<std::byte>(flag);
    WriteInt(buffer + FRecInfoOfs + kRecordNo, recNo);
    ClearCalcFields(buffer);
    GetCalcFields(buffer);
}

bool TTdbDataSet::AcceptedByFilterEvent(TRecordBuffer buffer) {
    const TFilterRecordEvent& handler = OnFilterRecord();
    if (!Filtered() || !handler)
        return true;
    const TDataSetState saved = SetTempState(TDataSetState::dsFilter);
    FFilterBuffer = buffer;
    bool accept = true;
    try {
        handler(*this, accept);
    } catch (...) {
        FFilterBuffer = nullptr;
        RestoreState(saved);
        throw;
    }
    FFilterBuffer = nullptr;
    RestoreState(saved);
    return accept;
}

TGetResult TTdbDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) {
    for (;;) {
        std::int16_t result = 0;
        switch (mode) {
            case TGetMode::gmCurrent:
                result = TdbTableMoveBy(FTableHdl, 0);
                break;
            case TGetMode::gmNext:
                result = FOutOfTableState == TOutOfTableState::ootBOT
                             ? TdbTableFirst(FTableHdl)
                             : TdbTableMoveBy(FTableHdl, 1);
                break;
            case TGetMode::gmPrior:
                result = FOutOfTableState == TOutOfTableState::ootEOT
                             ? TdbTableLast(FTableHdl)
                             : TdbTableMoveBy(FTableHdl, -1);
                break;
        }
        TGetResult got = TGetResult::grOK;
        if (result == tdb::kTdbRecordDoesNotExist) {
            if (mode == TGetMode::gmNext)
                got = TGetResult::grEOF;
            else if (mode == TGetMode::gmPrior)
                got = TGetResult::grBOF;
            else
                got = FOutOfTableState == TOutOfTableState::ootBOT ? TGetResult::grBOF
                                                                   : TGetResult::grEOF;
        } else if (result < 0) {
            got = TGetResult::grError;
            if (doCheck)
                Check(result, u"Fetching record");
        } else {
            FOutOfTableState = TOutOfTableState::ootNone;
        }
        if (got != TGetResult::grOK) {
            EmptyBuffer(buffer);
            return got;
        }
        FetchInto(buffer);
        if (AcceptedByFilterEvent(buffer))
            return TGetResult::grOK;
        if (mode == TGetMode::gmCurrent)
            return TGetResult::grError;
    }
}

void TTdbDataSet::InternalFirst() {
    TdbTableFirst(FTableHdl);
    FOutOfTableState = TOutOfTableState::ootBOT;
}

void TTdbDataSet::InternalLast() {
    if (State() == TDataSetState::dsInsert)
        TdbTableSetRecNo(FTableHdl, 0);
    else
        TdbTableLast(FTableHdl);
    FOutOfTableState = TOutOfTableState::ootEOT;
}

void TTdbDataSet::InternalSetToRecord(TRecordBuffer buffer) {
    const std::int32_t target = RecordNoOf(buffer);
    if (target == TdbTableGetRecNo(FTableHdl) && FOutOfTableState == TOutOfTableState::ootNone)
        return;
    const std::int32_t reached = TdbTableSetRecNo(FTableHdl, target);
    FOutOfTableState = reached == target ? TOutOfTableState::ootNone : TOutOfTableState::ootEOT;
}

void TTdbDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
    if (bookmark.size() < sizeof(std::int32_t))
        DatabaseError(u"Invalid bookmark");
    const std::int32_t recNo = ReadInt(bookmark.data());
    Check(TdbTableSetRecNo(FTableHdl, recNo), u"Going to bookmark");
    FOutOfTableState = TOutOfTableState::ootNone;
}

TBookmark TTdbDataSet::GetBookmarkData(TRecordBuffer buffer) const {
    TBookmark bookmark(sizeof(std::int32_t));
    std::memcpy(bookmark.data(), buffer + FRecInfoOfs + kRecordNo, sizeof(std::int32_t));
    return bookmark;
}

TBookmarkFlag TTdbDataSet::GetBookmarkFlag(TRecordBuffer buffer) const {
    return static_cast<TBookmarkFlag>(buffer[FRecInfoOfs + kBookmarkFlag]);
}

void TTdbDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
    buffer[FRecInfoOfs + kBookmarkFlag] = static_cast<std::byte>(flag);
}

bool TTdbDataSet::BookmarkValid(const TBookmark& bookmark) {
    if (FTableHdl <= 0 || bookmark.size() < sizeof(std::int32_t))
        return false;
    const std::int32_t recNo = ReadInt(bookmark.data());
    return recNo >= 1 && recNo <= TdbRltnRecordCount(TdbTableGetRltnHdl(FTableHdl));
}

std::int32_t TTdbDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
    const bool hasA = a.size() >= sizeof(std::int32_t);
    const bool hasB = b.size() >= sizeof(std::int32_t);
    if (!hasA || !hasB)
        return hasA == hasB ? 0 : (hasA ? -1 : 1);
    const std::int16_t order = static_cast<std::int16_t>(
        Check(TdbTableCompareBookmarks(FTableHdl, u"", ReadInt(a.data()), ReadInt(b.data())),
              u"Comparing bookmarks"));
    return order - 1;
}

std::int32_t TTdbDataSet::GetRecordCount() {
    if (!Filtered() || !OnFilterRecord())
        return Check(TdbTableGetRowCount(FTableHdl), u"Retrieving record count");
    if (FFilteredRecordCount >= 0)
        return FFilteredRecordCount;
    // Counted by walking the accepted records; the cursor comes back where it was.
    const std::int32_t recNo = TdbTableGetRecNo(FTableHdl);
    const TOutOfTableState state = FOutOfTableState;
    std::vector<std::byte> scratch(FRecBufSize);
    std::int32_t count = 0;
    FOutOfTableState = TOutOfTableState::ootBOT;
    try {
        while (GetRecord(scratch.data(), TGetMode::gmNext, true) == TGetResult::grOK)
            ++count;
    } catch (...) {
        if (recNo > 0)
            TdbTableSetRecNo(FTableHdl, recNo);
        FOutOfTableState = state;
        CursorPosChanged();
        throw;
    }
    if (recNo > 0)
        TdbTableSetRecNo(FTableHdl, recNo);
    else
        TdbTableFirst(FTableHdl);
    FOutOfTableState = state;
    CursorPosChanged();
    FFilteredRecordCount = count;
    return count;
}

void TTdbDataSet::FillSequenceNumbers() {
    const std::int32_t rows = BufferRecordCount();
    bool missing = false;
    for (std::int32_t i = 0; i < rows; ++i)
        missing = missing || SequenceNoOf(Buffer(i)) == 0;
    if (!missing)
        return;
    if (TdbTableIsSequenced(FTableHdl) <= 0) {
        for (std::int32_t i = 0; i < rows; ++i)
            WriteInt(Buffer(i) + FRecInfoOfs + kSequenceNo, RecordNoOf(Buffer(i)));
        return;
    }
    UpdateCursorPos();
    const std::int32_t active = TdbTableGetSequenceNo(FTableHdl);
    if (active < 1)
        return;
    for (std::int32_t i = 0; i < rows; ++i)
        WriteInt(Buffer(i) + FRecInfoOfs + kSequenceNo, active + (i - ActiveRecord()));
}

std::int32_t TTdbDataSet::GetRecNo() {
    if (State() != TDataSetState::dsBrowse && State() != TDataSetState::dsEdit)
        return -1;
    if (!ActiveRecordPresent())
        return -1;
    FillSequenceNumbers();
    return SequenceNoOf(Buffer(ActiveRecord()));
}

void TTdbDataSet::SetRecNoValue(std::int32_t value) {
    CheckBrowseMode();
    if (TdbTableIsSequenced(FTableHdl) > 0) {
        const std::int32_t reached = TdbTableSetSequenceNo(FTableHdl, value);
        if (reached < 0 && reached != tdb::kTdbRecordDoesNotExist)
            Check(reached, FormatText(u"Setting to record number %d", {value}));
        if (reached != value)
            DatabaseErrorFmt(u"Record %d not found", {value});
    } else {
        const std::int32_t reached = TdbTableSetRecNo(FTableHdl, value);
        if (reached != value)
            DatabaseErrorFmt(u"Record %d not found", {value});
    }
    FOutOfTableState = TOutOfTableState::ootNone;
    DoBeforeScroll();
    Resync(true, true);
    DoAfterScroll();
}

void TTdbDataSet::RecordMoved(std::int32_t deletedRecNo, std::int32_t movedRecNo) {
    if (!Active())
        return;
    const bool sequenced = TdbTableIsSequenced(FTableHdl) > 0;
    auto follow = [&](TRecordBuffer buffer) {
        const std::int32_t recNo = RecordNoOf(buffer);
        if (recNo == deletedRecNo) {
            buffer[FRecInfoOfs + kDeleted] = std::byte{1};
        } else if (recNo == movedRecNo && movedRecNo > 0) {
            SetRecordNoOf(buffer, deletedRecNo);
            if (!sequenced)
                WriteInt(buffer + FRecInfoOfs + kSequenceNo, deletedRecNo);
        }
    };
    for (std::int32_t i = 0; i < BufferRecordCount(); ++i)
        follow(Buffer(i));
}

void TTdbDataSet::RefreshDataSet() {
    if (Active() && State() == TDataSetState::dsBrowse)
        Refresh();
}

void TTdbDataSet::InternalRefresh() {
    Check(TdbTableRefresh(FTableHdl, true), u"Refreshing table");
}

// ---- Field values ----

TRecordBuffer TTdbDataSet::ActiveBuffer() {
    switch (State()) {
        case TDataSetState::dsSetKey:
            return KeyBuffer(FCurrentKeyIndex);
        case TDataSetState::dsFilter:
            return FFilterBuffer;
        default:
            return TDataSet::ActiveBuffer();
    }
}

bool TTdbDataSet::GetFieldData(const TField& field, std::u16string& value) {
    TRecordBuffer buffer = ActiveBuffer();
    if (buffer == nullptr)
        return false;
    if (field.Calculated()) {
        const std::byte* at = buffer + FRecordSize + field.Offset();
        if (at[0] == std::byte{0})
            return false;
        std::uint16_t length = 0;
        std::memcpy(&length, at + 1, sizeof length);
        length = static_cast<std::uint16_t>(std::min<std::int32_t>(length, field.Size()));
        value.resize(length);
        std::memcpy(value.data(), at + 3, length * sizeof(char16_t));
        return true;
    }
    const TTdbFieldDef& def = FFieldDefsTdb.at(static_cast<std::size_t>(field.FieldNo() - 1));
    if (IsBlockType(def.DataTypeTdb))
        return false;
    FScratchText.resize(kFirstTextLength + 1);
    bool isNull = true;
    std::int32_t length = TdbTableGetFieldFromRecord(FTableHdl, buffer, FRecordSize,
                                                     static_cast<std::int16_t>(field.FieldNo()),
                                                     FScratchText.data(), kFirstTextLength, isNull);
    if (length > kFirstTextLength) {
        FScratchText.resize(static_cast<std::size_t>(length) + 1);
        length = TdbTableGetFieldFromRecord(FTableHdl, buffer, FRecordSize,
                                            static_cast<std::int16_t>(field.FieldNo()),
                                            FScratchText.data(), length, isNull);
    }
    Check(length, u"Reading Data");
    if (isNull)
        return false;
    value.assign(FScratchText.data(), static_cast<std::size_t>(length));
    return true;
}

void TTdbDataSet::SetFieldData(TField& field, const std::u16string* value) {
    switch (State()) {
        case TDataSetState::dsEdit:
        case TDataSetState::dsInsert:
        case TDataSetState::dsSetKey:
        case TDataSetState::dsCalcFields:
        case TDataSetState::dsFilter:
        case TDataSetState::dsNewValue:
        case TDataSetState::dsOldValue:
        case TDataSetState::dsCurValue:
            break;
        default:
            DatabaseError(u"Dataset not in edit or insert mode");
    }
    TRecordBuffer buffer = ActiveBuffer();
    if (buffer == nullptr)
        DatabaseError(u"Dataset not in edit or insert mode");
    if (field.Calculated()) {
        std::byte* at = buffer + FRecordSize + field.Offset();
        std::fill_n(at, field.CalcDataSize(), std::byte{0});
        if (value != nullptr) {
            const auto length = static_cast<std::uint16_t>(
                std::min<std::size_t>(value->size(), static_cast<std::size_t>(field.Size())));
            at[0] = std::byte{1};
            std::memcpy(at + 1, &length, sizeof length);
            std::memcpy(at + 3, value->data(), length * sizeof(char16_t));
        }
        return;
    }
    SetFieldInBuffer(field, buffer, value);
}

void TTdbDataSet::SetFieldInBuffer(TField& field, TRecordBuffer buffer,
                                   const std::u16string* value) {
    const TDataSetState state = State();
    if (state == TDataSetState::dsCalcFields)
        DatabaseError(u"Dataset not in edit or insert mode");
    const bool editing = state == TDataSetState::dsEdit || state == TDataSetState::dsInsert;
    if (editing && field.Required() && (value == nullptr || value->empty()))
        DatabaseErrorFmt(u"Field '%s' must have a value", {field.DisplayName()});
    if (field.ReadOnly() && state != TDataSetState::dsSetKey && state != TDataSetState::dsFilter)
        DatabaseErrorFmt(u"Field '%s' cannot be modified", {field.DisplayName()});
    const TTdbFieldDef& def = FFieldDefsTdb.at(static_cast<std::size_t>(field.FieldNo() - 1));
    if (IsBlockType(def.DataTypeTdb))
        DatabaseErrorFmt(u"Field '%s' cannot be modified", {field.DisplayName()});
    const std::u16string empty;
    const std::u16string& text = value != nullptr ? *value : empty;
    try {
        Check(TdbTableSetFieldInRecord(FTableHdl, buffer, FRecordSize,
                                       static_cast<std::int16_t>(field.FieldNo()), text.c_str()),
              FormatText(u"Writing field '%s'", {field.DisplayName()}));
    } catch (EDatabaseError& e) {
        if (!OnWriteFieldError)
            throw;
        TDataAction action = TDataAction::daFail;
        OnWriteFieldError(*this, field, e, action);
        if (action == TDataAction::daFail)
            throw;
        if (action == TDataAction::daAbort)
            Abort();
    }
}

// ---- Editing ----

void TTdbDataSet::InternalInitRecord(TRecordBuffer buffer) {
    std::fill_n(buffer, FRecBufSize, std::byte{0});
    WriteInt(buffer + FBlobCacheOfs, -1);
    WriteInt(buffer + FRelationsOfs, -1);
    if (FEngineAppending)
        Check(TdbTableGetRecord(FTableHdl, buffer, FRecordSize),
              FormatText(u"Inserting record into dataset %s", {Name()}));
    else
        TdbTableInitRecord(FTableHdl, buffer, FRecordSize);
}

void TTdbDataSet::InternalInsert() {
    const std::u16string context = FormatText(u"Inserting record into dataset %s", {Name()});
    if (FCopyBaseRecordNo > 0) {
        Check(TdbTableSetRecNo(FTableHdl, FCopyBaseRecordNo), context);
        Check(TdbTableAppendDuplicate(FTableHdl), context);
    } else {
        Check(TdbTableAppend(FTableHdl), context);
    }
    FEngineAppending = true;
}

void TTdbDataSet::InternalEdit() {
    TRecordBuffer buffer = EditBuffer();
    if (DeletedOf(buffer))
        DatabaseError(u"This record has been deleted");
    Check(TdbTableSetRecNo(FTableHdl, RecordNoOf(buffer)), u"Entering record");
    Check(TdbTableEdit(FTableHdl), u"Entering record");
    FOutOfTableState = TOutOfTableState::ootNone;
    // The edit starts from the stored values, which another user may have changed.
    const std::vector<std::byte> info(buffer + FRecInfoOfs, buffer + FRecBufSize);
    FetchInto(buffer);
    std::copy(info.begin(), info.end(), buffer + FRecInfoOfs);
}

void TTdbDataSet::InternalPost() {
    FFilteredRecordCount = -1;
    TRecordBuffer buffer = EditBuffer();
    if (State() == TDataSetState::dsEdit) {
        const std::u16string context = FormatText(u"Writing record to dataset %s", {Name()});
        Check(TdbTableSetRecord(FTableHdl, buffer, FRecordSize), context);
        Check(TdbTableEditConfirm(FTableHdl), context);
    } else {
        const std::u16string context = FormatText(u"Appending record to dataset %s", {Name()});
        Check(TdbTableSetRecord(FTableHdl, buffer, FRecordSize), context);
        Check(TdbTableAppendConfirm(FTableHdl), context);
        FEngineAppending = false;
    }
    FOutOfTableState = TOutOfTableState::ootNone;
}

void TTdbDataSet::InternalCancel() {
    if (State() == TDataSetState::dsEdit) {
        Check(TdbTableEditCancel(FTableHdl), u"Cancelling record");
        return;
    }
    Check(TdbTableAppendCancel(FTableHdl), u"Cancelling Record");
    FEngineAppending = false;
    FOutOfTableState = TOutOfTableState::ootNone;
    // Back to the record that was current when the insert began; the last one when it is gone.
    const TBookmark& before = BookmarkBeforeInsert();
    if (before.size() >= sizeof(std::int32_t)) {
        const std::int32_t recNo = ReadInt(before.data());
        if (recNo > 0 && TdbTableSetRecNo(FTableHdl, recNo) == recNo)
            return;
    }
    if (TdbTableLast(FTableHdl) < 0)
        FOutOfTableState = TOutOfTableState::ootEOT;
}

void TTdbDataSet::InternalDelete() {
    if (!FCanModify)
        DatabaseError(u"Cannot modify a read-only dataset");
    TRecordBuffer buffer = Buffer(ActiveRecord());
    if (DeletedOf(buffer))
        DatabaseError(u"This record has been deleted");
    if (State() == TDataSetState::dsEdit)
        Check(TdbTableEditCancel(FTableHdl), u"Cancelling record");
    FFilteredRecordCount = -1;
    Check(TdbTableDeleteRec(FTableHdl), u"Deleting record");
    if (TdbTableGetRowCount(FTableHdl) == 0)
        FOutOfTableState = TOutOfTableState::ootEOT;
}

// ---- Filtering ----

void TTdbDataSet::InstallFilter(const std::u16string& text, const std::u16string& words,
                                std::uint8_t options) {
    std::uint32_t mode = FFilterMethod == TTdbFilterMethod::tfeIncremental ? 0x4F : 0x41;
    if ((options & foCaseInsensitive) != 0)
        mode |= 0x10;
    if ((options & foNoPartialCompare) == 0)
        mode |= 0x20;
    if (Filtered() && (!Filter().empty() || !FWordFilter.empty()))
        TdbTableActivateFilter(FTableHdl, false);
    const std::int16_t result = TdbTableSetSQLFilter(FTableHdl, text.c_str(), mode, true);
    if (Filtered() && (!text.empty() || !words.empty()))
        TdbTableActivateFilter(FTableHdl, true);
    Check(result, u"Setting filter");
    FFilterUpdated = true;
}

void TTdbDataSet::MoveToFirstAfterFilterChange() {
    if (Active() && Filtered())
        First();
}

void TTdbDataSet::SetFilterText(const std::u16string& text) {
    if (Active()) {
        CheckBrowseMode();
        if (text != Filter()) {
            if (Filtered())
                InstallFilter(text, FWordFilter, FilterOptions());
            else
                FFilterUpdated = false;
        }
    }
    StoreFilterText(text);
    MoveToFirstAfterFilterChange();
}

void TTdbDataSet::SetWordFilterValue(const std::u16string& words) {
    if (Active()) {
        CheckBrowseMode();
        if (words != FWordFilter) {
            if (Filtered())
                InstallFilter(Filter(), words, FilterOptions());
            else
                FFilterUpdated = false;
        }
    }
    FWordFilter = words;
    MoveToFirstAfterFilterChange();
}

void TTdbDataSet::SetFilterOptionsValue(std::uint8_t options) {
    if (Active()) {
        CheckBrowseMode();
        if (options != FilterOptions()) {
            if (Filtered())
                InstallFilter(Filter(), FWordFilter, options);
            else
                FFilterUpdated = false;
        }
    }
    StoreFilterOptions(options);
    MoveToFirstAfterFilterChange();
}

void TTdbDataSet::SetFilteredValue(bool value) {
    if (!Active()) {
        StoreFiltered(value);
        return;
    }
    CheckBrowseMode();
    if (value == Filtered())
        return;
    if (value) {
        FFilteredRecordCount = -1;
        if (!FFilterUpdated)
            InstallFilter(Filter(), FWordFilter, FilterOptions());
    }
    Check(TdbTableActivateFilter(FTableHdl, value), u"Setting filter");
    StoreFiltered(value);
    First();
}

void TTdbDataSet::SetOnFilterRecordValue(TFilterRecordEvent handler) {
    StoreOnFilterRecord(std::move(handler));
    if (Active() && Filtered()) {
        FFilteredRecordCount = -1;
        First();
    }
}

bool TTdbDataSet::IsConditionValid(const std::u16string& condition) {
    CheckActive();
    UpdateCursorPos();
    const std::int16_t result = TdbTableLocateRec3(FTableHdl, condition.c_str(), 0);
    Check(result, FormatText(u"Evaluating condition '%s'", {condition}));
    return result == 1;
}

// ---- Key buffers ----

void TTdbDataSet::ClearKeyBuffer(TKeyIndex index) {
    TRecordBuffer buffer = KeyBuffer(index);
    EmptyBuffer(buffer);
    TdbTableInitRecord(FTableHdl, buffer, FRecordSize);
}

}  // namespace dataset
