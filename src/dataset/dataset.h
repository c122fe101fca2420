// The record-buffer dataset: a state, a window of record buffers that grids show, fields bound by
// name, navigation, bookmarks, editing with before- and after-events, and data events to the
// attached controls. A concrete dataset fills the buffers from its source through the Internal…
// operations; everything here is independent of where the records come from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/component.h"
#include "dataset/data_link.h"
#include "dataset/dataset_error.h"
#include "dataset/field.h"

namespace dataset {

enum class TDataSetState {
    dsInactive,
    dsBrowse,
    dsEdit,
    dsInsert,
    dsSetKey,
    dsCalcFields,
    dsFilter,
    dsNewValue,
    dsOldValue,
    dsCurValue,
    dsBlockRead,
};

enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
enum class TBookmarkFlag : std::uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };
enum class TDataAction { daFail, daAbort, daRetry };

// Filter options: texts compared without case; no partial compare of texts ending in "*".
inline constexpr std::uint8_t foCaseInsensitive = 0x01;
inline constexpr std::uint8_t foNoPartialCompare = 0x02;

using TRecordBuffer = std::byte*;
using TBookmark = std::vector<std::byte>;

class TDataSet : public TComponent {
public:
    using TDataSetEvent = std::function<void(TDataSet&)>;
    using TDataSetErrorEvent = std::function<void(TDataSet&, EDatabaseError&, TDataAction&)>;
    using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

    explicit TDataSet(TComponent* owner);
    ~TDataSet() override;

    // ---- Opening and state ----
    bool Active() const noexcept { return FState != TDataSetState::dsInactive; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const noexcept { return FState; }
    bool Modified() const noexcept { return FModified; }
    bool CanModify() { return GetCanModify(); }

    // ---- Fields ----
    TFieldDefs& FieldDefs() noexcept { return FFieldDefs; }
    std::int32_t FieldCount() const noexcept { return static_cast<std::int32_t>(FFields.size()); }
    TField& Fields(std::int32_t i) const { return *FFields.at(static_cast<std::size_t>(i)); }
    TField* FindField(std::u16string_view name) const;
    // Raises "Field '%s' not found" for a name the dataset lacks.
    TField& FieldByName(std::u16string_view name) const;
    // A field of the program's own, kept over closing: a data field bound to the column of that
    // name when the dataset opens, or a calculated one (Size characters) that OnCalcFields fills.
    TField& AddField(const std::u16string& name, TFieldKind kind,
                     TFieldType type = TFieldType::ftWideString, std::int32_t size = 20);

    // ---- Navigation ----
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    // The rows actually moved.
    std::int32_t MoveBy(std::int32_t distance);
    bool Bof() const noexcept { return FBOF; }
    bool Eof() const noexcept { return FEOF; }
    bool IsEmpty() const noexcept { return FRecordCount == 0 && FState != TDataSetState::dsInsert; }
    std::int32_t RecordCount() { return Active() ? GetRecordCount() : 0; }
    std::int32_t RecNo() { return Active() ? GetRecNo() : -1; }
    void SetRecNo(std::int32_t value) { SetRecNoValue(value); }
    void Refresh();

    // ---- Bookmarks ----
    TBookmark GetBookmark();
    void GotoBookmark(const TBookmark& bookmark);
    virtual bool BookmarkValid(const TBookmark& bookmark);
    // -1, 0, 1; a missing bookmark sorts after a present one.
    virtual std::int32_t CompareBookmarks(const TBookmark& a, const TBookmark& b);

    // ---- Editing ----
    void Edit();
    void Insert();
    void Append();
    void Post();
    void Cancel();
    void Delete();
    // An edit or insert in progress is posted when modified, else cancelled; set-key state is
    // left by posting.
    void CheckBrowseMode();
    // The attached controls hand their values to the fields.
    void UpdateRecord();

    // ---- Filtering (the dataset decides what the texts mean) ----
    const std::u16string& Filter() const noexcept { return FFilterText; }
    void SetFilter(const std::u16string& text) { SetFilterText(text); }
    bool Filtered() const noexcept { return FFiltered; }
    void SetFiltered(bool value) { SetFilteredValue(value); }
    std::uint8_t FilterOptions() const noexcept { return FFilterOptions; }
    void SetFilterOptions(std::uint8_t options) { SetFilterOptionsValue(options); }
    const TFilterRecordEvent& OnFilterRecord() const noexcept { return FOnFilterRecord; }
    void SetOnFilterRecord(TFilterRecordEvent handler) {
        SetOnFilterRecordValue(std::move(handler));
    }

    // ---- Controls ----
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const noexcept { return FDisableCount > 0; }
    // The buffer window as the attached links see it.
    std::int32_t BufferCount() const noexcept { return FBufferCount; }
    std::int32_t BufferRecordCount() const noexcept { return FRecordCount; }
    std::int32_t ActiveRecord() const noexcept { return FActiveRecord; }

    // ---- Events ----
    TDataSetEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetEvent OnCalcFields, OnNewRecord;
    TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;
    bool AutoCalcFields = true;

    // ---- What fields call ----
    // The value of Field in the buffer the state selects; false for NULL or no buffer.
    virtual bool GetFieldData(const TField& field, std::u16string& value) = 0;
    // Writes Value (null: NULL) into the buffer the state selects.
    virtual void SetFieldData(TField& field, const std::u16string* value) = 0;
    // The state's buffer: the active record, the key, filter or calculated buffer.
    virtual TRecordBuffer ActiveBuffer();

protected:
    // ---- What a concrete dataset provides ----
    virtual void InternalOpen() = 0;
    virtual void InternalClose() = 0;
    virtual bool IsCursorOpen() const = 0;
    virtual void InternalInitFieldDefs() = 0;
    virtual std::size_t RecordBufferSize() const = 0;
    virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
    virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
    virtual TBookmark GetBookmarkData(TRecordBuffer buffer) const = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const = 0;
    virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
    virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
    virtual void InternalInsert() = 0;
    virtual void InternalEdit() = 0;
    virtual void InternalPost() = 0;
    virtual void InternalCancel() = 0;
    virtual void InternalDelete() = 0;
    virtual void InternalRefresh() = 0;
    virtual std::int32_t GetRecordCount() = 0;
    virtual std::int32_t GetRecNo() { return -1; }
    virtual void SetRecNoValue(std::int32_t /*value*/) {}
    virtual bool GetCanModify() { return true; }
    // The calculated area of a buffer is cleared; a dataset with one overrides.
    virtual void ClearCalcFields(TRecordBuffer /*buffer*/) {}

    virtual void SetFilterText(const std::u16string& text) { FFilterText = text; }
    virtual void SetFilteredValue(bool value) { FFiltered = value; }
    virtual void SetFilterOptionsValue(std::uint8_t options) { FFilterOptions = options; }
    virtual void SetOnFilterRecordValue(TFilterRecordEvent handler) {
        FOnFilterRecord = std::move(handler);
    }
    void StoreFilterText(const std::u16string& text) { FFilterText = text; }
    void StoreFiltered(bool value) { FFiltered = value; }
    void StoreFilterOptions(std::uint8_t options) { FFilterOptions = options; }
    void StoreOnFilterRecord(TFilterRecordEvent handler) { FOnFilterRecord = std::move(handler); }

    // ---- What concrete datasets use ----
    void CheckActive() const;
    void CheckInactive() const;
    void SetState(TDataSetState value);
    // Switches the state for a moment (key buffers, filter evaluation); RestoreState undoes it.
    TDataSetState SetTempState(TDataSetState value);
    void RestoreState(TDataSetState value);
    void DataEvent(TDataEvent event, std::intptr_t info = 0);
    // Rebuilds the window around the cursor's record: Exact raises when it is gone; Center puts
    // it in the middle of the window, else it keeps the active row's place.
    void Resync(bool exact, bool center);
    void CursorPosChanged() noexcept { FCurrentRecord = -1; }
    void UpdateCursorPos();
    void ClearBuffers();
    void GetCalcFields(TRecordBuffer buffer);
    // Fields bound to their definitions; default fields for the definitions without one.
    void CreateFields();
    void DestroyDefaultFields();
    void SetModified(bool value) noexcept { FModified = value; }
    TRecordBuffer Buffer(std::int32_t i) { return FBuffers.at(static_cast<std::size_t>(i)).data(); }
    TRecordBuffer CalcBuffer() { return FCalcBuffer.data(); }
    std::int32_t CalcFieldsSize() const noexcept { return FCalcFieldsSize; }
    bool ActiveRecordPresent() const noexcept { return FActiveRecord < FRecordCount; }
    // The buffer being written while the dataset is in edit or insert state.
    TRecordBuffer EditBuffer() { return Buffer(FActiveRecord); }
    // Runs Op; an error goes to Handler, which may fail (raise again), abort or retry.
    void CheckOperation(const std::function<void()>& op, const TDataSetErrorEvent& handler);
    void CheckCanModify();
    void CheckRequiredFields();
    void DoBeforeScroll();
    void DoAfterScroll();
    // The bookmark of the record that was active when an insert began; empty when none.
    const TBookmark& BookmarkBeforeInsert() const noexcept { return FBookmarkBeforeInsert; }

private:
    friend class TDataLink;
    friend class TDataSource;
    friend class TField;

    void OpenCursor();
    void CloseCursor();
    void AllocateBuffers();
    void SetBufferCount(std::int32_t count);
    void UpdateBufferCount();
    void SetCurrentRecord(std::int32_t index);
    bool GetNextRecord();
    bool GetPriorRecord();
    std::int32_t GetNextRecords();
    std::int32_t GetPriorRecords();
    void LeaveSetKey();
    void BeginInsertAppend();
    void EndInsertAppend();
    // Makes room for a new buffer at row At of the window and answers its row.
    std::int32_t OpenRowAt(std::int32_t at);
    void InitRecord(TRecordBuffer buffer);
    void FieldChanged(TField& field);
    void SetLinkActiveRecord(std::int32_t row) noexcept { FActiveRecord = row; }
    void AddDataSource(TDataSource* source);
    void RemoveDataSource(TDataSource* source);
    static void Fire(const TDataSetEvent& event, TDataSet& dataSet) {
        if (event)
            event(dataSet);
    }

    TDataSetState FState = TDataSetState::dsInactive;
    bool FModified = false;
    bool FBOF = true;
    bool FEOF = true;
    std::int32_t FBufferCount = 0;
    std::int32_t FRecordCount = 0;
    std::int32_t FActiveRecord = 0;
    std::int32_t FCurrentRecord = -1;
    std::int32_t FCalcFieldsSize = 0;
    TBookmark FBookmarkBeforeInsert;
    // The window's buffers and one more, the target of each fetch.
    std::vector<std::vector<std::byte>> FBuffers;
    std::vector<std::byte> FCalcBuffer;
    TFieldDefs FFieldDefs;
    std::vector<std::unique_ptr<TField>> FFields;
    std::vector<TDataSource*> FDataSources;
    std::int32_t FDisableCount = 0;
    bool FPendingChange = false;
    std::u16string FFilterText;
    bool FFiltered = false;
    std::uint8_t FFilterOptions = 0;
    TFilterRecordEvent FOnFilterRecord;
};

}  // namespace dataset
