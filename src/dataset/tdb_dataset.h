// The dataset over one engine cursor: record buffers laid out around the engine's record image,
// fetching and positioning through the cursor, record numbers and bookmarks, the engine's filter,
// key buffers, field values read and written through the column types, and the two-phase
// record writes of the engine.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/database_client.h"
#include "dataset/dataset.h"

namespace dataset {

class TTdbDatabase;

enum class TTdbDataType {
    dtUnknown,
    dtString,
    dtInteger,
    dtSmallInt,
    dtFloat,
    dtByte,
    dtBoolean,
    dtDate,
    dtMemo,
    dtEnum,
    dtAutoInc,
    dtLink,
    dtBlob,
    dtTime,
    dtRelation,
    dtDateTime,
    dtWideString,
    dtWideMemo,
    dtLargeInt,
    dtGuid,
};

enum class TTdbFilterMethod { tfeDefault, tfeAuto, tfeStatic, tfeIncremental };
enum class TOutOfTableState { ootNone, ootBOT, ootEOT };
enum class TKeyIndex { kiLookup = 0, kiRangeStart = 1, kiRangeEnd = 2 };

// A column as the engine describes it, beside the framework's definition made from it.
struct TTdbFieldDef {
    std::u16string Name;
    std::int16_t InitialFieldNo = 0;
    TTdbDataType DataTypeTdb = TTdbDataType::dtUnknown;
    std::int16_t FldTypeHigh = 0;  // the high byte of the engine's type word, kept as it came
    std::u16string CalcExpression;
    std::u16string Spec;
    std::int32_t FieldDefId = 0;
    std::uint16_t BufPosition = 0;
    std::uint16_t BufSize = 0;
    std::uint16_t Options = 0;
    std::int32_t Size = 0;
    std::int32_t Precision = 0;
    bool Required = false;
    bool ReadOnly = false;
    bool Calculated = false;
};

class TTdbDataSet : public TDataSet, public TTdbDatabaseClient {
public:
    using TWriteFieldErrorEvent =
        std::function<void(TTdbDataSet&, TField&, EDatabaseError&, TDataAction&)>;

    explicit TTdbDataSet(TComponent* owner);
    ~TTdbDataSet() override;

    // ---- TTdbDatabaseClient ----
    std::int16_t TableHdl() const noexcept override { return FTableHdl; }
    const std::u16string& DatabaseName() const noexcept override { return FDatabaseName; }
    void SetDatabaseName(const std::u16string& name) override;
    void CloseDataSet() override { Close(); }
    void RefreshDataSet() override;
    void RecordMoved(std::int32_t deletedRecNo, std::int32_t movedRecNo) override;

    TTdbDatabase* Database() const noexcept { return FDatabase; }
    const std::vector<TTdbFieldDef>& FieldDefsTdb() const noexcept { return FFieldDefsTdb; }
    std::int32_t TableLevel() const noexcept { return FTableLevel; }
    TTdbFilterMethod FilterMethod() const noexcept { return FFilterMethod; }
    void SetFilterMethod(TTdbFilterMethod method) { FFilterMethod = method; }
    // Read-only display text of the engine's version.
    std::u16string Version() const;

    // Whether the current record satisfies a condition text of the engine's language.
    bool IsConditionValid(const std::u16string& condition);

    TWriteFieldErrorEvent OnWriteFieldError;

    bool GetFieldData(const TField& field, std::u16string& value) override;
    void SetFieldData(TField& field, const std::u16string* value) override;
    TRecordBuffer ActiveBuffer() override;
    bool BookmarkValid(const TBookmark& bookmark) override;
    std::int32_t CompareBookmarks(const TBookmark& a, const TBookmark& b) override;

protected:
    // ---- What the table dataset provides ----
    // Opens the engine cursor and sets FTableHdl; raises on failure.
    virtual void OpenTdbCursor() = 0;
    // The session the cursor belongs to, for composing errors.
    std::int16_t SessionHdl() const noexcept;
    // Installs the engine filter for a text, words and options (and nothing else).
    virtual void InstallFilter(const std::u16string& text, const std::u16string& words,
                               std::uint8_t options);

    // ---- TDataSet ----
    void InternalOpen() override;
    void InternalClose() override;
    bool IsCursorOpen() const override { return FTableHdl > 0; }
    void InternalInitFieldDefs() override;
    std::size_t RecordBufferSize() const override { return FRecBufSize; }
    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalSetToRecord(TRecordBuffer buffer) override;
    void InternalGotoBookmark(const TBookmark& bookmark) override;
    TBookmark GetBookmarkData(TRecordBuffer buffer) const override;
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const override;
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
    void InternalInitRecord(TRecordBuffer buffer) override;
    void InternalInsert() override;
    void InternalEdit() override;
    void InternalPost() override;
    void InternalCancel() override;
    void InternalDelete() override;
    void InternalRefresh() override;
    std::int32_t GetRecordCount() override;
    std::int32_t GetRecNo() override;
    void SetRecNoValue(std::int32_t value) override;
    bool GetCanModify() override { return FCanModify; }
    void ClearCalcFields(TRecordBuffer buffer) override;
    void SetFilterText(const std::u16string& text) override;
    void SetFilteredValue(bool value) override;
    void SetFilterOptionsValue(std::uint8_t options) override;
    void SetOnFilterRecordValue(TFilterRecordEvent handler) override;

    // Raises the composed error of a failed call on this dataset's session.
    std::int32_t Check(std::int32_t result, std::u16string_view context) const {
        return TdbCheck(result, SessionHdl(), context);
    }
    const std::u16string& WordFilter() const noexcept { return FWordFilter; }
    void SetWordFilterValue(const std::u16string& words);

    // ---- Record buffers ----
    static std::int32_t ReadInt(const std::byte* at);
    static void WriteInt(std::byte* at, std::int32_t value);
    std::int32_t RecordNoOf(TRecordBuffer buffer) const {
        return ReadInt(buffer + FRecInfoOfs + 5);
    }
    void SetRecordNoOf(TRecordBuffer buffer, std::int32_t recNo) {
        WriteInt(buffer + FRecInfoOfs + 5, recNo);
    }
    // The record number of the active record; 0 when there is none.
    std::int32_t ActiveRecordNo() {
        return ActiveRecordPresent() ? RecordNoOf(Buffer(ActiveRecord())) : 0;
    }
    std::int32_t SequenceNoOf(TRecordBuffer buffer) const { return ReadInt(buffer + FRecInfoOfs); }
    bool DeletedOf(TRecordBuffer buffer) const { return buffer[FRecInfoOfs + 9] != std::byte{0}; }
    // An empty buffer: no record, after the last.
    void EmptyBuffer(TRecordBuffer buffer);
    void FetchInto(TRecordBuffer buffer);
    std::uint16_t RecordSize() const noexcept { return FRecordSize; }

    // Key buffers, laid out like record buffers.
    TRecordBuffer KeyBuffer(TKeyIndex index) { return FKeyBuffers[static_cast<int>(index)].data(); }
    TKeyIndex CurrentKeyIndex() const noexcept { return FCurrentKeyIndex; }
    void SetCurrentKeyIndex(TKeyIndex index) noexcept { FCurrentKeyIndex = index; }
    void ClearKeyBuffer(TKeyIndex index);

    TOutOfTableState FOutOfTableState = TOutOfTableState::ootNone;
    std::int16_t FTableHdl = 0;
    TTdbDatabase* FDatabase = nullptr;
    std::u16string FDatabaseName;
    bool FCanModify = false;
    std::int32_t FTableLevel = 6;
    std::int32_t FCopyBaseRecordNo = 0;
    std::int32_t FFilteredRecordCount = -1;
    bool FFilterUpdated = false;

private:
    void ComputeOffsets();
    bool AcceptedByFilterEvent(TRecordBuffer buffer);
    void SetFieldInBuffer(TField& field, TRecordBuffer buffer, const std::u16string* value);
    void FillSequenceNumbers();
    void MoveToFirstAfterFilterChange();

    std::vector<TTdbFieldDef> FFieldDefsTdb;
    std::uint16_t FRecordSize = 0;
    std::uint16_t FBlobCacheOfs = 0;
    std::uint16_t FRelationsOfs = 0;
    std::uint16_t FRecInfoOfs = 0;
    std::uint16_t FRecBufSize = 0;
    TTdbFilterMethod FFilterMethod = TTdbFilterMethod::tfeDefault;
    TRecordBuffer FFilterBuffer = nullptr;
    std::u16string FWordFilter;
    std::array<std::vector<std::byte>, 3> FKeyBuffers;
    TKeyIndex FCurrentKeyIndex = TKeyIndex::kiLookup;
    // The engine has a record open for appending: new buffers take its default values.
    bool FEngineAppending = false;
    std::u16string FScratchText;
};

}  // namespace dataset
